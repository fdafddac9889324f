// The WinMM backend under the one driver and the port classes, against the stand-in for WinMM
// that keeps Windows' rules (winmm_standin_win.h): every test fails if a WinMM call is made
// from inside a WinMM callback.
#include "winmm_standin_win.h"
// clang-format off
#include <gtest/gtest.h>
// clang-format on

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/port_selection.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"

namespace fen {
namespace {

using namespace std::chrono_literals;
using Bytes = WinMmStandIn::Bytes;

// Polls for what arrives on other threads; only a failing test waits the whole guard.
bool Eventually(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

Bytes SysEx(std::size_t size, std::uint8_t tag) {
  Bytes bytes(size, tag);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

// The message the input port holds first, popped; empty when none.
Bytes Pop(CMidiInPort& in) {
  std::size_t size = 0;
  const std::uint8_t* data = in.PeekSysEx(&size);
  if (data == nullptr) return {};
  Bytes bytes(data, data + size);
  in.PopSysEx();
  return bytes;
}

class WinMmBackendTest : public ::testing::Test {
 protected:
  WinMmBackendTest() {
    system_.SetInputs({L"USB Audio Device"});
    system_.SetOutputs({L"USB Audio Device"});
  }

  std::shared_ptr<MidiDriver> MakeDriver(WinMmOptions options = {}) {
    MidiDriverTimings timings;
    timings.close_wait = 50ms;
    return std::make_shared<MidiDriver>(
        std::vector<std::shared_ptr<MidiBackend>>{MakeWinMmBackend(api_, options)}, timings);
  }

  // Declared first: it outlives every driver the test makes.
  WinMmStandIn system_;
  WinMmApi api_ = system_.Api();
};

TEST_F(WinMmBackendTest, WideNamesBecomeUtf8CutAsWindowsCutsThemAndTheDeviceIsPreselected) {
  // A Japanese Windows names the generic USB MIDI device in its own language; Windows MIDI
  // Services may name it after the device's own strings, cut to 31 characters.
  system_.SetInputs({L"Microsoft GS Wavetable Synth", L"USB オーディオ デバイス",
                     L"USB オーディオ デバイス", L"A device named at length by its maker"});
  system_.SetOutputs({L"USB オーディオ デバイス"});
  auto driver = MakeDriver();
  CMidiInPort in(*driver);
  CMidiOutPort out(*driver);
  ASSERT_EQ(4, in.GetDeviceCount());
  EXPECT_EQ("USB オーディオ デバイス", in.GetDeviceName(1));
  EXPECT_EQ("USB オーディオ デバイス (2)", in.GetDeviceName(2));
  EXPECT_EQ("A device named at length by its", in.GetDeviceName(3));
  EXPECT_EQ("USB オーディオ デバイス", out.GetDeviceName(0));
  const std::vector<std::string> ins = {in.GetDeviceName(0), in.GetDeviceName(1),
                                        in.GetDeviceName(2)};
  EXPECT_EQ(1, SelectPreferredPort(ins, 1));
  EXPECT_EQ(2, SelectPreferredPort(ins, 2));

  wchar_t full[MAXPNAMELEN + 4];
  std::wmemset(full, L'デ', MAXPNAMELEN + 3);
  full[MAXPNAMELEN + 3] = 0;
  EXPECT_EQ(MAXPNAMELEN * 3u, WideNameToUtf8(full, MAXPNAMELEN).size()) << "read no further";
}

TEST_F(WinMmBackendTest, SeveralBuffersStayLentSoThatABurstOfRepliesIsNotDropped) {
  auto driver = MakeDriver();
  CMidiInPort in(*driver);
  in.set_device_index(0);
  ASSERT_TRUE(in.Open());
  system_.Settle();
  EXPECT_GE(system_.Lent(0), 4);
  // Eight replies back to back, before any callback has run: each needs a buffer of its own.
  for (std::uint8_t i = 0; i < 8; ++i) system_.Arrive(0, SysEx(100 + i, i));
  system_.Settle();
  ASSERT_TRUE(Eventually([&] { return system_.Lent(0) == 8; })) << "every buffer lent again";
  // One longer than WinMM's buffers comes in pieces, joined into one message, which the port
  // receives in its own 8192-byte returns.
  system_.Arrive(0, SysEx(10000, 0x55));
  system_.Arrive(0, {0x90, 0x3C, 0x64});
  std::vector<Bytes> got;
  ASSERT_TRUE(Eventually([&] {
    for (Bytes bytes = Pop(in); !bytes.empty(); bytes = Pop(in)) got.push_back(bytes);
    return got.size() == 10;
  })) << got.size()
      << " arrived, " << system_.Dropped() << " dropped";
  for (std::uint8_t i = 0; i < 8; ++i) EXPECT_EQ(SysEx(100 + i, i), got[i]);
  got[8].insert(got[8].end(), got[9].begin(), got[9].end());
  EXPECT_EQ(SysEx(10000, 0x55), got[8]);
  std::uint8_t note[3] = {};
  ASSERT_TRUE(Eventually([&] { return in.ReadShortMessage(note, 3) == 3; }));
  EXPECT_EQ(0x3C, note[1]);
  EXPECT_EQ(0, system_.Dropped());
  in.Close();
  EXPECT_EQ(0, system_.RefusedCloses());
}

TEST_F(WinMmBackendTest, AMalformedMessageIsDroppedAndItsBufferLentAgain) {
  auto driver = MakeDriver();
  CMidiInPort in(*driver);
  in.set_device_index(0);
  ASSERT_TRUE(in.Open());
  // More malformed messages than buffers: each comes back as MIM_LONGERROR and is lent again.
  for (int i = 0; i < 20; ++i) {
    system_.ArriveMalformed(0, {0xF0, 0x7E, 0x00, 0x06});
    system_.Settle();
    ASSERT_TRUE(Eventually([&] { return system_.Lent(0) == 8; }));
  }
  system_.Arrive(0, SysEx(6, 0x02));
  ASSERT_TRUE(Eventually([&] { return in.PeekSysEx() != nullptr; }));
  EXPECT_EQ(SysEx(6, 0x02), Pop(in)) << "the cut message never joins the next";
  EXPECT_EQ(nullptr, in.PeekSysEx());
  in.Close();
}

TEST_F(WinMmBackendTest, AnAnswerSentWhereAMessageArrivesIsSentOutsideWinMmsCallback) {
  // As the session's reply dispatcher does: the arrival asks for an answer at once.
  auto driver = MakeDriver();
  CMidiOutPort out(*driver);
  ASSERT_TRUE(out.Open(0));
  CMidiInPort in(*driver);
  in.set_device_index(0);
  std::atomic<int> answered{0};
  in.SetArrivalHook([&] {
    std::uint8_t bytes[] = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7};
    MIDIHDR header;
    header.lpData = bytes;
    header.dwBufferLength = sizeof(bytes);
    if (out.SendLong(&header)) ++answered;
  });
  ASSERT_TRUE(in.Open());
  system_.Arrive(0, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  ASSERT_TRUE(Eventually([&] { return answered.load() == 1; }));
  ASSERT_EQ(1u, system_.Sent(0).size());
  EXPECT_EQ((Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7}), system_.Sent(0)[0]);
  in.Close();
  out.Close();
}

TEST_F(WinMmBackendTest, ALongSendEndsOnMomDoneAndAShortOneGoesAsItsBytes) {
  auto driver = MakeDriver();
  CMidiOutPort out(*driver);
  ASSERT_TRUE(out.Open(0));
  for (std::uint8_t i = 0; i < 3; ++i) {
    Bytes bytes = SysEx(300, i);
    MIDIHDR header;
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
    EXPECT_TRUE(out.SendLong(&header));
  }
  EXPECT_TRUE(out.SendShort(0x90, 60, 100));
  const auto sent = system_.Sent(0);
  ASSERT_EQ(4u, sent.size());
  EXPECT_EQ(SysEx(300, 2), sent[2]);
  EXPECT_EQ((Bytes{0x90, 60, 100}), sent[3]);
  out.Close();
  EXPECT_EQ(0, system_.RefusedCloses());
}

TEST_F(WinMmBackendTest, AStalledSendFailsAfterItsLimitAndIsTakenBackBeforeTheClose) {
  WinMmOptions options;
  options.send_limit = 100ms;
  auto backend = MakeWinMmBackend(api_, options);
  auto outputs = backend->ListOutputs();
  ASSERT_EQ(1u, outputs.size());
  auto out = backend->OpenOutput(outputs[0]);
  ASSERT_NE(nullptr, out);
  system_.StallSends(true);
  const Bytes message = SysEx(64, 0x11);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(out->Send(message.data(), message.size()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  system_.StallSends(false);
  EXPECT_TRUE(out->Send(message.data(), message.size())) << "the port sends on";
  out.reset();
  EXPECT_EQ(0, system_.RefusedCloses()) << "midiOutClose only once WinMM gave every header back";
}

TEST_F(WinMmBackendTest, ClosingThePortWhileASendStallsNeitherWaitsForItNorLetsGoOfItsHeader) {
  WinMmOptions options;
  options.send_limit = 300ms;
  auto driver = MakeDriver(options);
  CMidiOutPort out(*driver);
  ASSERT_TRUE(out.Open(0));
  system_.StallSends(true);
  Bytes bytes = SysEx(64, 0x22);
  MIDIHDR header;
  header.lpData = bytes.data();
  header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
  bool sent = true;
  std::thread sender([&] { sent = out.SendLong(&header); });
  ASSERT_TRUE(Eventually([&] { return !system_.Sent(0).empty(); }));
  const auto start = std::chrono::steady_clock::now();
  out.Close();
  sender.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms) << "well inside the send limit";
  EXPECT_FALSE(sent);
  driver.reset();  // the sender thread ends once the stalled send is taken back
  ASSERT_TRUE(Eventually([&] {
    const auto calls = system_.Calls();
    return !calls.empty() && calls.back() == "midiOutClose";
  }));
  EXPECT_EQ(0, system_.RefusedCloses());
}

TEST_F(WinMmBackendTest, APortSharedWithAnotherProgramHearsTheDeviceToo) {
  // Windows MIDI Services opens a port for several programs at once.
  auto ours = MakeDriver();
  auto theirs = MakeDriver();
  CMidiInPort in(*ours);
  CMidiInPort other(*theirs);
  in.set_device_index(0);
  other.set_device_index(0);
  ASSERT_TRUE(in.Open());
  ASSERT_TRUE(other.Open());
  CMidiOutPort out(*ours);
  CMidiOutPort other_out(*theirs);
  ASSERT_TRUE(out.Open(0));
  ASSERT_TRUE(other_out.Open(0));
  system_.Arrive(0, SysEx(8, 0x33));
  ASSERT_TRUE(Eventually([&] { return in.PeekSysEx() && other.PeekSysEx(); }));
  EXPECT_EQ(SysEx(8, 0x33), Pop(in));
  EXPECT_EQ(SysEx(8, 0x33), Pop(other));
  other.Close();
  other_out.Close();
  system_.Arrive(0, SysEx(8, 0x34));
  ASSERT_TRUE(Eventually([&] { return in.PeekSysEx() != nullptr; }));
  EXPECT_EQ(SysEx(8, 0x34), Pop(in)) << "the other program's close leaves ours open";
  in.Close();
  out.Close();
}

}  // namespace
}  // namespace fen
