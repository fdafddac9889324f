// The RtMidi backend against a real JACK server (dummy driver): two clients, messages byte
// for byte both ways, the size JACK cannot carry refused, and clients JACK renamed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/midi/midi_driver.h"
#include "platform/midi/rtmidi/rtmidi_backend.h"
#include "support/collected_messages.h"

// libjack and librtmidi keep allocations of their own until the process ends; only they are
// excused from the leak check, never this project's code.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libjack.so\nleak:librtmidi.so\n";
}

namespace fen {
namespace {

using Bytes = std::vector<std::uint8_t>;

using Collected = testing::CollectedMessages;

Bytes SysEx(std::size_t size) {
  Bytes bytes(size);
  bytes.front() = 0xF0;
  for (std::size_t i = 1; i + 1 < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7) & 0x7F);
  bytes.back() = 0xF7;
  return bytes;
}

const std::vector<Bytes>& Messages() {
  static const std::vector<Bytes> messages = {
      SysEx(2359),                                 // a Write Block
      {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},        // 6 bytes
      {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0xF7},  // 7 bytes
  };
  return messages;
}

// Under AddressSanitizer RtMidi's JACK input hands its callback stale message contents
// (seen before any code of ours runs), so what arrives is only checked in normal builds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCheckArrivals = false;
#else
constexpr bool kCheckArrivals = true;
#endif

// Tests run side by side on one server: each process's clients get names of their own.
const std::string kDevice = "fen-test-device-p" + std::to_string(getpid());
const std::string kHost = "fen-test-host-p" + std::to_string(getpid());

// Each RtMidi port is a JACK client of its own, so a backend's second port is on "name-01".
const MidiEndpoint* FindClient(const std::vector<MidiEndpoint>& list, const std::string& client) {
  for (const MidiEndpoint& endpoint : list) {
    if (endpoint.client.rfind(client, 0) == 0) return &endpoint;
  }
  return nullptr;
}

// A port appears in other clients' lists from JACK's next cycle on.
template <typename List>
MidiEndpoint WaitForClient(List list, const std::string& client) {
  for (int i = 0; i < 5000; ++i) {
    const auto endpoints = list();
    if (const MidiEndpoint* found = FindClient(endpoints, client)) return *found;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return {};
}

class RtMidiJack : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    device_ = MakeRtMidiBackend("jack", kDevice, &error);
    host_ = MakeRtMidiBackend("jack", kHost, &error);
    if (!device_ || !host_) {
      // Where jackd is installed the test fixture has started a server: not reaching it is
      // a failure there, not a skip.
#ifdef FEN_EXPECT_JACK
      FAIL() << "JACK unreachable: " << error;
#endif
      GTEST_SKIP() << "no JACK server (" << error << "); scripts/jack-server.sh starts one";
    }
  }

  std::shared_ptr<RtMidiBackend> device_;
  std::shared_ptr<RtMidiBackend> host_;
};

TEST_F(RtMidiJack, MessagesArriveByteForByteInBothDirections) {
  Collected at_device;
  Collected at_host;
  auto device_in = device_->OpenOwnInput("MIDI In", at_device.Receiver());
  auto device_out = device_->OpenOwnOutput("MIDI Out");
  ASSERT_TRUE(device_in && device_out);

  const MidiEndpoint to_device = WaitForClient([&] { return host_->ListOutputs(); }, kDevice);
  const MidiEndpoint from_device = WaitForClient([&] { return host_->ListInputs(); }, kDevice);
  EXPECT_EQ("MIDI In", to_device.port);
  EXPECT_EQ("MIDI Out", from_device.port);
  auto host_out = host_->OpenOutput(to_device);
  auto host_in = host_->OpenInput(from_device, at_host.Receiver());
  ASSERT_TRUE(host_out && host_in);

  for (const Bytes& message : Messages()) {
    EXPECT_TRUE(host_out->Send(message.data(), message.size()));
    EXPECT_TRUE(device_out->Send(message.data(), message.size()));
  }
  if (!kCheckArrivals) GTEST_SKIP() << "RtMidi's JACK input is unreliable under ASan";
  const auto at_device_now = at_device.WaitFor(Messages().size());
  const auto at_host_now = at_host.WaitFor(Messages().size());
  EXPECT_EQ(Messages(), at_device_now) << Collected::Sizes(at_device_now);
  EXPECT_EQ(Messages(), at_host_now) << Collected::Sizes(at_host_now);
}

TEST_F(RtMidiJack, MessageLongerThanJackCarriesIsRefusedNotDropped) {
  Collected at_device;
  auto device_in = device_->OpenOwnInput("MIDI In", at_device.Receiver());
  ASSERT_TRUE(device_in);
  auto host_out = host_->OpenOutput(WaitForClient([&] { return host_->ListOutputs(); }, kDevice));
  ASSERT_TRUE(host_out);

  const Bytes too_long = SysEx(16380);
  const Bytes longest = SysEx(RtMidiBackend::kMaxJackMessage);
  EXPECT_FALSE(host_out->Send(too_long.data(), too_long.size()));
  EXPECT_TRUE(host_out->Send(longest.data(), longest.size()));
  if (kCheckArrivals) {
    EXPECT_EQ(std::vector<Bytes>{longest}, at_device.WaitFor(1));
  }
}

TEST_F(RtMidiJack, OwnPortsAreNotListedAndVanishedPortsDoNotOpen) {
  auto device_in = device_->OpenOwnInput("MIDI In", [](const std::uint8_t*, std::size_t) {});
  ASSERT_TRUE(device_in);
  const MidiEndpoint endpoint = WaitForClient([&] { return host_->ListOutputs(); }, kDevice);
  auto host_out = host_->OpenOutput(endpoint);
  ASSERT_TRUE(host_out);
  EXPECT_EQ(nullptr, FindClient(host_->ListInputs(), kHost));
  EXPECT_EQ(nullptr, FindClient(device_->ListOutputs(), kDevice));

  device_in.reset();
  for (int i = 0; i < 5000 && FindClient(host_->ListOutputs(), kDevice) != nullptr; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(nullptr, FindClient(host_->ListOutputs(), kDevice));
  EXPECT_EQ(nullptr, host_->OpenOutput(endpoint));
}

// Every change of the graph anywhere on the server sends each client a latency notice, which
// libjack handles by walking the client's port list; unregistering a port meanwhile crashed.
// Ports are opened and closed here while another client comes and goes all the time.
TEST_F(RtMidiJack, PortsCloseSafelyWhileTheGraphChangesAroundThem) {
  auto device_in = device_->OpenOwnInput("MIDI In", [](const std::uint8_t*, std::size_t) {});
  auto device_out = device_->OpenOwnOutput("MIDI Out");
  ASSERT_TRUE(device_in && device_out);
  const MidiEndpoint to_device = WaitForClient([&] { return host_->ListOutputs(); }, kDevice);
  const MidiEndpoint from_device = WaitForClient([&] { return host_->ListInputs(); }, kDevice);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    std::string error;
    auto other = MakeRtMidiBackend("jack", kDevice + "-churn", &error);
    while (other && !stop.load()) other->OpenOwnOutput("Churn").reset();
  });
  for (int i = 0; i < 40; ++i) {
    auto in = host_->OpenInput(from_device, [](const std::uint8_t*, std::size_t) {});
    auto out = host_->OpenOutput(to_device);
    EXPECT_TRUE(in && out) << "round " << i;
  }
  stop = true;
  churn.join();
}

// JACK names a second client of a taken name "name-01". Opened here in the other order, so
// that the renamed one is listed first.
TEST_F(RtMidiJack, ClientRenamedByJackIsShownAsTheSecondCopyOfItsBaseName) {
  const std::string twin = "fen-test-twin-p" + std::to_string(getpid());
  std::string error;
  auto renamed = MakeRtMidiBackend("jack", twin + "-01", &error);
  auto base = MakeRtMidiBackend("jack", twin, &error);
  ASSERT_TRUE(renamed && base) << error;
  auto renamed_out = renamed->OpenOwnOutput("MIDI Out");
  ASSERT_TRUE(renamed_out);
  ASSERT_EQ(twin + "-01", WaitForClient([&] { return host_->ListInputs(); }, twin).client)
      << "alone, a renamed client keeps its name";

  auto base_out = base->OpenOwnOutput("MIDI Out");
  ASSERT_TRUE(base_out);
  std::vector<MidiEndpoint> twins;
  for (int i = 0; i < 5000 && twins.size() < 2; ++i) {
    twins.clear();
    for (const MidiEndpoint& endpoint : host_->ListInputs()) {
      if (endpoint.client == twin) twins.push_back(endpoint);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(2u, twins.size());
  EXPECT_EQ(twin, twins[0].client_id);
  EXPECT_EQ(twin + "-01", twins[1].client_id);

  MidiDriver driver({host_});
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < driver.midiInGetNumDevs(); ++i) {
    std::string name;
    ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(i, &name));
    if (name.rfind(twin, 0) == 0) names.push_back(name);
  }
  EXPECT_EQ((std::vector<std::string>{twin, twin + " (2)"}), names);
}

}  // namespace
}  // namespace fen
