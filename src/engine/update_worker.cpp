// The worker of a run (its own thread): identification, preparation, the flash plan and
// completion, with the pauses and the view calls that the worker and the flash steps share.
#include <chrono>
#include <optional>

#include "engine/session_texts.h"
#include "engine/string_table.h"
#include "engine/update_session.h"

namespace fen {

bool UpdateSession::Pause(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(pause_mutex_);
  pause_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return aborted_.load(); });
  return !aborted_.load();
}

// ---------------------------------------------------------------------------------------
// View calls. Once the session is being torn down nothing reaches the window any more.

void UpdateSession::ViewStatusLine(const std::string& text) {
  if (!Aborted()) view_.SetStatusLine(text);
}
void UpdateSession::ViewStepCounter(const std::string& text) {
  if (!Aborted()) view_.SetStepCounter(text);
}
void UpdateSession::ViewProgressRange(std::int32_t upper) {
  if (!Aborted()) view_.SetProgressRange(upper);
}
void UpdateSession::ViewProgressPos(std::int32_t position) {
  if (!Aborted()) view_.SetProgressPos(position);
}
void UpdateSession::ViewErrorBox(int string_id) {
  if (!Aborted()) view_.ErrorBox(string_id);
}
void UpdateSession::ViewEnableExecute(bool enable) {
  if (!Aborted()) view_.EnableExecute(enable);
}
void UpdateSession::ViewDeviceIdentified(const DeviceIdentity& identity) {
  if (!Aborted()) view_.DeviceIdentified(identity);
}
void UpdateSession::RestoreControls() {
  if (!Aborted()) view_.RestoreControls();
  busy_.store(false);
}
void UpdateSession::Log(int index) {
  if (!Aborted()) log_.Write(index);
}

void UpdateSession::EndRun(UpdateResult result) {
  if (Aborted()) result = UpdateResult::kAborted;
  reply_slot_.EndRun();
  // The device is free for another run before this one's controls come back.
  ReleaseClaim();
  const UpdateResultInfo& info = InfoOf(result);
  if (result == UpdateResult::kCompleted) {
    ViewStatusLine(LoadString(info.string_id));
    RestoreControls();
    ViewEnableExecute(false);
  } else if (result != UpdateResult::kAborted) {
    if (info.log_index >= 0) Log(info.log_index);
    ViewErrorBox(info.string_id);
    RestoreControls();
  }
  KeepResult(result);
  if (!Aborted()) view_.RunEnded(result);
}

void UpdateSession::KeepResult(UpdateResult result) {
  std::lock_guard<std::mutex> lock(result_mutex_);
  last_result_ = result;
}

std::optional<UpdateResult> UpdateSession::last_result() const {
  std::lock_guard<std::mutex> lock(result_mutex_);
  return last_result_;
}

// ---------------------------------------------------------------------------------------
// The worker.

void UpdateSession::UpdateThreadProc() { EndRun(RunUpdate()); }

UpdateResult UpdateSession::RunUpdate() {
  ViewStepCounter(FormatStepCounter(0, kTotalSteps));

  // Identification.
  reply_slot_.Expect(ReplySlot::Asked::kIdentity);
  if (SendIdentityRequest() != 0) {
    Log(kLogMidiOutError);
    ViewErrorBox(IDS_CANT_OPEN_MIDI_OUT);
  }
  if (!reply_slot_.Wait(timing_.identity_wait_ms)) return UpdateResult::kIdentityTimeout;
  std::int32_t status = reply_slot_.status();
  if (const auto end = EndingStatus(status)) return *end;
  if (status != 0) return UpdateResult::kIllegalDevice;
  current_model_id_.store(reply_slot_.detected_model_id());
  if (const std::optional<DeviceIdentity> identity = device_identity()) {
    ViewDeviceIdentified(*identity);
  }
  bool allowed = false;
  for (std::uint8_t id : allowed_models_) allowed = allowed || id == current_model_id_.load();
  if (!allowed) return UpdateResult::kIllegalDevice;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    identity_reply_[kIdentityReplyModelOffset] = current_model_id_.load();
  }

  // Preparation.
  SettleOwedReplies(timing_.identity_wait_ms);
  if (reply_slot_.other_host()) return UpdateResult::kOtherHost;
  reply_slot_.Expect();
  SendBeginUpdate();
  ViewStatusLine(LoadString(IDS_ERASING_FLASH));
  reply_slot_.Wait(AutoResetEvent::kInfinite);
  status = reply_slot_.status();
  if (status == kAbortStatus) return UpdateResult::kAborted;
  ViewStatusLine("");
  if (status == kOtherHostStatus) return UpdateResult::kOtherHost;
  if (status == kStatusNotInUpdateMode) return UpdateResult::kNotInUpdateMode;
  if (status != 0) return UpdateResult::kBeginRefused;
  if (!Pause(timing_.begin_pause_ms)) return UpdateResult::kAborted;

  // Flash steps.
  if (const std::optional<UpdateResult> end = RunFlashPlan()) return *end;

  // Completion. The device's answer says whether the update took: a failure status is a
  // failed run, not a completed one.
  if (reply_slot_.other_host()) return UpdateResult::kOtherHost;
  reply_slot_.Expect();
  SendFinishUpdate();
  if (!reply_slot_.Wait(timing_.finish_wait_ms)) return UpdateResult::kFinishUnanswered;
  status = reply_slot_.status();
  if (const auto end = EndingStatus(status)) return *end;
  if (status != 0) return UpdateResult::kFinishRefused;
  // Replies carry no block number. A status from another host that came close before one of
  // this run's own would have been taken for it, and every later reply for the message after
  // its own: the one reply too many is then still on its way, and comes now.
  if (reply_slot_.AnotherHostWithin(timing_.finish_quiet_ms)) return UpdateResult::kOtherHost;
  if (aborted_.load()) return UpdateResult::kAborted;
  return UpdateResult::kCompleted;
}

}  // namespace fen
