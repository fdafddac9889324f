// The MIDI driver over the system's own MIDI: RtMidi's backends on Linux and macOS, WinMM
// itself on Windows. The program's start-up, the command-line tool and the default driver
// make theirs here, so that none of them needs to know which system runs.
#pragma once

#include <memory>
#include <string>

#include "platform/midi/midi_driver.h"

namespace fen {

// `api`: "auto" for every MIDI system that works here, or one system by name ("alsa", "jack"
// where RtMidi serves; "winmm" on Windows). Ports the program opens belong to a client named
// `client_name` where the system has clients. Null, with the reason in `error`, when no
// system works; systems left out are named in `error` all the same.
std::shared_ptr<MidiDriver> MakeSystemMidiDriver(const std::string& api,
                                                 const std::string& client_name,
                                                 std::string* error);

}  // namespace fen
