// The rawmidi backend's port listing: every rawmidi subdevice of every sound card, found
// through the cards' control interfaces. Internal to platform/midi/rawmidi/.
#pragma once

#include <string>
#include <vector>

#include "platform/midi/backend.h"

namespace fen::rawmidi {

// The subdevices that can receive (`inputs`: the program reads them) or send. Each endpoint's
// id is the ALSA name "hw:CARD,DEVICE,SUBDEVICE"; its client is the card's name, its port the
// subdevice's, and its client_id the card number, which tells two cards of one name apart.
std::vector<MidiEndpoint> ListSubdevices(bool inputs);

// The endpoint that `path_or_name` means: a device file (/dev/snd/midiC1D0, its first
// subdevice), an ALSA name ("hw:1,0" or "hw:1,0,0"), or a card or "card:subdevice" name as
// listed. False, with the reason in `error`, when there is no such device.
bool FindSubdevice(const std::string& path_or_name, MidiEndpoint* endpoint, std::string* error);

}  // namespace fen::rawmidi
