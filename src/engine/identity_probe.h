// Who is on which ports: one Identity Request out of each output port, and the Identity Replies
// that come back on the inputs within a short wait. Ports that hand the request itself back (a
// MIDI Through, a loop) are told apart and never paired with themselves. Used where the ports'
// names do not say which are the device's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/midi/midi_driver.h"
#include "protocol/identity.h"

namespace fen {

struct IdentifiedPair {
  int in = -1;
  int out = -1;
  DeviceIdentity identity;
  bool of_family = false;  // model 0x57 or 0x61: a device the updater updates
};

struct PortEcho {
  int out = -1;
  int in = -1;
};

struct IdentifyResult {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<IdentifiedPair> pairs;  // in the order of the outputs
  std::vector<PortEcho> echoes;
};

// Sends nothing but one Identity Request per output port, waiting `wait_ms` after each.
IdentifyResult ProbeIdentities(MidiDriver& driver, std::uint32_t wait_ms);

// The pairs of the family, in the order of the outputs.
std::vector<IdentifiedPair> FamilyPairs(const IdentifyResult& result);

}  // namespace fen
