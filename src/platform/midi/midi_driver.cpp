// The MIDI driver over byte-level backends: a table of never-reused handles, lent input
// buffers filled by a delivery thread per open input, and a sender thread per open output;
// an in-process backend's own threads deliver, and its sends run on the caller's thread.
#include "platform/midi/midi_driver.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <utility>

#include "platform/midi/device_names.h"
#include "platform/midi/driver_ports.h"
#include "platform/midi/handle_table.h"
#include "platform/midi/midi_byte_framer.h"
#include "platform/midi/system_midi.h"
#include "platform/steady_clock.h"

namespace fen {
namespace {

using namespace driver_ports;  // NOLINT(google-build-using-namespace): the driver's own parts

constexpr const char* kDefaultClientName = "fenupdator";

struct Device {
  std::shared_ptr<MidiBackend> backend;
  MidiEndpoint endpoint;
  std::string name;
};

}  // namespace

// ---- The driver --------------------------------------------------------------------------

struct MidiDriver::Impl {
  std::vector<std::shared_ptr<MidiBackend>> backends;
  MidiDriverTimings timings;

  std::mutex rescan_mutex;  // one rescan at a time
  std::mutex devices_mutex;
  std::vector<Device> inputs;
  std::vector<Device> outputs;

  std::mutex table_mutex;
  std::uintptr_t next_handle = 1;
  std::map<HMIDIIN, std::shared_ptr<InState>> ins;
  std::map<HMIDIOUT, std::shared_ptr<OutState>> outs;

  // Null for an unknown handle, and in a driver made without an Impl (a fake's).
  static std::shared_ptr<InState> FindIn(Impl* impl, HMIDIIN handle) {
    return impl ? FindHandle(impl->table_mutex, impl->ins, handle) : nullptr;
  }
  static std::shared_ptr<OutShared> FindOut(Impl* impl, HMIDIOUT handle) {
    std::shared_ptr<OutState> state =
        impl ? FindHandle(impl->table_mutex, impl->outs, handle) : nullptr;
    return state ? state->shared : nullptr;
  }

  std::uint32_t NumDevs(const std::vector<Device>& list) {
    std::lock_guard<std::mutex> lock(devices_mutex);
    return static_cast<std::uint32_t>(list.size());
  }

  MMRESULT FindDevice(const std::vector<Device>& list, std::int64_t index, Device* device) {
    std::lock_guard<std::mutex> lock(devices_mutex);
    if (index < 0 || index >= static_cast<std::int64_t>(list.size())) {
      return MMSYSERR_BADDEVICEID;
    }
    *device = list[static_cast<std::size_t>(index)];
    return MMSYSERR_NOERROR;
  }

  MMRESULT DevCaps(const std::vector<Device>& list, std::uint32_t device, std::string* name) {
    if (name == nullptr) return MMSYSERR_INVALPARAM;
    Device found;
    const MMRESULT result = FindDevice(list, device, &found);
    if (result == MMSYSERR_NOERROR) *name = found.name;
    return result;
  }

  // The checks an open makes before it opens anything; the handle is 0 until it succeeds.
  MMRESULT FindForOpen(const std::vector<Device>& list, std::int32_t device, std::uintptr_t* handle,
                       Device* found) {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    *handle = 0;
    return FindDevice(list, device, found);
  }

  // Stops the backend connection and the delivery thread. With notify, the owner hears
  // MIM_CLOSE; the driver's destructor does not call into owners that may be gone.
  static void ShutInput(const std::shared_ptr<InState>& state, bool notify) {
    state->connection.reset();
    {
      std::lock_guard<std::mutex> lock(state->inbox->mutex);
      state->inbox->closing = true;
      state->inbox->arrivals.clear();
    }
    state->inbox->cv.notify_all();
    if (state->delivery.joinable()) state->delivery.join();
    CallbackGate gate(*state);  // waits for a Reset or Stop still calling back elsewhere
    if (notify) Invoke(*state, MIM_CLOSE, 0, 0);
  }

  void ShutOutput(OutState& state) {
    OutShared& shared = *state.shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.closing = true;
    TakeBackHeaders(shared, /*mark_done=*/false);
    if (shared.in_process) shared.connection.reset();
    const bool exited = shared.cv.wait_for(lock, timings.close_wait, [&] { return shared.exited; });
    lock.unlock();
    // A send stuck in the backend is abandoned; its thread owns what it still uses.
    if (exited) {
      if (state.sender.joinable()) state.sender.join();
    } else {
      state.sender.detach();
    }
  }
};

MidiDriver::MidiDriver() = default;

MidiDriver::MidiDriver(std::vector<std::shared_ptr<MidiBackend>> backends)
    : MidiDriver(std::move(backends), MidiDriverTimings{}) {}

MidiDriver::MidiDriver(std::vector<std::shared_ptr<MidiBackend>> backends,
                       MidiDriverTimings timings)
    : impl_(std::make_unique<Impl>()) {
  for (auto& backend : backends) {
    if (backend) impl_->backends.push_back(std::move(backend));
  }
  impl_->timings = timings;
  Rescan();
}

MidiDriver::~MidiDriver() {
  if (!impl_) return;
  std::map<HMIDIIN, std::shared_ptr<InState>> ins;
  std::map<HMIDIOUT, std::shared_ptr<OutState>> outs;
  {
    std::lock_guard<std::mutex> lock(impl_->table_mutex);
    ins.swap(impl_->ins);
    outs.swap(impl_->outs);
  }
  for (auto& [handle, state] : ins) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->closed = true;
      state->lent.clear();
    }
    Impl::ShutInput(state, /*notify=*/false);
  }
  for (auto& [handle, state] : outs) impl_->ShutOutput(*state);
}

void MidiDriver::Rescan() {
  if (!impl_) return;
  std::lock_guard<std::mutex> rescan_lock(impl_->rescan_mutex);
  std::vector<Device> inputs;
  std::vector<Device> outputs;
  std::vector<NamedPort> input_names;
  std::vector<NamedPort> output_names;
  for (std::size_t b = 0; b < impl_->backends.size(); ++b) {
    const auto& backend = impl_->backends[b];
    const std::string group = std::to_string(b);
    try {
      for (MidiEndpoint& endpoint : backend->ListInputs()) {
        input_names.push_back({group, endpoint.client, endpoint.port, endpoint.client_id});
        inputs.push_back({backend, std::move(endpoint), {}});
      }
      for (MidiEndpoint& endpoint : backend->ListOutputs()) {
        output_names.push_back({group, endpoint.client, endpoint.port, endpoint.client_id});
        outputs.push_back({backend, std::move(endpoint), {}});
      }
    } catch (...) {
      // A backend that fails to list contributes what it listed before failing.
    }
  }
  const auto in_display = MakeDisplayNames(input_names, kMaxPnameChars);
  const auto out_display = MakeDisplayNames(output_names, kMaxPnameChars);
  for (std::size_t i = 0; i < inputs.size(); ++i) inputs[i].name = in_display[i];
  for (std::size_t i = 0; i < outputs.size(); ++i) outputs[i].name = out_display[i];
  std::lock_guard<std::mutex> lock(impl_->devices_mutex);
  impl_->inputs.swap(inputs);
  impl_->outputs.swap(outputs);
}

// ---- Input calls ---------------------------------------------------------------------------

std::uint32_t MidiDriver::midiInGetNumDevs() { return impl_ ? impl_->NumDevs(impl_->inputs) : 0; }

MMRESULT MidiDriver::midiInGetDevCaps(std::uint32_t device, std::string* name) {
  return impl_ ? impl_->DevCaps(impl_->inputs, device, name) : MMSYSERR_ERROR;
}

MMRESULT MidiDriver::midiInOpen(HMIDIIN* handle, std::int32_t device, MidiInProc callback,
                                std::uintptr_t instance, std::uint32_t /*flags*/) {
  if (!impl_) return MMSYSERR_ERROR;
  Device found;
  const MMRESULT result = impl_->FindForOpen(impl_->inputs, device, handle, &found);
  if (result != MMSYSERR_NOERROR) return result;
  try {
    auto state = std::make_shared<InState>();
    state->callback = callback;
    state->instance = instance;
    std::shared_ptr<Inbox> inbox = state->inbox;
    const bool in_process = found.backend->InProcess();
    if (in_process) {
      // The backend's thread may wait: it delivers itself, one hand-over fewer per message.
      // Closing the connection waits for a delivery in progress, so the state outlives it.
      std::weak_ptr<InState> weak = state;
      state->connection = found.backend->OpenInput(
          found.endpoint, [weak](const std::uint8_t* data, std::size_t size) {
            if (data == nullptr || size == 0) return;
            const auto when = SteadyClock::now();
            std::shared_ptr<InState> in = weak.lock();
            if (!in) return;
            CallbackGate gate(*in);
            Deliver(*in, data, size, when);
          });
    } else {
      state->connection = found.backend->OpenInput(
          found.endpoint, [inbox](const std::uint8_t* data, std::size_t size) {
            if (data == nullptr || size == 0) return;
            Arrival arrival{std::vector<std::uint8_t>(data, data + size), SteadyClock::now()};
            {
              std::lock_guard<std::mutex> lock(inbox->mutex);
              if (inbox->closing) return;
              inbox->arrivals.push_back(std::move(arrival));
            }
            inbox->cv.notify_one();
          });
    }
    if (!state->connection) return MIDIERR_NODEVICE;
    {
      std::lock_guard<std::mutex> lock(impl_->table_mutex);
      state->handle = impl_->next_handle++;
    }
    if (!in_process) state->delivery = std::thread([state] { DeliveryLoop(state); });
    {
      std::lock_guard<std::mutex> lock(impl_->table_mutex);
      impl_->ins[state->handle] = state;
    }
    *handle = state->handle;
    CallbackGate gate(*state);
    Invoke(*state, MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
  } catch (...) {
    // Only allocation or thread creation can throw, before the handle is in the table; the
    // connection goes with the state.
    return MMSYSERR_NOMEM;
  }
}

MMRESULT MidiDriver::midiInClose(HMIDIIN handle) {
  std::shared_ptr<InState> state = Impl::FindIn(impl_.get(), handle);
  if (!state) return MMSYSERR_INVALHANDLE;
  // From inside its own callback the handle cannot promise that no callback runs any more.
  if (state->callback_owner.load() == std::this_thread::get_id()) return MMSYSERR_ERROR;
  {
    std::lock_guard<std::mutex> table_lock(impl_->table_mutex);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closed) return MMSYSERR_INVALHANDLE;
    if (!state->lent.empty()) return MIDIERR_STILLPLAYING;
    state->closed = true;
    state->started = false;
    impl_->ins.erase(handle);
  }
  Impl::ShutInput(state, /*notify=*/true);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiDriver::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t /*size*/) {
  return PrepareHeader(Impl::FindIn(impl_.get(), handle), header);
}

MMRESULT MidiDriver::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                           std::uint32_t /*size*/) {
  return UnprepareHeader(Impl::FindIn(impl_.get(), handle), header);
}

MMRESULT MidiDriver::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t /*size*/) {
  std::shared_ptr<InState> state = Impl::FindIn(impl_.get(), handle);
  return UnderPortLock(state, header, /*needs_buffer=*/true, [&] {
    const std::uint32_t flags = header->dwFlags.load();
    if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwBytesRecorded = 0;
    header->dwFlags.fetch_and(~MHDR_DONE);
    header->dwFlags.fetch_or(MHDR_INQUEUE);
    state->lent.push_back(header);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT MidiDriver::midiInStart(HMIDIIN handle) {
  std::shared_ptr<InState> state = Impl::FindIn(impl_.get(), handle);
  if (!state) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->closed) return MMSYSERR_INVALHANDLE;
  if (!state->started) {
    state->started = true;
    state->start_time = SteadyClock::now();
  }
  return MMSYSERR_NOERROR;
}

MMRESULT MidiDriver::midiInStop(HMIDIIN handle) {
  std::shared_ptr<InState> state = Impl::FindIn(impl_.get(), handle);
  if (!state) return MMSYSERR_INVALHANDLE;
  // Messages are handed over whole, so no buffer ever holds part of one when input stops;
  // waiting for a delivery in progress is all that is needed.
  CallbackGate gate(*state);
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->closed) return MMSYSERR_INVALHANDLE;
  state->started = false;
  return MMSYSERR_NOERROR;
}

MMRESULT MidiDriver::midiInReset(HMIDIIN handle) {
  std::shared_ptr<InState> state = Impl::FindIn(impl_.get(), handle);
  if (!state) return MMSYSERR_INVALHANDLE;
  CallbackGate gate(*state);
  std::deque<MIDIHDR*> returned;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closed) return MMSYSERR_INVALHANDLE;
    state->started = false;
    returned.swap(state->lent);
  }
  for (MIDIHDR* header : returned) {
    header->dwBytesRecorded = 0;
    MarkReturned(header);
    Invoke(*state, MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(header), 0);
  }
  return MMSYSERR_NOERROR;
}

// ---- Output calls --------------------------------------------------------------------------

std::uint32_t MidiDriver::midiOutGetNumDevs() { return impl_ ? impl_->NumDevs(impl_->outputs) : 0; }

std::string MidiDriver::midiInGetDeviceKey(std::uint32_t device) {
  Device found;
  if (!impl_ || impl_->FindDevice(impl_->inputs, device, &found) != MMSYSERR_NOERROR) return {};
  return found.backend->DeviceKey(found.endpoint);
}

std::string MidiDriver::midiOutGetDeviceKey(std::uint32_t device) {
  Device found;
  if (!impl_ || impl_->FindDevice(impl_->outputs, device, &found) != MMSYSERR_NOERROR) return {};
  return found.backend->DeviceKey(found.endpoint);
}

MMRESULT MidiDriver::midiOutGetDevCaps(std::uint32_t device, std::string* name) {
  return impl_ ? impl_->DevCaps(impl_->outputs, device, name) : MMSYSERR_ERROR;
}

MMRESULT MidiDriver::midiOutOpen(HMIDIOUT* handle, std::int32_t device, std::uintptr_t /*callback*/,
                                 std::uintptr_t /*instance*/, std::uint32_t /*flags*/) {
  if (!impl_) return MMSYSERR_ERROR;
  Device found;
  const MMRESULT result = impl_->FindForOpen(impl_->outputs, device, handle, &found);
  if (result != MMSYSERR_NOERROR) return result;
  try {
    auto state = std::make_shared<OutState>();
    state->shared->connection = found.backend->OpenOutput(found.endpoint);
    if (!state->shared->connection) return MIDIERR_NODEVICE;
    std::shared_ptr<OutShared> shared = state->shared;
    if (found.backend->InProcess()) {
      // Its Send only queues: the caller's thread sends, no sender thread wakes per message.
      shared->in_process = true;
      shared->exited = true;
    } else {
      state->sender = std::thread([shared] { SenderLoop(shared); });
    }
    std::lock_guard<std::mutex> lock(impl_->table_mutex);
    state->handle = impl_->next_handle++;
    impl_->outs[state->handle] = state;
    *handle = state->handle;
    return MMSYSERR_NOERROR;
  } catch (...) {
    return MMSYSERR_NOMEM;
  }
}

MMRESULT MidiDriver::midiOutClose(HMIDIOUT handle) {
  if (!impl_) return MMSYSERR_INVALHANDLE;
  std::shared_ptr<OutState> state;
  {
    std::lock_guard<std::mutex> lock(impl_->table_mutex);
    auto it = impl_->outs.find(handle);
    if (it == impl_->outs.end()) return MMSYSERR_INVALHANDLE;
    state = std::move(it->second);
    impl_->outs.erase(it);
    // Taken back before the handle can no longer be found: a sender whose wait no longer
    // finds it returns and reuses its header at once, and nothing may write to it after that.
    std::lock_guard<std::mutex> shared_lock(state->shared->mutex);
    state->shared->closing = true;
    TakeBackHeaders(*state->shared, /*mark_done=*/false);
  }
  impl_->ShutOutput(*state);
  return MMSYSERR_NOERROR;
}

MMRESULT MidiDriver::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                          std::uint32_t /*size*/) {
  return PrepareHeader(Impl::FindOut(impl_.get(), handle), header);
}

MMRESULT MidiDriver::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                            std::uint32_t /*size*/) {
  return UnprepareHeader(Impl::FindOut(impl_.get(), handle), header);
}

MMRESULT MidiDriver::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t /*size*/) {
  std::shared_ptr<OutShared> shared = Impl::FindOut(impl_.get(), handle);
  if (!shared) return MMSYSERR_INVALHANDLE;
  if (!HeaderHasBuffer(header)) return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags.load() & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (shared->in_process) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->closing) return MMSYSERR_INVALHANDLE;
    if (header->dwFlags.load() & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    // Taken whole once Send returns. A failed send still finishes the header, as on the
    // sender thread: the message is lost and the wait for its reply catches it.
    header->dwFlags.fetch_and(~MHDR_DONE);
    shared->connection->Send(header->lpData, header->dwBufferLength);
    header->dwFlags.fetch_or(MHDR_DONE);
    return MMSYSERR_NOERROR;
  }
  try {
    // The bytes are copied so that the caller's memory is never read after it stops waiting.
    OutJob job{std::vector<std::uint8_t>(header->lpData, header->lpData + header->dwBufferLength),
               header, nullptr};
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->closing) return MMSYSERR_INVALHANDLE;
    if (header->dwFlags.load() & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags.fetch_and(~MHDR_DONE);
    header->dwFlags.fetch_or(MHDR_INQUEUE);
    shared->queue.push_back(std::move(job));
    shared->cv.notify_all();
    return MMSYSERR_NOERROR;
  } catch (...) {
    return MMSYSERR_NOMEM;
  }
}

MMRESULT MidiDriver::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
  std::shared_ptr<OutShared> shared = Impl::FindOut(impl_.get(), handle);
  if (!shared) return MMSYSERR_INVALHANDLE;
  const auto status = static_cast<std::uint8_t>(message & 0xFF);
  if (status < 0x80 || status == 0xF0 || status == 0xF7) return MMSYSERR_INVALPARAM;
  try {
    OutJob job;
    for (std::size_t i = 0; i < PackedLength(status); ++i) {
      job.bytes.push_back(static_cast<std::uint8_t>(message >> (8 * i)));
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (shared->closing) return MMSYSERR_INVALHANDLE;
    if (shared->in_process) {
      return shared->connection->Send(job.bytes.data(), job.bytes.size()) ? MMSYSERR_NOERROR
                                                                          : MMSYSERR_ERROR;
    }
    auto result = std::make_shared<ShortResult>();
    job.result = result;
    shared->queue.push_back(std::move(job));
    shared->cv.notify_all();
    shared->cv.wait_for(lock, impl_->timings.short_msg_wait,
                        [&] { return result->finished || shared->closing; });
    return result->finished && result->ok ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
  } catch (...) {
    return MMSYSERR_NOMEM;
  }
}

MMRESULT MidiDriver::midiOutReset(HMIDIOUT handle) {
  std::shared_ptr<OutShared> shared = Impl::FindOut(impl_.get(), handle);
  if (!shared) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> lock(shared->mutex);
  if (shared->closing) return MMSYSERR_INVALHANDLE;
  TakeBackHeaders(*shared, /*mark_done=*/true);
  return MMSYSERR_NOERROR;
}

bool MidiDriver::midiOutWaitDone(HMIDIOUT handle, MIDIHDR* header, std::uint32_t timeout_ms) {
  if (header == nullptr) return false;
  std::shared_ptr<OutShared> shared = Impl::FindOut(impl_.get(), handle);
  if (!shared) return false;
  std::unique_lock<std::mutex> lock(shared->mutex);
  return shared->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return (header->dwFlags.load() & MHDR_DONE) != 0 || shared->closing;
  }) && (header->dwFlags.load() & MHDR_DONE) != 0;
}

// ---- The process-wide default --------------------------------------------------------------

namespace {

struct DefaultDriverHolder {
  std::mutex mutex;
  std::shared_ptr<MidiDriver> current;
  // Replaced drivers stay alive: callers may still hold references to them.
  std::vector<std::shared_ptr<MidiDriver>> retired;
};

DefaultDriverHolder& Holder() {
  // Never destroyed: ports in static objects may use the driver while the process exits.
  static auto* holder = new DefaultDriverHolder;
  return *holder;
}

}  // namespace

MidiDriver& DefaultMidiDriver() {
  DefaultDriverHolder& holder = Holder();
  std::lock_guard<std::mutex> lock(holder.mutex);
  if (!holder.current) {
    std::string error;
    holder.current = MakeSystemMidiDriver("auto", kDefaultClientName, &error);
    // No MIDI system: a driver without devices, whose ports all fail to open.
    if (!holder.current) {
      holder.current = std::make_shared<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{});
    }
  }
  return *holder.current;
}

void SetDefaultMidiDriver(std::shared_ptr<MidiDriver> driver) {
  DefaultDriverHolder& holder = Holder();
  std::lock_guard<std::mutex> lock(holder.mutex);
  if (holder.current) holder.retired.push_back(std::move(holder.current));
  holder.current = std::move(driver);
}

}  // namespace fen
