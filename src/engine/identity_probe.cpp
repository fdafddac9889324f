// The identity probe over the same port classes as an update: every input open at once, then
// one output at a time sends its Identity Request and the inputs are read for a short wait.
#include "engine/identity_probe.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "firmware/firmware.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "protocol/messages.h"

namespace fen {

namespace {

// Everything queued on the inputs so far, handed to `take` with the input's index.
template <typename Take>
void Drain(std::vector<std::unique_ptr<CMidiInPort>>& inputs, Take take) {
  for (std::size_t j = 0; j < inputs.size(); ++j) {
    if (!inputs[j]) continue;
    std::size_t size = 0;
    while (const std::uint8_t* data = inputs[j]->PeekSysEx(&size)) {
      take(static_cast<int>(j), data, size);
      inputs[j]->PopSysEx();
    }
  }
}

}  // namespace

IdentifyResult ProbeIdentities(MidiDriver& driver, std::uint32_t wait_ms) {
  IdentifyResult result;
  result.outputs = CMidiOutPort(driver).GetDeviceNames();
  result.inputs = CMidiInPort(driver).GetDeviceNames();
  std::vector<std::unique_ptr<CMidiInPort>> inputs;
  for (std::size_t j = 0; j < result.inputs.size(); ++j) {
    auto port = std::make_unique<CMidiInPort>(driver);
    port->set_device_index(static_cast<std::int32_t>(j));
    // An input that does not open (taken by another program) is simply not heard.
    inputs.push_back(port->Open() ? std::move(port) : nullptr);
  }
  // What came before the first request answers none of them.
  Drain(inputs, [](int, const std::uint8_t*, std::size_t) {});

  for (std::size_t i = 0; i < result.outputs.size(); ++i) {
    CMidiOutPort out(driver);
    if (!out.Open(static_cast<std::int32_t>(i))) continue;
    MIDIHDR header;
    header.lpData = const_cast<std::uint8_t*>(kIdentityRequestTemplate.data());
    header.dwBufferLength = static_cast<std::uint32_t>(kIdentityRequestTemplate.size());
    const bool sent = out.SendLong(&header);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    std::vector<bool> echoed(inputs.size(), false);
    std::vector<IdentifiedPair> answered;
    // The whole wait, so that a slow device's answer does not pass for the next port's.
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Drain(inputs, [&](int j, const std::uint8_t* data, std::size_t size) {
        DeviceIdentity identity;
        if (IsIdentityRequest(data, size)) {
          echoed[static_cast<std::size_t>(j)] = true;
        } else if (ParseIdentityReply(data, size, &identity)) {
          IdentifiedPair pair;
          pair.in = j;
          pair.out = static_cast<int>(i);
          pair.identity = identity;
          pair.of_family = HasFamilyManufacturer(identity) &&
                           std::find(kFamilyModelIds.begin(), kFamilyModelIds.end(),
                                     identity.model_id) != kFamilyModelIds.end();
          answered.push_back(pair);
        }
      });
    } while (sent && std::chrono::steady_clock::now() < deadline);
    out.Close();
    for (std::size_t j = 0; j < echoed.size(); ++j) {
      if (echoed[j]) result.echoes.push_back({static_cast<int>(i), static_cast<int>(j)});
    }
    for (const IdentifiedPair& pair : answered) {
      // An input that handed the request back is a loop; what else it carries is not this
      // output's device.
      if (!echoed[static_cast<std::size_t>(pair.in)]) result.pairs.push_back(pair);
    }
  }
  for (auto& port : inputs) {
    if (port) port->Close();
  }
  return result;
}

std::vector<IdentifiedPair> FamilyPairs(const IdentifyResult& result) {
  std::vector<IdentifiedPair> family;
  for (const IdentifiedPair& pair : result.pairs) {
    if (pair.of_family) family.push_back(pair);
  }
  return family;
}

}  // namespace fen
