// Lists rawmidi subdevices card by card through the control interface, which neither opens
// nor disturbs a port another program is using.
#include "platform/midi/rawmidi/rawmidi_ports.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <memory>

namespace fen::rawmidi {
namespace {

struct CtlCloser {
  void operator()(snd_ctl_t* ctl) const { snd_ctl_close(ctl); }
};
struct InfoFree {
  void operator()(snd_rawmidi_info_t* info) const { snd_rawmidi_info_free(info); }
};
struct CardInfoFree {
  void operator()(snd_ctl_card_info_t* info) const { snd_ctl_card_info_free(info); }
};

void ListCard(int card, bool inputs, std::vector<MidiEndpoint>* list) {
  snd_ctl_t* raw_ctl = nullptr;
  const std::string card_name = "hw:" + std::to_string(card);
  if (snd_ctl_open(&raw_ctl, card_name.c_str(), 0) < 0) return;
  std::unique_ptr<snd_ctl_t, CtlCloser> ctl(raw_ctl);
  snd_ctl_card_info_t* raw_card_info = nullptr;
  snd_rawmidi_info_t* raw_info = nullptr;
  if (snd_ctl_card_info_malloc(&raw_card_info) < 0) return;
  std::unique_ptr<snd_ctl_card_info_t, CardInfoFree> card_info(raw_card_info);
  if (snd_rawmidi_info_malloc(&raw_info) < 0) return;
  std::unique_ptr<snd_rawmidi_info_t, InfoFree> info(raw_info);
  if (snd_ctl_card_info(ctl.get(), card_info.get()) < 0) return;
  const std::string client = snd_ctl_card_info_get_name(card_info.get());
  const snd_rawmidi_stream_t stream = inputs ? SND_RAWMIDI_STREAM_INPUT : SND_RAWMIDI_STREAM_OUTPUT;
  int device = -1;
  while (snd_ctl_rawmidi_next_device(ctl.get(), &device) >= 0 && device >= 0) {
    snd_rawmidi_info_set_device(info.get(), static_cast<unsigned>(device));
    snd_rawmidi_info_set_subdevice(info.get(), 0);
    snd_rawmidi_info_set_stream(info.get(), stream);
    if (snd_ctl_rawmidi_info(ctl.get(), info.get()) < 0) continue;  // not this direction
    const unsigned count = snd_rawmidi_info_get_subdevices_count(info.get());
    for (unsigned sub = 0; sub < count; ++sub) {
      snd_rawmidi_info_set_subdevice(info.get(), sub);
      if (snd_ctl_rawmidi_info(ctl.get(), info.get()) < 0) continue;
      std::string port = snd_rawmidi_info_get_subdevice_name(info.get());
      if (port.empty()) port = snd_rawmidi_info_get_name(info.get());
      const std::string id = card_name + "," + std::to_string(device) + "," + std::to_string(sub);
      list->push_back(MidiEndpoint{id, client, port, std::to_string(card)});
    }
  }
}

}  // namespace

std::vector<MidiEndpoint> ListSubdevices(bool inputs) {
  std::vector<MidiEndpoint> list;
  int card = -1;
  while (snd_card_next(&card) >= 0 && card >= 0) ListCard(card, inputs, &list);
  return list;
}

bool FindSubdevice(const std::string& path_or_name, MidiEndpoint* endpoint, std::string* error) {
  unsigned card = 0;
  unsigned device = 0;
  unsigned sub = 0;
  char tail = 0;
  std::string id;
  if (std::sscanf(path_or_name.c_str(), "/dev/snd/midiC%uD%u%c", &card, &device, &tail) == 2) {
    id = "hw:" + std::to_string(card) + "," + std::to_string(device) + ",0";
  } else if (std::sscanf(path_or_name.c_str(), "hw:%u,%u,%u%c", &card, &device, &sub, &tail) == 3) {
    id = path_or_name;
  } else if (std::sscanf(path_or_name.c_str(), "hw:%u,%u%c", &card, &device, &tail) == 2) {
    id = path_or_name + ",0";
  }
  // Both directions: a device is played on a subdevice that can do both, and a one-way one
  // is still found.
  for (bool inputs : {true, false}) {
    for (const MidiEndpoint& found : ListSubdevices(inputs)) {
      const bool match = id.empty() ? path_or_name == found.client ||
                                          path_or_name == found.client + ":" + found.port ||
                                          path_or_name == found.port
                                    : id == found.id;
      if (match) {
        *endpoint = found;
        return true;
      }
    }
  }
  *error = "no rawmidi device " + path_or_name;
  return false;
}

}  // namespace fen::rawmidi
