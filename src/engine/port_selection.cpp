// Which port the dialog pre-selects: the last list item that equals one of the instance's
// preferred names, byte for byte.
#include "engine/port_selection.h"

namespace fen {

std::array<std::string, 3> PreferredNamesFor(int instance) {
  std::array<std::string, 3> names = PreferredPortNames;
  if (instance != 1) {
    for (std::string& name : names) name += " (" + std::to_string(instance) + ")";
  }
  return names;
}

std::vector<int> PortsNamed(const std::vector<std::string>& items, const std::string& name) {
  std::vector<int> found;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == name) found.push_back(static_cast<int>(i));
  }
  return found;
}

int SelectPreferredPort(const std::vector<std::string>& items, int instance) {
  const int last = LastPreferredPort(items, instance);
  if (last < 0 || PortsNamed(items, items[static_cast<std::size_t>(last)]).size() > 1) return -1;
  return last;
}

int LastPreferredPort(const std::vector<std::string>& items, int instance) {
  const std::array<std::string, 3> names = PreferredNamesFor(instance);
  int selected = -1;
  for (std::size_t i = 0; i < items.size(); ++i) {
    for (const std::string& name : names) {
      if (items[i] == name) {
        selected = static_cast<int>(i);
        break;
      }
    }
  }
  return selected;
}

}  // namespace fen
