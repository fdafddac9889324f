// Block CRC, one table look-up per byte.
#include "protocol/crc32.h"

namespace fen {

static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

std::uint32_t BlockCrc(const std::uint8_t* data, std::size_t count) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < count; ++i) crc = CrcStep(crc, data[i]);
  return crc;
}

}  // namespace fen
