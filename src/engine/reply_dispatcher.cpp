// The reply dispatcher (timer thread), which fills the reply slot, and the worker's ways of
// taking from it.
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
              if (n >= 6 && p[5] < 0x80) reply_slot_.Store(p[5], nullptr);
              break;
            case kCmdBeginUpdate:
            case kCmdFinishUpdate:
            case kCmdDeviceRequest:
              SendStatus(kStatusOk);
              break;
            case kCmdWriteBlock:
              reply_slot_.Store(0, nullptr);
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
            reply_slot_.Store(0, &p[6], whole ? &identity : nullptr);
          }
        } else {
          SendStatus(kStatusUnrecognised);
        }
      }
    }
    in_port_.PopSysEx();
  }
}

std::optional<UpdateResult> UpdateSession::EndingStatus(std::int32_t status) {
  if (status == kAbortStatus) return UpdateResult::kAborted;
  if (status == kOtherHostStatus) return UpdateResult::kOtherHost;
  return std::nullopt;
}

bool UpdateSession::SettleOwedReplies(std::uint32_t timeout_ms) {
  return reply_slot_.Settle(timeout_ms, timing_.identity_wait_ms,
                            [this] { SendIdentityRequest(); });
}

std::optional<DeviceIdentity> UpdateSession::device_identity() { return reply_slot_.identity(); }

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
    signalled = reply_slot_.WaitUntil(spin_from);
    if (!signalled && !aborted_.load()) {
      signalled = SpinUntil(SpinPool::Default(), spin_to, [this] { return reply_slot_.TryTake(); });
      spin_misses_ = signalled ? 0 : spin_misses_ + 1;
    }
  }
  if (!signalled) signalled = reply_slot_.WaitUntil(deadline);
  if (signalled && reply_slot_.status() == 0) {
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

}  // namespace fen
