// Recognises the host's messages by their fixed offsets, checking every length first.
#include "devsim/host_message.h"

#include "protocol/messages.h"
#include "protocol/septet.h"
#include "protocol/seven_bit.h"

namespace fen::devsim {

ParsedMessage ParseHostMessage(const std::uint8_t* data, std::size_t size) {
  ParsedMessage m;
  if (data == nullptr || size == 0) return m;
  if (data[0] != kSysExStart) {
    // A status byte other than the SysEx ones starts a short message; a data byte or a lone
    // F7 is a fragment of something that went wrong.
    if (data[0] >= 0x80 && data[0] != kSysExEnd) m.kind = HostMessageKind::kShortMessage;
    return m;
  }
  if (size < 3 || data[size - 1] != kSysExEnd) return m;
  for (std::size_t i = 1; i + 1 < size; ++i) {
    if (data[i] >= 0x80) return m;
  }
  m.device_id = data[2];

  if (data[1] == kUniversalNonRealTime) {
    if (size < 5) return m;
    if (data[3] != kGeneralInformation) {
      m.kind = HostMessageKind::kOtherSysEx;
      return m;
    }
    if (data[4] == kIdentityRequestSubId) {
      m.kind = HostMessageKind::kIdentityRequest;
      m.length_ok = size == kIdentityRequestTemplate.size();
    } else if (data[4] == kIdentityReplySubId) {
      m.kind = HostMessageKind::kIdentityReply;
      m.length_ok = size == kIdentityReplyTemplate.size();
      if (m.length_ok) m.model_id = data[kIdentityReplyModelOffset];
    } else {
      m.kind = HostMessageKind::kOtherGeneralInfo;
    }
    return m;
  }
  if (data[1] != kManufacturerId) {
    m.kind = HostMessageKind::kOtherSysEx;
    return m;
  }
  if (size < 6) return m;  // F0 52 dd model cmd F7 is the shortest vendor message
  m.model_id = data[3];
  m.command = data[4];
  switch (m.command) {
    case kCmdStatus:
      m.kind = HostMessageKind::kStatus;
      m.length_ok = size == kStatusTemplate.size();
      if (m.length_ok) m.status = data[5];
      break;
    case kCmdBeginUpdate:
      m.kind = HostMessageKind::kBeginUpdate;
      m.length_ok = size == kBeginUpdateTemplate.size();
      break;
    case kCmdFinishUpdate:
      m.kind = HostMessageKind::kFinishUpdate;
      m.length_ok = size == kFinishUpdateTemplate.size();
      break;
    case kCmdEraseRange:
      m.kind = HostMessageKind::kEraseRange;
      m.length_ok = size == kEraseRangeTemplate.size();
      if (m.length_ok) {
        m.address = ReadSeptets(data + 5, 5);
        m.size = ReadSeptets(data + 10, 5);
      }
      break;
    case kCmdWriteBlock: {
      m.kind = HostMessageKind::kWriteBlock;
      // Head (12), CRC (5) and F7 around the packed data.
      if (size < 18) break;
      m.address = ReadSeptets(data + 5, 5);
      m.size = ReadSeptets(data + 10, 2);
      m.packed_size = size - 18;
      m.length_ok =
          m.packed_size == static_cast<std::size_t>(PackedSize(static_cast<std::int32_t>(m.size)));
      if (m.length_ok) {
        m.packed = data + 12;
        m.crc = ReadSeptets(data + 12 + m.packed_size, 5);
      } else {
        m.packed_size = 0;
      }
      break;
    }
    default:
      m.kind = HostMessageKind::kOtherCommand;
      break;
  }
  return m;
}

const char* HostMessageKindName(HostMessageKind kind) {
  switch (kind) {
    case HostMessageKind::kMalformed:
      return "malformed";
    case HostMessageKind::kShortMessage:
      return "short_message";
    case HostMessageKind::kOtherSysEx:
      return "other_sysex";
    case HostMessageKind::kIdentityRequest:
      return "identity_request";
    case HostMessageKind::kIdentityReply:
      return "identity_reply";
    case HostMessageKind::kOtherGeneralInfo:
      return "other_general_information";
    case HostMessageKind::kStatus:
      return "status";
    case HostMessageKind::kBeginUpdate:
      return "begin_update";
    case HostMessageKind::kWriteBlock:
      return "write_block";
    case HostMessageKind::kFinishUpdate:
      return "finish_update";
    case HostMessageKind::kEraseRange:
      return "erase_range";
    case HostMessageKind::kOtherCommand:
      return "other_command";
  }
  return "unknown";
}

}  // namespace fen::devsim
