// The update session: send path, reply dispatcher, worker and flash steps of one device.
// The dispatcher runs on the timer thread, the worker on a thread of its own per run, and the
// window (or the command-line tool's main thread) opens and closes the ports.
#include "engine/update_session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "engine/string_table.h"
#include "platform/spin_wait.h"

namespace fen {

namespace {

constexpr int kLogMidiOutError = 0;
constexpr int kLogIllegalDevice = 1;
constexpr int kLogUseUpdateMode = 2;
constexpr int kLogEraseTimeout = 3;
constexpr int kLogCrcError = 4;
constexpr int kLogFlashWriteError = 5;
constexpr int kLogWriteTimeout = 6;

std::string FormatText(int string_id, std::int32_t a, std::int32_t b) {
  const std::string format = LoadString(string_id);
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, format.c_str(), a, b);
  return buffer;
}

std::string StepCounterText(int step, int total) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%d/%d", step, total);
  return buffer;
}

}  // namespace

const std::array<FlashStep, 9> FlashStepPlan = {{
    {kEraseStep, 0x0EF000, 0x001000, 0},
    {kEraseStep, 0x000000, 0x040000, 0},
    {kWriteStep, 0x000000, 0x040000, 136},
    {kEraseStep, 0x3FD000, 0x003000, 0},
    {kWriteStep, 0x3FD000, 0x003000, 133},
    {kEraseStep, 0x0F0000, 0x2C7000, 0},
    {kWriteStep, 0x0F0000, 0x2C7000, 137},
    {kEraseStep, 0x040000, 0x0B0000, 0},
    {kWriteStep, 0x040000, 0x0B0000, 129},
}};

UpdateTiming UpdateTiming::Shrunk() {
  UpdateTiming t;
  t.identity_wait_ms = 400;
  t.erase_wait_ms = 400;
  t.write_wait_ms = 150;
  t.finish_wait_ms = 400;
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
  if (busy_.load() != 0) {
    view_.ErrorBox(IDS_IN_PROGRESS);
    return ExecuteOutcome::kBusy;
  }
  out_port_.Close();
  if (!out_port_.Open(out_device)) {
    log_.Write(kLogMidiOutError);
    view_.ErrorBox(IDS_CANT_OPEN_MIDI_OUT);
    return ExecuteOutcome::kOutPortFailed;
  }
  in_port_.Close();
  in_port_.set_device_index(in_device);
  if (!in_port_.Open()) {
    log_.Write(kLogMidiOutError);
    view_.ErrorBox(IDS_CANT_OPEN_MIDI_IN);
    return ExecuteOutcome::kInPortFailed;
  }
  view_.DisableControls();
  busy_.store(1);
  {
    std::lock_guard<std::mutex> lock(owed_mutex_);
    replies_owed_ = 0;
    reply_event_.Reset();
  }

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
    view_.ErrorBox(IDS_TRANSFER_ERROR);
    RestoreControls();
  }
  return ExecuteOutcome::kStarted;
}

void UpdateSession::Teardown() {
  if (torn_down_.exchange(true)) return;
  aborted_.store(true);
  out_port_.Close();
  in_port_.Close();
  {
    // Under the lock that ExpectReply resets the event under: a worker on its way into a wait
    // either resets before this signal or sees the abort and leaves the signal alone.
    std::lock_guard<std::mutex> lock(owed_mutex_);
    status_code_.store(kAbortStatus);
    reply_event_.Set();
    owed_cv_.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(pause_mutex_);
    pause_cv_.notify_all();
  }
  timer_.Stop();
  JoinWorkers();
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

// ---------------------------------------------------------------------------------------
// Send path. Building a message in the send buffer and sending it is one step under the
// send lock, so the dispatcher's answers never overwrite a block in flight.

int UpdateSession::SendLocked(const std::uint8_t* message, std::int32_t length) {
  if (length <= 0) return -1;
  MIDIHDR header;
  header.lpData = const_cast<std::uint8_t*>(message);
  header.dwBufferLength = static_cast<std::uint32_t>(length);
  header.dwFlags.store(0);
  return out_port_.SendLong(&header) ? 0 : -1;
}

int UpdateSession::SendSysEx(const std::uint8_t* message, std::int32_t length) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  return SendLocked(message, length);
}

int UpdateSession::SendStatus(std::uint8_t status) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildStatus(send_buffer_.get(), current_model_id_.load(), status);
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendBeginUpdate() {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildBeginUpdate(send_buffer_.get(), current_model_id_.load());
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendFinishUpdate() {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildFinishUpdate(send_buffer_.get(), current_model_id_.load());
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendWriteBlock(std::uint8_t model_id, const std::uint8_t* data,
                                  std::int32_t address, std::int32_t length) {
  // The buffer holds the longest block the length field can carry; never pack past it.
  if (length < 0 || length > kMaxBlockLength) return -1;
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildWriteBlock(send_buffer_.get(), model_id, data, address, length);
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendEraseRange(std::uint8_t model_id, std::int32_t address, std::int32_t size) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  const auto n = BuildEraseRange(send_buffer_.get(), model_id, address, size);
  return SendLocked(send_buffer_.get(), static_cast<std::int32_t>(n));
}

int UpdateSession::SendIdentityRequest() {
  return SendSysEx(kIdentityRequestTemplate.data(),
                   static_cast<std::int32_t>(kIdentityRequestTemplate.size()));
}

int UpdateSession::SendIdentityReply() {
  std::lock_guard<std::mutex> lock(send_mutex_);
  return SendLocked(identity_reply_.data(), static_cast<std::int32_t>(identity_reply_.size()));
}

// ---------------------------------------------------------------------------------------
// Reply dispatcher (timer thread). Reads only bytes that arrived: a message shorter than an
// offset a test reads does not match that test and is dropped without an answer.

void UpdateSession::DispatchReplies() {
  for (;;) {
    std::size_t n = 0;
    const std::uint8_t* p = in_port_.PeekSysEx(&n);
    if (p == nullptr) return;
    if (n >= 5 && p[0] == kSysExStart) {
      if (p[1] == kManufacturerId) {
        if (p[3] == current_model_id_.load()) {
          const std::uint8_t command = p[4];
          switch (command) {
            case kCmdStatus:
              // A status byte with bit 7 set is no well-formed Status; taking it could even
              // forge the abort status and leave the window disabled for good.
              if (n >= 6 && p[5] < 0x80) StoreReply(p[5], nullptr);
              break;
            case 0x01:
            case 0x04:
            case 0x05:
              SendStatus(kStatusOk);
              break;
            case kCmdWriteBlock:
              StoreReply(0, nullptr);
              break;
            case 0x03:
              break;
            default:
              SendStatus(kStatusUnrecognised);
              break;
          }
        }
      } else if (p[1] == kUniversalNonRealTime && p[3] == kGeneralInformation) {
        if (p[4] == kIdentityRequestSubId) {
          SendIdentityReply();
        } else if (p[4] == kIdentityReplySubId) {
          if (n >= 7) StoreReply(0, &p[6]);
        } else {
          SendStatus(kStatusUnrecognised);
        }
      }
    }
    in_port_.PopSysEx();
  }
}

void UpdateSession::StoreReply(std::int32_t status, const std::uint8_t* model_id) {
  {
    std::lock_guard<std::mutex> lock(owed_mutex_);
    // Once the session is being torn down the abort status must stay what a waiter reads.
    if (aborted_.load()) return;
    status_code_.store(status);
    if (model_id != nullptr) {
      detected_model_id_.store(*model_id);
      ++identity_replies_;
    }
    if (replies_owed_ > 0) --replies_owed_;
    counters_.replies_stored.fetch_add(1);
    // Signalled under the same lock as the worker's reset before a send: a signal that
    // landed after that reset would pass this reply off as the next message's answer.
    reply_event_.Set();
    owed_cv_.notify_all();
  }
}

// ---------------------------------------------------------------------------------------
// Reply accounting. The device answers every message once and in order; a reply that comes
// after its wait timed out must not be taken as the answer to the next message.

void UpdateSession::ExpectReply() {
  std::lock_guard<std::mutex> lock(owed_mutex_);
  // The abort's signal must reach the wait that follows; resetting it would leave the worker
  // waiting out the time-out (or for ever, after Begin Update) while the window closes.
  if (aborted_.load()) return;
  // A signal left now came from a reply to an earlier message: it is not this one's answer.
  reply_event_.Reset();
  ++replies_owed_;
}

bool UpdateSession::SettleOwedReplies(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(owed_mutex_);
  bool settled = true;
  if (replies_owed_ > 0) {
    const auto before = replies_owed_;
    owed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return replies_owed_ == 0 || aborted_.load(); });
    if (replies_owed_ > 0 && !aborted_.load()) {
      // A device late twice in a row would otherwise answer the next block with this block's
      // late success and leave it unwritten under a completed run. It answers in order, so
      // every Status before the answer to this request belongs to an earlier message.
      const std::int64_t seen = identity_replies_;
      const std::uint32_t identity_wait = timing_.identity_wait_ms;
      lock.unlock();
      SendIdentityRequest();
      lock.lock();
      for (;;) {
        const std::int64_t owed = replies_owed_;
        // Each late reply that comes shows the device alive: the wait starts again.
        const bool moved = owed_cv_.wait_for(lock, std::chrono::milliseconds(identity_wait), [&] {
          return identity_replies_ != seen || replies_owed_ != owed || aborted_.load();
        });
        if (!moved) settled = false;
        if (!moved || identity_replies_ != seen || aborted_.load()) break;
      }
    }
    counters_.stale_replies_discarded.fetch_add(
        static_cast<std::uint64_t>(before - (replies_owed_ > 0 ? replies_owed_ : 0)));
    // Whatever has not come by now was lost.
    replies_owed_ = 0;
  }
  if (!aborted_.load()) reply_event_.Reset();
  return settled || aborted_.load();
}

bool UpdateSession::WaitReply(std::uint32_t timeout_ms) {
  const bool signalled = reply_event_.Wait(timeout_ms);
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  return signalled;
}

bool UpdateSession::WaitBlockReply(std::chrono::steady_clock::time_point sent,
                                   std::uint32_t timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const Clock::duration expected = block_reply_latency_;
  // The answer to a block comes about as long after it as the answer to the last block did.
  // Waking up for it costs a processor's wake-up on top; blocking until shortly before and
  // polling from there saves that. A device whose answers come at no steady time stops the
  // polling after a few misses, and with it the processor time it would cost.
  const bool spin =
      timing_.early_tick && expected > Clock::duration::zero() && spin_misses_ < kSpinMissesAllowed;
  bool signalled = false;
  if (spin) {
    const Clock::time_point spin_from = std::min(sent + expected - kSpinLead, deadline);
    const Clock::time_point spin_to = std::min(sent + expected + kSpinTail, deadline);
    signalled = reply_event_.WaitUntil(spin_from);
    if (!signalled && !aborted_.load()) {
      signalled = SpinUntil(SpinPool::Default(), spin_to,
                            [this] { return reply_event_.TryWait() || aborted_.load(); });
      spin_misses_ = signalled ? 0 : spin_misses_ + 1;
    }
  }
  if (!signalled) signalled = reply_event_.WaitUntil(deadline);
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  if (signalled && status_code_.load() == 0) {
    // The device's own time is the floor of what is seen; whatever comes on top (a late
    // wake-up, a busy machine) only makes a block look slower. Follow the quickest answer at
    // once and a slower device only slowly.
    const Clock::duration took = Clock::now() - sent;
    if (expected == Clock::duration::zero() || took < expected) {
      block_reply_latency_ = took;
    } else {
      block_reply_latency_ = expected + (took - expected) / 16;
    }
  }
  return signalled;
}

bool UpdateSession::TakeArrivedReply() {
  const bool signalled = reply_event_.Wait(0);
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  return signalled;
}

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
void UpdateSession::RestoreControls() {
  if (!Aborted()) view_.RestoreControls();
  busy_.store(0);
}
void UpdateSession::Log(int index) {
  if (!Aborted()) log_.Write(index);
}

// ---------------------------------------------------------------------------------------
// The worker.

int UpdateSession::UpdateThreadProc() {
  ViewStepCounter(StepCounterText(0, kTotalSteps));

  // Identification.
  ExpectReply();
  if (SendIdentityRequest() != 0) {
    Log(kLogMidiOutError);
    ViewErrorBox(IDS_CANT_OPEN_MIDI_OUT);
  }
  if (!WaitReply(timing_.identity_wait_ms)) {
    Log(kLogMidiOutError);
    ViewErrorBox(IDS_TIMEOUT_IDENTITY);
    RestoreControls();
    return 0;
  }
  std::int32_t status = status_code_.load();
  if (status == kAbortStatus) return 0;
  if (status != 0) {
    Log(kLogIllegalDevice);
    ViewErrorBox(IDS_ILLEGAL_DEVICE);
    RestoreControls();
    return 0;
  }
  current_model_id_.store(detected_model_id_.load());
  bool allowed = false;
  for (std::uint8_t id : AllowedModelIds) allowed = allowed || id == current_model_id_.load();
  if (!allowed) {
    Log(kLogIllegalDevice);
    ViewErrorBox(IDS_ILLEGAL_DEVICE);
    RestoreControls();
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    identity_reply_[kIdentityReplyModelOffset] = current_model_id_.load();
  }

  // Preparation.
  SettleOwedReplies(timing_.identity_wait_ms);
  ExpectReply();
  SendBeginUpdate();
  ViewStatusLine(LoadString(IDS_ERASING_FLASH));
  WaitReply(AutoResetEvent::kInfinite);
  status = status_code_.load();
  if (status == kAbortStatus) return 0;
  ViewStatusLine("");
  if (status == kStatusNotInUpdateMode) {
    Log(kLogUseUpdateMode);
    ViewErrorBox(IDS_USE_UPDATE_MODE);
    RestoreControls();
    return 0;
  }
  if (status != 0) {
    ViewErrorBox(IDS_TRANSFER_ERROR);
    RestoreControls();
    return 0;
  }
  if (!Pause(timing_.begin_pause_ms)) return 0;

  // Flash steps.
  if (RunFlashPlan() != 0) return 0;

  // Completion.
  ExpectReply();
  SendFinishUpdate();
  if (!WaitReply(timing_.finish_wait_ms)) {
    ViewErrorBox(IDS_TRANSFER_ERROR);
    RestoreControls();
    return 0;
  }
  if (status_code_.load() == kAbortStatus) return 0;
  ViewStatusLine(LoadString(IDS_UPDATE_COMPLETED));
  RestoreControls();
  ViewEnableExecute(false);
  return 0;
}

int UpdateSession::RunFlashPlan() {
  int row_number = 0;
  for (const FlashStep& row : FlashStepPlan) {
    ++row_number;
    ViewStepCounter(StepCounterText(row_number, kTotalSteps));
    int result = 0;
    if (row.kind == kEraseStep) {
      result = RunEraseStep(row.address, row.size);
    } else if (row.kind == kWriteStep) {
      result = RunWriteStep(row.address, row.size, row.resource_id);
    }
    if (result == -1) return -1;
  }
  return 0;
}

int UpdateSession::RunEraseStep(std::int32_t address, std::int32_t size) {
  SettleOwedReplies(timing_.write_wait_ms);
  ViewProgressRange(10);
  int tries = 0;
  for (;;) {
    ExpectReply();
    SendEraseRange(current_model_id_.load(), address, size);
    ViewProgressPos(1);
    ViewStatusLine(LoadString(IDS_ERASING_FLASH));
    if (!WaitReply(timing_.erase_wait_ms)) {
      Log(kLogEraseTimeout);
      ViewErrorBox(IDS_TIMEOUT_ERASE);
      RestoreControls();
      return -1;
    }
    const std::int32_t status = status_code_.load();
    if (status == 0) {
      ViewProgressPos(10);
      return 0;
    }
    if (status == kAbortStatus) return -1;
    if (tries <= 5) {
      ++tries;
      if (!Pause(timing_.retry_pause_ms)) return -1;
      continue;
    }
    Log(kLogEraseTimeout);
    ViewErrorBox(IDS_TRANSFER_ERROR);
    RestoreControls();
    return -1;
  }
}

int UpdateSession::RunWriteStep(std::int32_t address, std::int32_t size, std::int32_t resource_id) {
  const FirmwareImage image = firmware_.Find(resource_id);
  current_image_ = image.data;
  current_image_length_ = size == 0 ? static_cast<std::int32_t>(image.size) : size;
  // A missing or short image would be read past its end; report it as a failed transfer.
  if (image.data == nullptr || current_image_length_ <= 0 ||
      static_cast<std::size_t>(current_image_length_) > image.size) {
    ViewErrorBox(IDS_TRANSFER_ERROR);
    RestoreControls();
    return -1;
  }
  SettleOwedReplies(timing_.erase_wait_ms);
  spin_misses_ = 0;
  block_reply_latency_ = {};
  ViewProgressRange(current_image_length_);
  std::int32_t offset = 0;
  int tries = 0;
  bool resend = false;
  for (;;) {
    const std::int32_t length = current_image_length_ - offset < kBlockLength
                                    ? current_image_length_ - offset
                                    : kBlockLength;
    bool signalled = true;
    // A reply to an earlier try of this block may have come during the pause. A success means
    // the block is in flash: sending it again would only be refused by the device.
    const bool arrived = resend && TakeArrivedReply();
    if (arrived && status_code_.load() == kAbortStatus) return -1;
    if (!(arrived && status_code_.load() == 0)) {
      ExpectReply();
      const auto sent = std::chrono::steady_clock::now();
      SendWriteBlock(current_model_id_.load(), current_image_ + offset, address + offset, length);
      counters_.blocks_sent.fetch_add(1);
      ViewStatusLine(FormatText(IDS_DATA_TRANSMIT, offset, current_image_length_));
      signalled = WaitBlockReply(sent, timing_.write_wait_ms);
    }
    resend = false;
    if (!signalled) {
      if (tries <= 5) {
        ++tries;
        if (!Pause(timing_.retry_pause_ms)) return -1;
        resend = true;
        continue;
      }
      Log(kLogWriteTimeout);
      ViewErrorBox(IDS_TIMEOUT_WRITE);
      RestoreControls();
      return -1;
    }
    const std::int32_t status = status_code_.load();
    if (status == 0) {
      counters_.blocks_acknowledged.fetch_add(1);
      tries = 0;
      offset += kBlockLength;
      ViewProgressPos(offset < current_image_length_ ? offset : current_image_length_);
      // Replies still owed for earlier tries of this block are taken before the next block,
      // so none of them can pass for the next block's answer.
      if (!SettleOwedReplies(timing_.write_wait_ms)) {
        // The device went silent right after the block: what the next block would have met.
        Log(kLogWriteTimeout);
        ViewErrorBox(IDS_TIMEOUT_WRITE);
        RestoreControls();
        return -1;
      }
      if (offset >= current_image_length_) return 0;
      continue;
    }
    if (status == kAbortStatus) return -1;
    if (status == kStatusCrcMismatch) {
      Log(kLogCrcError);
    } else if (status == kStatusFlashWriteFailed) {
      Log(kLogFlashWriteError);
    }
    if (tries <= 5) {
      ++tries;
      if (!Pause(timing_.retry_pause_ms)) return -1;
      resend = true;
      continue;
    }
    ViewErrorBox(IDS_TRANSFER_ERROR);
    RestoreControls();
    return -1;
  }
}

}  // namespace fen
