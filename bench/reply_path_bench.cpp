// The host's turnaround per block: a whole update against the simulated device answering at
// once, with the early tick and with the 1 ms tick alone (dispatch at the tick only), in one run.
// Last line: turnaround_us median=... p99=... max=... tick_only_median=... ratio=...
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

namespace {

using namespace fen::bench;

struct Figures {
  double median = 0;
  double p99 = 0;
  double max = 0;
  double wall_s = 0;
  double cpu_s = 0;
  std::size_t blocks = 0;
  bool ok = false;
};

Figures Measure(bool early_tick, int runs) {
  Figures f;
  std::vector<double> all;
  f.ok = true;
  for (int i = 0; i < runs; ++i) {
    RunOptions options;
    options.device_timing = fen::devsim::SimTiming::Instant();
    options.timing.early_tick = early_tick;
    const RunResult r = RunOneUpdate(options);
    f.ok = f.ok && r.completed && r.flash_ok;
    f.wall_s += r.wall_s / runs;
    f.cpu_s += r.cpu_s / runs;
    all.insert(all.end(), r.turnaround_us.begin(), r.turnaround_us.end());
  }
  f.blocks = all.size();
  f.median = Quantile(all, 0.5);
  f.p99 = Quantile(all, 0.99);
  f.max = Quantile(all, 1.0);
  return f;
}

void Print(const char* name, const Figures& f) {
  std::printf("%-22s blocks=%zu median=%.1fus p99=%.1fus max=%.1fus wall=%.3fs cpu=%.3fs%s\n", name,
              f.blocks, f.median, f.p99, f.max, f.wall_s, f.cpu_s, f.ok ? "" : "  (RUN FAILED)");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::atoi(argv[++i]);
  }
  if (runs < 1) runs = 1;
  std::printf("machine: %d processors, %s\n", Processors(), CpuModel().c_str());
  std::printf("whole update against the simulated device answering at once, %d run(s) each\n",
              runs);
  // Alternate, so that a noisy moment of the shared machine hits both designs alike.
  const Figures early = Measure(true, runs);
  const Figures tick = Measure(false, runs);
  Print("early tick", early);
  Print("1 ms tick only", tick);
  const double ratio = early.median > 0 ? tick.median / early.median : 0;
  std::printf("wall ratio (tick only / early) %.2f, cpu ratio %.2f\n",
              early.wall_s > 0 ? tick.wall_s / early.wall_s : 0,
              early.cpu_s > 0 ? tick.cpu_s / early.cpu_s : 0);
  // One reply's way to the worker crosses exactly one thread hand-over; this is its floor here.
  std::printf(
      "thread hand-over on this machine: median %.1fus on one processor, %.1fus "
      "across two\n",
      HandOverMedianUs(false), HandOverMedianUs(true));
  std::printf("turnaround_us median=%.1f p99=%.1f max=%.1f tick_only_median=%.1f ratio=%.1f\n",
              early.median, early.p99, early.max, tick.median, ratio);
  return early.ok && tick.ok ? 0 : 1;
}
