// Fuzz target: the simulated device's parser and its handling of any message, and the round
// trip of a Write Block built by the program's own builder through the device's parser.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "devsim/device_core.h"
#include "devsim/host_message.h"
#include "protocol/crc32.h"
#include "protocol/messages.h"
#include "protocol/seven_bit.h"

namespace {

using fen::devsim::HostMessageKind;
using fen::devsim::ParsedMessage;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// What the parser says must stay within the bytes it was given.
void CheckParsed(const ParsedMessage& m, const std::uint8_t* data, std::size_t size) {
  if (m.kind == HostMessageKind::kWriteBlock && m.length_ok) {
    Check(m.packed != nullptr);
    Check(m.packed >= data && m.packed + m.packed_size <= data + size);
    Check(m.packed_size ==
          static_cast<std::size_t>(fen::PackedSize(static_cast<std::int32_t>(m.size))));
  }
  if (size == 0) Check(m.kind == HostMessageKind::kMalformed);
}

// A Write Block of the fuzzer's bytes, built as the program builds it, must parse back to the
// same address, length, data and CRC.
void RoundTrip(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return;
  const std::uint32_t address =
      (std::uint32_t{data[0]} << 16 | std::uint32_t{data[1]} << 8 | data[2]) & 0x7FFFFFF;
  const std::uint8_t model = data[3] & 0x7F;
  const std::size_t length = std::min<std::size_t>(size - 4, fen::kMaxBlockLength);
  const std::uint8_t* block = data + 4;
  static std::vector<std::uint8_t> message(fen::WriteBlockSize(fen::kMaxBlockLength));
  static std::vector<std::uint8_t> unpacked(fen::kMaxBlockLength + 8);
  const std::size_t n =
      fen::BuildWriteBlock(message.data(), model, block, static_cast<std::int32_t>(address),
                           static_cast<std::int32_t>(length));
  Check(n == fen::WriteBlockSize(static_cast<std::int32_t>(length)));
  const ParsedMessage m = fen::devsim::ParseHostMessage(message.data(), n);
  Check(m.kind == HostMessageKind::kWriteBlock && m.length_ok);
  Check(m.model_id == model && m.address == address && m.size == length);
  Check(m.crc == fen::BlockCrc(block, length));
  const std::int32_t got =
      fen::UnpackSevenBit(unpacked.data(), m.packed, static_cast<std::int32_t>(m.packed_size));
  Check(got == static_cast<std::int32_t>(length));
  Check(std::memcmp(unpacked.data(), block, length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ParsedMessage m = fen::devsim::ParseHostMessage(data, size);
  CheckParsed(m, data, size);

  // One device for the whole run, as a real one hears message after message.
  static fen::devsim::DeviceCore core{fen::devsim::SimOptions{}};
  const fen::devsim::DeviceCore::Outcome out = core.Handle(data, size);
  if (out.has_reply) Check(!out.reply.empty() && out.reply.front() == fen::kSysExStart);

  RoundTrip(data, size);
  return 0;
}
