// 7-in-8 packing of firmware bytes for System Exclusive transport.
#pragma once

#include <cstdint>

namespace fen {

// Packed size of `length` source bytes: one high-bits byte per group of up to seven.
constexpr std::int32_t PackedSize(std::int32_t length) {
  return length <= 0 ? 0 : length + (length + 6) / 7;
}

// Packs `length` bytes of `source` into `destination`, which must hold PackedSize(length)
// bytes. Returns the number of bytes written; 0 for a length of 0 or less.
std::int32_t PackSevenBit(std::uint8_t* destination, const std::uint8_t* source,
                          std::int32_t length);

// The inverse, for the device side: unpacks `packed_length` bytes into `destination` and
// returns the number of bytes produced. Used by the simulated device and the tests.
std::int32_t UnpackSevenBit(std::uint8_t* destination, const std::uint8_t* source,
                            std::int32_t packed_length);

}  // namespace fen
