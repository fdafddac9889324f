// One JACK client with one MIDI input and one MIDI output port, as a USB MIDI device shows
// itself, for the simulated device program. JACK's real-time thread only copies bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/midi/backend.h"

namespace fen::devsim {

class JackDevicePorts {
 public:
  // Opens the client (the server must be running) with ports "in" and "out". `receiver`
  // gets each whole message that arrives on "in", on a thread of this object. Null, with the
  // reason in `error`, when JACK does not work here.
  static std::unique_ptr<JackDevicePorts> Open(const std::string& client_name,
                                               MidiReceiver receiver, std::string* error);
  ~JackDevicePorts();
  JackDevicePorts(const JackDevicePorts&) = delete;
  JackDevicePorts& operator=(const JackDevicePorts&) = delete;

  // Queues one whole message for "out"; it leaves with the next JACK periods. Waits while the
  // queue is full. False once the server has gone, or for a message JACK cannot carry.
  bool Send(const std::uint8_t* data, std::size_t size);
  // Until every queued message has left; false when that did not happen within `timeout`.
  bool WaitSent(std::chrono::milliseconds timeout);

  // The name JACK gave the client: the one asked for, or "name-01" when that was taken.
  std::string client_name() const;
  bool server_gone() const;
  // Messages that arrived while the receiving queue was full and were lost.
  std::uint64_t dropped() const;

  struct Impl;

 private:
  explicit JackDevicePorts(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace fen::devsim
