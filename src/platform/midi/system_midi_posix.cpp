// Off Windows the system's MIDI is reached through RtMidi's backends under the generic driver.
#include "platform/midi/rtmidi/rtmidi_backend.h"
#include "platform/midi/system_midi.h"

namespace fen {

std::shared_ptr<MidiDriver> MakeSystemMidiDriver(const std::string& api,
                                                 const std::string& client_name,
                                                 std::string* error) {
  std::string reasons;
  auto backends = MakeRtMidiBackends(api, client_name, &reasons);
  if (error) *error = reasons;
  if (backends.empty()) return nullptr;
  return std::make_shared<MidiDriver>(std::move(backends));
}

}  // namespace fen
