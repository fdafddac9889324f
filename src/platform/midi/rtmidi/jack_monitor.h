// A port-less JACK client of the RtMidi backend's own: lists ports without RtMidi's warnings,
// connects and checks connections by name, and learns when the server goes away. Built over
// libjack where JACK is (jack_monitor_jack.cpp); elsewhere it never opens (_nojack.cpp).
//
// Every JACK client here is closed within kJackCloseLimit: libjack's close can block for ever
// (its metadata database, shared by every JACK program of the user, left locked by a process
// that died holding it), and a program that has finished its update must still end. A close
// given up on goes on in the background, owning what the client's callbacks use.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/backend.h"

namespace fen {

inline constexpr std::chrono::milliseconds kJackCloseLimit{5000};

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
  // What OpenJackMonitor's pointer does last: closes the client (within kJackCloseLimit), then
  // deletes the monitor, which its callbacks use until the close has returned.
  static void Release(JackMonitor* monitor);

  std::mutex mutex_;
  void* client_ = nullptr;  // jack_client_t
};

// A monitor named after `client_name`, or null with the reason in `error` when no JACK server
// runs here (or JACK is not built).
std::shared_ptr<JackMonitor> OpenJackMonitor(const std::string& client_name, std::string* error);

// MIDI ports on JACK clients of their own, one client a port, closed by closing the client and
// never by unregistering the port: libjack (1.9.21) erases a port from its client's port list
// in jack_port_unregister while the client's notification thread may be walking that list for
// a latency notification, which the server sends on every change of the graph anywhere on it
// (another program's client leaving, a connection made); the walk then reads freed memory.
// Closing the client stops its notification thread before anything else goes.
class JackMidiInput : public MidiInputConnection {
 public:
  struct State;
  explicit JackMidiInput(std::unique_ptr<State> state);
  ~JackMidiInput() override;
  // The port's full name, "client:port".
  const std::string& name() const;

 private:
  std::unique_ptr<State> state_;
};

class JackMidiOutput {
 public:
  struct State;
  explicit JackMidiOutput(std::unique_ptr<State> state);
  ~JackMidiOutput();
  const std::string& name() const;
  // Queues one whole message for the next cycle and returns once the cycle has taken it;
  // false when the server went away or the message can never fit a cycle.
  bool Send(const std::uint8_t* data, std::size_t size);

 private:
  std::unique_ptr<State> state_;
};

// A client named `client_name` (or JACK's rename of it) with one MIDI port `port_name`,
// active; null when the server does not take it. The input's receiver runs on JACK's process
// thread with each whole message.
std::unique_ptr<JackMidiInput> OpenJackMidiInput(const std::string& client_name,
                                                 const std::string& port_name,
                                                 MidiReceiver receiver);
std::unique_ptr<JackMidiOutput> OpenJackMidiOutput(const std::string& client_name,
                                                   const std::string& port_name);

}  // namespace fen
