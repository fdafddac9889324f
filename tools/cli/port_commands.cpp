// The commands that look at the ports without updating: `list` and `identify`.
#include <cstdio>

#include "engine/port_selection.h"
#include "identify.h"
#include "terminal_text.h"
#include "update_command.h"

namespace fen {

int RunList(const std::string& api, bool json, int instance) {
  std::string error;
  auto driver = MakeRealDriver(api, &error);
  if (!driver) {
    std::fprintf(stderr, "fenupdator-cli: %s\n", error.c_str());
    return kExitPorts;
  }
  NullView view;
  UpdateSession session(view, UpdateServices{.driver = driver.get()});
  const PortLists lists = ListPorts(session);
  const int in_selected = SelectPreferredPort(lists.inputs, instance);
  const int out_selected = SelectPreferredPort(lists.outputs, instance);
  if (json) {
    auto entries = [](const std::vector<std::string>& names, int selected) {
      JsonLine list = JsonLine::array();
      for (std::size_t i = 0; i < names.size(); ++i) {
        list.push_back(JsonLine{{"index", i},
                                {"name", names[i]},
                                {"preselected", static_cast<int>(i) == selected},
                                {"shared_name", PortsNamed(names, names[i]).size() > 1}});
      }
      return list;
    };
    PrintJsonLine(stdout, JsonLine{{"inputs", entries(lists.inputs, in_selected)},
                                   {"outputs", entries(lists.outputs, out_selected)}});
    return kExitCompleted;
  }
  auto print = [](const char* title, const std::vector<std::string>& names, int selected) {
    std::printf("%s\n", title);
    if (names.empty()) std::printf("  (none)\n");
    for (std::size_t i = 0; i < names.size(); ++i) {
      const bool shared = PortsNamed(names, names[i]).size() > 1;
      std::printf("  %c %2zu  %s%s\n", static_cast<int>(i) == selected ? '*' : ' ', i,
                  TerminalText(names[i]).c_str(),
                  shared ? "  (name shared by several ports: give the index)" : "");
    }
  };
  print("MIDI IN", lists.inputs, in_selected);
  print("MIDI OUT", lists.outputs, out_selected);
  if (in_selected >= 0 || out_selected >= 0)
    std::printf("* pre-selected for instance %d\n", instance);
  if (lists.inputs.empty() && lists.outputs.empty()) {
    std::printf(
        "No MIDI device found: the MIDI system lists no input and no output port. Connect the "
        "device, or try the simulated one: fenupdator-cli update --simulate\n");
  }
  return kExitCompleted;
}

int RunIdentify(const UpdateArgs& args) {
  UpdateSetup setup;
  if (const int refused = PrepareMidi(args, &setup); refused != 0) return refused;
  return PrintIdentities(ProbeIdentities(*setup.driver, args.identify_wait_ms), args.json,
                         kExitPorts);
}

}  // namespace fen
