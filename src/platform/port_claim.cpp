// What both platforms' claims share: the holder's description and the system name of a key.
#include "platform/port_claim.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace fen {

std::string DescribeHolder(const ClaimHolder& holder) {
  std::string text = holder.program.empty() ? std::string("another program") : holder.program;
  text += holder.pid > 0 ? " (process " + std::to_string(holder.pid) + ")" : " (process unknown)";
  return text;
}

std::vector<std::string> PortClaim::Distinct(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// Readable where it fits (`ss -xl` on Linux shows it); a long key (a JACK client may have a
// name of hundreds of bytes) as its 64-bit FNV-1a hash, which is all a name needs to be: the
// same for every process of every build, and different for the few devices of one machine.
std::string PortClaim::SystemName(const std::string& key) {
  constexpr std::size_t kMaxKey = 80;
  std::string name = "fenupdator-claim:";
  bool plain = key.size() <= kMaxKey;
  for (unsigned char c : key) plain = plain && c >= 0x20 && c < 0x7F && c != '\\';
  if (plain) return name + key;
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return name + "#" + hex;
}

}  // namespace fen
