// A MIDI driver for tests: records every call with its arguments, fails calls on demand, hands
// input to an open input's callback when told, and completes sends at once or when told.
//
// Use:
//   FakeMidiDriver driver;
//   driver.SetInputNames({"Device A"});
//   CMidiInPort port(driver);
//   port.Open();
//   driver.DeliverLong({0xF0, 0x7E, 0xF7});       // one buffer return of 3 bytes
//   EXPECT_EQ(driver.CallNames(), (std::vector<std::string>{"midiInOpen", ...}));
//   driver.Fail("midiInStart");                   // the next midiInStart returns an error
//
// Behaviour follows WinMM where the port classes can tell: unprepare and close
// refuse while a buffer is lent or a send is queued (MIDIERR_STILLPLAYING), a closed or unknown
// handle gives MMSYSERR_INVALHANDLE, a device index outside the lists gives
// MMSYSERR_BADDEVICEID. Handles are 1, 2, 3, ... in the order of opening, inputs and outputs
// alike. Every method is thread-safe; callbacks run on the thread that delivers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/midi/midi_driver.h"

namespace fen {

class FakeMidiDriver : public MidiDriver {
 public:
  // One recorded call. `arg` is the handle, or the device index for open and capabilities
  // calls; `value` is the flags (midiInOpen), the message (midiOutShortMsg), the time-out
  // (midiOutWaitDone) or the header size (header calls).
  struct Call {
    std::string name;
    std::int64_t arg = 0;
    const MIDIHDR* header = nullptr;
    std::uint64_t value = 0;
    MMRESULT result = MMSYSERR_NOERROR;
    // "name(arg)", e.g. "midiInOpen(0)", "midiInStart(1)"; calls without argument "name()".
    std::string ToString() const;
  };

  FakeMidiDriver();
  ~FakeMidiDriver() override;

  // --- Devices -------------------------------------------------------------------------
  void SetInputNames(std::vector<std::string> names);
  void SetOutputNames(std::vector<std::string> names);

  // --- Recorded calls ------------------------------------------------------------------
  std::vector<Call> Calls() const;
  std::vector<std::string> CallNames() const;
  std::vector<std::string> CallLog() const;  // Call::ToString of each
  int CountOf(const std::string& name) const;
  void ClearCalls();

  // --- Failures ------------------------------------------------------------------------
  // The next `times` calls named `name` return `code` without any effect (times < 0: every
  // call from now on). For midiOutWaitDone a failure is an immediate time-out.
  void Fail(const std::string& name, MMRESULT code = MMSYSERR_ERROR, int times = 1);
  void ClearFailures();

  // --- Input ---------------------------------------------------------------------------
  // `handle` 0 means the input opened last that is still open. False when there is none.
  bool DeliverShort(std::uint32_t packed, HMIDIIN handle = 0);
  // Fills the oldest lent buffer with the bytes (at most its length), marks it done and
  // hands it to the callback as MIM_LONGDATA. False when no buffer is lent.
  bool DeliverLong(const std::vector<std::uint8_t>& bytes, HMIDIIN handle = 0);
  // Hands the oldest lent buffer back as it is, with these recorded bytes and done flag.
  bool ReturnBuffer(std::uint32_t recorded, bool done, HMIDIIN handle = 0);
  // The next midiInStop returns the lent buffer holding these bytes, as a part of a message.
  void SetPartialOnStop(std::vector<std::uint8_t> bytes);
  int LentBuffers() const;
  int PreparedInHeaders() const;
  int OpenInputs() const;

  // --- Output --------------------------------------------------------------------------
  // While held, midiOutLongMsg queues the header without marking it done; CompleteSends
  // marks every queued header done.
  void SetHoldSends(bool hold);
  void CompleteSends();
  // Waits until `count` headers are queued (held); false after the time-out.
  bool WaitForQueuedSends(int count, std::chrono::milliseconds timeout);
  std::vector<std::vector<std::uint8_t>> SentLong() const;
  // Forgets the messages sent so far (long and short), for long runs such as the fuzzer's.
  void ClearSent();
  std::vector<std::uint32_t> SentShort() const;
  int PreparedOutHeaders() const;
  int OpenOutputs() const;

  // --- The driver calls ----------------------------------------------------------------
  void Rescan() override;
  std::uint32_t midiInGetNumDevs() override;
  MMRESULT midiInGetDevCaps(std::uint32_t device, std::string* name) override;
  MMRESULT midiInOpen(HMIDIIN* handle, std::int32_t device, MidiInProc callback,
                      std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiInClose(HMIDIIN handle) override;
  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInStart(HMIDIIN handle) override;
  MMRESULT midiInStop(HMIDIIN handle) override;
  MMRESULT midiInReset(HMIDIIN handle) override;
  std::uint32_t midiOutGetNumDevs() override;
  MMRESULT midiOutGetDevCaps(std::uint32_t device, std::string* name) override;
  MMRESULT midiOutOpen(HMIDIOUT* handle, std::int32_t device, std::uintptr_t callback,
                       std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiOutClose(HMIDIOUT handle) override;
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) override;
  MMRESULT midiOutReset(HMIDIOUT handle) override;
  bool midiOutWaitDone(HMIDIOUT handle, MIDIHDR* header, std::uint32_t timeout_ms) override;

 private:
  struct Input {
    std::int32_t device = 0;
    MidiInProc callback = nullptr;
    std::uintptr_t instance = 0;
    std::deque<MIDIHDR*> lent;
  };
  struct Output {
    std::int32_t device = 0;
    std::deque<MIDIHDR*> queued;
  };
  struct Handover {  // a buffer on its way to a callback, taken out under the lock
    MidiInProc callback = nullptr;
    HMIDIIN handle = 0;
    std::uintptr_t instance = 0;
    MIDIHDR* header = nullptr;
  };

  // Records the call; returns the injected failure, or MMSYSERR_NOERROR.
  MMRESULT Enter(const std::string& name, std::int64_t arg, const MIDIHDR* header,
                 std::uint64_t value);
  void SetResult(MMRESULT result);
  HMIDIIN PickInput(HMIDIIN handle) const;
  // Takes the oldest buffer lent by the input `handle` picks; false when there is none.
  bool TakeLent(HMIDIIN handle, Handover* hand);
  static void Invoke(const Handover& hand, std::uint32_t msg, std::uintptr_t param1);
  static void HandBack(const Handover& hand);  // the header as MIM_LONGDATA
  static void MarkDone(MIDIHDR* header);       // out of the queue, done
  // In the queue, not done.
  static void Queue(MIDIHDR* header, std::deque<MIDIHDR*>* queue);
  // Copies the bytes in (at most the buffer's length) and marks the header done.
  static void FillDone(MIDIHDR* header, const std::vector<std::uint8_t>& bytes);
  MMRESULT DevCaps(const char* call, const std::vector<std::string>& names, std::uint32_t device,
                   std::string* name);
  MMRESULT OpenHandle(const char* call, std::size_t devices, std::uintptr_t* handle,
                      std::int32_t device, std::uint32_t flags);
  // The prepared headers and the handle each was prepared on.
  using Prepared = std::map<const MIDIHDR*, std::uintptr_t>;
  template <typename Entry>
  MMRESULT PrepareHeader(const char* call, std::map<std::uintptr_t, Entry>& open,
                         Prepared& prepared, std::uintptr_t handle, MIDIHDR* header,
                         std::uint32_t size);
  template <typename Entry>
  MMRESULT UnprepareHeader(const char* call, std::map<std::uintptr_t, Entry>& open,
                           std::deque<MIDIHDR*> Entry::*pending, Prepared& prepared,
                           std::uintptr_t handle, MIDIHDR* header, std::uint32_t size);
  template <typename Entry>
  Entry* EnterOn(const char* call, std::map<std::uintptr_t, Entry>& open, std::uintptr_t handle,
                 MMRESULT* result, const MIDIHDR* header = nullptr, std::uint64_t value = 0);
  template <typename Entry>
  Entry* EnterPrepared(const char* call, std::map<std::uintptr_t, Entry>& open,
                       const Prepared& prepared, std::uintptr_t handle, MIDIHDR* header,
                       std::uint32_t size, MMRESULT* result);

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
  std::map<std::string, std::pair<MMRESULT, int>> failures_;
  std::vector<std::string> input_names_;
  std::vector<std::string> output_names_;
  std::uintptr_t next_handle_ = 1;
  std::map<HMIDIIN, Input> inputs_;
  std::map<HMIDIOUT, Output> outputs_;
  Prepared prepared_in_;
  Prepared prepared_out_;
  std::vector<std::uint8_t> partial_on_stop_;
  bool hold_sends_ = false;
  std::vector<std::vector<std::uint8_t>> sent_long_;
  std::vector<std::uint32_t> sent_short_;
};

}  // namespace fen
