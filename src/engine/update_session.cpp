// The update session: construction, "Execute" and teardown of one device's session. Its other
// roles live in files named for them: send_path.cpp, reply_dispatcher.cpp, update_worker.cpp
// and flash_steps.cpp. The dispatcher runs on the timer thread, the worker on a thread of its
// own per run, and the window (or the command-line tool's main thread) opens and closes the ports.
#include "engine/update_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include "engine/session_texts.h"
#include "engine/string_table.h"
#include "firmware/release.h"
#include "platform/spin_wait.h"

namespace fen {

UpdateTiming UpdateTiming::Shrunk() {
  UpdateTiming t;
  t.identity_wait_ms = 400;
  t.erase_wait_ms = 400;
  t.write_wait_ms = 150;
  t.finish_wait_ms = 400;
  t.finish_quiet_ms = 40;
  t.begin_pause_ms = 5;
  t.retry_pause_ms = 2;
  t.tick_period_ms = 1;
  t.send_bound_ms = 500;
  return t;
}

UpdateSession::UpdateSession(UpdateView& view, Services services, UpdateTiming timing)
    : view_(view),
      driver_(services.driver ? *services.driver : DefaultMidiDriver()),
      timer_service_(services.timer ? *services.timer : SystemTimerService()),
      firmware_(services.firmware ? *services.firmware : FirmwareSet::Builtin()),
      log_(services.clock ? services.clock : Clock(UtcNow)),
      timing_(timing),
      send_buffer_(new std::uint8_t[kSendBufferSize]()),
      in_port_(driver_),
      out_port_(driver_),
      timer_(timer_service_) {
  std::memcpy(identity_reply_.data(), kIdentityReplyTemplate.data(), identity_reply_.size());
  std::vector<std::uint8_t> models = services.release_models;
  if (models.empty() && services.firmware == nullptr) models = BuiltinRelease().models;
  for (std::uint8_t id : AllowedModelIds) {
    if (models.empty() || std::find(models.begin(), models.end(), id) != models.end()) {
      allowed_models_.push_back(id);
    }
  }
  out_port_.set_send_bound_ms(timing_.send_bound_ms);
  if (timing_.early_tick) {
    in_port_.SetArrivalHook([this] { timer_.RequestTick(); });
    // Every queued entry asks for a tick and a tick drains the queue, so between requests
    // nothing is queued: the timer sleeps instead of ticking every millisecond, and the tick
    // runs on the input thread that asks for it rather than waking the timer thread.
    timer_.set_extra_flags(TIME_KICK_INLINE | TIME_SLEEP_WHEN_IDLE);
  }
}

UpdateSession::~UpdateSession() { Teardown(); }

void UpdateSession::Initialise() {
  timer_.Start(timing_.tick_period_ms, &UpdateSession::TimerProcThunk,
               reinterpret_cast<std::uintptr_t>(this));
}

void UpdateSession::TimerProcThunk(std::uint32_t, std::uint32_t, std::uintptr_t user,
                                   std::uintptr_t, std::uintptr_t) {
  reinterpret_cast<UpdateSession*>(user)->DispatchReplies();
}

// ---------------------------------------------------------------------------------------
// Window side: "Execute" and teardown.

UpdateSession::ExecuteOutcome UpdateSession::Execute(std::int32_t in_device,
                                                     std::int32_t out_device) {
  if (torn_down_.load()) return ExecuteOutcome::kOutPortFailed;
  if (busy_.load()) {
    view_.ErrorBox(IDS_IN_PROGRESS);
    return ExecuteOutcome::kBusy;
  }
  if (!ClaimPorts(in_device, out_device)) return ExecuteOutcome::kPortsInUse;
  out_port_.Close();
  if (!out_port_.Open(out_device)) {
    ReleaseClaim();
    ReportOpenFailure(UpdateResult::kOutPortNotOpened);
    return ExecuteOutcome::kOutPortFailed;
  }
  in_port_.Close();
  in_port_.set_device_index(in_device);
  if (!in_port_.Open()) {
    ReleaseClaim();
    ReportOpenFailure(UpdateResult::kInPortNotOpened);
    return ExecuteOutcome::kInPortFailed;
  }
  view_.DisableControls();
  busy_.store(true);
  reply_slot_.StartRun();

  std::lock_guard<std::mutex> lock(worker_mutex_);
  if (worker_.joinable()) {
    // The last run has cleared the busy flag but may still be returning from its final view
    // call; joining it here could wait on the window thread that call needs.
    if (worker_running_.load()) {
      retired_workers_.push_back(std::move(worker_));
    } else {
      worker_.join();
    }
  }
  worker_running_.store(true);
  try {
    worker_ = std::thread([this] {
      UsePreciseTimers();
      UpdateThreadProc();
      std::lock_guard<std::mutex> done(worker_mutex_);
      worker_running_.store(false);
      worker_cv_.notify_all();
    });
  } catch (const std::system_error&) {
    // Without a worker the window would stay disabled for good: report it as a failed run.
    worker_running_.store(false);
    EndRun(UpdateResult::kTransferError);
  }
  return ExecuteOutcome::kStarted;
}

bool UpdateSession::ClaimPorts(std::int32_t in_device, std::int32_t out_device) {
  // A port the driver cannot name (no selection, a list that changed) is not claimed: it will
  // not open either, and that is reported as such.
  struct Side {
    const char* label;
    std::string key;
    std::string name;
  };
  Side sides[2] = {{"MIDI OUT", "", ""}, {"MIDI IN", "", ""}};
  if (out_device >= 0) {
    sides[0].key = driver_.midiOutGetDeviceKey(static_cast<std::uint32_t>(out_device));
    driver_.midiOutGetDevCaps(static_cast<std::uint32_t>(out_device), &sides[0].name);
  }
  if (in_device >= 0) {
    sides[1].key = driver_.midiInGetDeviceKey(static_cast<std::uint32_t>(in_device));
    driver_.midiInGetDevCaps(static_cast<std::uint32_t>(in_device), &sides[1].name);
  }
  std::vector<std::string> keys;
  for (const Side& side : sides) {
    if (!side.key.empty()) keys.push_back(side.key);
  }
  ClaimHolder holder;
  std::unique_ptr<PortClaim> claim = PortClaim::Take(keys, &holder);
  if (claim) {
    std::lock_guard<std::mutex> lock(claim_mutex_);
    claim_ = std::move(claim);
    return true;
  }
  std::string ports;
  for (const Side& side : sides) {
    if (side.key != holder.key) continue;
    if (!ports.empty()) ports += " and ";
    ports += std::string(side.label) + " \"" + side.name + "\"";
  }
  claim_holder_ = holder;
  claim_refusal_ = holder.pid > 0 || holder.program.empty()
                       ? ports + " held by " + DescribeHolder(holder)
                       : ports + ": " + holder.program;
  view_.ErrorBoxWithDetail(IDS_PORTS_IN_USE, claim_refusal_);
  KeepResult(UpdateResult::kPortsInUse);
  view_.RunEnded(UpdateResult::kPortsInUse);
  return false;
}

void UpdateSession::ReleaseClaim() {
  std::unique_ptr<PortClaim> claim;
  {
    std::lock_guard<std::mutex> lock(claim_mutex_);
    claim = std::move(claim_);
  }
}

void UpdateSession::ReportOpenFailure(UpdateResult result) {
  const UpdateResultInfo& info = InfoOf(result);
  log_.Write(info.log_index);
  view_.ErrorBox(info.string_id);
  KeepResult(result);
  view_.RunEnded(result);
}

void UpdateSession::Teardown() {
  if (torn_down_.exchange(true)) return;
  aborted_.store(true);
  out_port_.Close();
  in_port_.Close();
  reply_slot_.Abort();
  {
    std::lock_guard<std::mutex> lock(pause_mutex_);
    pause_cv_.notify_all();
  }
  timer_.Stop();
  JoinWorkers();
  ReleaseClaim();
}

void UpdateSession::JoinWorkers() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(worker_mutex_);
    threads = std::move(retired_workers_);
    retired_workers_.clear();
    if (worker_.joinable()) threads.push_back(std::move(worker_));
  }
  for (auto& t : threads) {
    if (t.get_id() != std::this_thread::get_id())
      t.join();
    else
      t.detach();
  }
}

void UpdateSession::WaitForWorker() {
  std::unique_lock<std::mutex> lock(worker_mutex_);
  worker_cv_.wait(lock, [this] { return !worker_running_.load(); });
}

bool UpdateSession::WaitForWorkerFor(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(worker_mutex_);
  return worker_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return !worker_running_.load(); });
}

}  // namespace fen
