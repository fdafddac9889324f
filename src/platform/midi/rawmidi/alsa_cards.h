// ALSA sound cards as devices: which card a sequencer client belongs to, and the key that
// claims a card whether it is reached as rawmidi or through the sequencer.
#pragma once

#include <string>

namespace fen {

// The card of a sequencer client (a card's kernel client), or -1 for a program's client or
// where there is no ALSA.
int SequencerClientCard(int client);

inline std::string CardDeviceKey(int card) { return "alsa-card:" + std::to_string(card); }

}  // namespace fen
