// Builders of the outbound vendor messages: copy the template, write the variable bytes.
#include "protocol/messages.h"

#include <cstring>

#include "protocol/crc32.h"
#include "protocol/septet.h"

namespace fen {

namespace {
template <std::size_t N>
std::size_t CopyTemplate(std::uint8_t* out, const std::array<std::uint8_t, N>& t) {
  std::memcpy(out, t.data(), N);
  return N;
}
}  // namespace

std::size_t BuildStatus(std::uint8_t* out, std::uint8_t model_id, std::uint8_t status) {
  const std::size_t n = CopyTemplate(out, kStatusTemplate);
  out[3] = model_id;
  out[5] = status;
  return n;
}

std::size_t BuildBeginUpdate(std::uint8_t* out, std::uint8_t model_id) {
  const std::size_t n = CopyTemplate(out, kBeginUpdateTemplate);
  out[3] = model_id;
  return n;
}

std::size_t BuildFinishUpdate(std::uint8_t* out, std::uint8_t model_id) {
  const std::size_t n = CopyTemplate(out, kFinishUpdateTemplate);
  out[3] = model_id;
  return n;
}

std::size_t BuildEraseRange(std::uint8_t* out, std::uint8_t model_id, std::int32_t address,
                            std::int32_t size) {
  const std::size_t n = CopyTemplate(out, kEraseRangeTemplate);
  out[3] = model_id;
  WriteSeptets(out + 5, static_cast<std::uint32_t>(address), 5);
  WriteSeptets(out + 10, static_cast<std::uint32_t>(size), 5);
  return n;
}

std::size_t BuildWriteBlock(std::uint8_t* out, std::uint8_t model_id, const std::uint8_t* data,
                            std::int32_t address, std::int32_t length) {
  CopyTemplate(out, kWriteBlockHead);
  out[3] = model_id;
  WriteSeptets(out + 5, static_cast<std::uint32_t>(address), 5);
  WriteSeptets(out + 10, static_cast<std::uint32_t>(length), 2);
  const std::int32_t p = PackSevenBit(out + 12, data, length);
  const std::uint32_t crc = BlockCrc(data, length > 0 ? static_cast<std::size_t>(length) : 0);
  WriteSeptets(out + 12 + p, crc, 5);
  out[17 + p] = kSysExEnd;
  return static_cast<std::size_t>(p) + 18;
}

}  // namespace fen
