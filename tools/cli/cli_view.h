// The command-line tool's view of a run: a redrawn progress line on a terminal, plain lines
// otherwise, or one JSON object per view call.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "acknowledged_bytes.h"
#include "engine/update_view.h"
#include "json_line.h"

namespace fen {

class CliView : public UpdateView {
 public:
  enum class Mode { kTerminal, kPlain, kJson };
  // Quiet: errors and the result only. Verbose: also each message's kind and size and each
  // retry's cause. Neither changes the JSON lines.
  enum class Verbosity { kQuiet, kNormal, kVerbose };

  // `label` prefixes every line (the device's port name when several run at once). In JSON
  // mode `out` may be null: the window's calls are then written nowhere, the errors still to
  // `err`.
  CliView(Mode mode, std::FILE* out, std::FILE* err, std::string label = {},
          Verbosity verbosity = Verbosity::kNormal);

  void SetStatusLine(const std::string& text) override;
  void SetStepCounter(const std::string& text) override;
  void SetProgressRange(std::int32_t upper) override;
  void SetProgressPos(std::int32_t position) override;
  void ErrorBox(int string_id) override;
  void ErrorBoxWithDetail(int string_id, const std::string& detail) override;
  void RestoreControls() override;
  void EnableExecute(bool enable) override;
  void DisableControls() override;
  void DeviceIdentified(const DeviceIdentity& identity) override;
  void FlashStepStarted(int row, FlashStepKind kind) override;
  void Retrying(int row, std::int32_t offset, int attempt, std::int32_t status) override;
  void MessageTraffic(bool sent, const std::uint8_t* data, std::size_t size) override;
  void RunEnded(UpdateResult result) override;

  // "model 0x57, family 0x0057, member 0x0000, revision 1000, maker 0x52", and the same as
  // JSON fields.
  static std::string IdentityText(const DeviceIdentity& identity);
  static JsonLine IdentityJson(const DeviceIdentity& identity);

  // Ends a redrawn line so that what follows starts on a line of its own.
  void FinishLine();

  bool completed() const;
  // The string ID of the last error box, 0 when none was shown.
  int last_error() const;
  // Bytes acknowledged over the whole update so far.
  std::int64_t bytes_done() const;

 private:
  // `now_always`: also within the redraws' pause, after a line that cleared it.
  void Redraw(bool now_always = false);
  void Emit(const JsonLine& fields);
  // With the mutex held: ends a progress line left open, so that what follows starts a line;
  // writes `text` as a line of its own after the label, and flushes it.
  void CloseLine();
  // With the mutex held: wipes a progress line left open, which the next redraw puts back
  // under the line written in its place, so that no stale progress stays above the live one.
  void ClearLine();
  std::string label_prefix() const;
  void PrintLine(std::FILE* to, const std::string& text);

  bool quiet() const { return verbosity_ == Verbosity::kQuiet && mode_ != Mode::kJson; }
  bool verbose() const { return verbosity_ == Verbosity::kVerbose && mode_ != Mode::kJson; }

  Mode mode_;
  Verbosity verbosity_;
  std::FILE* out_;
  std::FILE* err_;
  std::string label_;
  mutable std::mutex mutex_;
  std::string status_;
  std::string step_;
  std::int32_t range_ = 100;
  std::int32_t position_ = 0;  // this step's, as the bar shows it
  AcknowledgedBytes bytes_;
  int last_error_ = 0;
  bool completed_ = false;  // the run ended with UpdateResult::kCompleted
  bool line_open_ = false;  // a progress line is on `out_` without its newline
  int last_plain_decile_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace fen
