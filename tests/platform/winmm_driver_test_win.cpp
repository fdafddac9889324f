// The WinMM driver under the port classes, over a stand-in for WinMM that behaves as the
// system does: names in UTF-16, buffers returned through the callback from WinMM's own
// thread, long sends finished by a done notice, resets that hand every header back.
#include "platform/midi/winmm/winmm_api_win.h"
// clang-format off
#include <gtest/gtest.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/port_selection.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"

namespace fen {
namespace {

using namespace std::chrono_literals;

// What the stand-in system knows and records. One at a time: the tests run one by one.
struct FakeSystem {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::wstring> in_names;
  std::vector<std::wstring> out_names;
  std::vector<std::string> calls;
  DWORD_PTR in_proc = 0, in_instance = 0;
  DWORD_PTR out_proc = 0, out_instance = 0;
  std::vector<::MIDIHDR*> lent;    // input buffers
  std::vector<::MIDIHDR*> queued;  // long sends not yet done
  std::vector<std::vector<std::uint8_t>> sent;
  bool finish_sends = true;  // a send is done a moment after it was queued
  std::vector<std::thread> threads;

  void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
  }
  void Join() {
    for (auto& thread : threads) thread.join();
    threads.clear();
  }
};

FakeSystem* sys = nullptr;

void InCallback(UINT msg, ::MIDIHDR* header) {
  reinterpret_cast<LPDRVCALLBACK>(sys->in_proc)(nullptr, msg, sys->in_instance,
                                                reinterpret_cast<DWORD_PTR>(header), 0);
}

void OutDone(::MIDIHDR* header) {
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  reinterpret_cast<LPDRVCALLBACK>(sys->out_proc)(nullptr, MOM_DONE, sys->out_instance,
                                                 reinterpret_cast<DWORD_PTR>(header), 0);
}

template <typename Caps>
MMRESULT Caps_(const std::vector<std::wstring>& names, UINT_PTR device, Caps* caps) {
  if (device >= names.size()) return MMSYSERR_BADDEVICEID;
  std::memset(caps->szPname, 0, sizeof(caps->szPname));
  std::wmemcpy(caps->szPname, names[device].data(),
               std::min<std::size_t>(names[device].size(), 32));
  return MMSYSERR_NOERROR;
}

// Opening a side ("in" or "out"): recorded with the device and whether a function is to be
// called back, and the callback kept.
void Open(const std::string& side, UINT device, DWORD_PTR proc, DWORD_PTR instance, DWORD flags,
          DWORD_PTR* kept_proc, DWORD_PTR* kept_instance) {
  sys->Record(side + " open " + std::to_string(device) + (flags == CALLBACK_FUNCTION ? " fn" : ""));
  *kept_proc = proc;
  *kept_instance = instance;
}

// Refused while the header is queued (lent or being sent).
MMRESULT Unprepare(const std::string& side, LPMIDIHDR header) {
  sys->Record(side + " unprepare");
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

WinMmApi FakeApi() {
  WinMmApi api{};
  api.midiInGetNumDevs = []() -> UINT { return static_cast<UINT>(sys->in_names.size()); };
  api.midiInGetDevCapsW = [](UINT_PTR device, LPMIDIINCAPSW caps, UINT) -> MMRESULT {
    return Caps_(sys->in_names, device, caps);
  };
  api.midiInOpen = [](LPHMIDIIN handle, UINT device, DWORD_PTR proc, DWORD_PTR instance,
                      DWORD flags) -> MMRESULT {
    Open("in", device, proc, instance, flags, &sys->in_proc, &sys->in_instance);
    *handle = reinterpret_cast<::HMIDIIN>(1);
    return MMSYSERR_NOERROR;
  };
  api.midiInClose = [](::HMIDIIN) -> MMRESULT {
    sys->Record("in close");
    return sys->lent.empty() ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
  };
  api.midiInPrepareHeader = [](::HMIDIIN, LPMIDIHDR header, UINT size) -> MMRESULT {
    sys->Record("in prepare " + std::to_string(header->dwBufferLength));
    if (size != sizeof(::MIDIHDR)) return MMSYSERR_INVALPARAM;
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  };
  api.midiInUnprepareHeader = [](::HMIDIIN, LPMIDIHDR header, UINT) -> MMRESULT {
    return Unprepare("in", header);
  };
  api.midiInAddBuffer = [](::HMIDIIN, LPMIDIHDR header, UINT) -> MMRESULT {
    sys->Record("in add");
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    sys->lent.push_back(header);
    return MMSYSERR_NOERROR;
  };
  api.midiInStart = [](::HMIDIIN) -> MMRESULT {
    sys->Record("in start");
    return MMSYSERR_NOERROR;
  };
  api.midiInStop = [](::HMIDIIN) -> MMRESULT {
    sys->Record("in stop");
    return MMSYSERR_NOERROR;
  };
  api.midiInReset = [](::HMIDIIN) -> MMRESULT {
    sys->Record("in reset");
    auto lent = std::move(sys->lent);
    sys->lent.clear();
    for (::MIDIHDR* header : lent) {
      header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
      InCallback(MIM_LONGDATA, header);
    }
    return MMSYSERR_NOERROR;
  };
  api.midiOutGetNumDevs = []() -> UINT { return static_cast<UINT>(sys->out_names.size()); };
  api.midiOutGetDevCapsW = [](UINT_PTR device, LPMIDIOUTCAPSW caps, UINT) -> MMRESULT {
    return Caps_(sys->out_names, device, caps);
  };
  api.midiOutOpen = [](LPHMIDIOUT handle, UINT device, DWORD_PTR proc, DWORD_PTR instance,
                       DWORD flags) -> MMRESULT {
    Open("out", device, proc, instance, flags, &sys->out_proc, &sys->out_instance);
    *handle = reinterpret_cast<::HMIDIOUT>(2);
    return MMSYSERR_NOERROR;
  };
  api.midiOutClose = [](::HMIDIOUT) -> MMRESULT {
    sys->Record("out close");
    std::lock_guard<std::mutex> lock(sys->mutex);
    return sys->queued.empty() ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
  };
  api.midiOutPrepareHeader = [](::HMIDIOUT, LPMIDIHDR header, UINT) -> MMRESULT {
    sys->Record("out prepare");
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  };
  api.midiOutUnprepareHeader = [](::HMIDIOUT, LPMIDIHDR header, UINT) -> MMRESULT {
    return Unprepare("out", header);
  };
  api.midiOutLongMsg = [](::HMIDIOUT, LPMIDIHDR header, UINT) -> MMRESULT {
    sys->Record("out long");
    std::lock_guard<std::mutex> lock(sys->mutex);
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    auto* bytes = reinterpret_cast<std::uint8_t*>(header->lpData);
    sys->sent.emplace_back(bytes, bytes + header->dwBufferLength);
    sys->queued.push_back(header);
    if (sys->finish_sends) {
      sys->threads.emplace_back([header] {
        std::this_thread::sleep_for(5ms);
        {
          std::lock_guard<std::mutex> lock(sys->mutex);
          std::erase(sys->queued, header);
        }
        OutDone(header);
      });
    }
    return MMSYSERR_NOERROR;
  };
  api.midiOutShortMsg = [](::HMIDIOUT, DWORD message) -> MMRESULT {
    sys->Record("out short " + std::to_string(message));
    return MMSYSERR_NOERROR;
  };
  api.midiOutReset = [](::HMIDIOUT) -> MMRESULT {
    sys->Record("out reset");
    std::vector<::MIDIHDR*> queued;
    {
      std::lock_guard<std::mutex> lock(sys->mutex);
      queued.swap(sys->queued);
    }
    for (::MIDIHDR* header : queued) OutDone(header);
    return MMSYSERR_NOERROR;
  };
  return api;
}

class WinMmDriverTest : public ::testing::Test {
 protected:
  WinMmDriverTest() { sys = &system_; }
  ~WinMmDriverTest() override {
    system_.Join();
    sys = nullptr;
  }

  std::shared_ptr<MidiDriver> MakeDriver() {
    MidiDriverTimings timings;
    timings.close_wait = 50ms;
    return MakeWinMmMidiDriver(FakeApi(), timings);
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(system_.mutex);
    return system_.calls;
  }

  FakeSystem system_;
};

TEST_F(WinMmDriverTest, WideNamesBecomeUtf8AndTheDevicesNameIsPreselected) {
  // A Japanese Windows names the generic USB MIDI device in its own language; through the
  // ANSI calls (CP932) the name would reach the program in bytes that are not UTF-8.
  system_.in_names = {L"Microsoft GS Wavetable Synth", L"USB オーディオ デバイス",
                      L"USB オーディオ デバイス"};
  system_.out_names = {L"USB オーディオ デバイス"};
  auto driver = MakeDriver();
  CMidiInPort in(*driver);
  CMidiOutPort out(*driver);
  ASSERT_EQ(3, in.GetDeviceCount());
  EXPECT_EQ("USB オーディオ デバイス", in.GetDeviceName(1));
  EXPECT_EQ("USB オーディオ デバイス (2)", in.GetDeviceName(2));
  EXPECT_EQ("USB オーディオ デバイス", out.GetDeviceName(0));
  const std::vector<std::string> ins = {in.GetDeviceName(0), in.GetDeviceName(1),
                                        in.GetDeviceName(2)};
  EXPECT_EQ(1, SelectPreferredPort(ins, 1));
  EXPECT_EQ(2, SelectPreferredPort(ins, 2));
  EXPECT_EQ(0, SelectPreferredPort({out.GetDeviceName(0)}, 1));
}

TEST_F(WinMmDriverTest, ANameThatFillsTheWholeFieldIsReadNoFurther) {
  wchar_t full[MAXPNAMELEN + 4];
  std::wmemset(full, L'デ', MAXPNAMELEN + 3);
  full[MAXPNAMELEN + 3] = 0;
  EXPECT_EQ(MAXPNAMELEN * 3u, WideNameToUtf8(full, MAXPNAMELEN).size());
  EXPECT_EQ("", WideNameToUtf8(L"", MAXPNAMELEN));
}

TEST_F(WinMmDriverTest, TheInputPortLendsItsBufferAndGetsEachMessageThroughTheCallback) {
  system_.in_names = {L"USB Audio Device"};
  auto driver = MakeDriver();
  {
    CMidiInPort in(*driver);
    in.set_device_index(0);
    ASSERT_TRUE(in.Open());
    EXPECT_EQ((std::vector<std::string>{"in open 0 fn", "in reset", "in prepare 8192", "in add",
                                        "in start"}),
              Calls());
    // WinMM returns the buffer from a thread of its own.
    std::thread([&] {
      ::MIDIHDR* header = system_.lent.back();
      system_.lent.pop_back();
      const std::uint8_t reply[] = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7};
      std::memcpy(header->lpData, reply, sizeof(reply));
      header->dwBytesRecorded = sizeof(reply);
      header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
      InCallback(MIM_LONGDATA, header);
    }).join();
    std::size_t size = 0;
    const std::uint8_t* bytes = in.PeekSysEx(&size);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0x06, bytes[3]);
    EXPECT_EQ(1u, system_.lent.size()) << "the buffer is lent again";
    in.PopSysEx();
    system_.calls.clear();
    in.Close();
    EXPECT_EQ((std::vector<std::string>{"in stop", "in reset", "in unprepare", "in close"}),
              Calls());
    EXPECT_TRUE(system_.lent.empty());
    EXPECT_EQ(nullptr, in.PeekSysEx()) << "the empty return at the reset queues nothing";
  }
}

TEST_F(WinMmDriverTest, ALongSendEndsOnTheDoneNoticeWithItsHeaderTakenBack) {
  system_.out_names = {L"USB Audio Device"};
  auto driver = MakeDriver();
  CMidiOutPort out(*driver);
  ASSERT_TRUE(out.Open(0));
  std::uint8_t bytes[] = {0xF0, 0x41, 0x10, 0x42, 0xF7};
  MIDIHDR header;
  header.lpData = bytes;
  header.dwBufferLength = sizeof(bytes);
  EXPECT_TRUE(out.SendLong(&header));
  EXPECT_EQ((std::vector<std::string>{"out open 0 fn", "out prepare", "out long", "out unprepare"}),
            Calls());
  ASSERT_EQ(1u, system_.sent.size());
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + sizeof(bytes)), system_.sent[0]);
  EXPECT_TRUE(out.SendShort(0x90, 60, 100));
  EXPECT_EQ("out short " + std::to_string(0x643C90), Calls().back());
}

TEST_F(WinMmDriverTest, ClosingWhileASendWaitsResetsTheDeviceBeforeTheSenderLetsGo) {
  system_.out_names = {L"USB Audio Device"};
  system_.finish_sends = false;  // a device that never takes the message
  auto driver = MakeDriver();
  CMidiOutPort out(*driver);
  ASSERT_TRUE(out.Open(0));
  std::uint8_t bytes[] = {0xF0, 0x01, 0xF7};
  MIDIHDR header;
  header.lpData = bytes;
  header.dwBufferLength = sizeof(bytes);
  bool sent = true;
  std::thread sender([&] { sent = out.SendLong(&header); });
  while (Calls().back() != "out long") std::this_thread::sleep_for(1ms);
  const auto start = std::chrono::steady_clock::now();
  out.Close();
  sender.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms) << "well inside the send bound";
  EXPECT_FALSE(sent);
  const auto calls = Calls();
  const auto reset = std::find(calls.begin(), calls.end(), "out reset");
  const auto close = std::find(calls.begin(), calls.end(), "out close");
  ASSERT_NE(calls.end(), reset);
  ASSERT_NE(calls.end(), close);
  EXPECT_LT(reset, close);
  EXPECT_NE(calls.end(), std::find(reset, close, "out unprepare"));
  EXPECT_EQ(0u, header.dwFlags.load() & MHDR_INQUEUE);
}

}  // namespace
}  // namespace fen
