// The identity probe on the virtual bus: simulated devices of the family and of another model,
// and a port that echoes. Each device is paired with its own ports, the echo with nothing, and
// nothing but Identity Requests goes out.
#include "identify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "devsim/virtual_bus_device.h"
#include "platform/midi/virtual/virtual_midi_bus.h"

namespace fen {
namespace {

devsim::SimOptions Model(std::uint8_t model) {
  devsim::SimOptions options;
  options.model_id = model;
  options.timing = devsim::SimTiming::Instant();
  return options;
}

TEST(IdentityProbe, TakesAnotherMakersDeviceWithTheFamilysModelByteForNoneOfTheFamily) {
  auto bus = std::make_shared<VirtualMidiBus>();
  devsim::SimOptions options = Model(0x57);
  options.manufacturer_id = 0x41;
  devsim::VirtualBusDevice lookalike(*bus, options, "Look Alike");
  MidiDriver driver({bus});
  const IdentifyResult result = ProbeIdentities(driver, 100);
  ASSERT_EQ(result.pairs.size(), 1u);
  EXPECT_EQ(result.pairs[0].identity.model_id, 0x57);
  EXPECT_FALSE(result.pairs[0].of_family);
  EXPECT_EQ(PrintIdentities(result, true, 3), 3);
}

TEST(IdentityProbe, ShowsPortNamesWithTheirControlCharactersEscaped) {
  auto bus = std::make_shared<VirtualMidiBus>();
  devsim::VirtualBusDevice device(*bus, Model(0x57), "Synth\x1b]0;pwned\x07\nDevice fake");
  MidiDriver driver({bus});
  const IdentifyResult result = ProbeIdentities(driver, 100);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(PrintIdentities(result, false, 3), 0);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.find('\x1b'), std::string::npos) << printed;
  EXPECT_NE(printed.find("Synth\\e]0;pwned\\x07\\nDevice fake"), std::string::npos) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2) << printed;
}

TEST(IdentityProbe, PairsEachDeviceWithItsOwnPortsAndNeverAnEchoWithItself) {
  auto bus = std::make_shared<VirtualMidiBus>();
  auto echo = bus->AddPeer("Midi Through");
  std::weak_ptr<VirtualMidiBus::Peer> weak = echo;
  echo->SetReceiver([weak](const std::uint8_t* data, std::size_t size) {
    if (auto peer = weak.lock()) peer->Send(data, size);
  });
  devsim::VirtualBusDevice first(*bus, Model(0x57), "Synth A");
  devsim::VirtualBusDevice second(*bus, Model(0x61), "Synth B");
  devsim::VirtualBusDevice stranger(*bus, Model(0x33), "Other Maker");
  MidiDriver driver({bus});

  const IdentifyResult result = ProbeIdentities(driver, 100);
  ASSERT_EQ(result.pairs.size(), 3u);
  for (const IdentifiedPair& pair : result.pairs) {
    const std::string in = result.inputs[static_cast<std::size_t>(pair.in)];
    EXPECT_EQ(in, result.outputs[static_cast<std::size_t>(pair.out)]);
    if (in.rfind("Synth A", 0) == 0) {
      EXPECT_EQ(pair.identity.model_id, 0x57);
      EXPECT_TRUE(pair.of_family);
    } else if (in.rfind("Synth B", 0) == 0) {
      EXPECT_EQ(pair.identity.model_id, 0x61);
      EXPECT_EQ(pair.identity.family, 0x61);
      EXPECT_TRUE(pair.of_family);
    } else {
      EXPECT_EQ(pair.identity.model_id, 0x33);
      EXPECT_FALSE(pair.of_family);
    }
  }
  ASSERT_EQ(result.echoes.size(), 1u);
  EXPECT_EQ(result.inputs[static_cast<std::size_t>(result.echoes[0].in)].rfind("Midi Through", 0),
            0u);

  for (devsim::VirtualBusDevice* device : {&first, &second, &stranger}) {
    device->WaitIdle();
    const devsim::Report report = device->device().GetReport(FirmwareSet::Builtin());
    EXPECT_EQ(report.identity_requests, 1u) << device->client_name();
    EXPECT_EQ(report.messages_received, 1u) << device->client_name();
  }
}

}  // namespace
}  // namespace fen
