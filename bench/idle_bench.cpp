// Idle cost: a session initialised as the window does it (its 1 ms timer started, no update
// running) left alone, and optionally the desktop program itself, open and idle. Prints the
// CPU used as a percentage of one core.
// Last line: idle_cpu_percent=... tick_only_cpu_percent=... program_cpu_percent=... seconds=...
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_support.h"
#include "devsim/virtual_bus_device.h"
#include "platform/midi/virtual/virtual_midi_bus.h"

namespace {

using namespace fen;
using namespace fen::bench;

// One session with a simulated device listed on its bus, initialised and left idle.
double SessionIdlePercent(bool early_tick, double seconds) {
  auto bus = std::make_shared<VirtualMidiBus>();
  devsim::VirtualBusDevice device(*bus);
  MidiDriver driver({bus});
  QuietView view;
  UpdateTiming timing;
  timing.early_tick = early_tick;
  UpdateSession session(view, UpdateServices{.driver = &driver}, timing);
  session.Initialise();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle
  const double cpu0 = ProcessCpuSeconds();
  const auto t0 = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  const double cpu = ProcessCpuSeconds() - cpu0;
  session.Teardown();
  return 100.0 * cpu / wall;
}

// CPU time of every thread of a process in seconds, from the scheduler's nanosecond counts
// (finer than the clock ticks of /proc/PID/stat); negative when the process is gone.
double ChildCpuSeconds(pid_t pid) {
  std::error_code error;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  double seconds = 0;
  bool any = false;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream schedstat(task.path() / "schedstat");
    unsigned long long on_cpu_ns = 0;
    if (schedstat >> on_cpu_ns) {
      seconds += static_cast<double>(on_cpu_ns) / 1e9;
      any = true;
    }
  }
  return any ? seconds : -1;
}

// The desktop program, started off-screen, left open and idle; -1 when it could not run.
double ProgramIdlePercent(const std::string& program, double seconds) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up and first paint
  const double cpu0 = ChildCpuSeconds(pid);
  const auto t0 = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu1 = ChildCpuSeconds(pid);
  const double wall = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (cpu0 < 0 || cpu1 < 0) return -1;
  return 100.0 * (cpu1 - cpu0) / wall;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  std::string program;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--program") == 0 && i + 1 < argc) program = argv[++i];
  }
  if (seconds <= 0) seconds = 10;
  std::printf("machine: %d processors, %s\n", Processors(), CpuModel().c_str());
  const double early = SessionIdlePercent(true, seconds);
  std::printf("session idle %.0f s, early tick:      %.2f%% of one core\n", seconds, early);
  const double tick = SessionIdlePercent(false, seconds);
  std::printf("session idle %.0f s, 1 ms tick only:  %.2f%% of one core\n", seconds, tick);
  double gui = -1;
  if (!program.empty()) {
    gui = ProgramIdlePercent(program, seconds);
    if (gui < 0) {
      std::printf("desktop program %s did not run\n", program.c_str());
    } else {
      std::printf("desktop program idle %.0f s:         %.2f%% of one core\n", seconds, gui);
    }
  }
  std::printf(
      "idle_cpu_percent=%.2f tick_only_cpu_percent=%.2f program_cpu_percent=%.2f "
      "seconds=%.0f\n",
      early, tick, gui, seconds);
  return 0;
}
