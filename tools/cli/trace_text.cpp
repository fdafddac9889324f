// Naming the protocol's messages for a person reading the traffic.
#include "trace_text.h"

#include <cstdio>

#include "protocol/messages.h"

namespace fen {

namespace {

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

std::string StatusText(std::uint8_t status) {
  switch (status) {
    case kStatusOk:
      return "ok";
    case kStatusUnrecognised:
      return "unrecognised";
    case kStatusFlashWriteFailed:
      return "flash write failed";
    case kStatusCrcMismatch:
      return "crc mismatch";
    case kStatusNotInUpdateMode:
      return "not in update mode";
    default:
      return "status " + std::to_string(status);
  }
}

}  // namespace

std::string MessageKindText(const std::uint8_t* data, std::size_t size) {
  if (size < 5 || data[0] != kSysExStart) return "not System Exclusive";
  if (data[1] == kUniversalNonRealTime && data[3] == kGeneralInformation) {
    if (data[4] == kIdentityRequestSubId) return "Identity Request";
    if (data[4] == kIdentityReplySubId) return "Identity Reply";
    return "universal " + Hex2(data[4]);
  }
  if (data[1] != kManufacturerId) return "other (" + Hex2(data[1]) + ")";
  switch (data[4]) {
    case kCmdStatus:
      if (size < 6) return "Status";
      return "Status " + Hex2(data[5]) + " (" + StatusText(data[5]) + ")";
    case kCmdBeginUpdate:
      return "Begin Update";
    case kCmdWriteBlock:
      return "Write Block";
    case kCmdFinishUpdate:
      return "Finish Update";
    case kCmdEraseRange:
      return "Erase Range";
    case kCmdDeviceRequest:
      return "device request";
    default:
      return "command " + Hex2(data[4]);
  }
}

std::string TrafficLine(bool sent, const std::uint8_t* data, std::size_t size) {
  return std::string(sent ? "> " : "< ") + MessageKindText(data, size) + ", " +
         std::to_string(size) + " bytes";
}

std::string RetryReason(std::int32_t status) {
  switch (status) {
    case -1:
      return "no answer";
    case kStatusCrcMismatch:
      return "crc mismatch";
    case kStatusFlashWriteFailed:
      return "flash write failed";
    default:
      return "status " + std::to_string(status);
  }
}

std::string RetryLine(int row, std::int32_t offset, bool writing, int attempt,
                      std::int32_t status) {
  std::string line = "retry: step " + std::to_string(row);
  if (writing) {
    line +=
        ", block " + std::to_string(offset / kBlockLength) + " at offset " + std::to_string(offset);
  }
  return line + ", attempt " + std::to_string(attempt) + " failed: " + RetryReason(status);
}

}  // namespace fen
