// Choosing an update's ports, and the words for a port or device that is not there.
#include "port_choice.h"

#include "engine/port_selection.h"
#include "engine/update_session.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "platform/midi/midi_driver.h"
#include "terminal_text.h"

namespace fen {

namespace {

// "0, 1 and 2".
std::string IndexList(const std::vector<int>& indices) {
  std::string text;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == indices.size() ? " and " : ", ") + std::to_string(indices[i]);
  }
  return text;
}

const char* WhereListed(bool simulated) { return simulated ? "" : " (see `fenupdator-cli list`)"; }

// Why a name cannot choose a port: it is every one of `found`.
std::string AmbiguousName(const char* side, const std::string& name,
                          const std::vector<int>& found) {
  return std::string(side) + " port name \"" + TerminalText(name) + "\" is shared by " +
         std::to_string(found.size()) + " ports (indices " + IndexList(found) +
         "); another program may have named its port like the device. Give the device's port "
         "by its index (see `fenupdator-cli list` and `identify`)";
}

// "the MIDI OUT ports are 0 to 3", "the only MIDI OUT port is 0", "there is no MIDI OUT port".
std::string ValidIndices(const char* side, std::size_t count) {
  if (count == 0) return std::string("there is no ") + side + " port";
  if (count == 1) return std::string("the only ") + side + " port is 0";
  return std::string("the ") + side + " ports are 0 to " + std::to_string(count - 1);
}

// `names` quoted, at most a few, for a message that says what there is.
std::string SomeNames(const std::vector<std::string>& names) {
  constexpr std::size_t kShown = 4;
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
    text += (i == 0 ? "\"" : ", \"") + TerminalText(names[i]) + "\"";
  }
  if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
  return text;
}

}  // namespace

PortLists ListPorts(UpdateSession& session) {
  PortLists lists;
  lists.outputs = session.out_port().GetDeviceNames();
  lists.inputs = session.in_port().GetDeviceNames();
  return lists;
}

PortLists ListPorts(MidiDriver& driver) {
  PortLists lists;
  lists.outputs = CMidiOutPort(driver).GetDeviceNames();
  lists.inputs = CMidiInPort(driver).GetDeviceNames();
  return lists;
}

int ResolvePort(const std::string& given, const std::vector<std::string>& names, int instance,
                const char* side, bool simulated, std::string* error) {
  if (given.empty()) {
    const int selected = LastPreferredPort(names, instance);
    if (selected < 0) return selected;
    const std::vector<int> found = PortsNamed(names, names[static_cast<std::size_t>(selected)]);
    if (found.size() < 2) return selected;
    *error = AmbiguousName(side, names[static_cast<std::size_t>(selected)], found);
    return kAmbiguousPort;
  }
  if (const std::vector<int> found = PortsNamed(names, given); !found.empty()) {
    if (found.size() == 1) return found[0];
    *error = AmbiguousName(side, given, found);
    return kAmbiguousPort;
  }
  // The name as `list` shows it, control characters escaped.
  std::vector<int> shown;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (TerminalText(names[i]) == given) shown.push_back(static_cast<int>(i));
  }
  if (shown.size() == 1) return shown[0];
  if (shown.size() > 1) {
    *error = AmbiguousName(side, given, shown);
    return kAmbiguousPort;
  }
  const bool number = given.find_first_not_of("0123456789") == std::string::npos;
  if (number && given.size() < 6) {
    const int index = std::stoi(given);
    if (index < static_cast<int>(names.size())) return index;
  }
  *error = "no " + std::string(side) + " port " +
           (number ? given : "\"" + TerminalText(given) + "\"") + ": " +
           ValidIndices(side, names.size()) + WhereListed(simulated);
  return kNoSuchPort;
}

std::string NoDeviceText(const PortLists& lists, int instance, bool in_missing, bool out_missing) {
  const std::array<std::string, 3> looked_for = PreferredNamesFor(instance);
  std::string sides = in_missing && out_missing ? "no MIDI IN and no MIDI OUT port"
                      : in_missing              ? "no MIDI IN port"
                                                : "no MIDI OUT port";
  std::string text = "no device found: " + sides + " is named like the device (" +
                     SomeNames({looked_for.begin(), looked_for.end()}) + ")";
  return text + "; " + PortsListed(lists);
}

std::string PortsListed(const PortLists& lists) {
  if (lists.inputs.empty() && lists.outputs.empty()) return "the MIDI system lists no port at all";
  std::string text = "the MIDI system lists ";
  text += lists.inputs.empty() ? "no MIDI IN port" : "MIDI IN " + SomeNames(lists.inputs);
  text +=
      lists.outputs.empty() ? " and no MIDI OUT port" : " and MIDI OUT " + SomeNames(lists.outputs);
  return text;
}

std::string NoDeviceAdvice(int simulated_devices, bool all) {
  if (simulated_devices > 0 && all) {
    return "The simulated devices were set up under other names or as another model: check "
           "--simulate-name and --model.";
  }
  if (simulated_devices > 0) {
    return simulated_devices == 1
               ? "The simulated device is instance 1: leave out --instance, or attach more "
                 "with --simulate-devices N."
               : "The simulated devices are instances 1 to " + std::to_string(simulated_devices) +
                     ": give one of them with --instance, or attach more with --simulate-devices "
                     "N.";
  }
  return "Connect the device and switch it on, then run the update again. `fenupdator-cli list` "
         "shows every port, `fenupdator-cli identify` finds the device under another name; "
         "give its ports with --in and --out.";
}

}  // namespace fen
