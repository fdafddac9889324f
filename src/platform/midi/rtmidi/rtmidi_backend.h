// MIDI backends over RtMidi: the ALSA sequencer and JACK on Linux (CoreMIDI and WinMM where
// those systems are). Only the files of this folder see RtMidi, through rtmidi_system.h.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi/backend.h"

namespace fen {

struct RtMidiOptions {
  // Longest a Send may take; past it the send fails and the port sends no more (a JACK
  // server that died never takes the message).
  std::chrono::milliseconds send_bound{1000};
};

// A backend of one MIDI system. Beyond the seam it can make ports of its own that other
// clients connect to, as a device does (the simulated device on a real MIDI system).
class RtMidiBackend : public MidiBackend {
 public:
  // The longest message the JACK backend accepts; longer ones are refused, not dropped.
  static constexpr std::size_t kMaxJackMessage = 16379;

  virtual std::unique_ptr<MidiInputConnection> OpenOwnInput(const std::string& port_name,
                                                            MidiReceiver receiver) = 0;
  virtual std::unique_ptr<MidiOutputConnection> OpenOwnOutput(const std::string& port_name) = 0;
};

// The backend of one system: `api` is "alsa" or "jack" (or "core", "winmm" where compiled).
// Null, with the reason in `error`, when that system does not work here. Every port the
// backend opens is a client of its own named `client_name`; the backend does not list the
// ports of clients of that name.
std::shared_ptr<RtMidiBackend> MakeRtMidiBackend(const std::string& api,
                                                 const std::string& client_name, std::string* error,
                                                 RtMidiOptions options = {});

// "auto": every system that works here, ALSA before JACK; or the one system named. Systems
// that do not work are left out and named in `error`.
std::vector<std::shared_ptr<MidiBackend>> MakeRtMidiBackends(const std::string& api,
                                                             const std::string& client_name,
                                                             std::string* error,
                                                             RtMidiOptions options = {});

}  // namespace fen
