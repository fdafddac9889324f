// Reading an Identity Reply at the offsets the standard gives them, after a one- or three-byte
// manufacturer ID.
#include "protocol/identity.h"

#include <cstdio>

#include "protocol/messages.h"

namespace fen {

bool ParseIdentityReply(const std::uint8_t* data, std::size_t size, DeviceIdentity* identity) {
  if (size < 15 || data[0] != kSysExStart || data[1] != kUniversalNonRealTime ||
      data[3] != kGeneralInformation || data[4] != kIdentityReplySubId) {
    return false;
  }
  DeviceIdentity id;
  id.device_id = data[2];
  id.model_id = data[kIdentityReplyModelOffset];
  std::size_t at = 5;
  id.manufacturer_length = data[at] == 0x00 ? 3 : 1;
  if (size < 15 + id.manufacturer_length - 1) return false;
  for (std::size_t i = 0; i < id.manufacturer_length; ++i) id.manufacturer[i] = data[at + i];
  at += id.manufacturer_length;
  id.family = static_cast<std::uint16_t>(data[at] | data[at + 1] << 7);
  id.member = static_cast<std::uint16_t>(data[at + 2] | data[at + 3] << 7);
  for (std::size_t i = 0; i < 4; ++i) id.revision[i] = data[at + 4 + i];
  for (std::size_t i = 1; i < at + 8; ++i) {
    if (data[i] >= 0x80) return false;
  }
  if (data[at + 8] != kSysExEnd) return false;
  *identity = id;
  return true;
}

bool HasFamilyManufacturer(const DeviceIdentity& identity) {
  return identity.manufacturer_length == 1 && identity.manufacturer[0] == kManufacturerId;
}

bool IsIdentityRequest(const std::uint8_t* data, std::size_t size) {
  return size == 6 && data[0] == kSysExStart && data[1] == kUniversalNonRealTime &&
         data[3] == kGeneralInformation && data[4] == kIdentityRequestSubId && data[5] == kSysExEnd;
}

std::string ManufacturerText(const DeviceIdentity& identity) {
  std::string text;
  char hex[8];
  for (std::size_t i = 0; i < identity.manufacturer_length; ++i) {
    std::snprintf(hex, sizeof hex, "%s0x%02X", i ? " " : "", identity.manufacturer[i]);
    text += hex;
  }
  return text;
}

std::string RevisionText(const DeviceIdentity& identity) {
  bool printable = true;
  for (std::uint8_t b : identity.revision) printable = printable && b >= 0x20 && b < 0x7F;
  if (printable) return std::string(identity.revision.begin(), identity.revision.end());
  char text[16];
  std::snprintf(text, sizeof text, "%02X %02X %02X %02X", identity.revision[0],
                identity.revision[1], identity.revision[2], identity.revision[3]);
  return text;
}

std::string Hex16Text(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace fen
