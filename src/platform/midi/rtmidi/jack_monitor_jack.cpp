// The JACK monitor over libjack.
#include <jack/jack.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/bounded_call.h"
#include "platform/midi/rtmidi/jack_monitor.h"

namespace fen {
namespace {

constexpr int kActivateAttempts = 3;
constexpr std::chrono::milliseconds kActivateRetryPause{50};

jack_client_t* Client(void* client) { return static_cast<jack_client_t*>(client); }

void Quiet(const char*) {}

// libjack prints every failed connection attempt to stderr; a library must not.
void SilenceJack() {
  static std::once_flag once;
  std::call_once(once, [] {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

void OnShutdown(void* arg) { static_cast<JackMonitor*>(arg)->dead = true; }
int OnProcess(jack_nframes_t /*frames*/, void* arg) {
  ++static_cast<JackMonitor*>(arg)->cycles;
  return 0;
}

}  // namespace

JackMonitor::~JackMonitor() = default;

void JackMonitor::Release(JackMonitor* monitor) {
  std::shared_ptr<JackMonitor> keep(monitor);
  if (monitor->client_ == nullptr) return;
  jack_client_t* client = Client(monitor->client_);
  CallWithin(
      kJackCloseLimit, [client] { jack_client_close(client); }, std::move(keep));
}

std::vector<std::string> JackMonitor::MidiPorts(bool outputs) {
  std::vector<std::string> names;
  std::lock_guard<std::mutex> lock(mutex_);
  const char** ports = jack_get_ports(Client(client_), nullptr, JACK_DEFAULT_MIDI_TYPE,
                                      outputs ? JackPortIsOutput : JackPortIsInput);
  if (ports == nullptr) return names;
  for (const char** p = ports; *p != nullptr; ++p) names.emplace_back(*p);
  jack_free(ports);
  return names;
}

int JackMonitor::Connect(const std::string& source, const std::string& destination) {
  std::lock_guard<std::mutex> lock(mutex_);
  return jack_connect(Client(client_), source.c_str(), destination.c_str());
}

int JackMonitor::PortConnectedTo(const std::string& port, const std::string& other) {
  std::lock_guard<std::mutex> lock(mutex_);
  jack_port_t* found = jack_port_by_name(Client(client_), port.c_str());
  if (found == nullptr) return -1;
  return jack_port_connected_to(found, other.c_str()) ? 1 : 0;
}

std::shared_ptr<JackMonitor> OpenJackMonitor(const std::string& client_name, std::string* error) {
  SilenceJack();
  // Named apart, so that the ports the backend opens get the client name itself.
  const std::string name = client_name + "-monitor";
  // A server gives an activation only some 20 periods to take effect; on a loaded machine
  // that can pass, and the next try usually succeeds.
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<JackMonitor> monitor(new JackMonitor, &JackMonitor::Release);
    jack_status_t status{};
    jack_client_t* client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (client == nullptr) {
      if (error) *error = "JACK server not running";
      return nullptr;
    }
    monitor->client_ = client;
    jack_on_shutdown(client, &OnShutdown, monitor.get());
    jack_set_process_callback(client, &OnProcess, monitor.get());
    if (jack_activate(client) == 0) return monitor;
    if (attempt == kActivateAttempts) {
      if (error) *error = "JACK client could not be activated";
      return nullptr;
    }
    monitor.reset();
    std::this_thread::sleep_for(kActivateRetryPause);
  }
}

}  // namespace fen
