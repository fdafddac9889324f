// The RtMidi backend: lists and opens ALSA sequencer, JACK and WinMM ports, keeps RtMidi's
// exceptions and messages inside, and bounds every send.
#include "platform/midi/rtmidi/rtmidi_backend.h"

#include <RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/midi/rtmidi/jack_monitor.h"

namespace fen {
namespace {

constexpr const char* kInPortName = "MIDI In";
constexpr const char* kOutPortName = "MIDI Out";
// A JACK cycle is a few milliseconds at most; a connection not seen after this never came.
constexpr std::chrono::milliseconds kConnectBound{2000};
constexpr std::uint64_t kSettleCycles = 4;

// RtMidi prints errors unless it has a callback; they are collected here instead.
struct ErrorSink {
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::string last;

  static void Callback(RtMidiError::Type type, const std::string& text, void* user) {
    auto* sink = static_cast<ErrorSink*>(user);
    if (type == RtMidiError::DEBUG_WARNING) return;
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->last = text;
    if (type != RtMidiError::WARNING) sink->failed = true;
  }
  std::string Last() {
    std::lock_guard<std::mutex> lock(mutex);
    return last;
  }
};

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

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
  std::unique_ptr<RtMidiOut> out;

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
        sink.failed = false;
        out->sendMessage(bytes.data(), bytes.size());
        ok = !sink.failed;
      } catch (...) {
        ok = false;
      }
      lock.lock();
      finished = number;
      last_ok = ok;
      cv.notify_all();
    }
    lock.unlock();
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

// ---- The backend ---------------------------------------------------------------------------

class RtMidiSystemBackend : public RtMidiBackend {
 public:
  RtMidiSystemBackend(RtMidi::Api api, std::string client_name, RtMidiOptions options,
                      std::shared_ptr<JackMonitor> monitor)
      : api_(api),
        client_name_(std::move(client_name)),
        options_(options),
        monitor_(std::move(monitor)) {}

  std::string Name() const override {
    switch (api_) {
      case RtMidi::LINUX_ALSA:
        return "alsa";
      case RtMidi::UNIX_JACK:
        return "jack";
      default:
        return RtMidi::getApiName(api_);
    }
  }

  std::vector<MidiEndpoint> ListInputs() override { return List(/*inputs=*/true); }
  std::vector<MidiEndpoint> ListOutputs() override { return List(/*inputs=*/false); }

  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override {
    return MakeInput(&endpoint, kInPortName, std::move(receiver));
  }
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override {
    return MakeOutput(&endpoint, kOutPortName);
  }
  std::unique_ptr<MidiInputConnection> OpenOwnInput(const std::string& port_name,
                                                    MidiReceiver receiver) override {
    return MakeInput(nullptr, port_name, std::move(receiver));
  }
  std::unique_ptr<MidiOutputConnection> OpenOwnOutput(const std::string& port_name) override {
    return MakeOutput(nullptr, port_name);
  }

 private:
  bool IsJack() const { return api_ == RtMidi::UNIX_JACK; }

  // The monitor, reopened if the server went away and came back.
  std::shared_ptr<JackMonitor> Monitor() {
    std::lock_guard<std::mutex> lock(monitor_mutex_);
    if (!monitor_ || monitor_->dead) monitor_ = OpenJackMonitor(client_name_, nullptr);
    return monitor_;
  }

  bool IsOwnClient(const std::string& client) const {
    if (client == client_name_) return true;
    // JACK names a second client of the same name "name-01".
    return IsJack() && client.size() > client_name_.size() + 1 &&
           client.compare(0, client_name_.size(), client_name_) == 0 &&
           client[client_name_.size()] == '-' && AllDigits(client.substr(client_name_.size() + 1));
  }

  MidiEndpoint ParseName(const std::string& name) const {
    MidiEndpoint endpoint{name, name, "", ""};
    std::string shown = name;
    if (api_ == RtMidi::LINUX_ALSA) {
      // RtMidi appends the sequencer address, " client:port" in numbers, to ALSA names; the
      // client number tells apart two clients of one name.
      const std::size_t space = shown.rfind(' ');
      if (space != std::string::npos) {
        const std::string address = shown.substr(space + 1);
        const std::size_t colon = address.find(':');
        if (colon != std::string::npos && AllDigits(address.substr(0, colon)) &&
            AllDigits(address.substr(colon + 1))) {
          shown.resize(space);
          endpoint.client_id = address.substr(0, colon);
        }
      }
    }
    if (api_ == RtMidi::WINDOWS_MM) {
      // RtMidi appends the device's index to WinMM's name; the name is shown as WinMM gives
      // it, and the index tells apart two devices of one name. WinMM names have no ports.
      const std::size_t space = shown.rfind(' ');
      if (space != std::string::npos && AllDigits(shown.substr(space + 1))) {
        endpoint.client_id = shown.substr(space + 1);
        shown.resize(space);
      }
      endpoint.client = shown;
      return endpoint;
    }
    const std::size_t colon = shown.find(':');
    if (colon != std::string::npos) {
      endpoint.client = shown.substr(0, colon);
      endpoint.port = shown.substr(colon + 1);
    } else {
      endpoint.client = shown;
    }
    // JACK client names are unique on their server.
    if (IsJack()) endpoint.client_id = endpoint.client;
    return endpoint;
  }

  // JACK renames a second client of a taken name "name-01", a third "name-02". Where a client
  // of the base name is listed too, the renamed ones are shown under the base name, so that
  // two devices of one model read "name" and "name (2)" as elsewhere; the base client and
  // then the renamed ones by number take the places those clients had in the list.
  static void ShowJackRenamesUnderTheirBase(std::vector<MidiEndpoint>& list) {
    std::set<std::string> clients;
    for (const MidiEndpoint& endpoint : list) clients.insert(endpoint.client);
    std::map<std::string, std::vector<std::size_t>> places;  // by shown client name
    for (std::size_t i = 0; i < list.size(); ++i) {
      MidiEndpoint& endpoint = list[i];
      const std::size_t dash = endpoint.client.rfind('-');
      const std::size_t digits = dash == std::string::npos ? 0 : endpoint.client.size() - dash - 1;
      if (digits >= 2 && digits <= 4 && AllDigits(endpoint.client.substr(dash + 1)) &&
          clients.count(endpoint.client.substr(0, dash)) != 0) {
        endpoint.client.resize(dash);
      }
      places[endpoint.client].push_back(i);
    }
    // The base client first, then "-01", "-02", ...; the order is stable within a client.
    auto rename_number = [](const MidiEndpoint& endpoint) {
      if (endpoint.client_id.size() == endpoint.client.size()) return 0L;
      return std::stol(endpoint.client_id.substr(endpoint.client.size() + 1)) + 1;
    };
    for (auto& [client, indices] : places) {
      if (indices.size() < 2) continue;
      std::vector<MidiEndpoint> group;
      for (std::size_t i : indices) group.push_back(std::move(list[i]));
      std::stable_sort(group.begin(), group.end(),
                       [&](const MidiEndpoint& a, const MidiEndpoint& b) {
                         return rename_number(a) < rename_number(b);
                       });
      for (std::size_t k = 0; k < indices.size(); ++k) list[indices[k]] = std::move(group[k]);
    }
  }

  std::vector<std::string> ListNames(bool inputs) {
    std::vector<std::string> names;
    if (IsJack()) {
      std::shared_ptr<JackMonitor> monitor = Monitor();
      if (!monitor) return names;
      // The program's inputs are the ports that other clients send from.
      return monitor->MidiPorts(/*outputs=*/inputs);
    }
    auto list = [&names](RtMidi& lister, ErrorSink& sink) {
      lister.setErrorCallback(&ErrorSink::Callback, &sink);
      const unsigned count = lister.getPortCount();
      for (unsigned i = 0; i < count; ++i) names.push_back(lister.getPortName(i));
    };
    try {
      ErrorSink sink;
      if (inputs) {
        RtMidiIn lister(api_, client_name_);
        list(lister, sink);
      } else {
        RtMidiOut lister(api_, client_name_);
        list(lister, sink);
      }
    } catch (...) {
      names.clear();  // the system failed to list: nothing to show
    }
    return names;
  }

  std::vector<MidiEndpoint> List(bool inputs) {
    std::vector<MidiEndpoint> list;
    try {
      for (const std::string& name : ListNames(inputs)) {
        MidiEndpoint endpoint = ParseName(name);
        if (!IsOwnClient(endpoint.client)) list.push_back(std::move(endpoint));
      }
      if (IsJack()) ShowJackRenamesUnderTheirBase(list);
    } catch (...) {
      list.clear();
    }
    return list;
  }

  // Opens `rtmidi`'s port to `endpoint`, or a port of its own when there is none.
  bool OpenPort(RtMidi& rtmidi, ErrorSink& sink, const MidiEndpoint* endpoint,
                const std::string& port_name, bool input) {
    if (endpoint == nullptr) {
      rtmidi.openVirtualPort(port_name);
      return !sink.failed;
    }
    if (IsJack()) return OpenJackPort(rtmidi, sink, *endpoint, port_name, input);
    const unsigned count = rtmidi.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      if (rtmidi.getPortName(i) != endpoint->id) continue;
      rtmidi.openPort(i, port_name);
      return !sink.failed && rtmidi.isPortOpen();
    }
    return false;
  }

  // RtMidi's JACK openPort connects by list position and reads past the end of JACK's list
  // when a port vanishes meanwhile. Instead our port is made unconnected and connected by
  // name here.
  bool OpenJackPort(RtMidi& rtmidi, ErrorSink& sink, const MidiEndpoint& endpoint,
                    const std::string& port_name, bool input) {
    std::shared_ptr<JackMonitor> monitor = Monitor();
    if (!monitor) return false;
    // One open at a time, so that the port that appears is the one just made.
    std::lock_guard<std::mutex> open_lock(open_mutex_);
    const std::vector<std::string> before = OwnPorts(*monitor, port_name, input);
    rtmidi.openVirtualPort(port_name);
    if (sink.failed) return false;
    const auto give_up = std::chrono::steady_clock::now() + kConnectBound;
    std::string ours;
    while (ours.empty()) {
      for (const std::string& name : OwnPorts(*monitor, port_name, input)) {
        if (std::find(before.begin(), before.end(), name) == before.end()) ours = name;
      }
      if (!ours.empty()) break;
      if (monitor->dead || std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int result =
        input ? monitor->Connect(endpoint.id, ours) : monitor->Connect(ours, endpoint.id);
    if (result != 0 && result != EEXIST) return false;
    return Connected(*monitor, endpoint.id, ours);
  }

  // Our clients' ports named `port_name`: JACK inputs for an input, outputs for an output.
  std::vector<std::string> OwnPorts(JackMonitor& monitor, const std::string& port_name,
                                    bool input) {
    std::vector<std::string> names;
    for (const std::string& name : monitor.MidiPorts(/*outputs=*/!input)) {
      const MidiEndpoint endpoint = ParseName(name);
      if (endpoint.port == port_name && IsOwnClient(endpoint.client)) names.push_back(name);
    }
    return names;
  }

  // JACK shows a new connection from its next cycle on, and the order in which it runs the
  // two clients follows a cycle or two later; a message sent before then can be lost.
  bool Connected(JackMonitor& monitor, const std::string& target, const std::string& ours) {
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

  // JACK: refuse early when the server is gone, before RtMidi would print about it.
  bool SystemUp(std::shared_ptr<JackMonitor>* monitor) {
    if (!IsJack()) return true;
    *monitor = Monitor();
    return *monitor != nullptr;
  }

  std::unique_ptr<MidiInputConnection> MakeInput(const MidiEndpoint* endpoint,
                                                 const std::string& port_name,
                                                 MidiReceiver receiver) {
    std::shared_ptr<JackMonitor> monitor;
    if (!receiver || !SystemUp(&monitor)) return nullptr;
    try {
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

  std::unique_ptr<MidiOutputConnection> MakeOutput(const MidiEndpoint* endpoint,
                                                   const std::string& port_name) {
    std::shared_ptr<JackMonitor> monitor;
    if (!SystemUp(&monitor)) return nullptr;
    try {
      auto shared = std::make_shared<OutputShared>();
      shared->monitor = monitor;
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

  RtMidi::Api api_;
  std::string client_name_;
  RtMidiOptions options_;
  std::mutex monitor_mutex_;
  std::shared_ptr<JackMonitor> monitor_;
  std::mutex open_mutex_;
};

bool ApiCompiled(RtMidi::Api api) {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  for (RtMidi::Api compiled : apis) {
    if (compiled == api) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<RtMidiBackend> MakeRtMidiBackend(const std::string& api,
                                                 const std::string& client_name, std::string* error,
                                                 RtMidiOptions options) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  try {
    RtMidi::Api id = RtMidi::UNSPECIFIED;
    if (api == "alsa") {
      id = RtMidi::LINUX_ALSA;
    } else if (api == "jack") {
      id = RtMidi::UNIX_JACK;
    } else {
      id = RtMidi::getCompiledApiByName(api);
    }
    if (id == RtMidi::UNSPECIFIED || id == RtMidi::RTMIDI_DUMMY || !ApiCompiled(id)) {
      *error = api + ": not available";
      return nullptr;
    }
    std::shared_ptr<JackMonitor> monitor;
    if (id == RtMidi::UNIX_JACK) {
      monitor = OpenJackMonitor(client_name, error);
      if (!monitor) {
        *error = "jack: " + *error;
        return nullptr;
      }
    } else {
      // Without the sequencer device ALSA prints and throws; check first.
      if (id == RtMidi::LINUX_ALSA && access("/dev/snd/seq", R_OK | W_OK) != 0) {
        *error = "alsa: no /dev/snd/seq";
        return nullptr;
      }
      ErrorSink sink;
      RtMidiIn probe(id, client_name);
      probe.setErrorCallback(&ErrorSink::Callback, &sink);
    }
    return std::make_shared<RtMidiSystemBackend>(id, client_name, options, std::move(monitor));
  } catch (const std::exception& e) {
    *error = api + ": " + e.what();
  } catch (...) {
    *error = api + ": failed";
  }
  return nullptr;
}

std::vector<std::shared_ptr<MidiBackend>> MakeRtMidiBackends(const std::string& api,
                                                             const std::string& client_name,
                                                             std::string* error,
                                                             RtMidiOptions options) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  error->clear();
  std::vector<std::shared_ptr<MidiBackend>> backends;
  std::vector<std::string> names;
  if (api == "auto") {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    for (RtMidi::Api compiled : apis) {
      if (compiled == RtMidi::RTMIDI_DUMMY) continue;
      names.push_back(compiled == RtMidi::LINUX_ALSA  ? "alsa"
                      : compiled == RtMidi::UNIX_JACK ? "jack"
                                                      : RtMidi::getApiName(compiled));
    }
  } else {
    names.push_back(api);
  }
  for (const std::string& name : names) {
    std::string reason;
    if (auto backend = MakeRtMidiBackend(name, client_name, &reason, options)) {
      backends.push_back(std::move(backend));
    } else {
      if (!error->empty()) *error += "; ";
      *error += reason;
    }
  }
  return backends;
}

}  // namespace fen
