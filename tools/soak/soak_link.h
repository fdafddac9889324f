// The simulated device on the virtual bus, with a tap on its side of the link: it sends junk
// towards the program when given messages arrive, floods the line on request, drops chosen
// messages before the device sees them, and can unplug the device. Also a backend wrapper that
// makes the program's sends slow or holds them, as a congested link does.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devsim/host_message.h"
#include "devsim/sim_device.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "soak/soak_plan.h"

namespace fen::soak {

class SoakLink {
 public:
  SoakLink(VirtualMidiBus& bus, devsim::SimOptions options, std::vector<NoiseBurst> noise = {},
           const std::string& client_name = devsim::kDefaultClientName);
  // Unplugs the device first, so that nothing reaches it while it goes.
  ~SoakLink();
  SoakLink(const SoakLink&) = delete;
  SoakLink& operator=(const SoakLink&) = delete;

  devsim::SimDevice& device() { return *device_; }

  // Messages for which `drop` says true never reach the device (set before the run).
  void SetDrop(std::function<bool(const devsim::ParsedMessage&)> drop);
  // Sends junk towards the program as fast as the bus takes it, until StopFlood.
  void StartFlood(std::uint64_t seed);
  void StopFlood();
  // Junk messages sent so far, by bursts and flood together.
  std::uint64_t junk_sent() const { return junk_sent_.load(); }
  // The device is unplugged: its ports leave the bus, and open ports on it fall silent.
  void Vanish();

 private:
  void OnHostMessage(const std::uint8_t* data, std::size_t size);
  bool Fires(const NoiseTrigger& trigger, const devsim::ParsedMessage& m) const;

  std::shared_ptr<VirtualMidiBus::Peer> peer_;
  std::unique_ptr<devsim::SimDevice> device_;
  std::uint8_t model_id_;
  std::vector<NoiseBurst> noise_;
  std::vector<bool> fired_;  // bus thread only
  std::mutex drop_mutex_;
  std::function<bool(const devsim::ParsedMessage&)> drop_;
  std::atomic<std::uint64_t> junk_sent_{0};
  std::atomic<bool> flooding_{false};
  std::thread flood_;
};

// Wraps a backend: sends through its outputs take `send_delay_ms` each, and while held they
// do not finish at all until released (or the connection is closed).
class SlowLinkBackend : public ForwardingMidiBackend {
 public:
  explicit SlowLinkBackend(std::shared_ptr<MidiBackend> inner);
  ~SlowLinkBackend() override;

  void set_send_delay_ms(int ms);
  void Hold();
  void Release();
  // Sends that have started and not yet finished.
  int sends_in_progress() const;
  bool WaitForSendInProgress(int timeout_ms) const;

  // Its sends may block for long: the driver gives them a thread of their own even when the
  // wrapped bus is in process.
  bool InProcess() const override { return false; }
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override;

 private:
  struct State;
  class Output;
  std::shared_ptr<State> state_;
};

}  // namespace fen::soak
