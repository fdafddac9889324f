// The event stream and the record of one run. View calls come from the worker thread, and from
// the main thread when "Execute" fails at once; one lock keeps the lines whole.
#include "run_events.h"

#include <cstdio>
#include <ctime>

#include "cli_view.h"
#include "engine/string_table.h"
#include "engine/update_session.h"
#include "firmware/firmware.h"
#include "next_step.h"
#include "protocol/messages.h"
#include "trace_text.h"

namespace fen {

namespace {

std::string Hex(std::int32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

const char* KindName(FlashStepKind kind) {
  return kind == FlashStepKind::kWrite ? "write" : "erase";
}

}  // namespace

std::int64_t TotalImageBytes() {
  std::int64_t total = 0;
  for (const FirmwareImageInfo& info : FirmwareImageTable()) {
    total += static_cast<std::int64_t>(info.size);
  }
  return total;
}

JsonLine ReleaseJson(const ReleaseInfo& release, bool from_folder) {
  if (!from_folder) return "embedded";
  if (release.signature == ReleaseSignature::kNoManifest) return "unverified";
  return JsonLine{{"version", release.version},
                  {"manifest_sha256", release.manifest_sha256},
                  {"signature", SignatureText(release)}};
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  long offset = 0;
  const std::tm local = LocalTime(std::chrono::system_clock::to_time_t(when), &offset);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  // Offsets lie within a day; anything else would be a broken time zone.
  const int minutes = static_cast<int>(((offset < 0 ? -offset : offset) / 60) % (24 * 60));
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return std::string(text) + zone;
}

RunEvents::RunEvents(UpdateView* shown, std::FILE* events, std::string label)
    : ForwardingView(shown),
      events_(events),
      label_(std::move(label)),
      started_wall_(std::chrono::system_clock::now()),
      started_(std::chrono::steady_clock::now()) {}

void RunEvents::Emit(JsonLine fields) {
  if (events_ == nullptr) return;
  JsonLine line = JsonLine::object();
  // "label": the device's port when several run at once ("device" is its identity).
  if (!label_.empty()) line["label"] = label_;
  line.update(fields);
  PrintJsonLine(events_, line);
}

void RunEvents::Begin(const std::string& in_port, const std::string& out_port, JsonLine release) {
  std::lock_guard<std::mutex> lock(mutex_);
  started_wall_ = std::chrono::system_clock::now();
  started_ = std::chrono::steady_clock::now();
  in_port_ = in_port;
  out_port_ = out_port;
  release_ = std::move(release);
  JsonLine steps = JsonLine::array();
  int number = 0;
  for (const FlashStep& row : FlashStepPlan) {
    JsonLine step{{"step", ++number},
                  {"kind", KindName(row.kind)},
                  {"address", Hex(row.address, 6)},
                  {"size", row.size}};
    if (row.kind == FlashStepKind::kWrite) step["image"] = row.resource_id;
    steps.push_back(step);
  }
  JsonLine line{{"schema", kEventSchemaVersion}, {"event", "plan"}};
  line["in_port"] = in_port_;
  line["out_port"] = out_port_;
  line["release"] = release_;
  line["steps"] = steps;
  line["total_bytes"] = TotalImageBytes();
  Emit(line);
}

JsonLine RunEvents::Finish(const std::string& outcome, int exit_status, const JsonLine& extra) {
  std::lock_guard<std::mutex> lock(mutex_);
  FlushError();
  const auto ended = std::chrono::system_clock::now();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  JsonLine summary{{"started", IsoTime(started_wall_)},
                   {"ended", IsoTime(ended)},
                   {"outcome", outcome},
                   {"exit", exit_status},
                   {"in_port", in_port_},
                   {"out_port", out_port_}};
  if (device_) {
    JsonLine device = CliView::IdentityJson(*device_);
    summary["device"] = device;
  } else {
    summary["device"] = nullptr;
  }
  summary["release"] = release_;
  summary["resends"] = resends_;
  summary["duration_s"] = static_cast<double>(static_cast<std::int64_t>(seconds * 1000)) / 1000;
  // Where a failed run stopped and what the device and the terminal said: the step, for a
  // write the block and its offset, the status of the device's last refusal (null: it did not
  // answer, or did not refuse), and the error's text as shown.
  const bool failed = exit_status != 0;
  const bool at_retry = failed && retry_row_ == row_ && row_ > 0;
  summary["failed_step"] = failed && row_ > 0 ? JsonLine(row_) : JsonLine(nullptr);
  summary["failed_block"] =
      at_retry && retry_writing_ ? JsonLine(retry_offset_ / kBlockLength) : JsonLine(nullptr);
  summary["failed_offset"] =
      at_retry && retry_writing_ ? JsonLine(retry_offset_) : JsonLine(nullptr);
  summary["device_status"] = at_retry && retry_status_ >= 0 ? JsonLine(retry_status_)
                             : failed && result_ == UpdateResult::kNotInUpdateMode
                                 ? JsonLine(kStatusNotInUpdateMode)
                                 : JsonLine(nullptr);
  summary["error"] = failed && !error_text_.empty() ? JsonLine(error_text_) : JsonLine(nullptr);
  if (extra.is_object()) summary.update(extra);
  JsonLine line{{"event", "result"}};
  line.update(summary);
  Emit(line);
  if (!label_.empty()) summary["label"] = label_;
  return summary;
}

void RunEvents::SetProgressPos(std::int32_t position) {
  ForwardingView::SetProgressPos(position);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!bytes_.writing()) return;
  bytes_.Position(position);
  EmitProgress(false);
}

// At most ten a second, and only when the whole update's percentage has moved; a step's end
// always.
void RunEvents::EmitProgress(bool force) {
  const std::int64_t done = bytes_.done();
  const int percent = static_cast<int>(done * 100 / TotalImageBytes());
  const auto now = std::chrono::steady_clock::now();
  if (!force &&
      (percent == last_percent_ || now - last_progress_ < std::chrono::milliseconds(100))) {
    return;
  }
  last_percent_ = percent;
  last_progress_ = now;
  Emit(JsonLine{{"event", "progress"},
                {"step", row_},
                {"percent", percent},
                {"bytes", done},
                {"total_bytes", TotalImageBytes()}});
}

void RunEvents::ErrorBox(int string_id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    HoldError(JsonLine{{"event", "error"}, {"id", string_id}, {"text", LoadString(string_id)}});
    error_text_ = LoadString(string_id);
  }
  ForwardingView::ErrorBox(string_id);
}

void RunEvents::ErrorBoxWithDetail(int string_id, const std::string& detail) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    HoldError(JsonLine{{"event", "error"},
                       {"id", string_id},
                       {"text", LoadString(string_id)},
                       {"detail", detail}});
    error_text_ = LoadString(string_id) + " " + detail;
  }
  ForwardingView::ErrorBoxWithDetail(string_id, detail);
}

// An error box is written when it is known whether it ended the run: the run's end gives it
// the exit status and the advice that the terminal shows after it.
void RunEvents::HoldError(JsonLine error) {
  FlushError();
  held_error_ = std::move(error);
}

void RunEvents::FlushError() {
  if (held_error_.is_null()) return;
  Emit(std::move(held_error_));
  held_error_ = nullptr;
}

void RunEvents::DeviceIdentified(const DeviceIdentity& identity) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = identity;
    JsonLine line{{"event", "identity"}};
    line.update(CliView::IdentityJson(identity));
    Emit(line);
  }
  ForwardingView::DeviceIdentified(identity);
}

void RunEvents::FlashStepStarted(int row, FlashStepKind kind) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes_.writing()) EmitProgress(true);
    bytes_.StepStarted(kind);
    row_ = row;
    const FlashStep& step = FlashStepPlan[static_cast<std::size_t>(row - 1)];
    JsonLine line{{"event", "step"}, {"step", row}, {"of", kTotalSteps}, {"kind", KindName(kind)}};
    if (kind == FlashStepKind::kWrite) line["image"] = step.resource_id;
    line["size"] = step.size;
    Emit(line);
  }
  ForwardingView::FlashStepStarted(row, kind);
}

void RunEvents::Retrying(int row, std::int32_t offset, int attempt, std::int32_t status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++resends_;
    retry_row_ = row;
    retry_offset_ = offset;
    retry_status_ = status;
    retry_writing_ = bytes_.writing();
    JsonLine line{{"event", "retry"}, {"step", row}};
    if (bytes_.writing()) {
      line["block"] = offset / kBlockLength;
      line["offset"] = offset;
    }
    line["attempt"] = attempt;
    line["reason"] = RetryReason(status);
    Emit(line);
  }
  ForwardingView::Retrying(row, offset, attempt, status);
}

void RunEvents::RunEnded(UpdateResult result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = result;
    if (bytes_.writing() && result == UpdateResult::kCompleted) EmitProgress(true);
    if (result != UpdateResult::kCompleted && result != UpdateResult::kAborted) {
      const UpdateResultInfo& info = InfoOf(result);
      if (held_error_.is_null()) {
        held_error_ = JsonLine{{"event", "error"}, {"text", LoadString(info.string_id)}};
      }
      held_error_["exit"] = info.exit_status;
      if (const std::string advice = NextStepHint(result); !advice.empty()) {
        held_error_["advice"] = advice;
      }
    }
    FlushError();
  }
  ForwardingView::RunEnded(result);
}

std::optional<UpdateResult> RunEvents::result() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return result_;
}

int RunEvents::resends() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resends_;
}

}  // namespace fen
