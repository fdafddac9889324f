// The simulated device: the device side of the update protocol on a thread of its own, with
// a 4 MiB flash, faults on request and a timing model. It hears the host through
// OnHostMessage and talks back through the sender it is given.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "devsim/device_core.h"
#include "devsim/fault.h"
#include "devsim/host_message.h"
#include "devsim/sim_report.h"
#include "devsim/sim_timing.h"
#include "devsim/update_plan.h"
#include "firmware/firmware.h"

namespace fen::devsim {

// The name the device's MIDI ports go by, as the real device's do.
inline constexpr const char* kDefaultClientName = "USB Audio Device";

class SimDevice {
 public:
  // Gets every message the device sends, on the device's thread, one at a time.
  using Sender = std::function<void(const std::uint8_t* data, std::size_t size)>;

  SimDevice(SimOptions options, Sender sender);
  // Stops the device thread at once, also in the middle of a modelled delay; messages still
  // queued are dropped.
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // One whole message from the host. Any thread; copies and returns at once. Messages are
  // handled in the order they are given.
  void OnHostMessage(const std::uint8_t* data, std::size_t size);

  // The device's own requests, sent after what has been queued so far is handled.
  void SendIdentityRequest();
  void SendVendorRequest(std::uint8_t command);

  void AddFault(const Fault& fault);

  // Blocks until every message given so far is handled and its answer sent.
  void WaitIdle();
  bool WaitIdleFor(std::chrono::milliseconds timeout);
  // True once `count` Finish Update messages have been handled (answered or dropped).
  bool WaitForFinishUpdate(std::chrono::milliseconds timeout, std::uint64_t count = 1);

  Report GetReport() const;
  // With the check of the flash against `images`.
  Report GetReport(const FirmwareSet& images) const;
  Report GetReport(const ImageLookup& images) const;

  // Whether every write range of the update holds its image byte for byte.
  FlashCheck CheckFlash(const ImageLookup& images) const;
  FlashCheck CheckFlash(const FirmwareSet& images) const;
  bool FlashHoldsImages(const FirmwareSet& images) const;
  bool FlashHoldsImages(const ImageLookup& images) const;

  // A copy of part of the flash; clipped to the flash.
  Bytes ReadFlash(std::uint32_t address, std::uint32_t size) const;
  std::uint8_t model_id() const;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Item {
    enum class Kind { kHost, kIdentityRequest, kVendorRequest } kind;
    Bytes bytes;
    std::uint8_t command = 0;
    TimePoint handed{};  // when the host's message reached the device's side of the link
  };

  void Push(Item item);
  void Run();
  void Process(Item& item);
  // Sleeps the modelled time; false when the device is being destroyed.
  bool Spend(double ms);
  bool SpendUntil(TimePoint deadline);
  void Send(const Bytes& message);

  mutable std::mutex core_mutex_;
  DeviceCore core_;
  Sender sender_;

  mutable std::mutex mutex_;
  std::condition_variable wake_cv_;
  std::condition_variable stop_cv_;
  std::condition_variable idle_cv_;
  std::deque<Item> queue_;
  bool busy_ = false;
  bool stop_ = false;
  std::atomic<bool> stop_polling_{false};  // stop_, for a poll that holds no lock
  std::uint64_t finishes_handled_ = 0;
  TimePoint link_free_{};  // the device thread's alone

  std::thread thread_;  // last, so that it starts after everything it reads
};

// Wraps a firmware set for the checks.
ImageLookup LookupIn(const FirmwareSet& images);

}  // namespace fen::devsim
