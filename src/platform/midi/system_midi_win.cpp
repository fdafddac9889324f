// On Windows the system's MIDI is WinMM, called directly by the WinMM backend under the one
// driver.
#include "platform/midi/system_midi.h"
#include "platform/midi/winmm/winmm_backend.h"

namespace fen {

std::shared_ptr<MidiDriver> MakeSystemMidiDriver(const std::string& api,
                                                 const std::string& /*client_name*/,
                                                 std::string* error) {
  if (api != "auto" && api != "winmm") {
    if (error) *error = api + ": not available on Windows (WinMM is)";
    return nullptr;
  }
  if (error) error->clear();
  return std::make_shared<MidiDriver>(
      std::vector<std::shared_ptr<MidiBackend>>{MakeWinMmBackend()});
}

}  // namespace fen
