// The checks and messages of reading a release folder's files, the same on every platform;
// the opening and reading are ReadOnlyFile's.
#include "firmware/image_file.h"

#include "firmware/read_only_file.h"

namespace fen {

Checked<std::vector<std::uint8_t>> ReadImageFile(const std::filesystem::path& path,
                                                 std::size_t expected) {
  const std::string name = PathText(path);
  ReadOnlyFile file;
  switch (file.Open(path, /*follow_link=*/true)) {
    case ReadOnlyFile::Opened::kOk:
      break;
    case ReadOnlyFile::Opened::kMissing:
      return Refusal{"missing firmware image " + name};
    case ReadOnlyFile::Opened::kFailed:
      return Refusal{"cannot open " + name + ": " + file.Failure()};
    case ReadOnlyFile::Opened::kLink:
    case ReadOnlyFile::Opened::kNotRegular:
      return Refusal{name + " is not a regular file"};
  }
  if (file.Size() != expected) return Refusal{SizeMismatch(name, file.Size(), expected)};
  // One byte more than expected is asked for, to notice a file that grew after it was opened.
  std::vector<std::uint8_t> bytes(expected + 1);
  std::size_t got = 0;
  if (!file.ReadUpTo(bytes.data(), bytes.size(), &got)) {
    return Refusal{"cannot read " + name + ": " + file.Failure()};
  }
  if (got != expected) {
    return Refusal{name + " changed size while it was read; expected " + std::to_string(expected) +
                   " bytes"};
  }
  bytes.resize(expected);
  return bytes;
}

Checked<std::optional<std::string>> ReadSmallFile(const std::filesystem::path& path,
                                                  std::size_t limit, bool follow_link) {
  const std::string name = PathText(path);
  ReadOnlyFile file;
  switch (file.Open(path, follow_link)) {
    case ReadOnlyFile::Opened::kOk:
      break;
    case ReadOnlyFile::Opened::kMissing:
      return std::optional<std::string>();
    case ReadOnlyFile::Opened::kFailed:
      return Refusal{"cannot open " + name + ": " + file.Failure()};
    case ReadOnlyFile::Opened::kLink:
      return Refusal{name + " is a symbolic link, not a file of its own"};
    case ReadOnlyFile::Opened::kNotRegular:
      return Refusal{name + " is not a regular file"};
  }
  const auto too_large = [&](std::uintmax_t size) {
    return Refusal{name + " is " + std::to_string(size) + " bytes, more than the " +
                   std::to_string(limit) + " it may have"};
  };
  if (file.Size() > limit) return too_large(file.Size());
  // One byte more than the limit is asked for, to notice a file that grew after it was opened.
  std::string text(limit + 1, '\0');
  std::size_t got = 0;
  if (!file.ReadUpTo(text.data(), text.size(), &got)) {
    return Refusal{"cannot read " + name + ": " + file.Failure()};
  }
  if (got > limit) return too_large(got);
  text.resize(got);
  return std::optional<std::string>(std::move(text));
}

}  // namespace fen
