// A device for the engine tests, scripted per message: it answers on the virtual bus as a
// test tells it to and keeps the blocks it accepted, so a test can check the flash it left.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/virtual/virtual_midi_bus.h"
#include "firmware/firmware.h"

namespace fen::testing {

using Bytes = std::vector<std::uint8_t>;

struct HostMessage {
  enum Kind { kIdentityRequest, kIdentityReply, kStatus, kBegin, kFinish, kErase, kWrite, kOther };
  Kind kind = kOther;
  Bytes bytes;
  std::uint8_t model = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  Bytes data;       // write: the unpacked block
  int block = -1;   // write: order of the block's first arrival in the run
  int attempt = 0;  // write/erase: 1 for the first arrival of this address, 2 for the next...
  int index = 0;    // erase: order of the erase in the run
};

// What the device does with one message.
struct Reaction {
  static constexpr int kNoReply = -1;
  // Reply status, or kNoReply. A write answered 0 is stored in flash.
  int status = 0;
  // Hold the reply back until the next message from the host arrives (a late reply).
  bool defer = false;
};

class ScriptedDevice {
 public:
  using Script = std::function<Reaction(const HostMessage&)>;

  ScriptedDevice(VirtualMidiBus& bus, std::uint8_t model = 0x57,
                 const std::string& name = "USB Audio Device");
  ~ScriptedDevice();

  // Decides the reaction to every vendor message and Identity Request; default: answer 0.
  void set_script(Script script);
  // Identity Requests are answered with this model ID; kNoReply: not answered.
  void set_identity_model(int model) { identity_model_ = model; }
  void SendToHost(const Bytes& message);

  std::vector<HostMessage> received() const;
  std::vector<HostMessage> received(HostMessage::Kind kind) const;
  // Waits until a message of `kind` has arrived `count` times.
  bool WaitFor(HostMessage::Kind kind, std::size_t count, int timeout_ms) const;
  // True when every write range of the plan holds its image.
  bool FlashHoldsImages(const FirmwareSet& images) const;
  void Vanish() { peer_->Remove(); }

 private:
  void OnMessage(const std::uint8_t* data, std::size_t size);
  void Reply(std::uint8_t status);

  std::shared_ptr<VirtualMidiBus::Peer> peer_;
  std::uint8_t model_;
  int identity_model_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  Script script_;
  std::vector<HostMessage> received_;
  std::map<std::uint32_t, int> attempts_;
  int blocks_ = 0;
  int erases_ = 0;
  std::vector<Bytes> deferred_;
  std::map<std::uint32_t, Bytes> flash_;
};

}  // namespace fen::testing
