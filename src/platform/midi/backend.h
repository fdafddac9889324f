// Byte-level MIDI backend seam: list ports, open them, move whole messages.
// Backends: RtMidi (ALSA sequencer, JACK, CoreMIDI), ALSA rawmidi, WinMM and the in-process
// virtual bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fen {

// One port as a backend sees it. `id` is stable for as long as the port exists and is what
// OpenInput/OpenOutput look the port up by; `client` and `port` feed the name shown to users.
// `client_id` tells apart clients shown under the same name (two devices of one model); empty
// where the client name alone identifies the client.
struct MidiEndpoint {
  std::string id;
  std::string client;
  std::string port;
  std::string client_id = {};  // a default: the three-member form stays valid
};

// Called on the backend's own thread with one whole message (a SysEx from F0 to F7, or one
// short message). Must only copy and hand over: it may run on a real-time thread.
using MidiReceiver = std::function<void(const std::uint8_t* data, std::size_t size)>;

// An open input. Destroying it closes the port; once the destructor has returned the
// receiver is not called any more.
class MidiInputConnection {
 public:
  virtual ~MidiInputConnection() = default;
};

// An open output.
class MidiOutputConnection {
 public:
  virtual ~MidiOutputConnection() = default;
  // Sends one whole message and returns when the MIDI system has taken it. False when the
  // port has vanished, the system refused the message or did not take it within the
  // backend's bound. Never throws.
  virtual bool Send(const std::uint8_t* data, std::size_t size) = 0;
};

class MidiBackend {
 public:
  virtual ~MidiBackend() = default;
  // Short lower-case name of the MIDI system: "jack", "alsa", "virtual", ...
  virtual std::string Name() const = 0;
  // True for a backend that moves messages inside this process: its receivers run on threads
  // that may wait (its own, or a sender's; never a real-time thread), and Send never blocks.
  // The driver then delivers and sends on the calling threads instead of its own.
  virtual bool InProcess() const { return false; }
  // Ports the program can receive from (the device's outputs).
  virtual std::vector<MidiEndpoint> ListInputs() = 0;
  // Ports the program can send to (the device's inputs).
  virtual std::vector<MidiEndpoint> ListOutputs() = 0;
  // Null when the port no longer exists or cannot be opened.
  virtual std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                         MidiReceiver receiver) = 0;
  virtual std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) = 0;
  // What identifies the device behind a port to every program on the machine, whatever name
  // or index reached it: the key of the port claim. The system's name and the client (its
  // number or unique name) unless the backend knows better.
  virtual std::string DeviceKey(const MidiEndpoint& endpoint) const {
    return Name() + ":" + (endpoint.client_id.empty() ? endpoint.client : endpoint.client_id);
  }
};

// A backend that passes every call on to another, for wrappers that watch or slow down some of
// them: a wrapper overrides only what it changes.
class ForwardingMidiBackend : public MidiBackend {
 public:
  explicit ForwardingMidiBackend(std::shared_ptr<MidiBackend> inner) : inner_(std::move(inner)) {}
  std::string Name() const override { return inner_->Name(); }
  bool InProcess() const override { return inner_->InProcess(); }
  std::vector<MidiEndpoint> ListInputs() override { return inner_->ListInputs(); }
  std::vector<MidiEndpoint> ListOutputs() override { return inner_->ListOutputs(); }
  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override {
    return inner_->OpenInput(endpoint, std::move(receiver));
  }
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override {
    return inner_->OpenOutput(endpoint);
  }
  std::string DeviceKey(const MidiEndpoint& endpoint) const override {
    return inner_->DeviceKey(endpoint);
  }

 protected:
  MidiBackend& inner() const { return *inner_; }

 private:
  std::shared_ptr<MidiBackend> inner_;
};

}  // namespace fen
