// The probe, the quiet view and one whole update against the simulated device on the virtual
// bus, for the whole-update benchmarks.
#include "bench_support.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "devsim/device_core.h"
#include "devsim/virtual_bus_device.h"
#include "dialog/dialog_model.h"
#include "engine/string_table.h"
#include "firmware/firmware.h"
#include "platform/midi/virtual/virtual_midi_bus.h"
#include "protocol/messages.h"

namespace fen::bench {

namespace {

bool IsDeviceStatus(const std::uint8_t* data, std::size_t size) {
  return size >= 6 && data[0] == kSysExStart && data[1] == kManufacturerId && data[4] == kCmdStatus;
}

bool IsWriteBlock(const std::uint8_t* data, std::size_t size) {
  return size > 18 && data[0] == kSysExStart && data[1] == kManufacturerId &&
         data[4] == kCmdWriteBlock;
}

class ProbeInput : public MidiInputConnection {
 public:
  explicit ProbeInput(std::unique_ptr<MidiInputConnection> inner) : inner_(std::move(inner)) {}

 private:
  std::unique_ptr<MidiInputConnection> inner_;
};

class RecordingOutput : public MidiOutputConnection {
 public:
  RecordingOutput(std::unique_ptr<MidiOutputConnection> inner,
                  std::shared_ptr<std::vector<std::vector<std::uint8_t>>> record,
                  std::shared_ptr<std::mutex> mutex)
      : inner_(std::move(inner)), record_(std::move(record)), mutex_(std::move(mutex)) {}
  bool Send(const std::uint8_t* data, std::size_t size) override {
    if (record_) {
      std::lock_guard<std::mutex> lock(*mutex_);
      record_->emplace_back(data, data + size);
    }
    return inner_->Send(data, size);
  }

 private:
  std::unique_ptr<MidiOutputConnection> inner_;
  std::shared_ptr<std::vector<std::vector<std::uint8_t>>> record_;
  std::shared_ptr<std::mutex> mutex_;
};

// The bus wrapped so that the run can also keep what the host sent.
class RecordingBackend : public ProbeBackend {
 public:
  RecordingBackend(std::shared_ptr<MidiBackend> inner, TurnaroundProbe* probe,
                   std::shared_ptr<std::vector<std::vector<std::uint8_t>>> record)
      : ProbeBackend(inner, probe),
        inner_(std::move(inner)),
        record_(std::move(record)),
        mutex_(std::make_shared<std::mutex>()) {}
  std::unique_ptr<MidiOutputConnection> OpenOutput(const MidiEndpoint& endpoint) override {
    auto inner = ProbeBackend::OpenOutput(endpoint);
    if (!inner || !record_) return inner;
    return std::make_unique<RecordingOutput>(std::move(inner), record_, mutex_);
  }

 private:
  std::shared_ptr<MidiBackend> inner_;
  std::shared_ptr<std::vector<std::vector<std::uint8_t>>> record_;
  std::shared_ptr<std::mutex> mutex_;
};

}  // namespace

// ---- Probe ------------------------------------------------------------------------------

namespace {
std::vector<double> ToUs(const std::vector<std::int64_t>& ns) {
  std::vector<double> us;
  us.reserve(ns.size());
  for (std::int64_t v : ns) us.push_back(static_cast<double>(v) / 1000.0);
  return us;
}
std::int64_t Ns(SteadyClock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}
}  // namespace

TurnaroundProbe::TurnaroundProbe(std::size_t expected) {
  samples_ns_.reserve(expected);
  round_trips_ns_.reserve(expected);
}

void TurnaroundProbe::ReplyArrived() {
  const auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ = true;
  reply_at_ = now;
  if (block_out_) round_trips_ns_.push_back(Ns(now - block_at_));
  block_out_ = false;
}

void TurnaroundProbe::BlockSent() {
  const auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  block_out_ = true;
  block_at_ = now;
  if (!pending_) return;
  pending_ = false;
  samples_ns_.push_back(Ns(now - reply_at_));
}

std::vector<double> TurnaroundProbe::SamplesUs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ToUs(samples_ns_);
}

std::vector<double> TurnaroundProbe::RoundTripsUs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ToUs(round_trips_ns_);
}

ProbeBackend::ProbeBackend(std::shared_ptr<MidiBackend> inner, TurnaroundProbe* probe)
    : ForwardingMidiBackend(std::move(inner)), probe_(probe) {}

std::unique_ptr<MidiInputConnection> ProbeBackend::OpenInput(const MidiEndpoint& endpoint,
                                                             MidiReceiver receiver) {
  TurnaroundProbe* probe = probe_;
  auto opened = inner().OpenInput(endpoint, [probe, receiver = std::move(receiver)](
                                                const std::uint8_t* data, std::size_t size) {
    if (probe != nullptr && IsDeviceStatus(data, size)) probe->ReplyArrived();
    receiver(data, size);
  });
  if (!opened) return nullptr;
  return std::make_unique<ProbeInput>(std::move(opened));
}

ProbeDriver::ProbeDriver(std::vector<std::shared_ptr<MidiBackend>> backends, TurnaroundProbe* probe)
    : MidiDriver(std::move(backends)), probe_(probe) {}

MMRESULT ProbeDriver::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  if (probe_ != nullptr && header != nullptr && header->lpData != nullptr &&
      IsWriteBlock(header->lpData, header->dwBufferLength)) {
    probe_->BlockSent();
  }
  return MidiDriver::midiOutLongMsg(handle, header, size);
}

// ---- View -------------------------------------------------------------------------------

void QuietView::SetStatusLine(const std::string& text) {
  if (text != LoadString(IDS_UPDATE_COMPLETED)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  completed_ = true;
}

void QuietView::ErrorBox(int string_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_ = string_id;
}

bool QuietView::completed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return completed_;
}

int QuietView::last_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

// ---- One run ----------------------------------------------------------------------------

namespace {

// A window thread without a window: runs what is posted to it, in order.
class ThreadWidgets : public DialogWidgets {
 public:
  ThreadWidgets() : thread_([this] { Loop(); }) {}
  ~ThreadWidgets() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void SetListItems(int, const std::vector<std::string>&) override {}
  // The bus has one port each way: the device's.
  void SelectListItem(int, int) override {}
  int SelectedListItem(int) const override { return 0; }
  void SetControlText(int, const std::string& text) override { text_ = text; }
  void EnableControl(int, bool) override {}
  void SetProgressRange(int upper) override { upper_ = upper; }
  void SetProgressPos(int position) override { position_ = position; }
  int FocusedControl() const override { return 0; }
  void FocusControl(int) override {}
  void ErrorBox(const std::string&, const std::string&) override {}
  bool ConfirmPlaceholder(const std::string&, const std::string&) override { return true; }
  void ShowAbout() override {}
  void CloseBoxes() override {}
  bool OnWindowThread() const override { return std::this_thread::get_id() == thread_.get_id(); }
  void Post(std::function<void()> call) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(std::move(call));
    }
    cv_.notify_one();
  }
  // Runs `call` on the window thread and waits for it.
  void RunAndWait(std::function<void()> call) {
    std::promise<void> done;
    Post([&] {
      call();
      done.set_value();
    });
    done.get_future().wait();
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !calls_.empty(); });
      if (calls_.empty()) return;
      std::function<void()> call = std::move(calls_.front());
      calls_.pop_front();
      lock.unlock();
      call();
      lock.lock();
    }
  }

  int upper_ = 0;
  int position_ = 0;
  std::string text_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> calls_;
  bool stop_ = false;
  std::thread thread_;
};

// Execute to the worker's end, with the process's processor time over the same span.
template <typename Start>
void TimeRun(UpdateSession& session, Start start, RunResult* result) {
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = SteadyClock::now();
  if (start()) session.WaitForWorker();
  const auto t1 = SteadyClock::now();
  result->cpu_s = ProcessCpuSeconds() - cpu0;
  result->wall_s = std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

RunResult RunOneUpdate(const RunOptions& options) {
  RunResult result;
  TurnaroundProbe probe;
  auto bus = std::make_shared<VirtualMidiBus>();
  devsim::SimOptions sim;
  sim.timing = options.device_timing;
  devsim::VirtualBusDevice device(*bus, sim);
  auto record = options.record_host_messages
                    ? std::make_shared<std::vector<std::vector<std::uint8_t>>>()
                    : nullptr;
  auto backend = std::make_shared<RecordingBackend>(bus, &probe, record);
  ProbeDriver driver({backend}, &probe);
  QuietView view;
  if (options.through_dialog) {
    ThreadWidgets widgets;
    DialogModel::Options dialog_options{1, UpdateServices{.driver = &driver}, options.timing};
    DialogModel model(widgets, dialog_options);
    model.set_on_run_ended(
        [&](UpdateResult r) { result.completed = r == UpdateResult::kCompleted; });
    widgets.RunAndWait([&] { model.Initialise(); });
    TimeRun(
        model.session(),
        [&] {
          widgets.RunAndWait([&] { model.OnExecute(); });
          return model.session().WorkerRunning() || model.session().busy();
        },
        &result);
    widgets.RunAndWait([&] { model.OnClose(); });
  } else {
    UpdateSession session(view, UpdateServices{.driver = &driver}, options.timing);
    session.Initialise();
    TimeRun(
        session, [&] { return session.Execute(0, 0) == UpdateSession::ExecuteOutcome::kStarted; },
        &result);
    session.Teardown();
    result.completed = view.completed();
  }
  device.WaitIdle();
  result.flash_ok = device.device().FlashHoldsImages(FirmwareSet::Builtin());
  result.turnaround_us = probe.SamplesUs();
  result.round_trip_us = probe.RoundTripsUs();
  if (record) result.host_messages = std::move(*record);
  return result;
}

double IdealSeconds(const devsim::SimTiming& timing,
                    const std::vector<std::vector<std::uint8_t>>& host_messages) {
  devsim::SimOptions sim;
  sim.timing = timing;
  devsim::DeviceCore core(sim);
  double ms = 0;
  for (const auto& message : host_messages) {
    const auto out = core.Handle(message.data(), message.size());
    ms += out.arrive_ms + out.work_ms;
    for (const auto& request : out.requests)
      ms += timing.WireMs(static_cast<double>(request.size()));
  }
  return ms / 1000.0;
}

// ---- Process figures --------------------------------------------------------------------

namespace {
void WakeRounds(int rounds, std::mutex& mutex, std::condition_variable& to_waiter,
                std::condition_variable& to_waker, bool& posted,
                SteadyClock::time_point& posted_at) {
  for (int i = 0; i < rounds; ++i) {
    // Long enough that the waiter is asleep, as the worker is when a reply comes.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    {
      std::lock_guard<std::mutex> lock(mutex);
      posted = true;
      posted_at = SteadyClock::now();
    }
    to_waiter.notify_one();
    std::unique_lock<std::mutex> lock(mutex);
    to_waker.wait(lock, [&] { return !posted; });
  }
}

bool PinTo(int processor) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(processor, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}
}  // namespace

double HandOverMedianUs(bool across_processors, int rounds) {
  const int waiter_processor = across_processors && Processors() > 1 ? 1 : 0;
  std::mutex mutex;
  std::condition_variable to_waiter;
  std::condition_variable to_waker;
  bool posted = false;
  SteadyClock::time_point posted_at;
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(rounds));
  std::thread waiter([&] {
    PinTo(waiter_processor);
    for (int i = 0; i < rounds; ++i) {
      std::unique_lock<std::mutex> lock(mutex);
      to_waiter.wait(lock, [&] { return posted; });
      us.push_back(
          std::chrono::duration<double, std::micro>(SteadyClock::now() - posted_at).count());
      posted = false;
      to_waker.notify_one();
    }
  });
  // The measuring thread runs on a thread of its own, so the caller keeps its processors.
  std::thread waker([&] {
    PinTo(0);
    WakeRounds(rounds, mutex, to_waiter, to_waker, posted, posted_at);
  });
  waker.join();
  waiter.join();
  return Quantile(us, 0.5);
}

int RunOnOneProcessor() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0) return -1;
  for (int processor = 0; processor < CPU_SETSIZE; ++processor) {
    if (CPU_ISSET(processor, &allowed)) return PinTo(processor) ? processor : -1;
  }
  return -1;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(rank, samples.size() - 1)];
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
    }
  }
  return "unknown";
}

int Processors() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

}  // namespace fen::bench
