// The RtMidi backend's port listing: names parsed into client and port, the program's own
// clients left out, JACK's renamed clients shown under their base name.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>

#include "platform/midi/rawmidi/alsa_cards.h"
#include "platform/midi/rtmidi/rtmidi_system.h"

namespace fen::rtmidi {

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool RtMidiSystemBackend::IsOwnClient(const std::string& client) const {
  if (client == client_name_) return true;
  // JACK names a second client of the same name "name-01".
  return IsJack() && client.size() > client_name_.size() + 1 &&
         client.compare(0, client_name_.size(), client_name_) == 0 &&
         client[client_name_.size()] == '-' && AllDigits(client.substr(client_name_.size() + 1));
}

MidiEndpoint RtMidiSystemBackend::ParseName(const std::string& name) const {
  MidiEndpoint endpoint{name, name, "", ""};
  std::string shown = name;
  if (api_ == RtMidi::LINUX_ALSA) {
    // RtMidi appends the sequencer address, " client:port" in numbers, to ALSA names; the
    // client number tells apart two clients of one name.
    const std::size_t space = shown.rfind(' ');
    if (space != std::string::npos) {
      const std::string address = shown.substr(space + 1);
      const std::size_t colon = address.find(':');
      if (colon != std::string::npos && AllDigits(address.substr(0, colon)) &&
          AllDigits(address.substr(colon + 1))) {
        shown.resize(space);
        endpoint.client_id = address.substr(0, colon);
      }
    }
  }
  if (api_ == RtMidi::WINDOWS_MM) {
    // RtMidi appends the device's index to WinMM's name; the name is shown as WinMM gives
    // it, and the index tells apart two devices of one name. WinMM names have no ports.
    const std::size_t space = shown.rfind(' ');
    if (space != std::string::npos && AllDigits(shown.substr(space + 1))) {
      endpoint.client_id = shown.substr(space + 1);
      shown.resize(space);
    }
    endpoint.client = shown;
    return endpoint;
  }
  const std::size_t colon = shown.find(':');
  if (colon != std::string::npos) {
    endpoint.client = shown.substr(0, colon);
    endpoint.port = shown.substr(colon + 1);
  } else {
    endpoint.client = shown;
  }
  // JACK client names are unique on their server.
  if (IsJack()) endpoint.client_id = endpoint.client;
  return endpoint;
}

std::string RtMidiSystemBackend::DeviceKey(const MidiEndpoint& endpoint) const {
  if (api_ == RtMidi::LINUX_ALSA && AllDigits(endpoint.client_id) &&
      endpoint.client_id.size() < 6) {
    const int card = SequencerClientCard(std::stoi(endpoint.client_id));
    if (card >= 0) return CardDeviceKey(card);
    return "alsa-seq:" + endpoint.client_id;
  }
  if (IsJack()) {
    // Client names are unique on one server; several servers may run (the one libjack picks
    // is named by JACK_DEFAULT_SERVER, else "default").
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    return "jack:" + std::string(server != nullptr && *server != '\0' ? server : "default") + ":" +
           endpoint.client_id;
  }
  return RtMidiBackend::DeviceKey(endpoint);
}

// JACK renames a second client of a taken name "name-01", a third "name-02". Where a client
// of the base name is listed too, the renamed ones are shown under the base name, so that
// two devices of one model read "name" and "name (2)" as elsewhere; the base client and
// then the renamed ones by number take the places those clients had in the list.
void RtMidiSystemBackend::ShowJackRenamesUnderTheirBase(std::vector<MidiEndpoint>& list) {
  std::set<std::string> clients;
  for (const MidiEndpoint& endpoint : list) clients.insert(endpoint.client);
  std::map<std::string, std::vector<std::size_t>> places;  // by shown client name
  for (std::size_t i = 0; i < list.size(); ++i) {
    MidiEndpoint& endpoint = list[i];
    const std::size_t dash = endpoint.client.rfind('-');
    const std::size_t digits = dash == std::string::npos ? 0 : endpoint.client.size() - dash - 1;
    if (digits >= 2 && digits <= 4 && AllDigits(endpoint.client.substr(dash + 1)) &&
        clients.count(endpoint.client.substr(0, dash)) != 0) {
      endpoint.client.resize(dash);
    }
    places[endpoint.client].push_back(i);
  }
  // The base client first, then "-01", "-02", ...; the order is stable within a client.
  auto rename_number = [](const MidiEndpoint& endpoint) {
    if (endpoint.client_id.size() == endpoint.client.size()) return 0L;
    return std::stol(endpoint.client_id.substr(endpoint.client.size() + 1)) + 1;
  };
  for (auto& [client, indices] : places) {
    if (indices.size() < 2) continue;
    std::vector<MidiEndpoint> group;
    for (std::size_t i : indices) group.push_back(std::move(list[i]));
    std::stable_sort(group.begin(), group.end(), [&](const MidiEndpoint& a, const MidiEndpoint& b) {
      return rename_number(a) < rename_number(b);
    });
    for (std::size_t k = 0; k < indices.size(); ++k) list[indices[k]] = std::move(group[k]);
  }
}

std::vector<std::string> RtMidiSystemBackend::ListNames(bool inputs) {
  std::vector<std::string> names;
  if (IsJack()) {
    std::shared_ptr<JackMonitor> monitor = Monitor();
    if (!monitor) return names;
    // The program's inputs are the ports that other clients send from.
    return monitor->MidiPorts(/*outputs=*/inputs);
  }
  auto list = [&names](RtMidi& lister, ErrorSink& sink) {
    lister.setErrorCallback(&ErrorSink::Callback, &sink);
    const unsigned count = lister.getPortCount();
    for (unsigned i = 0; i < count; ++i) names.push_back(lister.getPortName(i));
  };
  try {
    ErrorSink sink;
    if (inputs) {
      RtMidiIn lister(api_, client_name_);
      list(lister, sink);
    } else {
      RtMidiOut lister(api_, client_name_);
      list(lister, sink);
    }
  } catch (...) {
    names.clear();  // the system failed to list: nothing to show
  }
  return names;
}

std::vector<MidiEndpoint> RtMidiSystemBackend::List(bool inputs) {
  std::vector<MidiEndpoint> list;
  try {
    for (const std::string& name : ListNames(inputs)) {
      MidiEndpoint endpoint = ParseName(name);
      if (!IsOwnClient(endpoint.client)) list.push_back(std::move(endpoint));
    }
    if (IsJack()) ShowJackRenamesUnderTheirBase(list);
  } catch (...) {
    list.clear();
  }
  return list;
}

}  // namespace fen::rtmidi
