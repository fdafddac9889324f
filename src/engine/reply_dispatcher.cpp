// The reply dispatcher (timer thread) and the reply accounting of the ReplySlot: what the
// dispatcher stores and signals, and how the worker's waits take it.
#include <algorithm>
#include <chrono>

#include "engine/update_session.h"
#include "platform/spin_wait.h"
#include "protocol/identity.h"

namespace fen {

// Reads only bytes that arrived: a message shorter than an offset a test reads does not match
// that test and is dropped without an answer.
void UpdateSession::DispatchReplies() {
  for (;;) {
    std::size_t n = 0;
    const std::uint8_t* p = in_port_.PeekSysEx(&n);
    if (p == nullptr) return;
    view_.MessageTraffic(false, p, n);
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
            case kCmdBeginUpdate:
            case kCmdFinishUpdate:
            case kCmdDeviceRequest:
              SendStatus(kStatusOk);
              break;
            case kCmdWriteBlock:
              StoreReply(0, nullptr);
              break;
            case kCmdIgnored:
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
          if (n >= 7) {
            DeviceIdentity identity;
            const bool whole = ParseIdentityReply(p, n, &identity);
            StoreReply(0, &p[6], whole ? &identity : nullptr);
          }
        } else {
          SendStatus(kStatusUnrecognised);
        }
      }
    }
    in_port_.PopSysEx();
  }
}

// During a run every reply is owed by a message the worker sent: the device answers each
// message once. One that nobody owes answers another host, which shares the device's ports
// (JACK, the ALSA sequencer and Windows let several programs open one port): the run stops
// there, for its blocks and that host's are now written in an order neither of them knows.
// An Identity Reply nobody asked for is left alone: asking who the device is changes nothing.
void UpdateSession::StoreReply(std::int32_t status, const std::uint8_t* model_id,
                               const DeviceIdentity* identity) {
  std::lock_guard<std::mutex> lock(owed_mutex_);
  // Once the session is being torn down the abort status must stay what a waiter reads; once
  // another host has shown itself, its sign does.
  if (aborted_.load() || other_host_.load()) return;
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
      counters_.unowed_replies.fetch_add(1);
      status_code_.store(kOtherHostStatus);
      reply_event_.Set();
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
  counters_.replies_stored.fetch_add(1);
  // Signalled under the same lock as the worker's reset before a send: a signal that landed
  // after that reset would pass this reply off as the next message's answer.
  reply_event_.Set();
  owed_cv_.notify_all();
}

std::optional<UpdateResult> UpdateSession::EndingStatus(std::int32_t status) {
  if (status == kAbortStatus) return UpdateResult::kAborted;
  if (status == kOtherHostStatus) return UpdateResult::kOtherHost;
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Reply accounting. The device answers every message once and in order; a reply that comes
// after its wait timed out must not be taken as the answer to the next message.

void UpdateSession::ExpectReply(Asked asked) {
  std::lock_guard<std::mutex> lock(owed_mutex_);
  // The abort's signal must reach the wait that follows; resetting it would leave the worker
  // waiting out the time-out (or for ever, after Begin Update) while the window closes. So
  // must the sign of another host.
  if (aborted_.load() || other_host_.load()) return;
  // A signal left now came from a reply to an earlier message: it is not this one's answer.
  reply_event_.Reset();
  status_answers_identity_ = asked == Asked::kIdentity;
  if (asked == Asked::kIdentity) {
    ++identity_owed_;
  } else {
    ++replies_owed_;
  }
}

bool UpdateSession::SettleOwedReplies(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(owed_mutex_);
  bool settled = true;
  if (replies_owed_ > 0) {
    const auto before = replies_owed_;
    owed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] {
      return replies_owed_ == 0 || aborted_.load() || other_host_.load();
    });
    if (replies_owed_ > 0 && !aborted_.load() && !other_host_.load()) {
      // A device late twice in a row would otherwise answer the next block with this block's
      // late success and leave it unwritten under a completed run. It answers in order, so
      // every Status before the answer to this request belongs to an earlier message.
      const std::int64_t seen = identity_replies_;
      const std::uint32_t identity_wait = timing_.identity_wait_ms;
      ++identity_owed_;
      lock.unlock();
      SendIdentityRequest();
      lock.lock();
      for (;;) {
        const std::int64_t owed = replies_owed_;
        // Each late reply that comes shows the device alive: the wait starts again.
        const bool moved = owed_cv_.wait_for(lock, std::chrono::milliseconds(identity_wait), [&] {
          return identity_replies_ != seen || replies_owed_ != owed || aborted_.load() ||
                 other_host_.load();
        });
        if (!moved) settled = false;
        if (!moved || identity_replies_ != seen || aborted_.load() || other_host_.load()) break;
      }
    }
    counters_.stale_replies_discarded.fetch_add(
        static_cast<std::uint64_t>(before - (replies_owed_ > 0 ? replies_owed_ : 0)));
    // Whatever has not come by now was lost.
    replies_owed_ = 0;
  }
  // The abort's and another host's signal stay for the wait that follows.
  if (!aborted_.load() && !other_host_.load()) reply_event_.Reset();
  return settled || aborted_.load() || other_host_.load();
}

bool UpdateSession::AnotherHostWithin(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(owed_mutex_);
  owed_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [this] { return aborted_.load() || other_host_.load(); });
  return other_host_.load();
}

std::optional<DeviceIdentity> UpdateSession::device_identity() {
  std::lock_guard<std::mutex> lock(owed_mutex_);
  return identity_;
}

bool UpdateSession::WaitReply(std::uint32_t timeout_ms) {
  const bool signalled = reply_event_.Wait(timeout_ms);
  if (aborted_.load()) {
    status_code_.store(kAbortStatus);
    return true;
  }
  return signalled || other_host_.load();
}

bool UpdateSession::WaitBlockReply(SteadyClock::time_point sent, std::uint32_t timeout_ms) {
  const SteadyClock::time_point deadline =
      SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  const SteadyClock::duration expected = block_reply_latency_;
  // The answer to a block comes about as long after it as the answer to the last block did.
  // Waking up for it costs a processor's wake-up on top; blocking until shortly before and
  // polling from there saves that. A device whose answers come at no steady time stops the
  // polling after a few misses, and with it the processor time it would cost.
  const bool spin = timing_.early_tick && expected > SteadyClock::duration::zero() &&
                    spin_misses_ < kSpinMissesAllowed;
  bool signalled = false;
  if (spin) {
    const SteadyClock::time_point spin_from = std::min(sent + expected - kSpinLead, deadline);
    const SteadyClock::time_point spin_to = std::min(sent + expected + kSpinTail, deadline);
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
  if (other_host_.load()) return true;
  if (signalled && status_code_.load() == 0) {
    // The device's own time is the floor of what is seen; whatever comes on top (a late
    // wake-up, a busy machine) only makes a block look slower. Follow the quickest answer at
    // once and a slower device only slowly.
    const SteadyClock::duration took = SteadyClock::now() - sent;
    if (expected == SteadyClock::duration::zero() || took < expected) {
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
  return signalled || other_host_.load();
}

}  // namespace fen
