// What the simulated device makes of one message from the host. A pure function of the
// bytes, so that it can be fuzzed on its own: it reads nothing past `size`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fen::devsim {

enum class HostMessageKind {
  kMalformed,         // empty, no closing F7, a status byte inside, or too short to tell
  kShortMessage,      // a channel or system message, not System Exclusive
  kOtherSysEx,        // another manufacturer, a real-time or another non-real-time message
  kIdentityRequest,   // F0 7E dd 06 01 F7
  kIdentityReply,     // F0 7E dd 06 02 ...: the host's answer to the device's request
  kOtherGeneralInfo,  // F0 7E dd 06 other ...
  kStatus,            // F0 52 dd model 00 V F7: the host's answer to a device request
  kBeginUpdate,
  kWriteBlock,
  kFinishUpdate,
  kEraseRange,
  kOtherCommand,  // a vendor command the device does not know
};

struct ParsedMessage {
  HostMessageKind kind = HostMessageKind::kMalformed;
  std::uint8_t device_id = 0;  // offset 2 of a System Exclusive message
  // Vendor messages: the model ID at offset 3 and the command at offset 4; an Identity
  // Reply's model ID at offset 6.
  std::uint8_t model_id = 0;
  std::uint8_t command = 0;
  // False when a known message has not the length its layout gives it; for a Write Block,
  // when the packed data do not fill exactly what its length field says.
  bool length_ok = false;
  std::uint8_t status = 0;    // kStatus (when length_ok)
  std::uint32_t address = 0;  // kWriteBlock, kEraseRange
  std::uint32_t size = 0;     // kEraseRange: bytes to erase; kWriteBlock: the length field L
  const std::uint8_t* packed = nullptr;  // kWriteBlock (when length_ok): the packed data
  std::size_t packed_size = 0;
  std::uint32_t crc = 0;  // kWriteBlock (when length_ok)
};

ParsedMessage ParseHostMessage(const std::uint8_t* data, std::size_t size);

const char* HostMessageKindName(HostMessageKind kind);

}  // namespace fen::devsim
