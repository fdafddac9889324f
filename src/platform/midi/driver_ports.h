// What the MIDI driver keeps for each open handle, and the threads that serve it: the input's
// delivery thread, which fills lent buffers and calls the owner back, and the output's sender,
// which hands messages to the backend. Internal to the driver.
#ifndef FEN_PLATFORM_MIDI_DRIVER_PORTS_H_
#define FEN_PLATFORM_MIDI_DRIVER_PORTS_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/midi/backend.h"
#include "platform/midi/midi_driver.h"
#include "platform/steady_clock.h"

namespace fen::driver_ports {

// Bytes per short message, from its status byte; an undefined status goes as its one byte.
std::size_t PackedLength(std::uint8_t status);

// A header the driver is done with: no longer queued, and done.
void MarkReturned(MIDIHDR* header);

// ---- Input -------------------------------------------------------------------------------

struct Arrival {
  std::vector<std::uint8_t> bytes;
  SteadyClock::time_point when;
};

// What the backend's receiver shares with the delivery thread. The receiver may run on a
// real-time thread, so it only appends here.
struct Inbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Arrival> arrivals;
  bool closing = false;
};

struct InState {
  HMIDIIN handle = 0;
  MidiInProc callback = nullptr;
  std::uintptr_t instance = 0;
  std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
  std::unique_ptr<MidiInputConnection> connection;
  std::thread delivery;

  // Held while a callback of this handle runs, so that callbacks never overlap and Stop and
  // Close can wait for one in progress. Recursive: the callback may call Reset or Stop.
  std::recursive_mutex callback_mutex;
  std::atomic<std::thread::id> callback_owner{};
  int callback_depth = 0;

  std::mutex mutex;  // guards what follows
  bool closed = false;
  bool started = false;
  SteadyClock::time_point start_time;
  std::deque<MIDIHDR*> lent;
};

class CallbackGate {
 public:
  explicit CallbackGate(InState& state) : state_(state) {
    state_.callback_mutex.lock();
    if (state_.callback_depth++ == 0) state_.callback_owner = std::this_thread::get_id();
  }
  ~CallbackGate() {
    if (--state_.callback_depth == 0) state_.callback_owner = std::thread::id();
    state_.callback_mutex.unlock();
  }
  CallbackGate(const CallbackGate&) = delete;
  CallbackGate& operator=(const CallbackGate&) = delete;

 private:
  InState& state_;
};

// Calls the owner back; call with the gate held and no other lock of the driver.
void Invoke(InState& state, std::uint32_t msg, std::uintptr_t param1, std::uintptr_t param2);

// Splits what the backend delivered into short messages and at most one SysEx (which runs
// to the end of the delivery).
void Deliver(InState& state, const std::uint8_t* data, std::size_t size,
             SteadyClock::time_point when);

// The delivery thread of one open input: takes arrivals from its inbox until it closes.
void DeliveryLoop(const std::shared_ptr<InState>& state);

// ---- Output ------------------------------------------------------------------------------

struct ShortResult {
  bool finished = false;
  bool ok = false;
};

struct OutJob {
  std::vector<std::uint8_t> bytes;
  MIDIHDR* header = nullptr;  // null once Reset or Close took it back
  std::shared_ptr<ShortResult> result;
};

// Shared by the handle and its sender thread, so that a sender stuck in the backend can be
// abandoned and still own everything it touches.
struct OutShared {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<OutJob> queue;
  MIDIHDR* current_header = nullptr;
  bool closing = false;
  bool exited = false;
  // Sends run on the caller's thread under the mutex, and there is no sender thread.
  bool in_process = false;
  // The sender thread's alone; in process, used under the mutex.
  std::unique_ptr<MidiOutputConnection> connection;
};

struct OutState {
  HMIDIOUT handle = 0;
  std::shared_ptr<OutShared> shared = std::make_shared<OutShared>();
  std::thread sender;
};

// The sender thread of one open output.
void SenderLoop(const std::shared_ptr<OutShared>& shared);

// Detaches every header and fails every pending short message; Close and Reset differ only
// in whether the headers count as done.
void TakeBackHeaders(OutShared& shared, bool mark_done);

// Whether the port's handle is closing or closed, under the port's lock.
inline bool Shut(const InState& state) { return state.closed; }
inline bool Shut(const OutShared& shared) { return shared.closing; }

// The checks of a header call on either side, in WinMM's order: a known handle, a usable
// header, a handle not closing. Runs `then` with the port's lock held.
template <typename Port, typename Then>
MMRESULT UnderPortLock(const std::shared_ptr<Port>& port, MIDIHDR* header, bool needs_buffer,
                       Then then) {
  if (!port) return MMSYSERR_INVALHANDLE;
  if (needs_buffer ? !HeaderHasBuffer(header) : header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> lock(port->mutex);
  if (Shut(*port)) return MMSYSERR_INVALHANDLE;
  return then();
}

template <typename Port>
MMRESULT PrepareHeader(const std::shared_ptr<Port>& port, MIDIHDR* header) {
  return UnderPortLock(port, header, /*needs_buffer=*/true, [&] {
    header->dwFlags.fetch_or(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
  });
}

template <typename Port>
MMRESULT UnprepareHeader(const std::shared_ptr<Port>& port, MIDIHDR* header) {
  return UnderPortLock(port, header, /*needs_buffer=*/false, [&] {
    if (header->dwFlags.load() & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags.fetch_and(~MHDR_PREPARED);
    return MMSYSERR_NOERROR;
  });
}

}  // namespace fen::driver_ports

#endif  // FEN_PLATFORM_MIDI_DRIVER_PORTS_H_
