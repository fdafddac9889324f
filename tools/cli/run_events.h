// What one update run did, as the command-line tool reports it to scripts: a stream of JSON
// events (--json) and one line per run in a record file (--record). It watches the run as a
// view, passing every call on to the view that shows the run, if any.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "acknowledged_bytes.h"
#include "engine/update_view.h"
#include "firmware/release.h"
#include "json_line.h"

namespace fen {

// The version of the event stream's shape: raised when a field changes meaning or goes.
inline constexpr int kEventSchemaVersion = 1;

// The bytes of the four images, which a whole update sends: what progress counts against.
std::int64_t TotalImageBytes();

// The "release" field of the result event and of a record: the version and the manifest's
// SHA-256 of a release folder, "embedded" for the program's own images, "unverified" for a
// folder without a manifest.
JsonLine ReleaseJson(const ReleaseInfo& release, bool from_folder);

// ISO 8601 local time with its UTC offset, to the second: "2026-12-09T12:41:05+01:00".
std::string IsoTime(std::chrono::system_clock::time_point when);

class RunEvents : public ForwardingView {
 public:
  // `shown`: the view that shows the run (null: none). `events`: where the event stream goes
  // (null: nowhere). `label`: the device's label when several run at once, else empty.
  RunEvents(UpdateView* shown, std::FILE* events, std::string label = {});

  // The plan, first line of the stream: the ports and the release.
  void Begin(const std::string& in_port, const std::string& out_port, JsonLine release);
  // The closing result event, and the summary that a record keeps: outcome, exit status,
  // device, release, resends, duration and, for a failed run, where it stopped (step, block,
  // offset, the device's status, the error's text; null where it does not apply). `extra`
  // fields are added to both.
  JsonLine Finish(const std::string& outcome, int exit_status, const JsonLine& extra = {});

  // What the stream reports; every call goes on to the view that shows the run.
  void SetProgressPos(std::int32_t position) override;
  void ErrorBox(int string_id) override;
  void ErrorBoxWithDetail(int string_id, const std::string& detail) override;
  void DeviceIdentified(const DeviceIdentity& identity) override;
  void FlashStepStarted(int row, FlashStepKind kind) override;
  void Retrying(int row, std::int32_t offset, int attempt, std::int32_t status) override;
  void RunEnded(UpdateResult result) override;

  std::optional<UpdateResult> result() const;
  int resends() const;

 private:
  void Emit(JsonLine fields);
  void EmitProgress(bool force);
  void HoldError(JsonLine error);
  void FlushError();

  std::FILE* events_;
  std::string label_;
  mutable std::mutex mutex_;
  std::chrono::system_clock::time_point started_wall_;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point last_progress_{};
  std::string in_port_, out_port_;
  JsonLine release_;
  std::optional<DeviceIdentity> device_;
  std::optional<UpdateResult> result_;
  int row_ = 0;
  AcknowledgedBytes bytes_;
  int last_percent_ = -1;
  int resends_ = 0;
  std::string error_text_;  // the last error box's, as the terminal shows it
  int retry_row_ = 0;       // the last retry's step, offset, status and kind
  std::int32_t retry_offset_ = 0;
  std::int32_t retry_status_ = -1;
  bool retry_writing_ = false;
  JsonLine held_error_;  // the last error box's event, until the run's end completes it
};

// The local time of `t` and its offset from UTC in seconds (east positive). One file per system.
std::tm LocalTime(std::time_t t, long* utc_offset_seconds);

// The end of a record's line: "\n", or "\r\n" on Windows. One file per system.
const char* RecordLineEnd();

// The station a record names: this computer's host name, empty when the system does not say.
// One file per system.
std::string StationName();

// Appends `line` and a line end to the record file at `path` in one write, and flushes it to
// the disk; several processes appending to one file leave whole lines. The file is the one
// CheckRecordWritable opened, when it did. False, with the reason in `error`, when it cannot be
// written.
bool AppendRecord(const std::string& path, const JsonLine& line, std::string* error);
// Opens `path` for appending (creating it) and keeps it open for AppendRecord, so that a record
// that cannot be written is refused before the run, and the lines go to the file that was
// checked. Never truncates; refuses a link, a FIFO, a device, a folder and another user's file.
bool CheckRecordWritable(const std::string& path, std::string* error);

}  // namespace fen
