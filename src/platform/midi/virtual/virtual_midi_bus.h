// The in-process virtual MIDI bus: named ports that carry whole messages, delivered on a
// thread of the bus's own (or at once on the sending thread when the bus is idle); peers (the
// simulated device, tests) attach to it and can vanish while the program has their ports open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/midi/backend.h"

namespace fen {

class VirtualMidiBus : public MidiBackend {
 public:
  // One peer client on the bus, seen by the program as a device with one input port (what
  // the program sends reaches the peer's receiver) and one output port (what the peer sends
  // reaches the program).
  class Peer {
   public:
    virtual ~Peer() = default;
    virtual const std::string& client_name() const = 0;
    // Sets the function that gets every message the program sends to this peer. It runs on
    // the bus's delivery thread, or on the program's sending thread when the bus is idle, one
    // call at a time. Set it before the program opens the port.
    virtual void SetReceiver(MidiReceiver receiver) = 0;
    // Sends one whole message towards the program: delivered, on the bus thread or at once on
    // this thread when the bus is idle, to every program input that has this peer's output
    // open. False once the peer has vanished.
    virtual bool Send(const std::uint8_t* data, std::size_t size) = 0;
    // The peer vanishes: its ports leave the lists; open program ports on it stop receiving
    // and their sends fail. No receiver call runs or starts once this has returned.
    virtual void Remove() = 0;
  };

  VirtualMidiBus();
  ~VirtualMidiBus() override;

  // Adds a peer whose ports the program lists under `client_name`.
  std::shared_ptr<Peer> AddPeer(const std::string& client_name);

  // Blocks until every message queued so far has been delivered (tests).
  void Flush();

  std::string Name() const override;
  bool InProcess() const override;
  std::vector<MidiEndpoint> ListInputs() override;
  std::vector<MidiEndpoint> ListOutputs() override;
  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override;
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override;
  // A peer of this bus in this process: another process's bus of the same names is another
  // device.
  std::string DeviceKey(const MidiEndpoint& endpoint) const override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace fen
