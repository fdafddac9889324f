// The RtMidi backend's connections: opening ports (by name on JACK), receiving on RtMidi's
// thread, and sends bounded by a thread of their own.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <utility>

#include "platform/midi/rtmidi/rtmidi_system.h"

namespace fen::rtmidi {
namespace {

// A JACK cycle is a few milliseconds at most; a connection not seen after this never came.
constexpr std::chrono::milliseconds kConnectBound{2000};
constexpr std::uint64_t kSettleCycles = 4;

// ---- Input ---------------------------------------------------------------------------------

struct InputReceiver {
  MidiReceiver receiver;
  static void Callback(double /*time*/, std::vector<unsigned char>* message, void* user) {
    if (message == nullptr || message->empty()) return;
    static_cast<InputReceiver*>(user)->receiver(message->data(), message->size());
  }
};

// RtMidi's JACK objects free their buffers before closing their client, while its process
// callback may still run and use them. Closing the port first and letting JACK run a few
// cycles leaves the callback nothing to do by the time the rest goes.
template <typename RtMidiObject>
void CloseQuietly(std::unique_ptr<RtMidiObject>& rtmidi,
                  const std::shared_ptr<JackMonitor>& monitor) {
  try {
    if (rtmidi && monitor) {
      rtmidi->closePort();
      const auto give_up = std::chrono::steady_clock::now() + kConnectBound;
      const std::uint64_t seen = monitor->cycles.load();
      while (monitor->cycles.load() < seen + kSettleCycles && !monitor->dead &&
             std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    rtmidi.reset();
  } catch (...) {
    // Nothing more can be done about a port that fails to close.
  }
}

class RtInput : public MidiInputConnection {
 public:
  RtInput(std::unique_ptr<InputReceiver> receiver, std::unique_ptr<ErrorSink> sink,
          std::unique_ptr<RtMidiIn> in, std::shared_ptr<JackMonitor> monitor)
      : receiver_(std::move(receiver)),
        sink_(std::move(sink)),
        in_(std::move(in)),
        monitor_(std::move(monitor)) {}
  // Destroying RtMidiIn closes its client, after which the callback no longer runs.
  ~RtInput() override { CloseQuietly(in_, monitor_); }

 private:
  std::unique_ptr<InputReceiver> receiver_;
  std::unique_ptr<ErrorSink> sink_;
  std::unique_ptr<RtMidiIn> in_;
  std::shared_ptr<JackMonitor> monitor_;
};

// ---- Output --------------------------------------------------------------------------------

// Shared by the port and its sending thread: RtMidi's JACK send spins until the server has
// room, for ever if the server died, so it runs on a thread the port can give up on.
struct OutputShared {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint8_t> message;
  std::uint64_t posted = 0;
  std::uint64_t finished = 0;
  bool last_ok = false;
  bool stop = false;
  bool stuck = false;
  ErrorSink sink;
  std::shared_ptr<JackMonitor> monitor;  // null on systems other than JACK
  std::unique_ptr<RtMidiOut> out;        // the ALSA sequencer's
  std::unique_ptr<JackMidiOutput> jack;  // JACK's

  bool Dead() const { return monitor && monitor->dead.load(); }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      cv.wait(lock, [&] { return stop || posted > finished; });
      if (stop) break;
      std::vector<std::uint8_t> bytes = std::move(message);
      const std::uint64_t number = posted;
      lock.unlock();
      bool ok = false;
      try {
        if (jack) {
          ok = jack->Send(bytes.data(), bytes.size());
        } else {
          sink.failed = false;
          out->sendMessage(bytes.data(), bytes.size());
          ok = !sink.failed;
        }
      } catch (...) {
        ok = false;
      }
      lock.lock();
      finished = number;
      last_ok = ok;
      cv.notify_all();
    }
    lock.unlock();
    jack.reset();
    CloseQuietly(out, monitor);
  }
};

class RtOutput : public MidiOutputConnection {
 public:
  RtOutput(std::shared_ptr<OutputShared> shared, std::chrono::milliseconds bound,
           std::size_t max_message)
      : shared_(std::move(shared)), bound_(bound), max_message_(max_message) {
    std::shared_ptr<OutputShared> shared_copy = shared_;
    thread_ = std::thread([shared_copy] { shared_copy->Run(); });
  }

  ~RtOutput() override {
    bool stuck = false;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->stop = true;
      stuck = shared_->stuck;
    }
    shared_->cv.notify_all();
    // A thread stuck in a send owns what it uses and is left to it.
    if (stuck) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (data == nullptr || size == 0 || size > max_message_) return false;
    try {
      std::unique_lock<std::mutex> lock(shared_->mutex);
      if (shared_->stuck || shared_->stop || shared_->Dead()) return false;
      shared_->message.assign(data, data + size);
      const std::uint64_t number = ++shared_->posted;
      shared_->cv.notify_all();
      if (!shared_->cv.wait_for(lock, bound_, [&] { return shared_->finished >= number; })) {
        shared_->stuck = true;
        return false;
      }
      return shared_->last_ok;
    } catch (...) {
      return false;
    }
  }

 private:
  std::shared_ptr<OutputShared> shared_;
  std::chrono::milliseconds bound_;
  std::size_t max_message_;
  std::thread thread_;
};

}  // namespace

// Opens `rtmidi`'s port to `endpoint`, or a port of its own when there is none.
bool RtMidiSystemBackend::OpenPort(RtMidi& rtmidi, ErrorSink& sink, const MidiEndpoint* endpoint,
                                   const std::string& port_name, bool /*input*/) {
  if (endpoint == nullptr) {
    rtmidi.openVirtualPort(port_name);
    return !sink.failed;
  }
  const unsigned count = rtmidi.getPortCount();
  for (unsigned i = 0; i < count; ++i) {
    if (rtmidi.getPortName(i) != endpoint->id) continue;
    rtmidi.openPort(i, port_name);
    return !sink.failed && rtmidi.isPortOpen();
  }
  return false;
}

// JACK shows a new connection from its next cycle on, and the order in which it runs the
// two clients follows a cycle or two later; a message sent before then can be lost.
bool RtMidiSystemBackend::Connected(JackMonitor& monitor, const std::string& target,
                                    const std::string& ours) {
  const auto give_up = std::chrono::steady_clock::now() + kConnectBound;
  for (;;) {
    const int state = monitor.PortConnectedTo(target, ours);
    if (state < 0) return false;
    if (state > 0) break;
    if (monitor.dead || std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::uint64_t seen = monitor.cycles.load();
  while (monitor.cycles.load() < seen + kSettleCycles) {
    if (monitor.dead || std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// On JACK a port of a client of its own (jack_monitor.h says why), connected by name.
bool RtMidiSystemBackend::ConnectJackPort(JackMonitor& monitor, const MidiEndpoint* endpoint,
                                          const std::string& ours, bool input) {
  if (endpoint == nullptr) return true;
  const int result =
      input ? monitor.Connect(endpoint->id, ours) : monitor.Connect(ours, endpoint->id);
  if (result != 0 && result != EEXIST) return false;
  return Connected(monitor, endpoint->id, ours);
}

std::unique_ptr<MidiInputConnection> RtMidiSystemBackend::MakeInput(const MidiEndpoint* endpoint,
                                                                    const std::string& port_name,
                                                                    MidiReceiver receiver) {
  std::shared_ptr<JackMonitor> monitor;
  if (!receiver || !SystemUp(&monitor)) return nullptr;
  try {
    if (IsJack()) {
      std::unique_ptr<JackMidiInput> in =
          OpenJackMidiInput(client_name_, port_name, std::move(receiver));
      if (!in || !ConnectJackPort(*monitor, endpoint, in->name(), /*input=*/true)) return nullptr;
      return in;
    }
    auto sink = std::make_unique<ErrorSink>();
    auto target = std::make_unique<InputReceiver>();
    target->receiver = std::move(receiver);
    auto in = std::make_unique<RtMidiIn>(api_, client_name_);
    in->setErrorCallback(&ErrorSink::Callback, sink.get());
    // SysEx, timing and active sensing are all passed on; RtMidi drops them by default.
    in->ignoreTypes(false, false, false);
    in->setBufferSize(8192, 4);
    in->setCallback(&InputReceiver::Callback, target.get());
    if (!OpenPort(*in, *sink, endpoint, port_name, /*input=*/true)) {
      CloseQuietly(in, monitor);
      return nullptr;
    }
    return std::make_unique<RtInput>(std::move(target), std::move(sink), std::move(in),
                                     std::move(monitor));
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<MidiOutputConnection> RtMidiSystemBackend::MakeOutput(
    const MidiEndpoint* endpoint, const std::string& port_name) {
  std::shared_ptr<JackMonitor> monitor;
  if (!SystemUp(&monitor)) return nullptr;
  try {
    auto shared = std::make_shared<OutputShared>();
    shared->monitor = monitor;
    if (IsJack()) {
      shared->jack = OpenJackMidiOutput(client_name_, port_name);
      if (!shared->jack ||
          !ConnectJackPort(*monitor, endpoint, shared->jack->name(), /*input=*/false)) {
        return nullptr;
      }
      return std::make_unique<RtOutput>(std::move(shared), options_.send_bound, kMaxJackMessage);
    }
    shared->out = std::make_unique<RtMidiOut>(api_, client_name_);
    shared->out->setErrorCallback(&ErrorSink::Callback, &shared->sink);
    if (!OpenPort(*shared->out, shared->sink, endpoint, port_name, /*input=*/false)) {
      CloseQuietly(shared->out, monitor);
      return nullptr;
    }
    // RtMidi's JACK output drops longer messages without a word.
    const std::size_t max_message = IsJack() ? kMaxJackMessage : SIZE_MAX;
    return std::make_unique<RtOutput>(std::move(shared), options_.send_bound, max_message);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace fen::rtmidi
