// A port-less JACK client of the RtMidi backend's own: lists ports without RtMidi's warnings,
// connects and checks connections by name, and learns when the server goes away. Built over
// libjack where JACK is (jack_monitor_jack.cpp); elsewhere it never opens (_nojack.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fen {

class JackMonitor {
 public:
  ~JackMonitor();
  JackMonitor() = default;
  JackMonitor(const JackMonitor&) = delete;
  JackMonitor& operator=(const JackMonitor&) = delete;

  // Full names of the server's MIDI ports that send (`outputs`) or that receive.
  std::vector<std::string> MidiPorts(bool outputs);
  // 0 when connected or already connected (EEXIST is passed on as such), else JACK's error.
  int Connect(const std::string& source, const std::string& destination);
  // 1 when `port` is connected to `other`, 0 when not, -1 when `port` is gone.
  int PortConnectedTo(const std::string& port, const std::string& other);

  std::atomic<bool> dead{false};
  std::atomic<std::uint64_t> cycles{0};

 private:
  friend std::shared_ptr<JackMonitor> OpenJackMonitor(const std::string& client_name,
                                                      std::string* error);
  std::mutex mutex_;
  void* client_ = nullptr;  // jack_client_t
};

// A monitor named after `client_name`, or null with the reason in `error` when no JACK server
// runs here (or JACK is not built).
std::shared_ptr<JackMonitor> OpenJackMonitor(const std::string& client_name, std::string* error);

}  // namespace fen
