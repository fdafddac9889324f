// The simulated device plugged into the in-process virtual MIDI bus, where the program lists
// it under its client name like the real device.
#pragma once

#include <memory>
#include <string>

#include "devsim/sim_device.h"
#include "platform/midi/virtual/virtual_midi_bus.h"

namespace fen::devsim {

class VirtualBusDevice {
 public:
  explicit VirtualBusDevice(VirtualMidiBus& bus,
                            const std::string& client_name = kDefaultClientName,
                            SimOptions options = {});
  VirtualBusDevice(VirtualMidiBus& bus, SimOptions options,
                   const std::string& client_name = kDefaultClientName);
  // Removes the peer first, so that no message reaches the device while it goes.
  ~VirtualBusDevice();
  VirtualBusDevice(const VirtualBusDevice&) = delete;
  VirtualBusDevice& operator=(const VirtualBusDevice&) = delete;

  SimDevice& device() { return *device_; }
  const SimDevice& device() const { return *device_; }
  const std::string& client_name() const { return client_name_; }

  // The device is unplugged: its ports leave the bus, open ports on it fall silent. The
  // device itself stays, so that its report can still be read.
  void Vanish();
  bool vanished() const { return vanished_; }

  // Until everything sent to the device so far has been delivered, handled and answered, and
  // the answers delivered.
  void WaitIdle();

 private:
  VirtualMidiBus& bus_;
  std::string client_name_;
  std::shared_ptr<VirtualMidiBus::Peer> peer_;
  std::unique_ptr<SimDevice> device_;
  bool vanished_ = false;
};

}  // namespace fen::devsim
