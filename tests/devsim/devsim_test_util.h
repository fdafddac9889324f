// Shared by the simulated device's tests: deterministic test images, the host's messages
// for any block or step of the update, and a sender that records what the device says.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "devsim/sim_device.h"
#include "protocol/messages.h"

namespace fen::devsim::testing {

// Pseudo-random images of the right sizes, made once.
inline const std::map<int, Bytes>& TestImages() {
  static const std::map<int, Bytes> images = [] {
    std::map<int, Bytes> m;
    std::mt19937 rng(1234);
    for (const PlanRow& row : UpdatePlan()) {
      if (!row.write) continue;
      Bytes image(row.size);
      for (auto& b : image) b = static_cast<std::uint8_t>(rng());
      m[row.resource_id] = std::move(image);
    }
    return m;
  }();
  return images;
}

inline ImageLookup TestLookup() {
  return [](int id) {
    const auto it = TestImages().find(id);
    if (it == TestImages().end()) return FirmwareImage{};
    return FirmwareImage{it->second.data(), it->second.size()};
  };
}

inline Bytes EraseMessage(std::uint32_t address, std::uint32_t size, std::uint8_t model = 0x57) {
  Bytes m(16);
  m.resize(BuildEraseRange(m.data(), model, static_cast<std::int32_t>(address),
                           static_cast<std::int32_t>(size)));
  return m;
}

inline Bytes EraseStep(int step, std::uint8_t model = 0x57) {
  for (const PlanRow& row : UpdatePlan()) {
    if (row.step == step) return EraseMessage(row.address, row.size, model);
  }
  return {};
}

inline Bytes WriteMessage(const std::uint8_t* data, std::uint32_t address, std::int32_t length,
                          std::uint8_t model = 0x57) {
  Bytes m(WriteBlockSize(length));
  m.resize(BuildWriteBlock(m.data(), model, data, static_cast<std::int32_t>(address), length));
  return m;
}

// The Write Block of plan block `block` with the bytes of its image in `images`.
inline Bytes BlockMessageFrom(const ImageLookup& images, int block, std::uint8_t model = 0x57) {
  const PlanRow* row = nullptr;
  std::uint32_t offset = 0;
  if (!BlockLocation(block, &row, &offset)) return {};
  const FirmwareImage image = images(row->resource_id);
  return WriteMessage(image.data + offset, row->address + offset, kBlockLength, model);
}

inline Bytes BlockMessage(int block, std::uint8_t model = 0x57) {
  return BlockMessageFrom(TestLookup(), block, model);
}

inline Bytes VendorMessage(std::uint8_t command, std::uint8_t model = 0x57) {
  return {0xF0, 0x52, 0x00, model, command, 0xF7};
}

inline Bytes StatusMessage(std::uint8_t status, std::uint8_t model = 0x57) {
  Bytes m(7);
  BuildStatus(m.data(), model, status);
  return m;
}

inline Bytes IdentityRequestMessage(std::uint8_t device_id = 0x00) {
  return {0xF0, 0x7E, device_id, 0x06, 0x01, 0xF7};
}

inline Bytes IdentityReplyMessage(std::uint8_t model) {
  Bytes m(kIdentityReplyTemplate.begin(), kIdentityReplyTemplate.end());
  m[kIdentityReplyModelOffset] = model;
  return m;
}

// Every message of a whole update in the order the updater sends them.
inline std::vector<Bytes> WholeUpdate(std::uint8_t model = 0x57,
                                      const ImageLookup& images = TestLookup()) {
  std::vector<Bytes> messages = {IdentityRequestMessage(), VendorMessage(kCmdBeginUpdate, model)};
  for (const PlanRow& row : UpdatePlan()) {
    if (!row.write) {
      messages.push_back(EraseMessage(row.address, row.size, model));
      continue;
    }
    for (std::uint32_t b = 0; b < row.size / kPlanBlockLength; ++b) {
      messages.push_back(BlockMessageFrom(images, row.first_block + static_cast<int>(b), model));
    }
  }
  messages.push_back(VendorMessage(kCmdFinishUpdate, model));
  return messages;
}

class Recorder {
 public:
  SimDevice::Sender Sender() {
    return [this](const std::uint8_t* data, std::size_t size) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.emplace_back(data, data + size);
    };
  }
  std::vector<Bytes> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Bytes> out;
    out.swap(messages_);
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<Bytes> messages_;
};

inline void Give(SimDevice& device, const Bytes& message) {
  device.OnHostMessage(message.data(), message.size());
}

// Status values of the recorded Status messages, in order; -1 for anything else.
inline std::vector<int> Statuses(const std::vector<Bytes>& messages) {
  std::vector<int> out;
  for (const Bytes& m : messages) {
    out.push_back(m.size() == 7 && m[0] == 0xF0 && m[1] == 0x52 && m[4] == 0x00 ? m[5] : -1);
  }
  return out;
}

}  // namespace fen::devsim::testing
