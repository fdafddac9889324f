// Septet fields: an unsigned value written as n 7-bit groups, least significant first.
#pragma once

#include <cstdint>

namespace fen {

inline void WriteSeptets(std::uint8_t* destination, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) {
    destination[i] = static_cast<std::uint8_t>((value >> (7 * i)) & 0x7F);
  }
}

inline std::uint32_t ReadSeptets(const std::uint8_t* source, int width) {
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    value |= static_cast<std::uint32_t>(source[i] & 0x7F) << (7 * i);
  }
  return value;
}

}  // namespace fen
