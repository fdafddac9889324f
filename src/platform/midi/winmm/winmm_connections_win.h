// The WinMM backend's open ports. Internal to platform/midi/winmm/.
#pragma once

#include <memory>

#include "platform/midi/winmm/winmm_api_win.h"

namespace fen::winmm {

// Opens WinMM's input `device`, lends it its own receive buffers and starts it; each message
// reaches `receiver` whole on a thread of the port's own. Null when WinMM refuses.
std::unique_ptr<MidiInputConnection> OpenInputDevice(const WinMmApi& api, UINT device,
                                                     MidiReceiver receiver,
                                                     const WinMmOptions& options);

// Opens WinMM's output `device`.
std::unique_ptr<MidiOutputConnection> OpenOutputDevice(const WinMmApi& api, UINT device,
                                                       const WinMmOptions& options);

}  // namespace fen::winmm
