// The scripted test device.
#include "scripted_device.h"

#include <chrono>

#include "protocol/messages.h"
#include "protocol/septet.h"
#include "protocol/seven_bit.h"

namespace fen::testing {

ScriptedDevice::ScriptedDevice(VirtualMidiBus& bus, std::uint8_t model, const std::string& name)
    : peer_(bus.AddPeer(name)), model_(model), identity_model_(model) {
  script_ = [](const HostMessage&) { return Reaction{}; };
  peer_->SetReceiver([this](const std::uint8_t* d, std::size_t n) { OnMessage(d, n); });
}

ScriptedDevice::~ScriptedDevice() { peer_->Remove(); }

void ScriptedDevice::set_script(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_ = std::move(script);
}

void ScriptedDevice::SendToHost(const Bytes& message) {
  peer_->Send(message.data(), message.size());
}

void ScriptedDevice::Reply(std::uint8_t status) {
  Bytes reply(7);
  BuildStatus(reply.data(), model_, status);
  SendToHost(reply);
}

void ScriptedDevice::OnMessage(const std::uint8_t* data, std::size_t size) {
  HostMessage m;
  m.bytes.assign(data, data + size);
  if (size >= 6 && data[0] == 0xF0 && data[1] == 0x7E && data[3] == 0x06) {
    m.kind = data[4] == 0x01 ? HostMessage::kIdentityRequest : HostMessage::kIdentityReply;
  } else if (size >= 6 && data[0] == 0xF0 && data[1] == 0x52) {
    m.model = data[3];
    switch (data[4]) {
      case kCmdStatus:
        m.kind = HostMessage::kStatus;
        break;
      case kCmdBeginUpdate:
        m.kind = HostMessage::kBegin;
        break;
      case kCmdFinishUpdate:
        m.kind = HostMessage::kFinish;
        break;
      case kCmdEraseRange:
        m.kind = HostMessage::kErase;
        m.address = ReadSeptets(data + 5, 5);
        m.size = ReadSeptets(data + 10, 5);
        break;
      case kCmdWriteBlock: {
        m.kind = HostMessage::kWrite;
        m.address = ReadSeptets(data + 5, 5);
        const auto length = static_cast<std::int32_t>(ReadSeptets(data + 10, 2));
        m.data.resize(static_cast<std::size_t>(length));
        UnpackSevenBit(m.data.data(), data + 12, PackedSize(length));
        break;
      }
      default:
        break;
    }
  }

  std::vector<Bytes> to_send;
  Reaction reaction;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Replies held back go out as soon as the host sends anything else.
    to_send.swap(deferred_);
    if (m.kind == HostMessage::kWrite || m.kind == HostMessage::kErase) {
      m.attempt = ++attempts_[m.address * 2 + (m.kind == HostMessage::kWrite ? 1 : 0)];
      if (m.kind == HostMessage::kWrite && m.attempt == 1) m.block = blocks_++;
      if (m.kind == HostMessage::kWrite && m.attempt > 1) {
        for (const auto& r : received_) {
          if (r.kind == HostMessage::kWrite && r.address == m.address && r.block >= 0) {
            m.block = r.block;
            break;
          }
        }
      }
      if (m.kind == HostMessage::kErase) m.index = erases_++;
    }
    received_.push_back(m);
    cv_.notify_all();
    if (m.kind == HostMessage::kIdentityRequest) {
      if (identity_model_ >= 0) {
        Bytes reply(kIdentityReplyTemplate.begin(), kIdentityReplyTemplate.end());
        reply[6] = static_cast<std::uint8_t>(identity_model_);
        to_send.push_back(reply);
      }
    } else if (m.kind != HostMessage::kOther && m.kind != HostMessage::kStatus &&
               m.kind != HostMessage::kIdentityReply && m.model == model_) {
      reaction = script_(m);
      if (reaction.status >= 0) {
        if (m.kind == HostMessage::kWrite && reaction.status == 0) flash_[m.address] = m.data;
        Bytes reply(7);
        BuildStatus(reply.data(), model_, static_cast<std::uint8_t>(reaction.status));
        if (reaction.defer) {
          deferred_.push_back(reply);
        } else {
          to_send.push_back(reply);
        }
      }
    }
  }
  for (const auto& r : to_send) SendToHost(r);
}

std::vector<HostMessage> ScriptedDevice::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<HostMessage> ScriptedDevice::received(HostMessage::Kind kind) const {
  std::vector<HostMessage> out;
  for (auto& m : received()) {
    if (m.kind == kind) out.push_back(m);
  }
  return out;
}

bool ScriptedDevice::WaitFor(HostMessage::Kind kind, std::size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    std::size_t n = 0;
    for (const auto& m : received_) n += m.kind == kind ? 1 : 0;
    return n >= count;
  });
}

bool ScriptedDevice::FlashHoldsImages(const FirmwareSet& images) const {
  struct Range {
    std::uint32_t address;
    int image;
  };
  const Range ranges[] = {{0x000000, 136}, {0x3FD000, 133}, {0x0F0000, 137}, {0x040000, 129}};
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& r : ranges) {
    const FirmwareImage image = images.Find(r.image);
    if (image.data == nullptr) return false;
    for (std::size_t offset = 0; offset < image.size; offset += 2048) {
      auto it = flash_.find(r.address + static_cast<std::uint32_t>(offset));
      if (it == flash_.end() || it->second.size() != 2048 ||
          !std::equal(it->second.begin(), it->second.end(), image.data + offset)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace fen::testing
