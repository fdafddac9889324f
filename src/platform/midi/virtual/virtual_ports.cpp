// The virtual bus's port listing: each peer is a client with one port each way.
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/virtual/virtual_bus_core.h"

namespace fen {

using namespace virtual_bus;

namespace {

// One port of each peer: the program receives from a peer's "out" and sends to its "in".
std::vector<MidiEndpoint> ListPeerPorts(BusCore& bus, bool program_receives) {
  std::lock_guard<std::mutex> lock(bus.mutex);
  std::vector<MidiEndpoint> list;
  for (const auto& [id, peer] : bus.peers) {
    list.push_back({program_receives ? peer->input_id() : peer->output_id(), peer->client_name,
                    program_receives ? kPeerOutPort : kPeerInPort, std::to_string(id)});
  }
  return list;
}

}  // namespace

std::vector<MidiEndpoint> VirtualMidiBus::ListInputs() {
  return ListPeerPorts(*impl_, /*program_receives=*/true);
}

std::vector<MidiEndpoint> VirtualMidiBus::ListOutputs() {
  return ListPeerPorts(*impl_, /*program_receives=*/false);
}

}  // namespace fen
