// MIDI ports on JACK clients of their own (jack_monitor.h says why they are not RtMidi's):
// the input hands each whole message to its receiver from the process callback; the output
// passes messages to the process callback through a lock-free ring buffer and learns from a
// semaphore when a cycle has taken each.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <chrono>
#include <cstring>
#include <semaphore>
#include <thread>
#include <utility>

#include "platform/bounded_call.h"
#include "platform/midi/rtmidi/jack_monitor.h"

namespace fen {
namespace {

// A System Exclusive message split over several events is put together up to this size.
constexpr std::size_t kMaxAssembled = 65536;
constexpr std::size_t kRingBytes = 65536;

void OnShutdown(void* arg) { static_cast<std::atomic<bool>*>(arg)->store(true); }

// The client and its port, or false with nothing left open.
bool OpenClient(const std::string& client_name, const std::string& port_name, bool input,
                jack_client_t** client, jack_port_t** port) {
  jack_status_t status{};
  *client = jack_client_open(client_name.c_str(), JackNoStartServer, &status);
  if (*client == nullptr) return false;
  *port = jack_port_register(*client, port_name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                             input ? JackPortIsInput : JackPortIsOutput, 0);
  if (*port == nullptr) {
    jack_client_close(*client);
    return false;
  }
  return true;
}

}  // namespace

// ---- Input ---------------------------------------------------------------------------------

struct JackMidiInput::State {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  std::string name;
  MidiReceiver receiver;
  std::vector<std::uint8_t> assembled;  // reserved up front: no allocation in the callback
  bool assembling = false;
  bool overflow = false;
  std::atomic<bool> dead{false};

  void Event(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return;
    if (!assembling && (data[0] != 0xF0 || data[size - 1] == 0xF7)) {
      receiver(data, size);
      return;
    }
    if (!assembling) {
      assembling = true;
      overflow = false;
      assembled.clear();
    } else if (data[0] >= 0x80 && data[0] != 0xF7 && data[0] < 0xF8) {
      // A status byte other than a real-time one ends the message that was being put together.
      assembling = false;
      Event(data, size);
      return;
    }
    if (assembled.size() + size <= assembled.capacity()) {
      assembled.insert(assembled.end(), data, data + size);
    } else {
      overflow = true;
    }
    if (data[size - 1] == 0xF7) {
      assembling = false;
      if (!overflow) receiver(assembled.data(), assembled.size());
    }
  }

  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<State*>(arg);
    void* buffer = jack_port_get_buffer(self->port, frames);
    const jack_nframes_t count = jack_midi_get_event_count(buffer);
    for (jack_nframes_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) == 0) self->Event(event.buffer, event.size);
    }
    return 0;
  }
};

JackMidiInput::JackMidiInput(std::unique_ptr<State> state) : state_(std::move(state)) {}

JackMidiInput::~JackMidiInput() {
  // Deactivates, stops the notification thread, then closes: the receiver is not called after
  // the close has returned, and until then the state it uses is the closing thread's.
  if (!state_ || state_->client == nullptr) return;
  jack_client_t* client = state_->client;
  CallWithin(
      kJackCloseLimit, [client] { jack_client_close(client); },
      std::shared_ptr<State>(std::move(state_)));
}

const std::string& JackMidiInput::name() const { return state_->name; }

std::unique_ptr<JackMidiInput> OpenJackMidiInput(const std::string& client_name,
                                                 const std::string& port_name,
                                                 MidiReceiver receiver) {
  auto state = std::make_unique<JackMidiInput::State>();
  state->receiver = std::move(receiver);
  state->assembled.reserve(kMaxAssembled);
  if (!OpenClient(client_name, port_name, true, &state->client, &state->port)) return nullptr;
  state->name = jack_port_name(state->port);
  jack_on_shutdown(state->client, &OnShutdown, &state->dead);
  jack_set_process_callback(state->client, &JackMidiInput::State::Process, state.get());
  if (jack_activate(state->client) != 0) {
    jack_client_close(state->client);
    return nullptr;
  }
  return std::make_unique<JackMidiInput>(std::move(state));
}

// ---- Output --------------------------------------------------------------------------------

struct JackMidiOutput::State {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  jack_ringbuffer_t* ring = nullptr;
  std::string name;
  std::counting_semaphore<> taken{0};
  std::atomic<bool> dead{false};

  // Each message is its length, then its bytes; it goes when the cycle's buffer has room.
  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<State*>(arg);
    void* buffer = jack_port_get_buffer(self->port, frames);
    jack_midi_clear_buffer(buffer);
    for (;;) {
      std::uint32_t size = 0;
      const std::size_t readable = jack_ringbuffer_read_space(self->ring);
      if (readable < sizeof size) break;
      jack_ringbuffer_peek(self->ring, reinterpret_cast<char*>(&size), sizeof size);
      if (readable < sizeof size + size) break;
      jack_midi_data_t* room = jack_midi_event_reserve(buffer, 0, size);
      if (room == nullptr) break;
      jack_ringbuffer_read_advance(self->ring, sizeof size);
      jack_ringbuffer_read(self->ring, reinterpret_cast<char*>(room), size);
      self->taken.release();
    }
    return 0;
  }
};

JackMidiOutput::JackMidiOutput(std::unique_ptr<State> state) : state_(std::move(state)) {}

JackMidiOutput::~JackMidiOutput() {
  State* state = state_.get();
  CallWithin(
      kJackCloseLimit,
      [state] {
        if (state->client != nullptr) jack_client_close(state->client);
        if (state->ring != nullptr) jack_ringbuffer_free(state->ring);
      },
      std::shared_ptr<State>(std::move(state_)));
}

const std::string& JackMidiOutput::name() const { return state_->name; }

bool JackMidiOutput::Send(const std::uint8_t* data, std::size_t size) {
  State& s = *state_;
  const std::uint32_t length = static_cast<std::uint32_t>(size);
  const std::size_t need = sizeof length + size;
  // A message larger than a cycle's buffer can hold would wait for ever.
  if (size == 0 || need > kRingBytes / 2 ||
      size > jack_port_type_get_buffer_size(s.client, JACK_DEFAULT_MIDI_TYPE) / 2) {
    return false;
  }
  // One sender at a time (the backend's sending thread): whatever was queued has been taken.
  while (jack_ringbuffer_write_space(s.ring) < need) {
    if (s.dead.load()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  jack_ringbuffer_write(s.ring, reinterpret_cast<const char*>(&length), sizeof length);
  jack_ringbuffer_write(s.ring, reinterpret_cast<const char*>(data), size);
  while (!s.taken.try_acquire_for(std::chrono::milliseconds(10))) {
    if (s.dead.load()) return false;
  }
  return true;
}

std::unique_ptr<JackMidiOutput> OpenJackMidiOutput(const std::string& client_name,
                                                   const std::string& port_name) {
  auto state = std::make_unique<JackMidiOutput::State>();
  state->ring = jack_ringbuffer_create(kRingBytes);
  if (state->ring == nullptr) return nullptr;
  if (!OpenClient(client_name, port_name, false, &state->client, &state->port)) {
    jack_ringbuffer_free(state->ring);
    return nullptr;
  }
  state->name = jack_port_name(state->port);
  jack_on_shutdown(state->client, &OnShutdown, &state->dead);
  jack_set_process_callback(state->client, &JackMidiOutput::State::Process, state.get());
  if (jack_activate(state->client) != 0) {
    jack_client_close(state->client);
    jack_ringbuffer_free(state->ring);
    return nullptr;
  }
  return std::make_unique<JackMidiOutput>(std::move(state));
}

}  // namespace fen
