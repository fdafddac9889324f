// Where there is no alsa-lib there are no rawmidi devices: the backend says so.
#include "platform/midi/rawmidi/rawmidi_backend.h"

namespace fen {

std::shared_ptr<RawMidiBackend> MakeRawMidiBackend(std::string* error, RawMidiOptions) {
  if (error) *error = "rawmidi: not available on this system";
  return nullptr;
}

}  // namespace fen
