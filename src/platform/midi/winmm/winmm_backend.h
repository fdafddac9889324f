// MIDI backend over WinMM, called directly (Windows only): the system's MIDI ports under the
// one driver, as RtMidi's and rawmidi's are on Linux.
#pragma once

#include <chrono>
#include <memory>

#include "platform/midi/backend.h"

namespace fen {

struct WinMmOptions {
  // Longest a long message may stay with WinMM before it is taken back and the send fails.
  // Windows MIDI Services fails a send that stalls for a second; a classic driver at MIDI's
  // own speed needs about 2.7 s for 8 KiB.
  std::chrono::milliseconds send_limit{5000};
  // Longest a close waits for WinMM to hand back a buffer after a reset. A buffer not handed
  // back by then is never freed: WinMM may still write to it.
  std::chrono::milliseconds return_wait{1000};
};

std::shared_ptr<MidiBackend> MakeWinMmBackend(WinMmOptions options = {});

}  // namespace fen
