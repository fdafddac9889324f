// The MIDI driver on Windows: the port classes' calls go to WinMM itself, one for one. Names
// are read with the wide-character calls and kept as UTF-8.
#pragma once

#include <memory>

#include "platform/midi/midi_driver.h"

namespace fen {

std::shared_ptr<MidiDriver> MakeWinMmMidiDriver(MidiDriverTimings timings = {});

}  // namespace fen
