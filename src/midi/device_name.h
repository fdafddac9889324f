// Copying a device's UTF-8 product name into a caller's fixed buffer without splitting a
// character; shared by the input and the output port.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

namespace fen {

// Writes at most capacity - 1 bytes of name and a terminating zero. A cut falls before the
// lead byte of a character, never inside it.
inline void CopyDeviceName(const std::string& name, char* destination, std::size_t capacity) {
  if (destination == nullptr || capacity == 0) return;
  std::size_t length = name.size();
  if (length > capacity - 1) {
    length = capacity - 1;
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(destination, name.data(), length);
  destination[length] = '\0';
}

}  // namespace fen
