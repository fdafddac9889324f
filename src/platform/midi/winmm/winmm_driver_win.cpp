// The WinMM driver: each call of the port classes becomes the WinMM call of the same name on
// the system's handle. The port classes' headers are shadowed by Windows MIDIHDRs that the
// driver owns; long sends complete on WinMM's done notice (MOM_DONE) instead of a poll.
#include "platform/midi/winmm/winmm_api_win.h"
// clang-format off
#include "platform/midi/device_names.h"
#include "platform/midi/handle_table.h"
#include "platform/midi/winmm/winmm_driver.h"
// clang-format on

#include <condition_variable>
#include <cwchar>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace fen {
namespace {

constexpr UINT kWinHeaderSize = sizeof(::MIDIHDR);

// Set while a thread runs a port's input callback: the calls it makes from there (hand the
// buffer back) must not wait for callbacks to end.
thread_local int tls_in_callback = 0;

// ---- Input -----------------------------------------------------------------------------------

struct WinIn {
  const WinMmApi* api = nullptr;
  HMIDIIN id = 0;
  ::HMIDIIN system = nullptr;
  MidiInProc callback = nullptr;
  std::uintptr_t instance = 0;

  std::mutex mutex;  // guards what follows; never held across a WinMM call or the callback
  std::condition_variable cv;
  bool closed = false;
  int callbacks_running = 0;
  std::map<MIDIHDR*, std::unique_ptr<::MIDIHDR>> shadows;
  // Unprepared shadows stay allocated while the driver lives: a done notice that WinMM
  // queued before the unprepare may still name one.
  std::vector<std::unique_ptr<::MIDIHDR>> retired;

  void WaitForCallbacks(std::unique_lock<std::mutex>& lock) {
    if (tls_in_callback > 0) return;
    cv.wait(lock, [&] { return callbacks_running == 0; });
  }
};

void CALLBACK WinInProc(::HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2) {
  if (msg != MIM_DATA && msg != MIM_LONGDATA) return;
  auto* in = reinterpret_cast<WinIn*>(instance);
  std::uintptr_t first = param1;
  {
    std::lock_guard<std::mutex> lock(in->mutex);
    if (in->closed || in->callback == nullptr) return;
    if (msg == MIM_LONGDATA) {
      auto* shadow = reinterpret_cast<::MIDIHDR*>(param1);
      auto* ours = reinterpret_cast<MIDIHDR*>(shadow->dwUser);
      auto it = in->shadows.find(ours);
      // A buffer already taken back by an unprepare is not the port's to hear about.
      if (it == in->shadows.end() || it->second.get() != shadow) return;
      ours->dwBytesRecorded = shadow->dwBytesRecorded;
      ours->dwFlags.fetch_and(~MHDR_INQUEUE);
      if (shadow->dwFlags & MHDR_DONE) ours->dwFlags.fetch_or(MHDR_DONE);
      first = reinterpret_cast<std::uintptr_t>(ours);
    }
    ++in->callbacks_running;
  }
  ++tls_in_callback;
  in->callback(in->id, msg, in->instance, first, param2);
  --tls_in_callback;
  std::lock_guard<std::mutex> lock(in->mutex);
  --in->callbacks_running;
  in->cv.notify_all();
}

// ---- Output ----------------------------------------------------------------------------------

struct WinOut {
  const WinMmApi* api = nullptr;
  ::HMIDIOUT system = nullptr;

  std::mutex mutex;  // guards what follows; never held across a WinMM call
  std::condition_variable cv;
  bool closing = false;
  bool let_go = false;  // closing, and WinMM has given back every header
  int busy = 0;         // WinMM calls in progress on the handle
  std::map<MIDIHDR*, std::unique_ptr<::MIDIHDR>> shadows;
};

void CALLBACK WinOutProc(::HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  if (msg != MOM_DONE) return;
  auto* out = reinterpret_cast<WinOut*>(instance);
  // The header's done flag is WinMM's own; the waiters only need waking.
  std::lock_guard<std::mutex> lock(out->mutex);
  out->cv.notify_all();
}

bool ShadowDone(const ::MIDIHDR& shadow) {
  return (reinterpret_cast<const volatile DWORD&>(shadow.dwFlags) & MHDR_DONE) != 0;
}

class WinMmMidiDriver : public MidiDriver {
 public:
  WinMmMidiDriver(const WinMmApi& api, MidiDriverTimings timings) : api_(api), timings_(timings) {
    Rescan();
  }

  ~WinMmMidiDriver() override {
    std::vector<HMIDIIN> ins;
    std::vector<HMIDIOUT> outs;
    {
      std::lock_guard<std::mutex> lock(table_mutex_);
      for (auto& [id, in] : ins_) ins.push_back(id);
      for (auto& [id, out] : outs_) outs.push_back(id);
    }
    for (HMIDIOUT id : outs) midiOutClose(id);
    for (HMIDIIN id : ins) {
      if (auto in = FindIn(id)) {
        api_.midiInReset(in->system);
        for (auto& [ours, shadow] : in->shadows) {
          api_.midiInUnprepareHeader(in->system, shadow.get(), kWinHeaderSize);
        }
      }
      midiInClose(id);
    }
  }

  void Rescan() override {
    auto in_display = MakeDisplayNames(
        ListPorts<MIDIINCAPSW>(api_.midiInGetNumDevs(), api_.midiInGetDevCapsW), kMaxPnameChars);
    auto out_display = MakeDisplayNames(
        ListPorts<MIDIOUTCAPSW>(api_.midiOutGetNumDevs(), api_.midiOutGetDevCapsW), kMaxPnameChars);
    std::lock_guard<std::mutex> lock(names_mutex_);
    in_names_.swap(in_display);
    out_names_.swap(out_display);
  }

  // ---- Input calls ----

  std::uint32_t midiInGetNumDevs() override {
    std::lock_guard<std::mutex> lock(names_mutex_);
    return static_cast<std::uint32_t>(in_names_.size());
  }

  MMRESULT midiInGetDevCaps(std::uint32_t device, std::string* name) override {
    return Name(in_names_, device, name);
  }

  // WinMM's device IDs are the same in every process while no device comes or goes.
  std::string midiInGetDeviceKey(std::uint32_t device) override {
    std::string name;
    if (Name(in_names_, device, &name) != MMSYSERR_NOERROR) return {};
    return "winmm-in:" + std::to_string(device) + ":" + name;
  }

  MMRESULT midiInOpen(HMIDIIN* handle, std::int32_t device, MidiInProc callback,
                      std::uintptr_t instance, std::uint32_t flags) override {
    if (handle == nullptr || callback == nullptr || flags != CALLBACK_FUNCTION) {
      return MMSYSERR_INVALPARAM;
    }
    *handle = 0;
    if (device < 0 || static_cast<std::uint32_t>(device) >= midiInGetNumDevs()) {
      return MMSYSERR_BADDEVICEID;
    }
    auto in = std::make_shared<WinIn>();
    in->api = &api_;
    in->callback = callback;
    in->instance = instance;
    {
      std::lock_guard<std::mutex> lock(table_mutex_);
      in->id = ++last_handle_;
    }
    const MMRESULT result = api_.midiInOpen(
        &in->system, static_cast<UINT>(device), reinterpret_cast<DWORD_PTR>(&WinInProc),
        reinterpret_cast<DWORD_PTR>(in.get()), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard<std::mutex> lock(table_mutex_);
    ins_[in->id] = in;
    *handle = in->id;
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiInClose(HMIDIIN handle) override {
    auto in = FindIn(handle);
    if (!in) return MMSYSERR_INVALHANDLE;
    MMRESULT result = api_.midiInClose(in->system);
    if (result == MIDIERR_STILLPLAYING) {
      // A buffer is still lent (an earlier step of the caller's closing failed): take it
      // back, so that WinMM never writes into memory the caller is about to free.
      api_.midiInReset(in->system);
      std::vector<::MIDIHDR*> shadows;
      {
        std::lock_guard<std::mutex> lock(in->mutex);
        for (auto& [ours, shadow] : in->shadows) shadows.push_back(shadow.get());
      }
      for (::MIDIHDR* shadow : shadows) {
        api_.midiInUnprepareHeader(in->system, shadow, kWinHeaderSize);
      }
      result = api_.midiInClose(in->system);
    }
    if (result != MMSYSERR_NOERROR) return result;
    {
      std::unique_lock<std::mutex> lock(in->mutex);
      in->closed = true;
      in->WaitForCallbacks(lock);
      for (auto& [ours, shadow] : in->shadows) in->retired.push_back(std::move(shadow));
      in->shadows.clear();
    }
    return Retire(ins_, retired_ins_, handle, std::move(in));
  }

  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t) override {
    auto in = FindIn(handle);
    if (!in) return MMSYSERR_INVALHANDLE;
    if (!HeaderHasBuffer(header)) return MMSYSERR_INVALPARAM;
    ::MIDIHDR* shadow = nullptr;
    {
      std::lock_guard<std::mutex> lock(in->mutex);
      auto& slot = in->shadows[header];
      if (!slot) {
        slot = std::make_unique<::MIDIHDR>();
        slot->dwUser = reinterpret_cast<DWORD_PTR>(header);
      }
      shadow = slot.get();
      if (!(shadow->dwFlags & MHDR_INQUEUE)) {
        shadow->lpData = reinterpret_cast<LPSTR>(header->lpData);
        shadow->dwBufferLength = header->dwBufferLength;
      }
    }
    const MMRESULT result = api_.midiInPrepareHeader(in->system, shadow, kWinHeaderSize);
    if (result == MMSYSERR_NOERROR) header->dwFlags.fetch_or(MHDR_PREPARED);
    return result;
  }

  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t) override {
    auto in = FindIn(handle);
    if (!in) return MMSYSERR_INVALHANDLE;
    ::MIDIHDR* shadow = Shadow(*in, header);
    if (shadow == nullptr) return MIDIERR_UNPREPARED;
    MMRESULT result = api_.midiInUnprepareHeader(in->system, shadow, kWinHeaderSize);
    if (result == MIDIERR_STILLPLAYING) {
      // The callback lent the buffer again after the caller's reset (a message that ended
      // in between): take it back once more, or the caller would free it while lent.
      api_.midiInReset(in->system);
      result = api_.midiInUnprepareHeader(in->system, shadow, kWinHeaderSize);
    }
    if (result != MMSYSERR_NOERROR) return result;
    std::unique_lock<std::mutex> lock(in->mutex);
    auto it = in->shadows.find(header);
    if (it != in->shadows.end()) {
      in->retired.push_back(std::move(it->second));
      in->shadows.erase(it);
    }
    // A callback that already looked the header up may still be reading it.
    in->WaitForCallbacks(lock);
    header->dwFlags.fetch_and(~(MHDR_PREPARED | MHDR_INQUEUE));
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t) override {
    auto in = FindIn(handle);
    if (!in) return MMSYSERR_INVALHANDLE;
    ::MIDIHDR* shadow = Shadow(*in, header);
    if (shadow == nullptr) return MIDIERR_UNPREPARED;
    header->dwBytesRecorded = 0;
    header->dwFlags.fetch_and(~MHDR_DONE);
    header->dwFlags.fetch_or(MHDR_INQUEUE);
    const MMRESULT result = api_.midiInAddBuffer(in->system, shadow, kWinHeaderSize);
    if (result != MMSYSERR_NOERROR) header->dwFlags.fetch_and(~MHDR_INQUEUE);
    return result;
  }

  MMRESULT midiInStart(HMIDIIN handle) override {
    auto in = FindIn(handle);
    return in ? api_.midiInStart(in->system) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInStop(HMIDIIN handle) override {
    auto in = FindIn(handle);
    return in ? api_.midiInStop(in->system) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInReset(HMIDIIN handle) override {
    auto in = FindIn(handle);
    return in ? api_.midiInReset(in->system) : MMSYSERR_INVALHANDLE;
  }

  // ---- Output calls ----

  std::uint32_t midiOutGetNumDevs() override {
    std::lock_guard<std::mutex> lock(names_mutex_);
    return static_cast<std::uint32_t>(out_names_.size());
  }

  std::string midiOutGetDeviceKey(std::uint32_t device) override {
    std::string name;
    if (Name(out_names_, device, &name) != MMSYSERR_NOERROR) return {};
    return "winmm-out:" + std::to_string(device) + ":" + name;
  }

  MMRESULT midiOutGetDevCaps(std::uint32_t device, std::string* name) override {
    return Name(out_names_, device, name);
  }

  MMRESULT midiOutOpen(HMIDIOUT* handle, std::int32_t device, std::uintptr_t callback,
                       std::uintptr_t, std::uint32_t) override {
    // Completion is learned from the done flag (midiOutWaitDone); the driver's own callback
    // is what wakes the waiters.
    if (handle == nullptr || callback != 0) return MMSYSERR_INVALPARAM;
    *handle = 0;
    if (device < 0 || static_cast<std::uint32_t>(device) >= midiOutGetNumDevs()) {
      return MMSYSERR_BADDEVICEID;
    }
    auto out = std::make_shared<WinOut>();
    out->api = &api_;
    const MMRESULT result = api_.midiOutOpen(
        &out->system, static_cast<UINT>(device), reinterpret_cast<DWORD_PTR>(&WinOutProc),
        reinterpret_cast<DWORD_PTR>(out.get()), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard<std::mutex> lock(table_mutex_);
    *handle = ++last_handle_;
    outs_[*handle] = std::move(out);
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiOutClose(HMIDIOUT handle) override {
    auto out = FindOut(handle);
    if (!out) return MMSYSERR_INVALHANDLE;
    std::vector<::MIDIHDR*> shadows;
    {
      std::unique_lock<std::mutex> lock(out->mutex);
      if (out->closing) return MMSYSERR_INVALHANDLE;
      out->closing = true;
      out->cv.notify_all();
      out->cv.wait_for(lock, timings_.close_wait, [&] { return out->busy == 0; });
      for (auto& [ours, shadow] : out->shadows) shadows.push_back(shadow.get());
    }
    // Every queued send is ended and its header given back before the device is closed, and
    // before a sender still waiting is let go with the header it will reuse.
    api_.midiOutReset(out->system);
    for (::MIDIHDR* shadow : shadows) {
      if (shadow->dwFlags & MHDR_PREPARED) {
        api_.midiOutUnprepareHeader(out->system, shadow, kWinHeaderSize);
      }
    }
    api_.midiOutClose(out->system);
    {
      std::lock_guard<std::mutex> lock(out->mutex);
      out->let_go = true;
      out->cv.notify_all();
    }
    return Retire(outs_, retired_outs_, handle, std::move(out));
  }

  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t) override {
    if (!HeaderHasBuffer(header)) return MMSYSERR_INVALPARAM;
    return UseOut(handle, [&](WinOut& out) {
      ::MIDIHDR* shadow = nullptr;
      {
        std::lock_guard<std::mutex> lock(out.mutex);
        auto& slot = out.shadows[header];
        if (!slot) slot = std::make_unique<::MIDIHDR>();
        shadow = slot.get();
        if (shadow->dwFlags & MHDR_INQUEUE) return static_cast<MMRESULT>(MIDIERR_STILLPLAYING);
        *shadow = ::MIDIHDR{};
        shadow->lpData = reinterpret_cast<LPSTR>(header->lpData);
        shadow->dwBufferLength = header->dwBufferLength;
        shadow->dwBytesRecorded = header->dwBufferLength;
        shadow->dwUser = reinterpret_cast<DWORD_PTR>(header);
      }
      const MMRESULT result = api_.midiOutPrepareHeader(out.system, shadow, kWinHeaderSize);
      if (result == MMSYSERR_NOERROR) header->dwFlags.fetch_or(MHDR_PREPARED);
      return result;
    });
  }

  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t) override {
    return UseOut(handle, [&](WinOut& out) {
      ::MIDIHDR* shadow = Shadow(out, header);
      if (shadow == nullptr) return static_cast<MMRESULT>(MIDIERR_UNPREPARED);
      const MMRESULT result = api_.midiOutUnprepareHeader(out.system, shadow, kWinHeaderSize);
      if (result == MMSYSERR_NOERROR) header->dwFlags.fetch_and(~(MHDR_PREPARED | MHDR_INQUEUE));
      return result;
    });
  }

  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t) override {
    return UseOut(handle, [&](WinOut& out) {
      ::MIDIHDR* shadow = Shadow(out, header);
      if (shadow == nullptr) return static_cast<MMRESULT>(MIDIERR_UNPREPARED);
      header->dwFlags.fetch_and(~MHDR_DONE);
      header->dwFlags.fetch_or(MHDR_INQUEUE);
      const MMRESULT result = api_.midiOutLongMsg(out.system, shadow, kWinHeaderSize);
      if (result != MMSYSERR_NOERROR) header->dwFlags.fetch_and(~MHDR_INQUEUE);
      return result;
    });
  }

  MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) override {
    return UseOut(handle, [&](WinOut& out) { return api_.midiOutShortMsg(out.system, message); });
  }

  MMRESULT midiOutReset(HMIDIOUT handle) override {
    auto out = FindOut(handle);
    if (!out) return MMSYSERR_INVALHANDLE;
    {
      // A close in progress resets the device itself; the caller may reuse its header only
      // once that has happened.
      std::unique_lock<std::mutex> lock(out->mutex);
      if (out->closing) {
        out->cv.wait(lock, [&] { return out->let_go; });
        return MMSYSERR_NOERROR;
      }
    }
    return UseOut(handle, [&](WinOut& o) { return api_.midiOutReset(o.system); });
  }

  bool midiOutWaitDone(HMIDIOUT handle, MIDIHDR* header, std::uint32_t timeout_ms) override {
    if (header == nullptr) return false;
    auto out = FindOut(handle);
    if (!out) return false;
    std::unique_lock<std::mutex> lock(out->mutex);
    auto it = out->shadows.find(header);
    if (it == out->shadows.end()) return false;
    const ::MIDIHDR& shadow = *it->second;
    // While the handle closes, the sender is held until WinMM has given its header back.
    const bool ended = out->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      return out->closing ? out->let_go : ShadowDone(shadow);
    });
    if (!ended) return false;
    header->dwFlags.fetch_and(~MHDR_INQUEUE);
    // Given back by the close, not necessarily sent whole.
    if (out->closing) return false;
    header->dwFlags.fetch_or(MHDR_DONE);
    return true;
  }

 private:
  // One direction's devices by their product names, the device number telling equal ones apart.
  template <typename Caps, typename GetCaps>
  static std::vector<NamedPort> ListPorts(UINT count, GetCaps get_caps) {
    std::vector<NamedPort> ports;
    for (UINT i = 0; i < count; ++i) {
      Caps caps{};
      std::string name;
      if (get_caps(i, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
        name = WideNameToUtf8(caps.szPname, MAXPNAMELEN);
      }
      ports.push_back({"winmm", name, name, std::to_string(i)});
    }
    return ports;
  }

  // Takes a closed port out of the table; it stays allocated while the driver lives.
  template <typename Port>
  MMRESULT Retire(std::map<std::uintptr_t, std::shared_ptr<Port>>& table,
                  std::vector<std::shared_ptr<Port>>& retired, std::uintptr_t handle,
                  std::shared_ptr<Port> port) {
    std::lock_guard<std::mutex> lock(table_mutex_);
    table.erase(handle);
    retired.push_back(std::move(port));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Name(const std::vector<std::string>& names, std::uint32_t device, std::string* name) {
    if (name == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(names_mutex_);
    if (device >= names.size()) return MMSYSERR_BADDEVICEID;
    *name = names[device];
    return MMSYSERR_NOERROR;
  }

  std::shared_ptr<WinIn> FindIn(HMIDIIN handle) { return FindHandle(table_mutex_, ins_, handle); }
  std::shared_ptr<WinOut> FindOut(HMIDIOUT handle) {
    return FindHandle(table_mutex_, outs_, handle);
  }

  template <typename Port>
  static ::MIDIHDR* Shadow(Port& port, MIDIHDR* header) {
    std::lock_guard<std::mutex> lock(port.mutex);
    auto it = port.shadows.find(header);
    return it == port.shadows.end() ? nullptr : it->second.get();
  }

  // Runs one WinMM call on an output handle that is not closing; a close waits for it.
  template <typename Call>
  MMRESULT UseOut(HMIDIOUT handle, Call call) {
    auto out = FindOut(handle);
    if (!out) return MMSYSERR_INVALHANDLE;
    {
      std::lock_guard<std::mutex> lock(out->mutex);
      if (out->closing) return MMSYSERR_INVALHANDLE;
      ++out->busy;
    }
    const MMRESULT result = call(*out);
    std::lock_guard<std::mutex> lock(out->mutex);
    --out->busy;
    out->cv.notify_all();
    return result;
  }

  WinMmApi api_;
  MidiDriverTimings timings_;

  std::mutex names_mutex_;
  std::vector<std::string> in_names_;
  std::vector<std::string> out_names_;

  std::mutex table_mutex_;
  std::uintptr_t last_handle_ = 0;
  std::map<HMIDIIN, std::shared_ptr<WinIn>> ins_;
  std::map<HMIDIOUT, std::shared_ptr<WinOut>> outs_;
  // Closed ports stay allocated while the driver lives: WinMM names them as its callbacks'
  // instance data, and a notice already on its way may still arrive.
  std::vector<std::shared_ptr<WinIn>> retired_ins_;
  std::vector<std::shared_ptr<WinOut>> retired_outs_;
};

}  // namespace

WinMmApi SystemWinMmApi() {
  return WinMmApi{
      ::midiInGetNumDevs,     ::midiInGetDevCapsW,
      ::midiInOpen,           ::midiInClose,
      ::midiInPrepareHeader,  ::midiInUnprepareHeader,
      ::midiInAddBuffer,      ::midiInStart,
      ::midiInStop,           ::midiInReset,
      ::midiOutGetNumDevs,    ::midiOutGetDevCapsW,
      ::midiOutOpen,          ::midiOutClose,
      ::midiOutPrepareHeader, ::midiOutUnprepareHeader,
      ::midiOutLongMsg,       ::midiOutShortMsg,
      ::midiOutReset,
  };
}

std::string WideNameToUtf8(const wchar_t* name, std::size_t max_units) {
  const std::size_t units = wcsnlen(name, max_units);
  if (units == 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(units), nullptr, 0,
                                         nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(units), text.data(), size, nullptr,
                        nullptr);
  return text;
}

std::shared_ptr<MidiDriver> MakeWinMmMidiDriver(const WinMmApi& api, MidiDriverTimings timings) {
  return std::make_shared<WinMmMidiDriver>(api, timings);
}

std::shared_ptr<MidiDriver> MakeWinMmMidiDriver(MidiDriverTimings timings) {
  return MakeWinMmMidiDriver(SystemWinMmApi(), timings);
}

}  // namespace fen
