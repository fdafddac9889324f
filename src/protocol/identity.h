// The whole of a standard MIDI Identity Reply: the manufacturer, the family and member codes and
// the four-byte software revision. The update itself reads only the model byte (offset 6).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fen {

struct DeviceIdentity {
  std::uint8_t device_id = 0;
  // One byte, or 0x00 followed by two more (the extended IDs).
  std::array<std::uint8_t, 3> manufacturer{};
  std::size_t manufacturer_length = 1;
  std::uint16_t family = 0;  // two 7-bit bytes, low first
  std::uint16_t member = 0;
  std::array<std::uint8_t, 4> revision{};
  // The byte the updater takes for the model ID: offset 6 of the reply.
  std::uint8_t model_id = 0;
};

// True for a whole Identity Reply (F0 7E dd 06 02 ...) of `size` bytes.
bool ParseIdentityReply(const std::uint8_t* data, std::size_t size, DeviceIdentity* identity);

// True when the reply carries the family's one-byte manufacturer ID. Telling the family's
// devices from other makers' needs this besides the model byte, which any maker may use.
bool HasFamilyManufacturer(const DeviceIdentity& identity);

// True for an Identity Request (F0 7E dd 06 01 F7).
bool IsIdentityRequest(const std::uint8_t* data, std::size_t size);

// "0x52", "0x00 0x21 0x09".
std::string ManufacturerText(const DeviceIdentity& identity);
// The revision as text when it is printable ASCII ("1000"), else its four bytes in hex.
std::string RevisionText(const DeviceIdentity& identity);
// "0x0057".
std::string Hex16Text(std::uint16_t value);

}  // namespace fen
