// The virtual bus's port listing: each peer is a client with one port each way.
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/virtual/virtual_bus_core.h"

namespace fen {

using namespace virtual_bus;

std::vector<MidiEndpoint> VirtualMidiBus::ListInputs() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<MidiEndpoint> list;
  for (const auto& [id, peer] : impl_->peers) {
    list.push_back({peer->input_id(), peer->client_name, kPeerOutPort, std::to_string(id)});
  }
  return list;
}

std::vector<MidiEndpoint> VirtualMidiBus::ListOutputs() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<MidiEndpoint> list;
  for (const auto& [id, peer] : impl_->peers) {
    list.push_back({peer->output_id(), peer->client_name, kPeerInPort, std::to_string(id)});
  }
  return list;
}

}  // namespace fen
