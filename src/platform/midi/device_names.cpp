// Display names of MIDI ports: client or client:port, numbering of equal names, UTF-8 cuts.
#include "platform/midi/device_names.h"

#include <cstring>
#include <map>
#include <tuple>

namespace fen {
namespace {

bool IsContinuationByte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

std::string BaseName(const NamedPort& port, bool client_has_one_port) {
  if (port.client.empty()) return port.port;
  if (client_has_one_port || port.port.empty()) return port.client;
  return port.client + ":" + port.port;
}

}  // namespace

std::size_t CountUtf8Chars(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char byte : text) {
    if (!IsContinuationByte(byte)) ++count;
  }
  return count;
}

std::string TruncateUtf8(const std::string& text, std::size_t max_chars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsContinuationByte(static_cast<unsigned char>(text[i]))) continue;
    if (chars == max_chars) return text.substr(0, i);
    ++chars;
  }
  return text;
}

void CopyDeviceName(const std::string& name, char* destination, std::size_t capacity) {
  if (destination == nullptr || capacity == 0) return;
  std::size_t length = name.size();
  if (length > capacity - 1) {
    length = capacity - 1;
    while (length > 0 && IsContinuationByte(static_cast<unsigned char>(name[length]))) --length;
  }
  std::memcpy(destination, name.data(), length);
  destination[length] = '\0';
}

std::vector<std::string> MakeDisplayNames(const std::vector<NamedPort>& ports,
                                          std::size_t max_chars) {
  using ClientKey = std::tuple<std::string, std::string, std::string>;
  auto key = [](const NamedPort& port) {
    return ClientKey{port.group, port.client_id, port.client};
  };
  std::map<ClientKey, int> ports_per_client;
  for (const NamedPort& port : ports) ++ports_per_client[key(port)];

  std::vector<std::string> names;
  names.reserve(ports.size());
  std::map<std::string, int> seen;
  for (const NamedPort& port : ports) {
    const std::string base = BaseName(port, ports_per_client[key(port)] == 1);
    // Equal names are counted after the cut: two long names that differ only past it would
    // otherwise be shown alike.
    const int instance = ++seen[TruncateUtf8(base, max_chars)];
    if (instance == 1) {
      names.push_back(TruncateUtf8(base, max_chars));
      continue;
    }
    const std::string suffix = " (" + std::to_string(instance) + ")";
    const std::size_t room = max_chars > suffix.size() ? max_chars - suffix.size() : 0;
    names.push_back(TruncateUtf8(base, room) + suffix);
  }
  return names;
}

}  // namespace fen
