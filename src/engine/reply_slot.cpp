// The reply slot's accounting. The device answers every message once and in order; an answer
// that comes after its wait timed out must not be taken as the answer to the next message, and
// one that nobody owes answers another host.
#include "engine/reply_slot.h"

namespace fen {

void ReplySlot::StartRun() {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_owed_ = 0;
  identity_owed_ = 0;
  status_answers_identity_ = false;
  other_host_.store(false);
  run_active_ = true;
  event_.Reset();
}

void ReplySlot::EndRun() {
  std::lock_guard<std::mutex> lock(mutex_);
  run_active_ = false;
}

void ReplySlot::Abort() {
  // Under the lock that Expect resets the event under: a worker on its way into a wait either
  // resets before this signal or sees the abort and leaves the signal alone.
  std::lock_guard<std::mutex> lock(mutex_);
  status_code_.store(kAbortStatus);
  event_.Set();
  owed_cv_.notify_all();
}

// During a run every answer is owed by a message the worker sent: the device answers each
// message once. One that nobody owes answers another host, which shares the device's ports
// (JACK, the ALSA sequencer and Windows let several programs open one port): the run stops
// there, for its blocks and that host's are now written in an order neither of them knows.
// An Identity Reply nobody asked for is left alone: asking who the device is changes nothing.
void ReplySlot::Store(std::int32_t status, const std::uint8_t* model_id,
                      const DeviceIdentity* identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Once the session is being torn down the abort status must stay what a waiter reads; once
  // another host has shown itself, its sign does.
  if (Ended()) return;
  const bool identity_reply = model_id != nullptr;
  if (run_active_) {
    if (identity_reply) {
      if (identity_owed_ == 0) return;
      --identity_owed_;
    } else if (replies_owed_ > 0) {
      --replies_owed_;
    } else if (identity_owed_ > 0 && status_answers_identity_) {
      --identity_owed_;
    } else {
      other_host_.store(true);
      counts_.unowed_replies.fetch_add(1);
      status_code_.store(kOtherHostStatus);
      event_.Set();
      owed_cv_.notify_all();
      return;
    }
  } else if (replies_owed_ > 0) {
    --replies_owed_;
  }
  status_code_.store(status);
  if (identity_reply) {
    detected_model_id_.store(*model_id);
    ++identity_replies_;
    identity_ = identity != nullptr ? std::optional<DeviceIdentity>(*identity) : std::nullopt;
  }
  counts_.replies_stored.fetch_add(1);
  // Signalled under the same lock as the worker's reset before a send: a signal that landed
  // after that reset would pass this reply off as the next message's answer.
  event_.Set();
  owed_cv_.notify_all();
}

void ReplySlot::Expect(Asked asked) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The abort's signal must reach the wait that follows; resetting it would leave the worker
  // waiting out the time-out (or for ever, after Begin Update) while the window closes. So
  // must the sign of another host.
  if (Ended()) return;
  // A signal left now came from a reply to an earlier message: it is not this one's answer.
  event_.Reset();
  status_answers_identity_ = asked == Asked::kIdentity;
  if (asked == Asked::kIdentity) {
    ++identity_owed_;
  } else {
    ++replies_owed_;
  }
}

bool ReplySlot::Wait(std::uint32_t timeout_ms) {
  // A signal taken by an earlier wait must not leave this one waiting for ever.
  const bool signalled = Ended() || event_.Wait(timeout_ms);
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  return signalled || other_host_.load();
}

bool ReplySlot::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  const bool signalled = Ended() || event_.WaitUntil(deadline);
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  return signalled || other_host_.load();
}

bool ReplySlot::TryTake() {
  const bool signalled = event_.TryWait();
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  return signalled || other_host_.load();
}

bool ReplySlot::Settle(std::uint32_t timeout_ms, std::uint32_t identity_wait_ms,
                       const std::function<void()>& send_identity_request) {
  std::unique_lock<std::mutex> lock(mutex_);
  bool settled = true;
  if (replies_owed_ > 0) {
    const auto before = replies_owed_;
    owed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return replies_owed_ == 0 || Ended(); });
    if (replies_owed_ > 0 && !Ended()) {
      // A device late twice in a row would otherwise answer the next block with this block's
      // late success and leave it unwritten under a completed run. It answers in order, so
      // every Status before the answer to this request belongs to an earlier message.
      const std::int64_t seen = identity_replies_;
      ++identity_owed_;
      lock.unlock();
      send_identity_request();
      lock.lock();
      for (;;) {
        const std::int64_t owed = replies_owed_;
        // Each late reply that comes shows the device alive: the wait starts again.
        const bool moved = owed_cv_.wait_for(
            lock, std::chrono::milliseconds(identity_wait_ms),
            [&] { return identity_replies_ != seen || replies_owed_ != owed || Ended(); });
        if (!moved) settled = false;
        if (!moved || identity_replies_ != seen || Ended()) break;
      }
    }
    counts_.stale_replies_discarded.fetch_add(
        static_cast<std::uint64_t>(before - (replies_owed_ > 0 ? replies_owed_ : 0)));
    // Whatever has not come by now was lost.
    replies_owed_ = 0;
  }
  // The abort's and another host's signal stay for the wait that follows.
  if (!Ended()) event_.Reset();
  return settled || Ended();
}

bool ReplySlot::AnotherHostWithin(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  owed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return Ended(); });
  return other_host_.load();
}

std::optional<DeviceIdentity> ReplySlot::identity() {
  std::lock_guard<std::mutex> lock(mutex_);
  return identity_;
}

}  // namespace fen
