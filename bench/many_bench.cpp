// Many devices from one process: `fenupdator-cli update --all` against N simulated devices
// paced like full-speed USB MIDI, N = 1, 5 and 20; wall time, CPU per device and peak memory
// of the one process, with the early tick and with the 1 ms tick alone.
// Last line: n20_over_n1=... peak_rss_mb=...
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"

#ifndef FEN_CLI_PATH
#define FEN_CLI_PATH "fenupdator-cli"
#endif

namespace {

using fen::SteadyClock;
using namespace fen::bench;

struct Figures {
  int devices = 0;
  double wall_s = 0;
  double cpu_s = 0;
  double peak_rss_mib = 0;
  int exit_status = -1;
};

// One process, run to its end in a scratch folder (it writes no log there: no TEST_LOG.txt).
Figures RunCli(const std::string& cli, int devices, const char* dispatch) {
  Figures f;
  f.devices = devices;
  const std::string count = std::to_string(devices);
  const auto t0 = SteadyClock::now();
  const pid_t pid = fork();
  if (pid < 0) return f;
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
    }
    if (chdir("/tmp") != 0) _exit(127);
    execl(cli.c_str(), cli.c_str(), "update", "--all", "--simulate-devices", count.c_str(),
          "--pace", "usb", "--dispatch", dispatch, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  f.wall_s = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  f.cpu_s = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  f.peak_rss_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  f.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return f;
}

void Print(const char* dispatch, const Figures& f) {
  std::printf("%-6s N=%-3d wall=%.3fs cpu=%.3fs cpu/device=%.3fs peak_rss=%.1fMiB exit=%d\n",
              dispatch, f.devices, f.wall_s, f.cpu_s, f.cpu_s / f.devices, f.peak_rss_mib,
              f.exit_status);
}

}  // namespace

int main(int argc, char** argv) {
  std::string cli = FEN_CLI_PATH;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cli") == 0 && i + 1 < argc) cli = argv[++i];
  }
  std::printf("machine: %d processors, %s\n", Processors(), CpuModel().c_str());
  std::printf("%s update --all --simulate-devices N --pace usb\n", cli.c_str());
  std::vector<Figures> early;
  for (int n : {1, 5, 20}) {
    early.push_back(RunCli(cli, n, "early"));
    Print("early", early.back());
  }
  const Figures tick1 = RunCli(cli, 1, "tick");
  Print("tick", tick1);
  const Figures tick20 = RunCli(cli, 20, "tick");
  Print("tick", tick20);
  bool ok = true;
  double peak = 0;
  for (const Figures& f : early) {
    ok = ok && f.exit_status == 0;
    peak = f.peak_rss_mib > peak ? f.peak_rss_mib : peak;
  }
  ok = ok && tick1.exit_status == 0 && tick20.exit_status == 0;
  const double ratio = early[2].wall_s / early[0].wall_s;
  std::printf("tick alone: n20_over_n1=%.3f, cpu/device %.3fs (early tick %.3fs)\n",
              tick20.wall_s / tick1.wall_s, tick20.cpu_s / 20, early[2].cpu_s / 20);
  std::printf("n20_over_n1=%.3f peak_rss_mb=%.1f n5_over_n1=%.3f cpu_per_device_s=%.3f%s\n", ratio,
              peak, early[1].wall_s / early[0].wall_s, early[2].cpu_s / 20, ok ? "" : " FAILED");
  return ok ? 0 : 1;
}
