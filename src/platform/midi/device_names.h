// Names shown for MIDI ports: the device-level name a user recognises, numbered when several
// devices share it, and cut to whole UTF-8 characters (to a number of characters, or of bytes
// for a caller's fixed buffer).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fen {

// Number of characters (code points) in a UTF-8 string.
std::size_t CountUtf8Chars(const std::string& text);

// The first `max_chars` characters of `text`; never cuts inside a character.
std::string TruncateUtf8(const std::string& text, std::size_t max_chars);

// Copies `name` into a caller's fixed buffer of `capacity` bytes: at most capacity - 1 bytes
// and a terminating zero. A cut falls before the lead byte of a character, never inside it.
void CopyDeviceName(const std::string& name, char* destination, std::size_t capacity);

// One port of a list as its backend reports it. `group` tells clients apart across backends
// (two backends may each have a client of the same name), `client_id` within one backend (two
// clients of one name); ports of one client share both.
struct NamedPort {
  std::string group;
  std::string client;
  std::string port;
  std::string client_id = {};  // a default: the three-member form stays valid
};

// Display names for one direction's list, in list order: the client name where that client
// has exactly one port in the list, "client:port" otherwise; the second and later names that
// are equal get " (2)", " (3)", ... in list order. Each is at most `max_chars` characters,
// the number always kept whole so that numbered names stay apart.
std::vector<std::string> MakeDisplayNames(const std::vector<NamedPort>& ports,
                                          std::size_t max_chars);

}  // namespace fen
