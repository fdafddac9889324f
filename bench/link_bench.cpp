// A whole update against the simulated device paced like full-speed USB MIDI (link bytes per
// second, flash erase and write times): how close the host comes to the time the link and the
// device need, with the early tick and with the 1 ms tick alone.
// Last line: efficiency=... wall_s=... ideal_s=... (and the host's and the device's shares)
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"
#include "protocol/messages.h"

namespace {

using namespace fen;
using namespace fen::bench;

struct Figures {
  double wall_s = 0;
  double ideal_s = 0;
  double cpu_s = 0;
  double turnaround_s = 0;  // the host's own share: replies to next blocks, summed
  double median_us = 0;
  double late_median_us = 0;  // link and device beyond their model, per block
  double late_s = 0;
  bool ok = false;
};

Figures Measure(bool early_tick, bool polling_device) {
  RunOptions options;
  options.device_timing = devsim::SimTiming::Usb();
  options.device_timing.poll_throughout = polling_device;
  options.timing.early_tick = early_tick;
  options.record_host_messages = true;
  const RunResult r = RunOneUpdate(options);
  Figures f;
  f.ok = r.completed && r.flash_ok;
  f.wall_s = r.wall_s;
  f.cpu_s = r.cpu_s;
  for (double us : r.turnaround_us) f.turnaround_s += us / 1e6;
  f.median_us = Quantile(r.turnaround_us, 0.5);
  // What a full block costs the link and the device by the model, and what it took.
  const devsim::SimTiming& t = options.device_timing;
  const double block_ms = t.WireMs(static_cast<double>(WriteBlockSize(kBlockLength))) +
                          t.write_ms_per_block + t.reply_ms + t.WireMs(kStatusTemplate.size());
  std::vector<double> late;
  for (double us : r.round_trip_us) {
    late.push_back(us - block_ms * 1000.0);
    f.late_s += (us - block_ms * 1000.0) / 1e6;
  }
  f.late_median_us = Quantile(late, 0.5);
  // The pause after Begin Update is the protocol's own: a host that adds nothing waits it too.
  f.ideal_s =
      IdealSeconds(options.device_timing, r.host_messages) + options.timing.begin_pause_ms / 1000.0;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  // By default the simulated device polls the clock through each block instead of sleeping:
  // a real device keeps its time, while a thread that sleeps wakes up late, on a virtual
  // machine now and then by milliseconds, and that would be charged to the host. The host and
  // the device then share one processor, which the device's polling keeps awake; on two, the
  // host would sleep on a processor of its own and pay the same late wake-ups. With
  // --sleeping-device the device sleeps until shortly before each moment, as in the tests,
  // and the process runs wherever the system puts it.
  bool sleeping_device = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--sleeping-device") == 0) {
      sleeping_device = true;
    } else {
      std::fprintf(stderr, "usage: %s [--sleeping-device]\n", argv[0]);
      return 2;
    }
  }
  // The simulated device models the link and the flash with sleeps; the kernel's default
  // 50 us timer slack on each of them would be charged to the host.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const devsim::SimTiming usb = devsim::SimTiming::Usb();
  std::printf("machine: %d processors, %s\n", Processors(), CpuModel().c_str());
  if (sleeping_device) {
    std::printf("simulated device sleeps until shortly before each modelled moment\n");
  } else {
    const int processor = RunOnOneProcessor();
    std::printf("simulated device polls through each block; host and device on processor %d\n",
                processor);
  }
  std::printf(
      "link %.0f bytes/s, flash write %.2f ms per block, erase %.2f ms per KiB, "
      "device turnaround %.2f ms\n",
      usb.link_bytes_per_second, usb.write_ms_per_block, usb.erase_ms_per_kib, usb.reply_ms);
  const Figures early = Measure(true, !sleeping_device);
  const Figures tick = Measure(false, !sleeping_device);
  auto print = [](const char* name, const Figures& f) {
    std::printf(
        "%-15s wall=%.3fs ideal=%.3fs efficiency=%.4f over ideal %.3fs, of which host "
        "turnaround %.3fs (median %.1fus per block), link and device late %.3fs (median %.1fus "
        "per block) cpu=%.3fs%s\n",
        name, f.wall_s, f.ideal_s, f.ideal_s / f.wall_s, f.wall_s - f.ideal_s, f.turnaround_s,
        f.median_us, f.late_s, f.late_median_us, f.cpu_s, f.ok ? "" : "  (RUN FAILED)");
  };
  print("early tick", early);
  print("1 ms tick only", tick);
  // What the wall time would be with the host's own turnaround alone on top of the ideal:
  // the host's share, apart from the simulated device's late wake-ups on a busy machine.
  std::printf(
      "efficiency=%.4f wall_s=%.3f ideal_s=%.3f tick_only_efficiency=%.4f host_turnaround_s=%.3f "
      "device_late_s=%.3f host_only_efficiency=%.4f\n",
      early.ideal_s / early.wall_s, early.wall_s, early.ideal_s, tick.ideal_s / tick.wall_s,
      early.turnaround_s, early.late_s, early.ideal_s / (early.ideal_s + early.turnaround_s));
  return early.ok && tick.ok ? 0 : 1;
}
