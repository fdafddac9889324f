// The rawmidi backend's open ports. Internal to platform/midi/rawmidi/.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/midi/backend.h"

namespace fen::rawmidi {

// Opens the input subdevice `id` ("hw:C,D,S") for this process alone and reads it on a thread
// of its own from that moment on, handing `receiver` each whole message. Null, with the
// reason in `error`, when the device is missing or already open.
std::unique_ptr<MidiInputConnection> OpenInputSubdevice(const std::string& id,
                                                        MidiReceiver receiver, std::string* error);

// Opens the output subdevice `id` for this process alone. Each Send gives up after `bound`
// when the device takes no more bytes.
std::unique_ptr<MidiOutputConnection> OpenOutputSubdevice(const std::string& id,
                                                          std::chrono::milliseconds bound,
                                                          std::string* error);

}  // namespace fen::rawmidi
