// Wires a SimDevice to a peer of the virtual bus: the peer's receiver feeds the device, the
// device's sender goes out through the peer.
#include "devsim/virtual_bus_device.h"

namespace fen::devsim {

VirtualBusDevice::VirtualBusDevice(VirtualMidiBus& bus, const std::string& client_name,
                                   SimOptions options)
    : VirtualBusDevice(bus, std::move(options), client_name) {}

VirtualBusDevice::VirtualBusDevice(VirtualMidiBus& bus, SimOptions options,
                                   const std::string& client_name)
    : bus_(bus), client_name_(client_name), peer_(bus.AddPeer(client_name)) {
  std::shared_ptr<VirtualMidiBus::Peer> peer = peer_;
  device_ = std::make_unique<SimDevice>(
      std::move(options),
      [peer](const std::uint8_t* data, std::size_t size) { peer->Send(data, size); });
  SimDevice* device = device_.get();
  peer_->SetReceiver(
      [device](const std::uint8_t* data, std::size_t size) { device->OnHostMessage(data, size); });
}

VirtualBusDevice::~VirtualBusDevice() {
  Vanish();
  device_.reset();
}

void VirtualBusDevice::Vanish() {
  if (vanished_) return;
  vanished_ = true;
  peer_->Remove();
}

void VirtualBusDevice::WaitIdle() {
  bus_.Flush();
  device_->WaitIdle();
  bus_.Flush();
}

}  // namespace fen::devsim
