// The identity probe over the same port classes as an update: every input open at once, then
// one output at a time sends its Identity Request and the inputs are read for a short wait.
#include "identify.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli_view.h"
#include "firmware/firmware.h"
#include "json_line.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "protocol/messages.h"
#include "terminal_text.h"

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

int PrintIdentities(const IdentifyResult& result, bool json, int no_device_status) {
  int devices = 0;
  for (const IdentifiedPair& pair : result.pairs) devices += pair.of_family ? 1 : 0;
  const auto in_name = [&](int j) { return result.inputs[static_cast<std::size_t>(j)]; };
  const auto out_name = [&](int i) { return result.outputs[static_cast<std::size_t>(i)]; };
  if (json) {
    JsonLine found = JsonLine::array();
    JsonLine others = JsonLine::array();
    for (const IdentifiedPair& pair : result.pairs) {
      JsonLine entry{{"in_index", pair.in},
                     {"in", in_name(pair.in)},
                     {"out_index", pair.out},
                     {"out", out_name(pair.out)}};
      entry.update(CliView::IdentityJson(pair.identity));
      (pair.of_family ? found : others).push_back(entry);
    }
    JsonLine echoes = JsonLine::array();
    for (const PortEcho& echo : result.echoes) {
      echoes.push_back(JsonLine{{"out_index", echo.out},
                                {"out", out_name(echo.out)},
                                {"in_index", echo.in},
                                {"in", in_name(echo.in)}});
    }
    PrintJsonLine(stdout, JsonLine{{"devices", found}, {"others", others}, {"echoes", echoes}});
  } else {
    // Names from the MIDI system, shown with their control characters escaped.
    const auto in_text = [&](int j) { return TerminalText(in_name(j)); };
    const auto out_text = [&](int i) { return TerminalText(out_name(i)); };
    for (const IdentifiedPair& pair : result.pairs) {
      std::printf("%s %s: MIDI OUT \"%s\", MIDI IN \"%s\"\n  %s\n",
                  pair.of_family ? "Device" : "Not of the family:", in_text(pair.in).c_str(),
                  out_text(pair.out).c_str(), in_text(pair.in).c_str(),
                  CliView::IdentityText(pair.identity).c_str());
    }
    for (const PortEcho& echo : result.echoes) {
      std::printf(
          "Echo: MIDI IN \"%s\" hands back what MIDI OUT \"%s\" sends (a MIDI Through or a "
          "loop), not a device\n",
          in_text(echo.in).c_str(), out_text(echo.out).c_str());
    }
    if (devices == 0) {
      std::printf("No device of the family answered on %zu output port%s.\n", result.outputs.size(),
                  result.outputs.size() == 1 ? "" : "s");
    }
  }
  std::fflush(stdout);
  return devices > 0 ? 0 : no_device_status;
}

}  // namespace fen
