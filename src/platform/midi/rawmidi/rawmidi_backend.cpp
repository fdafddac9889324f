// The rawmidi backend: ports are the rawmidi subdevices of the sound cards, named after the
// card (client) and the subdevice (port), as the display-name rules expect.
#include "platform/midi/rawmidi/rawmidi_backend.h"

#include <unistd.h>

#include <mutex>

#include "platform/midi/rawmidi/alsa_cards.h"
#include "platform/midi/rawmidi/rawmidi_connections.h"
#include "platform/midi/rawmidi/rawmidi_ports.h"

namespace fen {
namespace {

class AlsaRawMidiBackend : public RawMidiBackend {
 public:
  explicit AlsaRawMidiBackend(RawMidiOptions options) : options_(options) {}

  std::string Name() const override { return "rawmidi"; }
  std::vector<MidiEndpoint> ListInputs() override { return rawmidi::ListSubdevices(true); }
  std::vector<MidiEndpoint> ListOutputs() override { return rawmidi::ListSubdevices(false); }

  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override {
    std::string error;
    auto connection = rawmidi::OpenInputSubdevice(endpoint.id, std::move(receiver), &error);
    Remember(connection ? std::string() : error);
    return connection;
  }
  // A card is one device, also when it is reached through the sequencer (alsa_cards.h).
  std::string DeviceKey(const MidiEndpoint& endpoint) const override {
    const std::string& card = endpoint.client_id;
    if (card.empty() || card.size() > 4 || card.find_first_not_of("0123456789") != card.npos) {
      return "rawmidi:" + endpoint.id;
    }
    return CardDeviceKey(std::stoi(card));
  }
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override {
    std::string error;
    auto connection = rawmidi::OpenOutputSubdevice(endpoint.id, options_.send_bound, &error);
    Remember(connection ? std::string() : error);
    return connection;
  }
  bool Find(const std::string& path_or_name, MidiEndpoint* endpoint, std::string* error) override {
    return rawmidi::FindSubdevice(path_or_name, endpoint, error);
  }
  std::string LastOpenError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
  }

 private:
  void Remember(std::string error) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_error_ = std::move(error);
  }

  RawMidiOptions options_;
  mutable std::mutex mutex_;
  std::string last_error_;
};

}  // namespace

std::shared_ptr<RawMidiBackend> MakeRawMidiBackend(std::string* error, RawMidiOptions options) {
  // Cards come and go while the program runs; without /dev/snd there is none to come.
  if (access("/dev/snd", F_OK) != 0) {
    if (error) *error = "rawmidi: no /dev/snd";
    return nullptr;
  }
  return std::make_shared<AlsaRawMidiBackend>(options);
}

}  // namespace fen
