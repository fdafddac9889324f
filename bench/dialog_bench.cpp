// What the dialog's view calls cost a run: whole updates through the main dialog's model, whose
// every progress, step and status call waits until the window thread has run it, against the
// same updates through a view that returns at once (the command-line tool's kind), alternated
// in one run. With the device answering at once (the host's own cost laid bare) and paced like
// full-speed USB MIDI (what a user waits).
// Last line: dialog_cost instant=...% usb=...%
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

namespace {

using namespace fen::bench;

struct Pair {
  double direct_s = 0;
  double dialog_s = 0;
  bool ok = true;
};

Pair Measure(const fen::devsim::SimTiming& device, int runs) {
  Pair p;
  for (int i = 0; i < runs; ++i) {
    for (bool through_dialog : {false, true}) {
      RunOptions options;
      options.device_timing = device;
      options.through_dialog = through_dialog;
      const RunResult r = RunOneUpdate(options);
      p.ok = p.ok && r.completed && r.flash_ok;
      (through_dialog ? p.dialog_s : p.direct_s) += r.wall_s / runs;
    }
  }
  return p;
}

double CostPercent(const Pair& p) { return 100.0 * (p.dialog_s - p.direct_s) / p.direct_s; }

void Print(const char* name, const Pair& p) {
  std::printf("%-8s direct=%.3fs dialog=%.3fs cost=%+.2f%%%s\n", name, p.direct_s, p.dialog_s,
              CostPercent(p), p.ok ? "" : "  (RUN FAILED)");
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int usb_runs = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--usb-runs") == 0 && i + 1 < argc) usb_runs = std::atoi(argv[++i]);
  }
  if (runs < 1) runs = 1;
  std::printf("machine: %d processors, %s\n", Processors(), CpuModel().c_str());
  const Pair instant = Measure(fen::devsim::SimTiming::Instant(), runs);
  Print("instant", instant);
  Pair usb;
  if (usb_runs > 0) {
    usb = Measure(fen::devsim::SimTiming::Usb(), usb_runs);
    Print("usb", usb);
  }
  std::printf("dialog_cost instant=%.2f%% usb=%.2f%%\n", CostPercent(instant),
              usb_runs > 0 ? CostPercent(usb) : 0.0);
  return instant.ok && usb.ok ? 0 : 1;
}
