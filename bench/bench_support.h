// What the whole-update benchmarks share: a probe on the MIDI path that time-stamps each
// device reply as it reaches the input side and each Write Block as it reaches the output
// side, a quiet view, and one update run against the simulated device on the virtual bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim/sim_timing.h"
#include "engine/update_session.h"
#include "engine/update_view.h"
#include "platform/midi/backend.h"
#include "platform/midi/midi_driver.h"
#include "platform/steady_clock.h"

namespace fen::bench {

// Pairs "a device Status reached the input side" with "the next Write Block reached the output
// side" and keeps the gap between them: the host's turnaround for one block.
class TurnaroundProbe {
 public:
  explicit TurnaroundProbe(std::size_t expected = 4096);
  void ReplyArrived();
  void BlockSent();
  std::vector<double> SamplesUs() const;
  // From each Write Block handed to the output side to the next reply at the input side: the
  // link and the device, as the host sees them.
  std::vector<double> RoundTripsUs() const;

 private:
  mutable std::mutex mutex_;
  bool pending_ = false;
  bool block_out_ = false;
  SteadyClock::time_point reply_at_;
  SteadyClock::time_point block_at_;
  std::vector<std::int64_t> samples_ns_;
  std::vector<std::int64_t> round_trips_ns_;
};

// Passes every call to the wrapped backend, InProcess too, so that the driver treats the bus as
// what it is; the receivers it hands out stamp each device Status just before the program's
// input side gets it.
class ProbeBackend : public ForwardingMidiBackend {
 public:
  ProbeBackend(std::shared_ptr<MidiBackend> inner, TurnaroundProbe* probe);
  std::unique_ptr<MidiInputConnection> OpenInput(const MidiEndpoint& endpoint,
                                                 MidiReceiver receiver) override;

 private:
  TurnaroundProbe* probe_;
};

// The real driver, stamping each Write Block as the output port hands it over.
class ProbeDriver : public MidiDriver {
 public:
  ProbeDriver(std::vector<std::shared_ptr<MidiBackend>> backends, TurnaroundProbe* probe);
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;

 private:
  TurnaroundProbe* probe_;
};

// Remembers how the run ended and nothing else.
class QuietView : public UpdateView {
 public:
  void SetStatusLine(const std::string& text) override;
  void SetStepCounter(const std::string&) override {}
  void SetProgressRange(std::int32_t) override {}
  void SetProgressPos(std::int32_t) override {}
  void ErrorBox(int string_id) override;
  void RestoreControls() override {}
  void EnableExecute(bool) override {}
  void DisableControls() override {}
  bool completed() const;
  int last_error() const;

 private:
  mutable std::mutex mutex_;
  bool completed_ = false;
  int last_error_ = 0;
};

struct RunOptions {
  devsim::SimTiming device_timing = devsim::SimTiming::Instant();
  UpdateTiming timing;
  // Host messages the device received, kept for the ideal-time sum.
  bool record_host_messages = false;
  // The session behind the main dialog's model, whose window thread (a thread of the
  // benchmark's own) runs each view call while the worker waits, instead of a view that
  // returns at once as the command-line tool's does.
  bool through_dialog = false;
};

struct RunResult {
  bool completed = false;
  bool flash_ok = false;
  double wall_s = 0;  // Execute to the worker's end
  double cpu_s = 0;   // the whole process over the same span (host and simulated device)
  std::vector<double> turnaround_us;
  std::vector<double> round_trip_us;
  std::vector<std::vector<std::uint8_t>> host_messages;
};

// One whole update of one simulated device on a bus of its own.
RunResult RunOneUpdate(const RunOptions& options);

// Modelled time of the device and the link for these host messages, in seconds: what a host
// that adds nothing would take.
double IdealSeconds(const devsim::SimTiming& timing,
                    const std::vector<std::vector<std::uint8_t>>& host_messages);

// Median time for one thread to wake another that waits on a condition variable, the two on
// one processor or on two: the least a hand-over between threads costs on this machine.
double HandOverMedianUs(bool across_processors, int rounds = 2000);

// Keeps the calling thread, and the threads it starts from now on, on one processor: the
// first it may run on. Returns that processor, or -1 when the system would not.
int RunOnOneProcessor();

// CPU time of the whole process (user + system), seconds.
double ProcessCpuSeconds();
// Peak resident set of the process, MiB.
double PeakRssMiB();
// The q-quantile (0..1) of the samples, by nearest rank; 0 when empty.
double Quantile(std::vector<double> samples, double q);
// "AMD EPYC ..." from /proc/cpuinfo, and the number of processors online.
std::string CpuModel();
int Processors();

}  // namespace fen::bench
