// MIDI backend over ALSA's rawmidi devices (alsa-lib): the hardware ports of every sound card,
// each opened for this process alone. Only platform/midi/rawmidi/ sees alsa-lib. Linux only.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/midi/backend.h"

namespace fen {

struct RawMidiOptions {
  // Longest a Send may wait for the device to take more bytes; past it the send fails and the
  // port sends no more.
  std::chrono::milliseconds send_bound{1000};
};

class RawMidiBackend : public MidiBackend {
 public:
  // The port that `path_or_name` names: a device file such as /dev/snd/midiC1D0, an ALSA
  // name ("hw:1,0"), or a card or "card:port" name as listed. Its id opens both directions,
  // as a device plays on one subdevice. False, with the reason in `error`, when none matches.
  virtual bool Find(const std::string& path_or_name, MidiEndpoint* endpoint,
                    std::string* error) = 0;
  // The reason the last OpenInput or OpenOutput returned null ("hw:1,0,0 is in use by
  // another program"); empty after one that succeeded.
  virtual std::string LastOpenError() const = 0;
};

// Null, with the reason in `error`, when this system has no sound devices at all.
std::shared_ptr<RawMidiBackend> MakeRawMidiBackend(std::string* error, RawMidiOptions options = {});

}  // namespace fen
