// The System Exclusive messages of the update protocol: stored templates and builders that
// write a whole message into a caller's buffer and return its length. No allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/seven_bit.h"

namespace fen {

inline constexpr std::uint8_t kSysExStart = 0xF0;
inline constexpr std::uint8_t kSysExEnd = 0xF7;
inline constexpr std::uint8_t kManufacturerId = 0x52;
inline constexpr std::uint8_t kUniversalNonRealTime = 0x7E;
inline constexpr std::uint8_t kGeneralInformation = 0x06;
inline constexpr std::uint8_t kIdentityRequestSubId = 0x01;
inline constexpr std::uint8_t kIdentityReplySubId = 0x02;

// Vendor command bytes (offset 4).
inline constexpr std::uint8_t kCmdStatus = 0x00;
inline constexpr std::uint8_t kCmdBeginUpdate = 0x01;
inline constexpr std::uint8_t kCmdWriteBlock = 0x02;
inline constexpr std::uint8_t kCmdFinishUpdate = 0x04;
inline constexpr std::uint8_t kCmdEraseRange = 0x0A;
// Commands that only the device sends: 0x05 is a request acknowledged like Begin Update and
// Finish Update coming from the device; 0x03 is taken without an answer. Every command above
// kCmdDeviceRequest is answered as unrecognised.
inline constexpr std::uint8_t kCmdIgnored = 0x03;
inline constexpr std::uint8_t kCmdDeviceRequest = 0x05;

// Status values.
inline constexpr std::uint8_t kStatusOk = 0x00;
inline constexpr std::uint8_t kStatusUnrecognised = 0x01;
inline constexpr std::uint8_t kStatusFlashWriteFailed = 0x03;
inline constexpr std::uint8_t kStatusCrcMismatch = 0x08;
inline constexpr std::uint8_t kStatusNotInUpdateMode = 0x0B;

inline constexpr std::size_t kSendBufferSize = 65536;
inline constexpr std::int32_t kBlockLength = 2048;
// Longest block the 2-septet length field can express, and its message.
inline constexpr std::int32_t kMaxBlockLength = 16383;
inline constexpr std::size_t WriteBlockSize(std::int32_t length) {
  return static_cast<std::size_t>(PackedSize(length)) + 18;
}

inline constexpr std::array<std::uint8_t, 6> kIdentityRequestTemplate = {0xF0, 0x7E, 0x00,
                                                                         0x06, 0x01, 0xF7};
inline constexpr std::array<std::uint8_t, 15> kIdentityReplyTemplate = {
    0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
inline constexpr std::size_t kIdentityReplyModelOffset = 6;
inline constexpr std::array<std::uint8_t, 7> kStatusTemplate = {0xF0, 0x52, 0x00, 0x00,
                                                                0x00, 0x00, 0xF7};
inline constexpr std::array<std::uint8_t, 6> kBeginUpdateTemplate = {0xF0, 0x52, 0x00,
                                                                     0x00, 0x01, 0xF7};
inline constexpr std::array<std::uint8_t, 6> kFinishUpdateTemplate = {0xF0, 0x52, 0x00,
                                                                      0x00, 0x04, 0xF7};
inline constexpr std::array<std::uint8_t, 5> kWriteBlockHead = {0xF0, 0x52, 0x00, 0x00, 0x02};
inline constexpr std::array<std::uint8_t, 16> kEraseRangeTemplate = {
    0xF0, 0x52, 0x00, 0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7};

// Builders. `out` must hold the returned number of bytes; each returns the message length.
std::size_t BuildStatus(std::uint8_t* out, std::uint8_t model_id, std::uint8_t status);
std::size_t BuildBeginUpdate(std::uint8_t* out, std::uint8_t model_id);
std::size_t BuildFinishUpdate(std::uint8_t* out, std::uint8_t model_id);
std::size_t BuildEraseRange(std::uint8_t* out, std::uint8_t model_id, std::int32_t address,
                            std::int32_t size);
// `out` must hold WriteBlockSize(length) bytes. Lengths above kMaxBlockLength lose their upper
// bits in the length field, as the field allows; the data are packed whole all the same.
std::size_t BuildWriteBlock(std::uint8_t* out, std::uint8_t model_id, const std::uint8_t* data,
                            std::int32_t address, std::int32_t length);

}  // namespace fen
