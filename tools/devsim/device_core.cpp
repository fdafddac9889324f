// The device side of the update protocol over a 4 MiB NOR flash: erase sets bits, programming
// can only clear them, so a block over flash that was not erased fails unless it changes
// nothing (a block sent again after its answer came late is taken as written).
#include "devsim/device_core.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "devsim/update_plan.h"
#include "protocol/crc32.h"
#include "protocol/messages.h"
#include "protocol/seven_bit.h"

namespace fen::devsim {

namespace {

constexpr std::size_t kMaxFaultsListed = 200;

std::string Hex(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%02X", v);
  return buf;
}

std::string HexDump(const std::uint8_t* data, std::size_t size) {
  std::string out;
  const std::size_t shown = std::min<std::size_t>(size, 24);
  for (std::size_t i = 0; i < shown; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    if (i) out += ' ';
    out += buf;
  }
  if (shown < size) out += " ...";
  return out;
}

bool IsVendor(HostMessageKind k) {
  switch (k) {
    case HostMessageKind::kStatus:
    case HostMessageKind::kBeginUpdate:
    case HostMessageKind::kWriteBlock:
    case HostMessageKind::kFinishUpdate:
    case HostMessageKind::kEraseRange:
    case HostMessageKind::kOtherCommand:
      return true;
    default:
      return false;
  }
}

}  // namespace

DeviceCore::DeviceCore(SimOptions options)
    : options_(std::move(options)),
      flash_(kFlashSize, options_.initial_fill),
      block_arrivals_(static_cast<std::size_t>(PlanBlockCount()), 0),
      unpacked_(static_cast<std::size_t>(kMaxBlockLength)) {
  for (const Fault& f : options_.faults) faults_.push_back({f, 0});
  report_.model_id = options_.model_id;
}

void DeviceCore::AddFault(const Fault& fault) { faults_.push_back({fault, 0}); }

DeviceCore::FaultState* DeviceCore::TakeFault(FaultKind kind, int at) {
  for (FaultState& f : faults_) {
    if (f.fault.kind != kind || f.fault.at != at) continue;
    if (f.fault.count > 0 && f.hits >= f.fault.count) continue;
    ++f.hits;
    return &f;
  }
  return nullptr;
}

void DeviceCore::Played(const FaultState& f, const std::string& where) {
  ++report_.faults_played_count;
  if (report_.faults_played.size() < kMaxFaultsListed) {
    report_.faults_played.push_back(FaultToString(f.fault) + " on " + where + " (hit " +
                                    std::to_string(f.hits) + ")");
  }
}

void DeviceCore::Answer(Outcome* out, std::uint8_t status, FaultKind late_kind, int at) {
  if (at >= 0) {
    if (FaultState* late = TakeFault(late_kind, at)) {
      Played(*late, late_kind == FaultKind::kEraseLate ? "erase step " + std::to_string(at)
                                                       : "block " + std::to_string(at));
      out->work_ms += late->fault.delay_ms;
    }
  }
  out->reply.resize(kStatusTemplate.size());
  BuildStatus(out->reply.data(), options_.model_id, status);
  out->has_reply = true;
  out->work_ms += options_.timing.reply_ms + options_.timing.WireMs(out->reply.size());
  ++report_.replies_sent;
}

void DeviceCore::Count(const ParsedMessage& m) {
  ++report_.messages_received;
  if (IsVendor(m.kind) && m.model_id != options_.model_id) {
    ++report_.other_model;
    return;
  }
  switch (m.kind) {
    case HostMessageKind::kMalformed:
      ++report_.malformed;
      break;
    case HostMessageKind::kIdentityRequest:
      ++report_.identity_requests;
      break;
    case HostMessageKind::kIdentityReply:
      ++report_.host_identity_replies;
      break;
    case HostMessageKind::kStatus:
      ++report_.host_statuses;
      break;
    case HostMessageKind::kBeginUpdate:
      ++report_.begin_updates;
      break;
    case HostMessageKind::kWriteBlock:
      ++report_.write_blocks;
      break;
    case HostMessageKind::kFinishUpdate:
      ++report_.finish_updates;
      break;
    case HostMessageKind::kEraseRange:
      ++report_.erase_ranges;
      break;
    default:
      ++report_.other_messages;
      break;
  }
}

DeviceCore::Outcome DeviceCore::Handle(const std::uint8_t* data, std::size_t size) {
  Outcome out;
  out.arrive_ms = options_.timing.WireMs(static_cast<double>(size));
  const ParsedMessage m = ParseHostMessage(data, size);
  Count(m);
  const bool mine = IsVendor(m.kind) && m.model_id == options_.model_id;

  if (!silent_) {
    if (FaultState* f = TakeFault(FaultKind::kSilent, -1)) {
      silent_ = true;
      Played(*f, "the first message");
    } else if (mine && m.kind == HostMessageKind::kWriteBlock && size >= 18) {
      const int block = BlockNumberOf(m.address);
      if (block >= 0) {
        if (FaultState* g = TakeFault(FaultKind::kSilent, block)) {
          silent_ = true;
          Played(*g, "block " + std::to_string(block));
        }
      }
    }
    report_.went_silent = silent_;
  }
  if (silent_) return out;

  switch (m.kind) {
    case HostMessageKind::kIdentityRequest:
      HandleIdentityRequest(m, &out);
      return out;
    case HostMessageKind::kIdentityReply:
      TakeIdentityAnswer(data, size, m);
      return out;
    default:
      break;
  }
  if (!mine) return out;
  switch (m.kind) {
    case HostMessageKind::kStatus:
      TakeStatusAnswer(data, size, m);
      break;
    case HostMessageKind::kBeginUpdate: {
      host_accepted_ = true;
      std::uint8_t status = m.length_ok ? kStatusOk : kStatusUnrecognised;
      if (FaultState* f = TakeFault(FaultKind::kNotUpdateMode, -1)) {
        Played(*f, "Begin Update");
        status = kStatusNotInUpdateMode;
      } else if (FaultState* g = TakeFault(FaultKind::kBeginStatus, -1)) {
        Played(*g, "Begin Update");
        status = static_cast<std::uint8_t>(g->fault.value);
      }
      Answer(&out, status, FaultKind::kLate, -1);
      break;
    }
    case HostMessageKind::kFinishUpdate: {
      if (FaultState* f = TakeFault(FaultKind::kNoFinishReply, -1)) {
        Played(*f, "Finish Update");
        break;
      }
      std::uint8_t status = m.length_ok ? kStatusOk : kStatusUnrecognised;
      if (FaultState* g = TakeFault(FaultKind::kFinishStatus, -1)) {
        Played(*g, "Finish Update");
        status = static_cast<std::uint8_t>(g->fault.value);
      }
      Answer(&out, status, FaultKind::kLate, -1);
      break;
    }
    case HostMessageKind::kEraseRange:
      HandleErase(m, &out);
      break;
    case HostMessageKind::kWriteBlock:
      HandleWrite(m, size, &out);
      break;
    default:  // a vendor command this device does not know
      Answer(&out, kStatusUnrecognised, FaultKind::kLate, -1);
      break;
  }
  return out;
}

void DeviceCore::HandleIdentityRequest(const ParsedMessage& m, Outcome* out) {
  // A device answers requests for its own device ID and for all devices (0x7F) only.
  if (!m.length_ok || (m.device_id != 0x7F && m.device_id != options_.device_id)) return;
  if (FaultState* f = TakeFault(FaultKind::kIdentityNoReply, -1)) {
    Played(*f, "Identity Request");
    return;
  }
  if (FaultState* f = TakeFault(FaultKind::kIdentityStatus, -1)) {
    Played(*f, "Identity Request");
    Answer(out, static_cast<std::uint8_t>(f->fault.value), FaultKind::kLate, -1);
    return;
  }
  std::uint8_t model = options_.model_id;
  if (FaultState* f = TakeFault(FaultKind::kModel, -1)) {
    Played(*f, "Identity Request");
    model = static_cast<std::uint8_t>(f->fault.value);
  }
  out->reply.assign(kIdentityReplyTemplate.begin(), kIdentityReplyTemplate.end());
  out->reply[2] = options_.device_id;
  out->reply[5] = options_.manufacturer_id;
  out->reply[kIdentityReplyModelOffset] = model;
  std::copy(options_.software_revision.begin(), options_.software_revision.end(),
            out->reply.begin() + 10);
  for (std::size_t i = 10; i < 14; ++i) out->reply[i] &= 0x7F;
  out->has_reply = true;
  out->work_ms += options_.timing.reply_ms + options_.timing.WireMs(out->reply.size());
  ++report_.replies_sent;
}

void DeviceCore::HandleErase(const ParsedMessage& m, Outcome* out) {
  const int step = m.length_ok ? EraseStepOf(m.address, m.size) : -1;
  if (step > 0) {
    const std::string where = "erase step " + std::to_string(step);
    if (FaultState* f = TakeFault(FaultKind::kEraseNoReply, step)) {
      Played(*f, where);
      return;
    }
    if (FaultState* f = TakeFault(FaultKind::kEraseStatus, step)) {
      Played(*f, where);
      Answer(out, static_cast<std::uint8_t>(f->fault.value), FaultKind::kEraseLate, step);
      return;
    }
  }
  std::uint8_t status = kStatusOk;
  // The flash erases whole sectors; a range that is not made of them, or leaves the flash,
  // is refused rather than rounded.
  if (!m.length_ok || m.size == 0 || m.address % kSectorSize != 0 || m.size % kSectorSize != 0 ||
      m.address > kFlashSize || m.size > kFlashSize - m.address) {
    ++report_.rejected;
    status = kStatusUnrecognised;
  } else {
    std::fill_n(flash_.begin() + m.address, m.size, 0xFF);
    ++report_.ranges_erased;
    out->work_ms += options_.timing.erase_ms_per_kib * (m.size / 1024.0);
  }
  Answer(out, status, FaultKind::kEraseLate, step);
}

void DeviceCore::HandleWrite(const ParsedMessage& m, std::size_t size, Outcome* out) {
  const int block = size >= 18 ? BlockNumberOf(m.address) : -1;
  if (block < 0) {
    Answer(out, ProgramBlock(m, out), FaultKind::kLate, -1);
    return;
  }
  const std::string where = "block " + std::to_string(block);
  if (++block_arrivals_[static_cast<std::size_t>(block)] > 1) ++report_.blocks_sent_again;

  for (FaultState& f : faults_) {
    const bool request =
        f.fault.kind == FaultKind::kIdentityRequest || f.fault.kind == FaultKind::kVendorRequest;
    if (!request || f.fault.at != block) continue;
    if (f.fault.count > 0 && f.hits >= f.fault.count) continue;
    ++f.hits;
    Played(f, where);
    out->requests.push_back(f.fault.kind == FaultKind::kIdentityRequest
                                ? MakeIdentityRequest()
                                : MakeVendorRequest(static_cast<std::uint8_t>(f.fault.value)));
    out->work_ms += options_.timing.WireMs(out->requests.back().size());
  }
  if (FaultState* f = TakeFault(FaultKind::kSecondHost, block)) {
    Played(*f, where);
    Bytes other(kStatusTemplate.size());
    BuildStatus(other.data(), options_.model_id, kStatusOk);
    out->requests.push_back(std::move(other));
    out->work_ms += options_.timing.WireMs(kStatusTemplate.size());
  }
  if (FaultState* f = TakeFault(FaultKind::kNoReply, block)) {
    Played(*f, where);
    return;
  }
  // The first unspent error fault on this block decides the answer; the block is not written.
  for (FaultState& f : faults_) {
    const FaultKind k = f.fault.kind;
    if ((k != FaultKind::kCrc && k != FaultKind::kFlash && k != FaultKind::kStatus) ||
        f.fault.at != block || (f.fault.count > 0 && f.hits >= f.fault.count)) {
      continue;
    }
    ++f.hits;
    Played(f, where);
    const std::uint8_t status = k == FaultKind::kCrc     ? kStatusCrcMismatch
                                : k == FaultKind::kFlash ? kStatusFlashWriteFailed
                                                         : static_cast<std::uint8_t>(f.fault.value);
    Answer(out, status, FaultKind::kLate, block);
    return;
  }
  Answer(out, ProgramBlock(m, out), FaultKind::kLate, block);
}

std::uint8_t DeviceCore::ProgramBlock(const ParsedMessage& m, Outcome* out) {
  if (!m.length_ok) {
    // Bytes were lost or added on the way: the block cannot be checked, as for a bad CRC.
    ++report_.crc_errors;
    return kStatusCrcMismatch;
  }
  if (m.size == 0 || m.address > kFlashSize || m.size > kFlashSize - m.address) {
    ++report_.rejected;
    return kStatusUnrecognised;
  }
  const std::int32_t n =
      UnpackSevenBit(unpacked_.data(), m.packed, static_cast<std::int32_t>(m.packed_size));
  if (n != static_cast<std::int32_t>(m.size) || BlockCrc(unpacked_.data(), m.size) != m.crc) {
    ++report_.crc_errors;
    return kStatusCrcMismatch;
  }
  std::uint8_t* target = flash_.data() + m.address;
  for (std::uint32_t i = 0; i < m.size; ++i) {
    if ((target[i] & unpacked_[i]) != unpacked_[i]) {
      ++report_.flash_errors;
      return kStatusFlashWriteFailed;
    }
  }
  std::memcpy(target, unpacked_.data(), m.size);
  ++report_.blocks_written;
  out->work_ms += options_.timing.write_ms_per_block * (m.size / double(kPlanBlockLength));
  return kStatusOk;
}

Bytes DeviceCore::MakeIdentityRequest() {
  Bytes msg(kIdentityRequestTemplate.begin(), kIdentityRequestTemplate.end());
  RequestRecord r;
  r.request = "identity-request";
  r.expected =
      "Identity Reply naming model " + Hex(options_.model_id) + (host_accepted_ ? "" : " or 0x00");
  r.outcome = "unanswered";
  pending_identity_.push_back({records_.size(), host_accepted_, 0});
  records_.push_back(r);
  return msg;
}

Bytes DeviceCore::MakeVendorRequest(std::uint8_t command) {
  command &= 0x7F;
  const Bytes msg = {kSysExStart, kManufacturerId, 0x00, options_.model_id, command, kSysExEnd};
  RequestRecord r;
  r.request = "vendor-request " + Hex(command);
  if (command == 0x00 || command == kCmdWriteBlock || command == 0x03) {
    r.expected = "nothing";
    r.outcome = "right";
  } else {
    const std::uint8_t expected =
        command == 0x01 || command == 0x04 || command == 0x05 ? kStatusOk : kStatusUnrecognised;
    r.expected = "Status " + std::to_string(expected);
    r.outcome = "unanswered";
    pending_status_.push_back({records_.size(), host_accepted_, expected});
  }
  records_.push_back(r);
  return msg;
}

void DeviceCore::TakeIdentityAnswer(const std::uint8_t* data, std::size_t size,
                                    const ParsedMessage& m) {
  if (pending_identity_.empty()) {
    ++report_.unexpected_answers;
    return;
  }
  const Pending p = pending_identity_.front();
  pending_identity_.pop_front();
  RequestRecord& r = records_[p.record];
  bool right =
      m.length_ok && data[5] == kManufacturerId && data[7] == 0 && data[8] == 0 && data[9] == 0;
  if (right) {
    right = m.model_id == options_.model_id || (!p.host_had_accepted && m.model_id == 0x00);
  }
  r.outcome = right ? "right" : "wrong";
  if (!right) r.received = HexDump(data, size);
}

void DeviceCore::TakeStatusAnswer(const std::uint8_t* data, std::size_t size,
                                  const ParsedMessage& m) {
  if (pending_status_.empty()) {
    ++report_.unexpected_answers;
    return;
  }
  const Pending p = pending_status_.front();
  pending_status_.pop_front();
  RequestRecord& r = records_[p.record];
  const bool right = m.length_ok && m.status == p.expected_status;
  r.outcome = right ? "right" : "wrong";
  if (!right) r.received = HexDump(data, size);
}

Report DeviceCore::MakeReport() const {
  Report r = report_;
  r.requests = records_;
  for (const RequestRecord& rec : records_) {
    if (rec.outcome == "right") ++r.requests_right;
    if (rec.outcome == "wrong") ++r.requests_wrong;
    if (rec.outcome == "unanswered") ++r.requests_unanswered;
  }
  return r;
}

FlashCheck DeviceCore::CheckFlash(const ImageLookup& images) const {
  FlashCheck check;
  check.checked = true;
  for (const PlanRow& row : UpdatePlan()) {
    if (!row.write) continue;
    const FirmwareImage image = images ? images(row.resource_id) : FirmwareImage{};
    const int blocks = static_cast<int>(row.size / kPlanBlockLength);
    const bool usable = image.data != nullptr && image.size == row.size;
    if (!usable) check.missing_images.push_back(row.resource_id);
    for (int b = 0; b < blocks; ++b) {
      const std::size_t offset = static_cast<std::size_t>(b) * kPlanBlockLength;
      if (!usable || std::memcmp(flash_.data() + row.address + offset, image.data + offset,
                                 kPlanBlockLength)) {
        check.mismatched_blocks.push_back(row.first_block + b);
      }
    }
  }
  check.holds_images = check.mismatched_blocks.empty() && check.missing_images.empty();
  return check;
}

}  // namespace fen::devsim
