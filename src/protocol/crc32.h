// CRC-32 of a firmware block: reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF and
// no final complement (the complement of the common zlib CRC-32).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fen {

namespace detail {
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[n] = c;
  }
  return table;
}
}  // namespace detail

inline constexpr std::array<std::uint32_t, 256> CrcTable = detail::MakeCrcTable();

constexpr std::uint32_t CrcStep(std::uint32_t crc, std::uint8_t byte) {
  return (crc >> 8) ^ CrcTable[(crc ^ byte) & 0xFF];
}

std::uint32_t BlockCrc(const std::uint8_t* data, std::size_t count);

}  // namespace fen
