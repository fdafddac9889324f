// Block CRC, eight bytes per step (slicing-by-8): the Write Block's CRC is on the path of
// every block, and one table look-up per byte made it the larger part of building a block.
#include "protocol/crc32.h"

namespace fen {

static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

namespace {

// Slice[k][n]: the CRC contribution of byte n followed by k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeSlices() {
  std::array<std::array<std::uint32_t, 256>, 8> slices{};
  slices[0] = CrcTable;
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t n = 0; n < 256; ++n) {
      const std::uint32_t prev = slices[k - 1][n];
      slices[k][n] = (prev >> 8) ^ CrcTable[prev & 0xFF];
    }
  }
  return slices;
}

constexpr auto kSlices = MakeSlices();

}  // namespace

std::uint32_t BlockCrc(const std::uint8_t* data, std::size_t count) {
  std::uint32_t crc = 0xFFFFFFFFu;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const std::uint8_t* p = data + i;
    const std::uint32_t lo = crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                    std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    crc = kSlices[7][lo & 0xFF] ^ kSlices[6][(lo >> 8) & 0xFF] ^ kSlices[5][(lo >> 16) & 0xFF] ^
          kSlices[4][lo >> 24] ^ kSlices[3][p[4]] ^ kSlices[2][p[5]] ^ kSlices[1][p[6]] ^
          kSlices[0][p[7]];
  }
  for (; i < count; ++i) crc = CrcStep(crc, data[i]);
  return crc;
}

}  // namespace fen
