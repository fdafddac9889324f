// Which MIDI ports an update uses: a port given by index or name, the device's own names
// otherwise, and what the tool says when that finds no port or several.
#pragma once

#include <string>
#include <vector>

namespace fen {

class MidiDriver;
class UpdateSession;

struct PortLists {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

PortLists ListPorts(UpdateSession& session);
PortLists ListPorts(MidiDriver& driver);

inline constexpr int kNoSuchPort = -2;
inline constexpr int kAmbiguousPort = -3;

// A port given as an index or a name as `list` shows it; the dialog's pre-selection when
// not given. -1 when nothing matches; kNoSuchPort for a name or index no port has (`error`
// names the side and what there is), kAmbiguousPort for a name that several ports have.
// `side` is "MIDI IN" or "MIDI OUT"; `simulated`: the ports are the simulated devices', which
// `list` does not show.
int ResolvePort(const std::string& given, const std::vector<std::string>& names, int instance,
                const char* side, bool simulated, std::string* error);

// Why no device was found where none of `lists` bears the device's names for `instance`
// (`in_missing`, `out_missing`: which sides): what was looked for and what the system lists.
std::string NoDeviceText(const PortLists& lists, int instance, bool in_missing, bool out_missing);

// "the MIDI system lists MIDI IN "a", "b" and MIDI OUT "c"", or that it lists none.
std::string PortsListed(const PortLists& lists);

// What to do next when no device was found: connect it and look at `list` and `identify`; with
// simulated devices, how many there are. `all`: for update --all, which takes no instance.
std::string NoDeviceAdvice(int simulated_devices, bool all = false);

}  // namespace fen
