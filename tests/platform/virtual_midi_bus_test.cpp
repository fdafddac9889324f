// The virtual MIDI bus on its own and under the driver: order, whole messages, peers that
// vanish while the program has their ports open.
#include "platform/midi/virtual/virtual_midi_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/midi/midi_driver.h"
#include "support/collected_messages.h"
#include "support/thread_switches.h"

namespace fen {
namespace {

using Bytes = std::vector<std::uint8_t>;

using Collected = testing::CollectedMessages;

Bytes Numbered(int i) {
  Bytes message(3 + i % 50, 0x11);
  message.front() = 0xF0;
  message[1] = static_cast<std::uint8_t>(i);
  message.back() = 0xF7;
  return message;
}

TEST(VirtualMidiBus, PeerIsListedAsOneDeviceWithAnInputAndAnOutput) {
  VirtualMidiBus bus;
  auto peer = bus.AddPeer("USB Audio Device");
  ASSERT_EQ(1u, bus.ListInputs().size());
  ASSERT_EQ(1u, bus.ListOutputs().size());
  EXPECT_EQ("virtual", bus.Name());

  MidiDriver driver({std::shared_ptr<MidiBackend>(&bus, [](MidiBackend*) {})});
  std::string in_name;
  std::string out_name;
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(0, &in_name));
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiOutGetDevCaps(0, &out_name));
  EXPECT_EQ("USB Audio Device", in_name);
  EXPECT_EQ("USB Audio Device", out_name);
}

TEST(VirtualMidiBus, TwoPeersOfOneNameAreTwoDevicesNumberedInTheirOrder) {
  VirtualMidiBus bus;
  auto first = bus.AddPeer("USB Audio Device");
  auto second = bus.AddPeer("USB Audio Device");
  MidiDriver driver({std::shared_ptr<MidiBackend>(&bus, [](MidiBackend*) {})});
  ASSERT_EQ(2u, driver.midiInGetNumDevs());
  ASSERT_EQ(2u, driver.midiOutGetNumDevs());
  for (std::uint32_t i = 0; i < 2; ++i) {
    const std::string want = i == 0 ? "USB Audio Device" : "USB Audio Device (2)";
    std::string in_name;
    std::string out_name;
    ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(i, &in_name));
    ASSERT_EQ(MMSYSERR_NOERROR, driver.midiOutGetDevCaps(i, &out_name));
    EXPECT_EQ(want, in_name);
    EXPECT_EQ(want, out_name);
  }
}

// A bus with one peer, "Device", whose two ports the program has open; what reaches the
// program is collected.
struct VirtualMidiBusPeer : ::testing::Test {
  VirtualMidiBus bus;
  std::shared_ptr<VirtualMidiBus::Peer> peer = bus.AddPeer("Device");
  Collected at_program;
  std::unique_ptr<MidiInputConnection> in =
      bus.OpenInput(bus.ListInputs().at(0), at_program.Receiver());
  std::unique_ptr<MidiOutputConnection> out = bus.OpenOutput(bus.ListOutputs().at(0));
};

TEST_F(VirtualMidiBusPeer, MessagesArriveWholeAndInOrderBothWays) {
  Collected at_peer;
  peer->SetReceiver(at_peer.Receiver());
  ASSERT_TRUE(in && out);

  std::vector<Bytes> expected;
  for (int i = 0; i < 100; ++i) {
    expected.push_back(Numbered(i));
    ASSERT_TRUE(out->Send(expected.back().data(), expected.back().size()));
    ASSERT_TRUE(peer->Send(expected.back().data(), expected.back().size()));
  }
  bus.Flush();
  EXPECT_EQ(expected, at_peer.Take());
  EXPECT_EQ(expected, at_program.Take());
}

TEST_F(VirtualMidiBusPeer, AnIdleBusDeliversOnTheSendingThreadAndNeverNestsDeliveries) {
  std::thread::id receiver_thread;
  std::size_t echoes_inside = 99;
  peer->SetReceiver([&](const std::uint8_t* data, std::size_t size) {
    receiver_thread = std::this_thread::get_id();
    peer->Send(data, size);  // a delivery runs: this one waits its turn
    echoes_inside = at_program.Take().size();
  });
  const Bytes sysex = Numbered(3);
  ASSERT_TRUE(out->Send(sysex.data(), sysex.size()));
  EXPECT_EQ(std::this_thread::get_id(), receiver_thread);
  EXPECT_EQ(0u, echoes_inside);
  bus.Flush();
  EXPECT_EQ(std::vector<Bytes>{sysex}, at_program.Take());
}

TEST(VirtualMidiBus, DeliveringOnTheSendingThreadLeavesTheDeliveryThreadAsleep) {
  VirtualMidiBus bus;
  auto peer = bus.AddPeer("Device");
  std::atomic<int> received{0};
  peer->SetReceiver([&](const std::uint8_t*, std::size_t) { ++received; });
  auto out = bus.OpenOutput(bus.ListOutputs().at(0));
  const Bytes sysex = Numbered(7);
  ASSERT_TRUE(out->Send(sysex.data(), sysex.size()));
  bus.Flush();
  if (!testing::OtherThreadsSwitches()) GTEST_SKIP() << "no per-thread switch counts here";
  constexpr int kMessages = 200;
  const auto switches = testing::OtherThreadsSwitchesDuring(
      kMessages, [&] { EXPECT_TRUE(out->Send(sysex.data(), sysex.size())); });
  EXPECT_EQ(kMessages + 1, received.load());
  // Waking it for each message would be a switch each; a stray few are the system's.
  ASSERT_TRUE(switches.has_value());
  EXPECT_LT(*switches, 10u);
}

TEST(VirtualMidiBus, PeerThatVanishesLeavesTheListsAndItsOpenPortsGoDead) {
  VirtualMidiBus bus;
  auto other = bus.AddPeer("Other");
  auto peer = bus.AddPeer("Device");
  const MidiEndpoint peer_out = bus.ListInputs().at(1);
  Collected at_program;
  auto in = bus.OpenInput(peer_out, at_program.Receiver());
  auto out = bus.OpenOutput(bus.ListOutputs().at(1));

  // Whatever the peer still sends while it goes must never reach the program after Remove.
  std::atomic<bool> removed{false};
  std::atomic<bool> late_call{false};
  peer->SetReceiver([&](const std::uint8_t*, std::size_t) {
    if (removed) late_call = true;
  });
  std::thread program([&] {
    const std::uint8_t note[] = {0x90, 0x3C, 0x64};
    while (out->Send(note, sizeof note)) {
    }
  });
  peer->Remove();
  removed = true;
  program.join();
  bus.Flush();
  EXPECT_FALSE(late_call);

  const std::uint8_t note[] = {0x90, 0x3C, 0x64};
  EXPECT_FALSE(peer->Send(note, sizeof note));
  EXPECT_FALSE(out->Send(note, sizeof note));
  ASSERT_EQ(1u, bus.ListInputs().size());
  EXPECT_EQ("Other", bus.ListInputs()[0].client);
  EXPECT_EQ(nullptr, bus.OpenInput(peer_out, at_program.Receiver()));
  // The remaining peer's ports keep their ids.
  EXPECT_NE(nullptr, bus.OpenOutput(bus.ListOutputs().at(0)));
}

TEST_F(VirtualMidiBusPeer, PeerCanAnswerAndVanishFromInsideItsReceiver) {
  peer->SetReceiver([&](const std::uint8_t* data, std::size_t size) {
    peer->Send(data, size);  // echo
    if (data[1] == 0x55) peer->Remove();
  });
  const Bytes sysex = Numbered(7);
  const std::uint8_t note[] = {0x90, 0x3C, 0x64};
  ASSERT_TRUE(out->Send(sysex.data(), sysex.size()));
  bus.Flush();
  bus.Flush();  // the echo was queued while the first flush ran
  EXPECT_EQ(std::vector<Bytes>{sysex}, at_program.Take());
  // An echo still queued when the peer goes is not delivered: its port is gone.
  Bytes last = sysex;
  last[1] = 0x55;
  ASSERT_TRUE(out->Send(last.data(), last.size()));
  bus.Flush();
  bus.Flush();
  EXPECT_EQ(1u, at_program.Take().size());
  EXPECT_TRUE(bus.ListOutputs().empty());
  EXPECT_FALSE(out->Send(note, sizeof note));
}

TEST(VirtualMidiBus, DriverTalksToAPeerThroughLentBuffers) {
  auto bus = std::make_shared<VirtualMidiBus>();
  auto peer = bus->AddPeer("Device");
  peer->SetReceiver([&](const std::uint8_t* data, std::size_t size) { peer->Send(data, size); });
  MidiDriver driver({bus});

  struct Received {
    std::mutex mutex;
    std::condition_variable cv;
    Bytes bytes;
  } received;
  Bytes buffer(8192);
  MIDIHDR header;
  header.lpData = buffer.data();
  header.dwBufferLength = 8192;
  auto proc = [](HMIDIIN, std::uint32_t msg, std::uintptr_t instance, std::uintptr_t p1,
                 std::uintptr_t) {
    if (msg != MIM_LONGDATA) return;
    auto* r = reinterpret_cast<Received*>(instance);
    auto* h = reinterpret_cast<MIDIHDR*>(p1);
    std::lock_guard<std::mutex> lock(r->mutex);
    r->bytes.assign(h->lpData, h->lpData + h->dwBytesRecorded);
    r->cv.notify_all();
  };
  HMIDIIN in = 0;
  HMIDIOUT out = 0;
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiOutOpen(&out, 0, 0, 0, 0));
  ASSERT_EQ(MMSYSERR_NOERROR,
            driver.midiInOpen(&in, 0, proc, reinterpret_cast<std::uintptr_t>(&received),
                              CALLBACK_FUNCTION));
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInPrepareHeader(in, &header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInAddBuffer(in, &header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInStart(in));

  Bytes request = Numbered(40);
  MIDIHDR send;
  send.lpData = request.data();
  send.dwBufferLength = static_cast<std::uint32_t>(request.size());
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiOutPrepareHeader(out, &send, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiOutLongMsg(out, &send, 64));
  ASSERT_TRUE(driver.midiOutWaitDone(out, &send, 10000));
  {
    std::unique_lock<std::mutex> lock(received.mutex);
    ASSERT_TRUE(received.cv.wait_for(lock, std::chrono::seconds(10),
                                     [&] { return !received.bytes.empty(); }));
    EXPECT_EQ(request, received.bytes);
  }
  EXPECT_EQ(MMSYSERR_NOERROR, driver.midiOutUnprepareHeader(out, &send, 64));
  EXPECT_EQ(MMSYSERR_NOERROR, driver.midiOutClose(out));
  EXPECT_EQ(MMSYSERR_NOERROR, driver.midiInReset(in));
  EXPECT_EQ(MMSYSERR_NOERROR, driver.midiInClose(in));
}

}  // namespace
}  // namespace fen
