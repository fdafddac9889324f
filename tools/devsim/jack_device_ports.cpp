// The JACK client of the simulated device program. The process callback moves whole
// messages between the ports and two lock-free ring buffers; a reader thread hands what came
// in to the receiver, and Send fills the outgoing ring.
#include "devsim/jack_device_ports.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace fen::devsim {

namespace {
constexpr std::size_t kRingSize = 1 << 20;
// The longest message this client passes either way; a Write Block is at most 18742 bytes.
constexpr std::size_t kMaxMessage = 32768;
constexpr int kActivateAttempts = 3;

void Quiet(const char*) {}
}  // namespace

struct JackDevicePorts::Impl {
  jack_client_t* client = nullptr;
  jack_port_t* in = nullptr;
  jack_port_t* out = nullptr;
  jack_ringbuffer_t* in_ring = nullptr;
  jack_ringbuffer_t* out_ring = nullptr;
  sem_t arrived;
  bool sem_ready = false;
  MidiReceiver receiver;
  std::mutex send_mutex;
  std::atomic<bool> gone{false};
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> dropped{0};
  std::thread reader;

  ~Impl() {
    if (client != nullptr) {
      jack_deactivate(client);
      jack_client_close(client);
    }
    stop = true;
    if (sem_ready) sem_post(&arrived);
    if (reader.joinable()) reader.join();
    if (sem_ready) sem_destroy(&arrived);
    if (in_ring != nullptr) jack_ringbuffer_free(in_ring);
    if (out_ring != nullptr) jack_ringbuffer_free(out_ring);
  }

  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<Impl*>(arg);
    void* in_buffer = jack_port_get_buffer(self->in, frames);
    const std::uint32_t count = jack_midi_get_event_count(in_buffer);
    bool any = false;
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in_buffer, i) != 0 || event.size == 0) continue;
      const std::uint32_t size = static_cast<std::uint32_t>(event.size);
      if (jack_ringbuffer_write_space(self->in_ring) < sizeof size + size) {
        self->dropped.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      jack_ringbuffer_write(self->in_ring, reinterpret_cast<const char*>(&size), sizeof size);
      jack_ringbuffer_write(self->in_ring, reinterpret_cast<const char*>(event.buffer), size);
      any = true;
    }
    if (any) sem_post(&self->arrived);

    void* out_buffer = jack_port_get_buffer(self->out, frames);
    jack_midi_clear_buffer(out_buffer);
    for (;;) {
      std::uint32_t size = 0;
      if (jack_ringbuffer_peek(self->out_ring, reinterpret_cast<char*>(&size), sizeof size) <
          sizeof size) {
        break;
      }
      if (jack_ringbuffer_read_space(self->out_ring) < sizeof size + size) break;
      // What does not fit into this period waits for the next one.
      jack_midi_data_t* slot = jack_midi_event_reserve(out_buffer, 0, size);
      if (slot == nullptr) break;
      jack_ringbuffer_read_advance(self->out_ring, sizeof size);
      jack_ringbuffer_read(self->out_ring, reinterpret_cast<char*>(slot), size);
    }
    return 0;
  }

  static void Shutdown(void* arg) {
    auto* self = static_cast<Impl*>(arg);
    self->gone = true;
    sem_post(&self->arrived);
  }

  void Read() {
    std::vector<std::uint8_t> message;
    while (!stop) {
      timespec deadline{};
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_nsec += 100 * 1000 * 1000;
      if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
      }
      sem_timedwait(&arrived, &deadline);
      for (;;) {
        std::uint32_t size = 0;
        if (jack_ringbuffer_read_space(in_ring) < sizeof size) break;
        jack_ringbuffer_peek(in_ring, reinterpret_cast<char*>(&size), sizeof size);
        if (jack_ringbuffer_read_space(in_ring) < sizeof size + size) break;
        jack_ringbuffer_read_advance(in_ring, sizeof size);
        message.resize(size);
        jack_ringbuffer_read(in_ring, reinterpret_cast<char*>(message.data()), size);
        if (receiver) receiver(message.data(), message.size());
      }
    }
  }
};

JackDevicePorts::JackDevicePorts(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
JackDevicePorts::~JackDevicePorts() = default;

std::unique_ptr<JackDevicePorts> JackDevicePorts::Open(const std::string& client_name,
                                                       MidiReceiver receiver, std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) *error = why;
    return nullptr;
  };
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  // A server gives an activation only some 20 periods to take effect; on a loaded machine
  // that can pass, and a new client usually makes it.
  for (int attempt = 1;; ++attempt) {
    auto impl = std::make_unique<Impl>();
    impl->receiver = receiver;
    if (sem_init(&impl->arrived, 0, 0) != 0) return fail("no semaphore");
    impl->sem_ready = true;
    impl->in_ring = jack_ringbuffer_create(kRingSize);
    impl->out_ring = jack_ringbuffer_create(kRingSize);
    if (impl->in_ring == nullptr || impl->out_ring == nullptr) return fail("out of memory");

    jack_status_t status{};
    impl->client = jack_client_open(client_name.c_str(), JackNoStartServer, &status);
    if (impl->client == nullptr) return fail("JACK server not running");
    impl->in = jack_port_register(impl->client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    impl->out =
        jack_port_register(impl->client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (impl->in == nullptr || impl->out == nullptr) return fail("JACK refused the MIDI ports");
    jack_set_process_callback(impl->client, &Impl::Process, impl.get());
    jack_on_shutdown(impl->client, &Impl::Shutdown, impl.get());
    Impl* raw = impl.get();
    impl->reader = std::thread([raw] { raw->Read(); });
    if (jack_activate(impl->client) == 0) {
      return std::unique_ptr<JackDevicePorts>(new JackDevicePorts(std::move(impl)));
    }
    if (attempt == kActivateAttempts) return fail("JACK client could not be activated");
    impl.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool JackDevicePorts::Send(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0 || size > kMaxMessage) return false;
  std::lock_guard<std::mutex> lock(impl_->send_mutex);
  const std::uint32_t n = static_cast<std::uint32_t>(size);
  while (jack_ringbuffer_write_space(impl_->out_ring) < sizeof n + n) {
    if (impl_->gone) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (impl_->gone) return false;
  // One write for size and bytes; the process callback takes a message only once all of it
  // is there.
  std::vector<char> record(sizeof n + n);
  std::memcpy(record.data(), &n, sizeof n);
  std::memcpy(record.data() + sizeof n, data, n);
  jack_ringbuffer_write(impl_->out_ring, record.data(), record.size());
  return true;
}

bool JackDevicePorts::WaitSent(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (jack_ringbuffer_read_space(impl_->out_ring) > 0) {
    if (impl_->gone || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string JackDevicePorts::client_name() const {
  const char* name = jack_get_client_name(impl_->client);
  return name != nullptr ? name : "";
}

bool JackDevicePorts::server_gone() const { return impl_->gone; }

std::uint64_t JackDevicePorts::dropped() const { return impl_->dropped; }

}  // namespace fen::devsim
