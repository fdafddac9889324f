// Where RtMidi is not built (Windows, whose WinMM the WinMM backend calls itself): the
// backends say so.
#include "platform/midi/rtmidi/rtmidi_backend.h"

namespace fen {

std::shared_ptr<RtMidiBackend> MakeRtMidiBackend(const std::string& api, const std::string&,
                                                 std::string* error, RtMidiOptions) {
  if (error) *error = api + ": RtMidi is not part of this build";
  return nullptr;
}

std::vector<std::shared_ptr<MidiBackend>> MakeRtMidiBackends(const std::string& api,
                                                             const std::string&, std::string* error,
                                                             RtMidiOptions) {
  if (error) *error = api + ": RtMidi is not part of this build";
  return {};
}

}  // namespace fen
