// The reply slot: what the reply dispatcher leaves for the worker (the status code of the last
// reply it recognised, the model ID of the last Identity Reply, and the event that says one has
// come), with the accounting of the replies the device owes, so that an answer nobody asked for
// is told from the answer a wait is for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/auto_reset_event.h"
#include "protocol/identity.h"

namespace fen {

inline constexpr std::int32_t kAbortStatus = 255;
// What a wait reads once a reply has come that nobody asked for: no device sends it.
inline constexpr std::int32_t kOtherHostStatus = -2;

class ReplySlot {
 public:
  // What a message asks for. The answer to an Identity Request is an Identity Reply (or, from
  // a device that refuses it, a Status); to the others a Status.
  enum class Asked { kStatus, kIdentity };

  // What the slot counts, for tests and the tools.
  struct Counts {
    std::atomic<std::uint64_t> replies_stored{0};
    std::atomic<std::uint64_t> stale_replies_discarded{0};
    // Replies beyond those owed: another program's answers.
    std::atomic<std::uint64_t> unowed_replies{0};
  };

  // `aborted` is the session's teardown flag: once it is set the abort status is what every
  // wait reads.
  explicit ReplySlot(const std::atomic<bool>& aborted) : aborted_(aborted) {}
  ReplySlot(const ReplySlot&) = delete;
  ReplySlot& operator=(const ReplySlot&) = delete;

  // --- Session side.
  // "Execute": nothing owed, no signal left, and from now on a reply nobody owes is another
  // host's.
  void StartRun();
  // The run has ended: replies are taken without that suspicion again.
  void EndRun();
  // Teardown: the abort status, signalled, so that every wait ends.
  void Abort();

  // --- Dispatcher side. Stores a reply's status (and, for an Identity Reply, its model ID and
  // its whole identity, or none when it was not whole) and signals the event.
  void Store(std::int32_t status, const std::uint8_t* model_id,
             const DeviceIdentity* identity = nullptr);

  // --- Worker side.
  // Right before a message that expects an answer is sent: drops a signal left by an earlier
  // reply and counts one more answer owed.
  void Expect(Asked asked = Asked::kStatus);
  // Waits for the event; true when signalled, by an answer, the abort or another host.
  bool Wait(std::uint32_t timeout_ms);
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  // Takes a signal left since the last wait without waiting.
  bool TryTake();
  // Before moving on to another message: takes and discards the answers still owed for the
  // last one, waiting at most timeout_ms for them. Answers that have not come by then may be
  // lost or only late; an Identity Request (sent through send_identity_request), whose answer
  // no Status can be taken for, then marks where the device's late answers end. False when the
  // device did not answer it within identity_wait_ms of its last sign of life.
  bool Settle(std::uint32_t timeout_ms, std::uint32_t identity_wait_ms,
              const std::function<void()>& send_identity_request);
  // Listens for timeout_ms with nothing owed; true when another host showed itself meanwhile.
  bool AnotherHostWithin(std::uint32_t timeout_ms);

  // The status code of the last reply, kAbortStatus or kOtherHostStatus.
  std::int32_t status() const { return status_code_.load(); }
  std::uint8_t detected_model_id() const { return detected_model_id_.load(); }
  // The last whole Identity Reply taken, if any.
  std::optional<DeviceIdentity> identity();
  bool other_host() const { return other_host_.load(); }
  const Counts& counts() const { return counts_; }

 private:
  bool Ended() const { return aborted_.load() || other_host_.load(); }

  const std::atomic<bool>& aborted_;
  AutoResetEvent event_;
  std::atomic<std::int32_t> status_code_{0};
  std::atomic<std::uint8_t> detected_model_id_{0};
  std::atomic<bool> other_host_{false};
  Counts counts_;

  // Under the mutex: what the device still owes for the messages of this step.
  std::mutex mutex_;
  std::condition_variable owed_cv_;
  std::int64_t replies_owed_ = 0;
  // Identity Requests not yet answered; their answers are the only Identity Replies taken.
  std::int64_t identity_owed_ = 0;
  // The Identity Request last sent may be answered with a Status (a refusal).
  bool status_answers_identity_ = false;
  // Between "Execute" and the end of the run: a reply nobody owes then is another host's.
  bool run_active_ = false;
  std::int64_t identity_replies_ = 0;       // Identity Replies stored so far
  std::optional<DeviceIdentity> identity_;  // of the last one
};

}  // namespace fen
