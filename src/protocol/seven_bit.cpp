// 7-in-8 packing: each group of up to seven bytes becomes a high-bits byte followed by the
// bytes with bit 7 cleared.
#include "protocol/seven_bit.h"

namespace fen {

std::int32_t PackSevenBit(std::uint8_t* destination, const std::uint8_t* source,
                          std::int32_t length) {
  std::int32_t count = 0;
  for (std::int32_t g = 0; 7 * g < length; ++g) {
    const std::int32_t base = 7 * g;
    const std::int32_t n = base + 7 <= length ? 7 : length - base;
    std::uint8_t* out = destination + 8 * g;
    std::uint8_t high = 0;
    for (std::int32_t j = 0; j < n; ++j) {
      const std::uint8_t b = source[base + j];
      high |= static_cast<std::uint8_t>((b >> 7) << (6 - j));
      out[1 + j] = b & 0x7F;
    }
    out[0] = high;
    count += n + 1;
  }
  return count;
}

std::int32_t UnpackSevenBit(std::uint8_t* destination, const std::uint8_t* source,
                            std::int32_t packed_length) {
  std::int32_t written = 0;
  for (std::int32_t pos = 0; pos < packed_length; pos += 8) {
    const std::uint8_t high = source[pos];
    const std::int32_t n = packed_length - pos - 1 < 7 ? packed_length - pos - 1 : 7;
    for (std::int32_t j = 0; j < n; ++j) {
      const std::uint8_t hi = static_cast<std::uint8_t>(((high >> (6 - j)) & 1) << 7);
      destination[written++] = static_cast<std::uint8_t>((source[pos + 1 + j] & 0x7F) | hi);
    }
  }
  return written;
}

}  // namespace fen
