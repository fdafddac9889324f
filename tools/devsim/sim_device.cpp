// The device thread: takes the host's messages in order, spends the modelled time on a
// steady clock that destruction interrupts, and sends the answers.
#include "devsim/sim_device.h"

#include <algorithm>

#include "platform/spin_wait.h"

namespace fen::devsim {

SimDevice::SimDevice(SimOptions options, Sender sender)
    : core_(std::move(options)), sender_(std::move(sender)), thread_([this] {
        UsePreciseTimers();
        Run();
      }) {}

SimDevice::~SimDevice() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stop_polling_.store(true);
  wake_cv_.notify_all();
  stop_cv_.notify_all();
  idle_cv_.notify_all();
  thread_.join();
}

void SimDevice::Push(Item item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    queue_.push_back(std::move(item));
  }
  wake_cv_.notify_one();
}

void SimDevice::OnHostMessage(const std::uint8_t* data, std::size_t size) {
  Item item{Item::Kind::kHost, {}, 0, std::chrono::steady_clock::now()};
  if (data != nullptr && size > 0) item.bytes.assign(data, data + size);
  Push(std::move(item));
}

void SimDevice::SendIdentityRequest() { Push({Item::Kind::kIdentityRequest, {}, 0, {}}); }

void SimDevice::SendVendorRequest(std::uint8_t command) {
  Push({Item::Kind::kVendorRequest, {}, command, {}});
}

void SimDevice::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(core_mutex_);
  core_.AddFault(fault);
}

void SimDevice::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      item = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    Process(item);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    idle_cv_.notify_all();
  }
}

void SimDevice::Process(Item& item) {
  if (item.kind != Item::Kind::kHost) {
    Bytes request;
    {
      std::lock_guard<std::mutex> lock(core_mutex_);
      request = item.kind == Item::Kind::kIdentityRequest ? core_.MakeIdentityRequest()
                                                          : core_.MakeVendorRequest(item.command);
    }
    if (Spend(core_.options().timing.WireMs(request.size()))) Send(request);
    return;
  }
  DeviceCore::Outcome out;
  bool finish = false;
  {
    std::lock_guard<std::mutex> lock(core_mutex_);
    const std::uint64_t before = core_.finish_updates_received();
    out = core_.Handle(item.bytes.data(), item.bytes.size());
    finish = core_.finish_updates_received() != before;
  }
  // The link carries the message from the moment it was handed over (while the device may
  // still be busy with the one before), and each step is timed from the modelled end of the
  // last: the device thread's own wake-up delays do not add up into the modelled time.
  const auto ms = [](double v) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(v));
  };
  const TimePoint arrived = std::max(item.handed, link_free_) + ms(out.arrive_ms);
  link_free_ = arrived;
  // With nothing to send on arrival the device need not wake then: one wake-up per message.
  if (!out.requests.empty()) {
    if (!SpendUntil(arrived)) return;
    for (const Bytes& request : out.requests) Send(request);
  }
  if (!SpendUntil(arrived + ms(out.work_ms))) return;
  if (out.has_reply) Send(out.reply);
  if (finish) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++finishes_handled_;
  }
}

bool SimDevice::Spend(double ms) {
  if (ms <= 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    return !stop_;
  }
  return SpendUntil(std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double, std::milli>(ms)));
}

bool SimDevice::SpendUntil(TimePoint deadline) {
  // A woken thread starts tens of microseconds late on a virtual machine; a device whose times
  // are to be exact wakes that much early and polls the rest. (Now and then it is late by
  // milliseconds, which no lead a simulation can afford covers: see poll_throughout.)
  constexpr auto kLead = std::chrono::microseconds(150);
  const SimTiming& timing = core_.options().timing;
  const bool exact = timing.exact || timing.poll_throughout;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!timing.poll_throughout) {
    WaitUntilOrPassed(stop_cv_, lock, exact ? deadline - kLead : deadline,
                      [this] { return stop_; });
  }
  if (stop_ || !exact) return !stop_;
  lock.unlock();
  // The simulated devices of a process take turns at it; the host's threads have a pool of
  // their own, so a device never keeps the host from its answer.
  static SpinPool devices(SpinPool::WithSpareProcessors(1));
  SpinUntil(devices, deadline, [this] { return stop_polling_.load(std::memory_order_relaxed); });
  lock.lock();
  // Without the right to spin the device is late rather than early.
  WaitUntilOrPassed(stop_cv_, lock, deadline, [this] { return stop_; });
  return !stop_;
}

void SimDevice::Send(const Bytes& message) {
  if (!sender_) return;
  try {
    sender_(message.data(), message.size());
  } catch (...) {
    // A sender that throws loses that message, as a link that drops it would.
  }
}

void SimDevice::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_cv_.wait(lock, [this] { return stop_ || (queue_.empty() && !busy_); });
}

bool SimDevice::WaitIdleFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_cv_.wait_for(lock, timeout, [this] { return stop_ || (queue_.empty() && !busy_); });
}

bool SimDevice::WaitForFinishUpdate(std::chrono::milliseconds timeout, std::uint64_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_cv_.wait_for(lock, timeout, [&] { return finishes_handled_ >= count; });
}

Report SimDevice::GetReport() const {
  Report report;
  {
    std::lock_guard<std::mutex> lock(core_mutex_);
    report = core_.MakeReport();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Item& item : queue_) report.messages_pending += item.kind == Item::Kind::kHost;
  return report;
}

Report SimDevice::GetReport(const ImageLookup& images) const {
  Report report = GetReport();
  std::lock_guard<std::mutex> lock(core_mutex_);
  report.flash = core_.CheckFlash(images);
  return report;
}

FlashCheck SimDevice::CheckFlash(const ImageLookup& images) const {
  std::lock_guard<std::mutex> lock(core_mutex_);
  return core_.CheckFlash(images);
}

bool SimDevice::FlashHoldsImages(const ImageLookup& images) const {
  return CheckFlash(images).holds_images;
}

Bytes SimDevice::ReadFlash(std::uint32_t address, std::uint32_t size) const {
  std::lock_guard<std::mutex> lock(core_mutex_);
  const std::vector<std::uint8_t>& flash = core_.flash();
  if (address >= flash.size()) return {};
  const std::size_t n = std::min<std::size_t>(size, flash.size() - address);
  return Bytes(flash.begin() + address, flash.begin() + address + n);
}

std::uint8_t SimDevice::model_id() const { return core_.model_id(); }

}  // namespace fen::devsim
