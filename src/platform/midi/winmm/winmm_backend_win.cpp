// The WinMM backend: WinMM's device numbers as ports, named with the wide-character calls and
// kept as UTF-8; a device is its number and its name, so that a number that came to mean
// another device after a device came or went is not opened.
#include <cwchar>
#include <utility>

#include "platform/midi/winmm/winmm_api_win.h"
#include "platform/midi/winmm/winmm_connections_win.h"

namespace fen {
namespace {

// One direction's devices: the id is the direction and the device number, and the number tells
// equal names apart.
template <typename Caps, typename GetCaps>
std::vector<MidiEndpoint> ListDevices(const std::string& direction, UINT count, GetCaps get_caps) {
  std::vector<MidiEndpoint> devices;
  for (UINT i = 0; i < count; ++i) {
    Caps caps{};
    std::string name;
    if (get_caps(i, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
      name = WideNameToUtf8(caps.szPname, MAXPNAMELEN);
    }
    devices.push_back({direction + ":" + std::to_string(i), name, name, std::to_string(i)});
  }
  return devices;
}

// The device number of an endpoint that still names the same device. False when it is gone.
template <typename Caps, typename GetCaps>
bool StillThere(const MidiEndpoint& endpoint, GetCaps get_caps, UINT* device) {
  const std::string& number = endpoint.client_id;
  if (number.empty() || number.size() > 5 ||
      number.find_first_not_of("0123456789") != number.npos) {
    return false;
  }
  *device = static_cast<UINT>(std::stoul(number));
  Caps caps{};
  return get_caps(*device, &caps, sizeof(caps)) == MMSYSERR_NOERROR &&
         WideNameToUtf8(caps.szPname, MAXPNAMELEN) == endpoint.client;
}

class WinMmBackend : public MidiBackend {
 public:
  WinMmBackend(const WinMmApi& api, WinMmOptions options) : api_(api), options_(options) {}

  std::string Name() const override { return "winmm"; }
  std::vector<MidiEndpoint> ListInputs() override {
    return ListDevices<MIDIINCAPSW>("in", api_.midiInGetNumDevs(), api_.midiInGetDevCapsW);
  }
  std::vector<MidiEndpoint> ListOutputs() override {
    return ListDevices<MIDIOUTCAPSW>("out", api_.midiOutGetNumDevs(), api_.midiOutGetDevCapsW);
  }

  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override {
    UINT device = 0;
    if (!StillThere<MIDIINCAPSW>(endpoint, api_.midiInGetDevCapsW, &device)) return nullptr;
    return winmm::OpenInputDevice(api_, device, std::move(receiver), options_);
  }
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override {
    UINT device = 0;
    if (!StillThere<MIDIOUTCAPSW>(endpoint, api_.midiOutGetDevCapsW, &device)) return nullptr;
    return winmm::OpenOutputDevice(api_, device, options_);
  }

  // WinMM's device numbers are the same in every process while no device comes or goes;
  // inputs and outputs are numbered apart.
  std::string DeviceKey(const MidiEndpoint& endpoint) const override {
    return "winmm-" + endpoint.id + ":" + endpoint.client;
  }

 private:
  const WinMmApi api_;
  const WinMmOptions options_;
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

std::shared_ptr<MidiBackend> MakeWinMmBackend(const WinMmApi& api, WinMmOptions options) {
  return std::make_shared<WinMmBackend>(api, options);
}

std::shared_ptr<MidiBackend> MakeWinMmBackend(WinMmOptions options) {
  return MakeWinMmBackend(SystemWinMmApi(), options);
}

}  // namespace fen
