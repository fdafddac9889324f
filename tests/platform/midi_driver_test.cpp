// The MIDI driver over the scriptable fake backend: names, lent buffers, handles, senders.
#include "platform/midi/midi_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/midi/device_names.h"
#include "support/fake_midi_backend.h"

namespace fen {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr auto kGuard = std::chrono::seconds(10);  // only a failing test waits this long

MidiDriverTimings ShortTimings() {
  MidiDriverTimings timings;
  timings.close_wait = std::chrono::milliseconds(50);
  timings.short_msg_wait = std::chrono::milliseconds(50);
  return timings;
}

Bytes SysEx(std::size_t size, std::uint8_t seed = 0) {
  Bytes bytes(size);
  bytes.front() = 0xF0;
  for (std::size_t i = 1; i + 1 < size; ++i)
    bytes[i] = static_cast<std::uint8_t>((i + seed) & 0x7F);
  bytes.back() = 0xF7;
  return bytes;
}

// Records what an input handle's callback gets and, like the input port, lends the buffer
// again from inside the callback.
struct InputRecorder {
  struct Return {
    Bytes bytes;
    std::uint32_t flags;
  };
  MidiDriver* driver = nullptr;
  bool lend_again = true;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint32_t> events;
  std::vector<std::uint32_t> shorts;
  std::vector<Return> returns;

  static void Proc(HMIDIIN handle, std::uint32_t msg, std::uintptr_t instance,
                   std::uintptr_t param1, std::uintptr_t /*param2*/) {
    auto* self = reinterpret_cast<InputRecorder*>(instance);
    bool lend = false;
    MIDIHDR* header = reinterpret_cast<MIDIHDR*>(param1);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->events.push_back(msg);
      if (msg == MIM_DATA) self->shorts.push_back(static_cast<std::uint32_t>(param1));
      if (msg == MIM_LONGDATA) {
        self->returns.push_back({Bytes(header->lpData, header->lpData + header->dwBytesRecorded),
                                 header->dwFlags.load()});
        lend = self->lend_again && header->dwBytesRecorded > 0;
      }
    }
    if (lend) {
      self->driver->midiInPrepareHeader(handle, header, sizeof(MIDIHDR));
      self->driver->midiInAddBuffer(handle, header, sizeof(MIDIHDR));
    }
    self->cv.notify_all();
  }

  bool WaitForShorts(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, kGuard, [&] { return shorts.size() >= count; });
  }
  bool WaitForReturns(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, kGuard, [&] { return returns.size() >= count; });
  }
};

// A header over bytes of its own: `size` zeros to receive into, or a message to send.
struct Buffer {
  explicit Buffer(std::size_t size) : Buffer(Bytes(size)) {}
  explicit Buffer(Bytes content) : bytes(std::move(content)) {
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<std::uint32_t>(bytes.size());
  }
  Bytes bytes;
  MIDIHDR header;
};

class MidiDriverTest : public ::testing::Test {
 protected:
  MidiDriverTest() {
    backend_->AddInput("Synth", "out", "synth-out");
    backend_->AddOutput("Synth", "in", "synth-in");
    driver_ = std::make_unique<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{backend_},
                                           ShortTimings());
    recorder_.driver = driver_.get();
  }

  // Opens input 0 with one lent buffer and starts it.
  HMIDIIN OpenStartedInput(Buffer& buffer) {
    HMIDIIN handle = 0;
    EXPECT_EQ(MMSYSERR_NOERROR,
              driver_->midiInOpen(&handle, 0, &InputRecorder::Proc,
                                  reinterpret_cast<std::uintptr_t>(&recorder_), CALLBACK_FUNCTION));
    EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInPrepareHeader(handle, &buffer.header, 64));
    EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInAddBuffer(handle, &buffer.header, 64));
    EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInStart(handle));
    return handle;
  }

  void CloseInput(HMIDIIN handle) {
    EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInReset(handle));
    EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInClose(handle));
  }

  HMIDIOUT OpenOutput() {
    HMIDIOUT handle = 0;
    EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutOpen(&handle, 0, 0, 0, 0));
    return handle;
  }

  std::shared_ptr<FakeMidiBackend> backend_ = std::make_shared<FakeMidiBackend>();
  std::unique_ptr<MidiDriver> driver_;
  InputRecorder recorder_;
};

// ---- Device lists and names ------------------------------------------------------------------

TEST(MidiDriverNames, ClientWithOnePortShowsItsNameAndClientWithSeveralShowsEachPort) {
  auto alsa = std::make_shared<FakeMidiBackend>("alsa");
  alsa->AddInput("USB Audio Device", "MIDI 1");
  alsa->AddOutput("USB Audio Device", "MIDI 1");
  alsa->AddInput("Hub", "A");
  alsa->AddInput("Hub", "B");
  auto jack = std::make_shared<FakeMidiBackend>("jack");
  jack->AddInput("USB Audio Device", "capture");  // another device of the same name
  MidiDriver driver({alsa, jack});

  ASSERT_EQ(4u, driver.midiInGetNumDevs());
  std::vector<std::string> names(4);
  for (std::uint32_t i = 0; i < 4; ++i)
    ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(i, &names[i]));
  EXPECT_EQ(
      (std::vector<std::string>{"USB Audio Device", "Hub:A", "Hub:B", "USB Audio Device (2)"}),
      names);
  std::string out;
  ASSERT_EQ(1u, driver.midiOutGetNumDevs());
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiOutGetDevCaps(0, &out));
  EXPECT_EQ("USB Audio Device", out);
}

// Two ALSA clients of one name (client numbers 20 and 21, 24 and 28) are two devices, not one
// client with twice the ports.
TEST(MidiDriverNames, ClientsOfOneNameAreToldApartByTheirIdentity) {
  const std::vector<NamedPort> ports = {
      {"0", "Hub", "A", "20"},
      {"0", "Hub", "B", "20"},
      {"0", "Hub", "A", "21"},
      {"0", "Hub", "B", "21"},
      {"0", "USB Audio Device", "MIDI 1", "24"},
      {"0", "USB Audio Device", "MIDI 1", "28"},
  };
  EXPECT_EQ((std::vector<std::string>{"Hub:A", "Hub:B", "Hub:A (2)", "Hub:B (2)",
                                      "USB Audio Device", "USB Audio Device (2)"}),
            MakeDisplayNames(ports, kMaxPnameChars));
}

TEST(MidiDriverNames, NamesAreCutToThirtyOneWholeCharacters) {
  auto backend = std::make_shared<FakeMidiBackend>();
  backend->AddInput("USB オーディオ デバイス", "p", "jp");  // 15 characters, 32 bytes
  backend->AddInput(std::string(40, 'x'), "p", "long1");
  backend->AddInput(std::string(40, 'x'), "p", "long2");
  backend->AddInput("ab" + std::string(29, 'c') + "äö", "p", "umlaut");  // 33 characters
  MidiDriver driver({backend});
  std::string name;
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(0, &name));
  EXPECT_EQ("USB オーディオ デバイス", name);
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(1, &name));
  EXPECT_EQ(std::string(31, 'x'), name);
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(2, &name));
  EXPECT_EQ(std::string(27, 'x') + " (2)", name);  // the number survives the cut
  ASSERT_EQ(MMSYSERR_NOERROR, driver.midiInGetDevCaps(3, &name));
  EXPECT_EQ("ab" + std::string(29, 'c'), name);
}

TEST_F(MidiDriverTest, NoSelectionAndIndicesPastTheListOpenNothing) {
  HMIDIIN in = 0;
  HMIDIOUT out = 0;
  std::string name;
  EXPECT_EQ(MMSYSERR_BADDEVICEID, driver_->midiInOpen(&in, -1, nullptr, 0, 0));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, driver_->midiInOpen(&in, 1, nullptr, 0, 0));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, driver_->midiOutOpen(&out, -1, 0, 0, 0));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, driver_->midiOutOpen(&out, 1, 0, 0, 0));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, driver_->midiInGetDevCaps(1, &name));
  EXPECT_EQ(MMSYSERR_BADDEVICEID, driver_->midiOutGetDevCaps(0xFFFFFFFFu, &name));
  EXPECT_EQ(0u, in);
  EXPECT_EQ(0u, out);
  EXPECT_EQ(0, backend_->OpenInputs());
  EXPECT_EQ(0, backend_->OpenOutputs());
}

TEST_F(MidiDriverTest, PortThatVanishedAfterTheListFailsToOpenAndOpenOutputsStopSending) {
  HMIDIOUT out = OpenOutput();
  backend_->RemovePort("synth-out");
  backend_->RemovePort("synth-in");
  HMIDIIN in = 0;
  EXPECT_EQ(MIDIERR_NODEVICE, driver_->midiInOpen(&in, 0, nullptr, 0, 0));
  HMIDIOUT second = 0;
  EXPECT_EQ(MIDIERR_NODEVICE, driver_->midiOutOpen(&second, 0, 0, 0, 0));

  EXPECT_NE(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0x643C90));
  // A long message is taken and lost, as by a device that was unplugged: the header comes
  // back done so that the sender does not hang, and the reply it waits for never comes.
  Buffer message(Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutPrepareHeader(out, &message.header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutLongMsg(out, &message.header, 64));
  EXPECT_TRUE(driver_->midiOutWaitDone(out, &message.header, 10000));
  EXPECT_TRUE(backend_->Sent("synth-in").empty());
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
}

TEST_F(MidiDriverTest, RescanRenumbersDevicesButLeavesOpenHandlesAlone) {
  Buffer buffer(16);
  HMIDIIN in = OpenStartedInput(buffer);
  backend_->AddInput("Another", "out", "another-out");
  driver_->Rescan();
  EXPECT_EQ(2u, driver_->midiInGetNumDevs());
  ASSERT_EQ(1, backend_->Inject("synth-out", {0x90, 0x3C, 0x64}));
  ASSERT_TRUE(recorder_.WaitForShorts(1));
  CloseInput(in);
}

// ---- Input ----------------------------------------------------------------------------------

TEST_F(MidiDriverTest, LongSysExComesBackInSeveralBuffersOnlyTheFirstStartingWithF0) {
  Buffer buffer(8192);
  HMIDIIN in = OpenStartedInput(buffer);
  const Bytes message = SysEx(20000);
  ASSERT_EQ(1, backend_->Inject("synth-out", message));
  ASSERT_TRUE(recorder_.WaitForReturns(3));

  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    ASSERT_EQ(3u, recorder_.returns.size());
    EXPECT_EQ(8192u, recorder_.returns[0].bytes.size());
    EXPECT_EQ(8192u, recorder_.returns[1].bytes.size());
    EXPECT_EQ(3616u, recorder_.returns[2].bytes.size());
    EXPECT_EQ(0xF0, recorder_.returns[0].bytes.front());
    EXPECT_NE(0xF0, recorder_.returns[1].bytes.front());
    EXPECT_NE(0xF0, recorder_.returns[2].bytes.front());
    Bytes joined;
    for (const auto& r : recorder_.returns) {
      EXPECT_EQ(MHDR_DONE | MHDR_PREPARED, r.flags);
      joined.insert(joined.end(), r.bytes.begin(), r.bytes.end());
    }
    EXPECT_EQ(message, joined);
  }
  CloseInput(in);
}

TEST_F(MidiDriverTest, SysExThatArrivesWithNoBufferLentIsDropped) {
  recorder_.lend_again = false;
  Buffer buffer(8192);
  HMIDIIN in = OpenStartedInput(buffer);
  ASSERT_EQ(1, backend_->Inject("synth-out", SysEx(10000)));  // uses up the only buffer
  ASSERT_EQ(1, backend_->Inject("synth-out", SysEx(7)));      // nothing lent: lost
  ASSERT_EQ(1, backend_->Inject("synth-out", {0xF8}));        // delivered after the above
  ASSERT_TRUE(recorder_.WaitForShorts(1));
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    ASSERT_EQ(1u, recorder_.returns.size());
    EXPECT_EQ(8192u, recorder_.returns[0].bytes.size());
  }
  // Lent again, the next message arrives whole.
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInAddBuffer(in, &buffer.header, 64));
  ASSERT_EQ(1, backend_->Inject("synth-out", SysEx(7, 3)));
  ASSERT_TRUE(recorder_.WaitForReturns(2));
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    EXPECT_EQ(SysEx(7, 3), recorder_.returns[1].bytes);
  }
  CloseInput(in);
}

TEST_F(MidiDriverTest, ShortMessagesArePackedStatusFirst) {
  Buffer buffer(64);
  HMIDIIN in = OpenStartedInput(buffer);
  backend_->Inject("synth-out", {0x90, 0x3C, 0x64});
  backend_->Inject("synth-out", {0xC1, 0x05});
  backend_->Inject("synth-out", {0xF8});
  backend_->Inject("synth-out", {0xB0, 0x7B, 0x00, 0xE2, 0x00, 0x40});  // two in one delivery
  ASSERT_TRUE(recorder_.WaitForShorts(5));
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    EXPECT_EQ((std::vector<std::uint32_t>{0x643C90, 0x05C1, 0xF8, 0x007BB0, 0x4000E2}),
              recorder_.shorts);
  }
  CloseInput(in);
}

TEST_F(MidiDriverTest, NothingIsDeliveredBeforeStartOrAfterStop) {
  Buffer buffer(64);
  HMIDIIN in = 0;
  ASSERT_EQ(MMSYSERR_NOERROR,
            driver_->midiInOpen(&in, 0, &InputRecorder::Proc,
                                reinterpret_cast<std::uintptr_t>(&recorder_), CALLBACK_FUNCTION));
  backend_->Inject("synth-out", {0x90, 0x01, 0x01});
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInStart(in));
  backend_->Inject("synth-out", {0x90, 0x02, 0x02});
  ASSERT_TRUE(recorder_.WaitForShorts(1));
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInStop(in));
  backend_->Inject("synth-out", {0x90, 0x03, 0x03});
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInStart(in));
  backend_->Inject("synth-out", {0x90, 0x04, 0x04});
  ASSERT_TRUE(recorder_.WaitForShorts(2));
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    EXPECT_EQ((std::vector<std::uint32_t>{0x020290, 0x040490}), recorder_.shorts);
  }
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInClose(in));
}

TEST_F(MidiDriverTest, ResetReturnsEveryLentBufferDoneAndEmpty) {
  Buffer first(32);
  Buffer second(32);
  HMIDIIN in = OpenStartedInput(first);
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInPrepareHeader(in, &second.header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInAddBuffer(in, &second.header, 64));
  EXPECT_EQ(MIDIERR_STILLPLAYING, driver_->midiInClose(in));  // buffers still lent
  EXPECT_EQ(MIDIERR_STILLPLAYING, driver_->midiInUnprepareHeader(in, &first.header, 64));

  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInReset(in));
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    ASSERT_EQ(2u, recorder_.returns.size());
    for (const auto& r : recorder_.returns) {
      EXPECT_TRUE(r.bytes.empty());
      EXPECT_EQ(MHDR_DONE | MHDR_PREPARED, r.flags);
    }
  }
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInUnprepareHeader(in, &first.header, 64));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiInUnprepareHeader(in, &second.header, 64));
  EXPECT_EQ(0u, first.header.dwFlags & MHDR_PREPARED);
  EXPECT_EQ(MIDIERR_UNPREPARED, driver_->midiInAddBuffer(in, &first.header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiInClose(in));
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_EQ(MIM_OPEN, recorder_.events.front());
  EXPECT_EQ(MIM_CLOSE, recorder_.events.back());
}

TEST_F(MidiDriverTest, NoCallbackRunsOnceCloseHasReturned) {
  Buffer buffer(64);
  HMIDIIN in = OpenStartedInput(buffer);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop) backend_->Inject("synth-out", {0x90, 0x3C, 0x64});
  });
  ASSERT_TRUE(recorder_.WaitForShorts(1));
  CloseInput(in);
  std::size_t events_at_close = 0;
  {
    std::lock_guard<std::mutex> lock(recorder_.mutex);
    events_at_close = recorder_.events.size();
    EXPECT_EQ(MIM_CLOSE, recorder_.events.back());
  }
  for (int i = 0; i < 100; ++i) backend_->Inject("synth-out", {0x90, 0x3C, 0x64});
  stop = true;
  sender.join();
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_EQ(events_at_close, recorder_.events.size());
  EXPECT_EQ(0, backend_->OpenInputs());
}

TEST_F(MidiDriverTest, ClosedAndUnknownHandlesAreRefusedAndNeverReused) {
  Buffer buffer(16);
  HMIDIIN in = OpenStartedInput(buffer);
  CloseInput(in);
  HMIDIOUT out = OpenOutput();
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));

  for (HMIDIIN bad : {HMIDIIN{0}, in, HMIDIIN{987654}}) {
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInClose(bad));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInStart(bad));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInStop(bad));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInReset(bad));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInPrepareHeader(bad, &buffer.header, 64));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInAddBuffer(bad, &buffer.header, 64));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiInUnprepareHeader(bad, &buffer.header, 64));
  }
  for (HMIDIOUT bad : {HMIDIOUT{0}, out, in}) {
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiOutClose(bad));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiOutReset(bad));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiOutShortMsg(bad, 0x90));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiOutPrepareHeader(bad, &buffer.header, 64));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiOutLongMsg(bad, &buffer.header, 64));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, driver_->midiOutUnprepareHeader(bad, &buffer.header, 64));
    EXPECT_FALSE(driver_->midiOutWaitDone(bad, &buffer.header, 0));
  }
  HMIDIIN again = OpenStartedInput(buffer);
  EXPECT_NE(in, again);
  EXPECT_NE(out, again);
  CloseInput(again);
}

// ---- Output ---------------------------------------------------------------------------------

TEST_F(MidiDriverTest, LongMessageIsSentFromACopyAndItsHeaderComesBackDone) {
  HMIDIOUT out = OpenOutput();
  Buffer message(SysEx(2359));
  EXPECT_EQ(MIDIERR_UNPREPARED, driver_->midiOutLongMsg(out, &message.header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutPrepareHeader(out, &message.header, 64));

  backend_->HoldSends(true);
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutLongMsg(out, &message.header, 64));
  ASSERT_TRUE(backend_->WaitForHeldSends(1));
  EXPECT_EQ(MIDIERR_STILLPLAYING, driver_->midiOutUnprepareHeader(out, &message.header, 64));
  EXPECT_EQ(MIDIERR_STILLPLAYING, driver_->midiOutLongMsg(out, &message.header, 64));
  const Bytes original = message.bytes;
  std::fill(message.bytes.begin(), message.bytes.end(), 0);  // the caller's memory changes
  backend_->HoldSends(false);

  EXPECT_TRUE(driver_->midiOutWaitDone(out, &message.header, 10000));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutUnprepareHeader(out, &message.header, 64));
  EXPECT_EQ(MHDR_DONE, message.header.dwFlags.load());
  EXPECT_EQ(std::vector<Bytes>{original}, backend_->Sent("synth-in"));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
  EXPECT_EQ(0, backend_->OpenOutputs());
}

TEST_F(MidiDriverTest, SystemCommonMessagesSendTheirLengthAndAnUndefinedStatusItsOneByte) {
  HMIDIOUT out = OpenOutput();
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0x4020F2));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0xFF05F3));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0xFFFFF4));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0xFFFFF6));
  EXPECT_EQ((std::vector<Bytes>{{0xF2, 0x20, 0x40}, {0xF3, 0x05}, {0xF4}, {0xF6}}),
            backend_->Sent("synth-in"));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
}

TEST_F(MidiDriverTest, ShortMessagesSendAsManyBytesAsTheirStatusCalls) {
  HMIDIOUT out = OpenOutput();
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0x643C90));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0xFF05C3));  // bits past 2 bytes
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0xFFFFF8));
  EXPECT_EQ(MMSYSERR_INVALPARAM, driver_->midiOutShortMsg(out, 0x3C));
  EXPECT_EQ((std::vector<Bytes>{{0x90, 0x3C, 0x64}, {0xC3, 0x05}, {0xF8}}),
            backend_->Sent("synth-in"));
  backend_->SetSendsFail(true);
  EXPECT_NE(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0x643C90));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
}

TEST_F(MidiDriverTest, TwoThreadsSendingThroughOnePortNeverInterleave) {
  HMIDIOUT out = OpenOutput();
  constexpr int kPerThread = 40;
  // The sender's tag and the message's number in the second and third bytes.
  auto Tagged = [](int i, std::uint8_t tag) {
    Bytes message = SysEx(300 + 37 * i, tag);
    message[1] = tag;
    message[2] = static_cast<std::uint8_t>(i);
    return message;
  };
  auto send_all = [&](std::uint8_t tag) {
    for (int i = 0; i < kPerThread; ++i) {
      Buffer message(Tagged(i, tag));
      ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutPrepareHeader(out, &message.header, 64));
      ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutLongMsg(out, &message.header, 64));
      ASSERT_TRUE(driver_->midiOutWaitDone(out, &message.header, 10000));
      ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutUnprepareHeader(out, &message.header, 64));
    }
  };
  std::thread worker(send_all, 1);
  std::thread timer(send_all, 2);
  worker.join();
  timer.join();

  const auto sent = backend_->Sent("synth-in");
  ASSERT_EQ(2u * kPerThread, sent.size());
  int next[3] = {0, 0, 0};
  for (const Bytes& message : sent) {
    const std::uint8_t tag = message[1];
    ASSERT_TRUE(tag == 1 || tag == 2);
    const int i = next[tag]++;
    EXPECT_EQ(Tagged(i, tag), message);
  }
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
}

TEST_F(MidiDriverTest, SendThatNeverCompletesCanBeGivenUpAndThePortClosed) {
  HMIDIOUT out = OpenOutput();
  Buffer stuck(SysEx(20));
  Buffer queued(SysEx(30));
  backend_->HoldSends(true);
  for (Buffer* b : {&stuck, &queued}) {
    ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutPrepareHeader(out, &b->header, 64));
    ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutLongMsg(out, &b->header, 64));
  }
  ASSERT_TRUE(backend_->WaitForHeldSends(1));
  EXPECT_FALSE(driver_->midiOutWaitDone(out, &stuck.header, 1));
  EXPECT_EQ(MIDIERR_STILLPLAYING, driver_->midiOutUnprepareHeader(out, &queued.header, 64));

  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutReset(out));
  EXPECT_TRUE(driver_->midiOutWaitDone(out, &stuck.header, 0));
  EXPECT_TRUE(driver_->midiOutWaitDone(out, &queued.header, 0));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutUnprepareHeader(out, &stuck.header, 64));
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutUnprepareHeader(out, &queued.header, 64));
  // Short messages behind the stuck send give up after their bound.
  EXPECT_NE(MMSYSERR_NOERROR, driver_->midiOutShortMsg(out, 0x643C90));
  // Close abandons the stuck sender after its short bound.
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
  EXPECT_EQ(1, backend_->HeldSends());

  backend_->HoldSends(false);  // the abandoned sender finishes and sends nothing else
  backend_->WaitForIdle();
  EXPECT_EQ(std::vector<Bytes>{stuck.bytes}, backend_->Sent("synth-in"));
}

TEST_F(MidiDriverTest, ClosingWhileAnotherThreadWaitsEndsTheWaitWithoutDone) {
  HMIDIOUT out = OpenOutput();
  Buffer message(SysEx(20));
  backend_->HoldSends(true);
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutPrepareHeader(out, &message.header, 64));
  ASSERT_EQ(MMSYSERR_NOERROR, driver_->midiOutLongMsg(out, &message.header, 64));
  ASSERT_TRUE(backend_->WaitForHeldSends(1));
  bool done = true;
  std::thread waiter([&] { done = driver_->midiOutWaitDone(out, &message.header, 600000); });
  EXPECT_EQ(MMSYSERR_NOERROR, driver_->midiOutClose(out));
  waiter.join();
  EXPECT_FALSE(done);
  EXPECT_EQ(0u, message.header.dwFlags & MHDR_INQUEUE);
  backend_->HoldSends(false);
  backend_->WaitForIdle();
}

TEST(MidiDriverDefault, TheDriverSetIsTheOneEveryoneGets) {
  auto driver = std::make_shared<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{});
  SetDefaultMidiDriver(driver);
  EXPECT_EQ(driver.get(), &DefaultMidiDriver());
  auto replacement = std::make_shared<MidiDriver>(std::vector<std::shared_ptr<MidiBackend>>{});
  MidiDriver& old = DefaultMidiDriver();
  SetDefaultMidiDriver(replacement);
  driver.reset();
  EXPECT_EQ(0u, old.midiInGetNumDevs());  // still alive for whoever held it
  EXPECT_EQ(replacement.get(), &DefaultMidiDriver());
}

}  // namespace
}  // namespace fen
