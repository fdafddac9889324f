// What the firmware code answers when it reads or checks something that may be refused (a
// release folder, a manifest, a signature, a key, a file): the value, or the refusal, which is
// the text that says why and the exit status the command-line tool ends with for it. The text
// names the file or the field at fault; a caller that knows more puts it in front.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace fen {

// The command-line tool's status for a refused release, key or argument (its README's table).
inline constexpr int kExitRefusedRelease = 2;

struct Refusal {
  std::string text;
  int exit_status = kExitRefusedRelease;

  // The same refusal with `prefix` in front of its text: "DIR/" before a file's own message.
  Refusal Prefixed(std::string_view prefix) const {
    return {std::string(prefix) + text, exit_status};
  }
};

// A value, or the refusal that says why there is none. Tested as a bool; the value is read
// only after that test (value() throws std::bad_optional_access on a refusal).
template <class T>
class [[nodiscard]] Checked {
 public:
  Checked(T value) : value_(std::move(value)) {}
  Checked(Refusal refusal) : refusal_(std::move(refusal)) {}

  explicit operator bool() const { return value_.has_value(); }
  T& value() & { return value_.value(); }
  const T& value() const& { return value_.value(); }
  T&& value() && { return std::move(value_.value()); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  // Why there is no value; an empty text when there is one.
  const Refusal& refusal() const { return refusal_; }

 private:
  std::optional<T> value_;
  Refusal refusal_;
};

// A check that gives nothing but its verdict: `return {};` passes, `return Refusal{...};` does
// not.
template <>
class [[nodiscard]] Checked<void> {
 public:
  Checked() = default;
  Checked(Refusal refusal) : refused_(true), refusal_(std::move(refusal)) {}

  explicit operator bool() const { return !refused_; }
  const Refusal& refusal() const { return refusal_; }

 private:
  bool refused_ = false;
  Refusal refusal_;
};

using CheckResult = Checked<void>;

}  // namespace fen
