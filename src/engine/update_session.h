// One update session per device: the ports, the timer that runs the reply dispatcher, the
// ReplySlot, the send path, the worker and the flash steps. The desktop program and the
// command-line tool drive the same session through the view interface.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/flash_plan.h"
#include "engine/reply_slot.h"
#include "engine/update_view.h"
#include "firmware/firmware.h"
#include "log/diagnostic_log.h"
#include "midi/dx_m_timer.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "platform/auto_reset_event.h"
#include "platform/port_claim.h"
#include "platform/steady_clock.h"
#include "protocol/messages.h"

namespace fen {

// Every time constant of a run, with the program's own waits as defaults. Tests shrink them.
struct UpdateTiming {
  std::uint32_t identity_wait_ms = 30000;
  std::uint32_t erase_wait_ms = 30000;
  std::uint32_t write_wait_ms = 1000;
  std::uint32_t finish_wait_ms = 30000;
  // How long the run listens after the device has answered Finish Update before it calls the
  // update completed: a reply that comes in that time was owed to nobody.
  std::uint32_t finish_quiet_ms = 250;
  std::uint32_t begin_pause_ms = 500;
  std::uint32_t retry_pause_ms = 100;
  std::uint32_t tick_period_ms = 1;
  std::uint32_t send_bound_ms = CMidiOutPort::kDefaultSendBoundMs;
  // Dispatch as soon as a message is queued instead of at the next tick only.
  bool early_tick = true;

  // The same run in milliseconds instead of seconds, for tests and the fault soak.
  static UpdateTiming Shrunk();
};

inline constexpr std::array<std::uint8_t, 2> AllowedModelIds = kFamilyModelIds;

// What a session runs on; null members take the process-wide defaults.
struct UpdateServices {
  MidiDriver* driver = nullptr;           // default: DefaultMidiDriver()
  TimerService* timer = nullptr;          // default: SystemTimerService()
  const FirmwareSet* firmware = nullptr;  // default: FirmwareSet::Builtin()
  Clock clock = {};                       // default: UtcNow
  // The model IDs the firmware's release is for; a device of another model is refused as an
  // illegal device. Empty: those of the built-in release with the built-in images, else all
  // of AllowedModelIds.
  std::vector<std::uint8_t> release_models = {};
};

class UpdateSession {
 public:
  using Services = UpdateServices;

  enum class ExecuteOutcome { kStarted, kBusy, kOutPortFailed, kInPortFailed, kPortsInUse };

  UpdateSession(UpdateView& view, Services services = {}, UpdateTiming timing = {});
  // Tears down if Teardown has not run yet.
  ~UpdateSession();
  UpdateSession(const UpdateSession&) = delete;
  UpdateSession& operator=(const UpdateSession&) = delete;

  // The dialog's initialisation: starts the timer that runs DispatchReplies.
  void Initialise();

  // The "Execute" handler on the window thread: busy check, the claim of the device behind
  // both ports (refused while another run, in any process, holds it), open the output then the
  // input port by list position (-1: no selection), disable the controls, reset the reply
  // event and start the worker. Failures are reported through the view here.
  ExecuteOutcome Execute(std::int32_t in_device, std::int32_t out_device);

  // The destroy handler and the release of the session: close both ports, write the abort
  // status, signal the reply event, end pauses, stop the timer and join the worker. After it
  // returns the view is never called again. Idempotent.
  void Teardown();

  bool busy() const { return busy_.load(); }
  // How the last run ended; none before the first run has ended.
  std::optional<UpdateResult> last_result() const;
  // True while a worker thread exists and has not finished its run.
  bool WorkerRunning() const { return worker_running_.load(); }
  // Blocks until the current worker, if any, has finished (the command-line tool's wait).
  void WaitForWorker();
  // The same with a limit; true when no worker runs any more.
  bool WaitForWorkerFor(std::uint32_t timeout_ms);

  CMidiInPort& in_port() { return in_port_; }
  CMidiOutPort& out_port() { return out_port_; }
  const UpdateTiming& timing() const { return timing_; }
  std::uint8_t current_model_id() const { return current_model_id_.load(); }
  std::int32_t status_code() const { return reply_slot_.status(); }
  std::uint8_t identity_reply_model() const { return identity_reply_[6]; }
  // The last whole Identity Reply the dispatcher took, if any.
  std::optional<DeviceIdentity> device_identity();
  // Who held the device when "Execute" was last refused for it (kPortsInUse).
  const ClaimHolder& claim_holder() const { return claim_holder_; }
  // The detail line of that refusal: which port, held by whom.
  const std::string& claim_refusal() const { return claim_refusal_; }

  // Send path: build and send are one step under the send lock. 0 or -1.
  int SendSysEx(const std::uint8_t* message, std::int32_t length);
  int SendStatus(std::uint8_t status);
  int SendWriteBlock(std::uint8_t model_id, const std::uint8_t* data, std::int32_t address,
                     std::int32_t length);
  int SendEraseRange(std::uint8_t model_id, std::int32_t address, std::int32_t size);
  int SendBeginUpdate();
  int SendFinishUpdate();
  int SendIdentityRequest();
  int SendIdentityReply();

  // The reply dispatcher (timer thread).
  void DispatchReplies();

  // Counts of the blocks the steps sent and saw acknowledged, for tests and the tools; the
  // reply slot's own counts are in replies().
  struct Counters {
    std::atomic<std::uint64_t> blocks_sent{0};
    std::atomic<std::uint64_t> blocks_acknowledged{0};
  };
  const Counters& counters() const { return counters_; }
  const ReplySlot::Counts& replies() const { return reply_slot_.counts(); }

 private:
  static void TimerProcThunk(std::uint32_t id, std::uint32_t msg, std::uintptr_t user,
                             std::uintptr_t dw1, std::uintptr_t dw2);
  int SendLocked(const std::uint8_t* message, std::int32_t length);
  // The worker (its own thread). A step returns nothing when it is done, else how the run
  // ends there.
  void UpdateThreadProc();
  std::optional<UpdateResult> RunFlashPlan();
  std::optional<UpdateResult> RunEraseStep(std::int32_t address, std::int32_t size);
  std::optional<UpdateResult> RunWriteStep(std::int32_t address, std::int32_t size,
                                           std::int32_t resource_id);
  // Waits for the answer to a Write Block handed over at sent: blocks until shortly before the
  // answer is due, judged by the last block's, and polls for it from there. True when the
  // reply slot was signalled.
  bool WaitBlockReply(SteadyClock::time_point sent, std::uint32_t timeout_ms);
  bool Pause(std::uint32_t ms);  // false when aborted
  // After a failed try of a flash step's request (status -1: no answer in time): while fewer
  // than kMaxTries sends have been made, counts the try, tells the view and pauses before the
  // resend, and returns nothing. Otherwise returns how the step ends: `exhausted`, or kAborted
  // when the pause was cut short.
  std::optional<UpdateResult> RetryOrEnd(int* tries, std::int32_t offset, std::int32_t status,
                                         UpdateResult exhausted);
  // The worker's run up to its end: the result to report.
  UpdateResult RunUpdate();
  bool Aborted() const { return aborted_.load(); }
  // How a wait's status ends the run regardless of the step: the abort, or another program's
  // replies.
  static std::optional<UpdateResult> EndingStatus(std::int32_t status);
  // Takes the claim of the device behind both ports; false (reported) when another run holds it.
  bool ClaimPorts(std::int32_t in_device, std::int32_t out_device);
  void ReleaseClaim();
  // Before moving on to another message (ReplySlot::Settle). False when the device did not
  // answer within the identity wait of its last sign of life: nothing it sends can be trusted.
  bool SettleOwedReplies(std::uint32_t timeout_ms);
  void JoinWorkers();
  // The end of a run, reported once: the log line and error box of its result (the status
  // line when completed), the controls restored, and the result kept and handed to the view.
  // An aborted session reports nothing.
  void EndRun(UpdateResult result);
  void KeepResult(UpdateResult result);
  // "Execute" could not open a port: its log line and error box, on the window thread.
  void ReportOpenFailure(UpdateResult result);
  // View calls that do nothing once the session is being torn down.
  void ViewStatusLine(const std::string& text);
  void ViewStepCounter(const std::string& text);
  void ViewProgressRange(std::int32_t upper);
  void ViewProgressPos(std::int32_t position);
  void ViewErrorBox(int string_id);
  void RestoreControls();
  void ViewEnableExecute(bool enable);
  void ViewDeviceIdentified(const DeviceIdentity& identity);
  void Log(int index);

  UpdateView& view_;
  MidiDriver& driver_;
  TimerService& timer_service_;
  const FirmwareSet& firmware_;
  DiagnosticLog log_;
  UpdateTiming timing_;

  // The entries of AllowedModelIds that the firmware is for, in its order.
  std::vector<std::uint8_t> allowed_models_;
  std::atomic<std::uint8_t> current_model_id_{AllowedModelIds[0]};
  std::atomic<bool> busy_{false};
  std::atomic<bool> aborted_{false};
  std::atomic<bool> torn_down_{false};
  std::atomic<bool> worker_running_{false};
  // Written by the dispatcher, read by the worker's waits.
  ReplySlot reply_slot_{aborted_};
  // How the last run ended; none before the first run has ended.
  mutable std::mutex result_mutex_;
  std::optional<UpdateResult> last_result_;
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;

  // The worker's own: how long the last block took to be acknowledged, and how many polls in
  // a row have missed the answer.
  static constexpr std::chrono::microseconds kSpinLead{200};
  static constexpr std::chrono::microseconds kSpinTail{200};
  static constexpr int kSpinMissesAllowed = 8;
  SteadyClock::duration block_reply_latency_{};
  int spin_misses_ = 0;
  int current_row_ = 0;  // the flash plan's row under way, from 1

  std::mutex send_mutex_;
  std::unique_ptr<std::uint8_t[]> send_buffer_;
  std::array<std::uint8_t, 15> identity_reply_;

  Counters counters_;

  std::mutex claim_mutex_;
  std::unique_ptr<PortClaim> claim_;
  ClaimHolder claim_holder_;
  std::string claim_refusal_;

  CMidiInPort in_port_;
  CMidiOutPort out_port_;
  CDxMTimer timer_;
  std::mutex worker_mutex_;
  std::condition_variable worker_cv_;
  std::thread worker_;
  // Workers that were still returning when the next run started; joined at teardown.
  std::vector<std::thread> retired_workers_;
};

}  // namespace fen
