// Progress output of the command-line tool. All view calls come from the worker thread, the
// error boxes of "Execute" from the main thread; one lock keeps lines whole.
#include "cli_view.h"

#include <cinttypes>

#include "engine/string_table.h"
#include "next_step.h"
#include "progress_line.h"
#include "run_events.h"
#include "terminal_text.h"
#include "trace_text.h"

namespace fen {

namespace {

std::string HumanBytes(double bytes) {
  char buffer[32];
  if (bytes >= 1024.0 * 1024.0) {
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", bytes / (1024.0 * 1024.0));
  } else {
    std::snprintf(buffer, sizeof buffer, "%.0f KiB", bytes / 1024.0);
  }
  return buffer;
}
}  // namespace

CliView::CliView(Mode mode, std::FILE* out, std::FILE* err, std::string label, Verbosity verbosity)
    : mode_(mode),
      verbosity_(verbosity),
      out_(out),
      err_(err),
      // JSON escapes what it carries; a terminal needs the device's name escaped.
      label_(mode == Mode::kJson ? std::move(label) : TerminalText(label)),
      start_(std::chrono::steady_clock::now()) {}

void CliView::Emit(const JsonLine& fields) {
  if (out_ == nullptr) return;
  JsonLine line = JsonLine::object();
  if (!label_.empty()) line["device"] = label_;
  line.update(fields);
  PrintJsonLine(out_, line);
}

void CliView::SetStatusLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = text;
  if (mode_ == Mode::kJson) {
    Emit({{"call", "status"}, {"text", text}});
    return;
  }
  if (mode_ == Mode::kTerminal && !quiet()) Redraw();
}

void CliView::FlashStepStarted(int, FlashStepKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_.StepStarted(kind);
}

void CliView::RunEnded(UpdateResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  completed_ = result == UpdateResult::kCompleted;
  if (const std::string hint = NextStepHint(result); !hint.empty()) {
    // After the error's own line: whether the flash changed and what to do next.
    PrintLine(err_, hint);
  }
  if (!completed_ || mode_ == Mode::kJson) return;
  // The completion on a line of its own, after the progress.
  CloseLine();
  PrintLine(out_, LoadString(InfoOf(result).string_id));
}

void CliView::CloseLine() {
  if (!line_open_) return;
  std::fputs("\n", out_);
  std::fflush(out_);
  line_open_ = false;
}

void CliView::ClearLine() {
  if (!line_open_) return;
  std::fputs("\r\033[K", out_);
  line_open_ = false;
}

std::string CliView::label_prefix() const { return label_.empty() ? "" : label_ + ": "; }

void CliView::PrintLine(std::FILE* to, const std::string& text) {
  // On a terminal broken at spaces to its width: a line that wraps leaves the progress line's
  // redraw on its second half.
  const int columns = mode_ == Mode::kTerminal ? TerminalColumns(to) - 1 : 0;
  for (const std::string& line : WrapWords(label_prefix() + text, columns, "  ")) {
    std::fprintf(to, "%s\n", line.c_str());
  }
  std::fflush(to);
}

void CliView::SetStepCounter(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  step_ = text;
  position_ = 0;
  if (mode_ == Mode::kJson) {
    Emit({{"call", "step"}, {"text", text}});
  } else if (quiet()) {
    // Neither steps nor progress.
  } else if (mode_ == Mode::kPlain) {
    std::fprintf(out_, "%sstep %s\n", label_.empty() ? "" : (label_ + ": ").c_str(), text.c_str());
    std::fflush(out_);
    last_plain_decile_ = -1;
  } else {
    Redraw();
  }
}

void CliView::SetProgressRange(std::int32_t upper) {
  std::lock_guard<std::mutex> lock(mutex_);
  range_ = upper;
  if (mode_ == Mode::kJson) {
    Emit({{"call", "range"}, {"upper", upper}});
  }
}

void CliView::SetProgressPos(std::int32_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  position_ = position;
  bytes_.Position(position);
  if (mode_ == Mode::kJson) {
    Emit({{"call", "position"}, {"value", position}});
    return;
  }
  if (quiet()) return;
  if (mode_ == Mode::kPlain) {
    if (bytes_.writing() && range_ > 0) {
      const int decile = static_cast<int>(static_cast<std::int64_t>(position) * 10 / range_);
      if (decile != last_plain_decile_) {
        last_plain_decile_ = decile;
        std::fprintf(out_, "%s  %s: %d%%\n", label_.empty() ? "" : (label_ + ": ").c_str(),
                     status_.c_str(), decile * 10);
        std::fflush(out_);
      }
    }
    return;
  }
  Redraw();
}

void CliView::Redraw(bool now_always) {
  const auto now = std::chrono::steady_clock::now();
  // A terminal cannot show more than a few dozen redraws a second anyway.
  if (!now_always && line_open_ && now - last_draw_ < std::chrono::milliseconds(50) &&
      !(range_ > 0 && position_ >= range_)) {
    return;
  }
  last_draw_ = now;
  const std::int64_t done = bytes_.done();
  const double fraction = static_cast<double>(done) / static_cast<double>(TotalImageBytes());
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0.1 ? static_cast<double>(done) / seconds : 0.0;
  char eta[32] = "--:--";
  if (rate > 0) {
    const auto left = static_cast<long>(static_cast<double>(TotalImageBytes() - done) / rate);
    std::snprintf(eta, sizeof eta, "%ld:%02ld", left / 60, left % 60);
  }
  ProgressFields fields;
  fields.prefix = label_.empty() ? "" : label_ + ": ";
  fields.step = step_;
  fields.status = status_;
  fields.fraction = fraction;
  fields.bytes = HumanBytes(static_cast<double>(done));
  fields.rate = HumanBytes(rate);
  fields.eta = eta;
  std::fprintf(out_, "\r\033[K%s", FitProgressLine(fields, TerminalColumns(out_)).c_str());
  std::fflush(out_);
  line_open_ = true;
}

void CliView::ErrorBox(int string_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_ = string_id;
  if (mode_ == Mode::kJson) {
    Emit({{"call", "error"}, {"id", string_id}, {"text", LoadString(string_id)}});
  }
  CloseLine();
  PrintLine(err_, "Error: " + LoadString(string_id));
}

void CliView::ErrorBoxWithDetail(int string_id, const std::string& detail) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_ = string_id;
  if (mode_ == Mode::kJson) {
    Emit({{"call", "error"},
          {"id", string_id},
          {"text", LoadString(string_id)},
          {"detail", detail}});
  }
  CloseLine();
  PrintLine(err_, "Error: " + LoadString(string_id) + " " + TerminalText(detail));
}

void CliView::RestoreControls() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_ == Mode::kJson) Emit({{"call", "restore"}});
}

void CliView::EnableExecute(bool enable) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_ == Mode::kJson) {
    Emit({{"call", "execute"}, {"enabled", enable}});
  }
}

void CliView::DisableControls() {
  std::lock_guard<std::mutex> lock(mutex_);
  start_ = std::chrono::steady_clock::now();
  if (mode_ == Mode::kJson) Emit({{"call", "disable"}});
}

namespace {

std::string ModelText(const DeviceIdentity& identity) {
  char model[8];
  std::snprintf(model, sizeof model, "0x%02X", identity.model_id);
  return model;
}

}  // namespace

std::string CliView::IdentityText(const DeviceIdentity& identity) {
  return "model " + ModelText(identity) + ", family " + Hex16Text(identity.family) + ", member " +
         Hex16Text(identity.member) + ", revision " + RevisionText(identity) + ", manufacturer " +
         ManufacturerText(identity);
}

JsonLine CliView::IdentityJson(const DeviceIdentity& identity) {
  return JsonLine{
      {"model", ModelText(identity)},         {"family", Hex16Text(identity.family)},
      {"member", Hex16Text(identity.member)}, {"revision", RevisionText(identity)},
      {"revision_bytes", identity.revision},  {"manufacturer", ManufacturerText(identity)}};
}

void CliView::DeviceIdentified(const DeviceIdentity& identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mode_ == Mode::kJson) {
    JsonLine fields{{"call", "identity"}};
    fields.update(IdentityJson(identity));
    Emit(fields);
    return;
  }
  if (quiet()) return;
  ClearLine();
  PrintLine(out_, "Device: " + IdentityText(identity));
  if (mode_ == Mode::kTerminal) Redraw(true);
}

void CliView::Retrying(int row, std::int32_t offset, int attempt, std::int32_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!verbose()) return;
  ClearLine();
  PrintLine(out_, RetryLine(row, offset, bytes_.writing(), attempt, status));
}

void CliView::MessageTraffic(bool sent, const std::uint8_t* data, std::size_t size) {
  // Called for every message the session sends or receives: the mode and verbosity never
  // change after construction, so a quiet view returns before the lock.
  if (!verbose()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ClearLine();
  PrintLine(out_, TrafficLine(sent, data, size));
}

void CliView::FinishLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLine();
}

bool CliView::completed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return completed_;
}

int CliView::last_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

std::int64_t CliView::bytes_done() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_.done();
}

}  // namespace fen
