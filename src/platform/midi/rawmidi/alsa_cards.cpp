// Which card a sequencer client belongs to, asked of the sequencer itself.
#include "platform/midi/rawmidi/alsa_cards.h"

#include <alsa/asoundlib.h>

namespace fen {

int SequencerClientCard(int client) {
  snd_seq_t* seq = nullptr;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return -1;
  snd_seq_client_info_t* info = nullptr;
  int card = -1;
  if (snd_seq_client_info_malloc(&info) == 0) {
    if (snd_seq_get_any_client_info(seq, client, info) == 0 &&
        snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT) {
      card = snd_seq_client_info_get_card(info);
    }
    snd_seq_client_info_free(info);
  }
  snd_seq_close(seq);
  return card;
}

}  // namespace fen
