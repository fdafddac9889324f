#include "support/thread_switches.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace fen::testing {
namespace {

struct TaskStatus {
  char state = '?';
  std::uint64_t voluntary = 0;  // it blocked
  std::uint64_t involuntary = 0;
  std::uint64_t Switches() const { return voluntary + involuntary; }
};

// Calls visit for every thread of this process but the calling one; false where the system
// does not list them.
bool ForOtherThreads(const std::function<void(const TaskStatus&)>& visit) {
#if defined(__linux__)
  const std::string self = std::to_string(static_cast<long>(syscall(SYS_gettid)));
  std::error_code error;
  std::filesystem::directory_iterator tasks("/proc/self/task", error);
  if (error) return false;
  for (const auto& task : tasks) {
    if (task.path().filename() == self) continue;
    std::ifstream status(task.path() / "status");
    TaskStatus read;
    std::string key;
    while (status >> key) {
      if (key == "State:") {
        status >> read.state;
      } else if (key == "voluntary_ctxt_switches:") {
        status >> read.voluntary;
      } else if (key == "nonvoluntary_ctxt_switches:") {
        status >> read.involuntary;
      }
    }
    visit(read);
  }
  return true;
#else
  (void)visit;
  return false;
#endif
}

// Waits until every other thread has run and now sleeps; false if that does not happen within
// patience. A thread just started may not have run at all yet, and one that never slept cannot
// be woken for nothing.
bool OtherThreadsAsleep(std::chrono::milliseconds patience = std::chrono::seconds(10)) {
  const auto until = std::chrono::steady_clock::now() + patience;
  for (;;) {
    bool asleep = true;
    if (!ForOtherThreads([&](const TaskStatus& task) {
          asleep = asleep && task.state == 'S' && task.voluntary > 0;
        })) {
      return false;
    }
    if (asleep) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

std::optional<std::uint64_t> OtherThreadsSwitches() {
  std::uint64_t total = 0;
  if (!ForOtherThreads([&](const TaskStatus& task) { total += task.Switches(); })) {
    return std::nullopt;
  }
  return total;
}

std::optional<std::uint64_t> OtherThreadsSwitchesDuring(int times,
                                                        const std::function<void()>& step) {
  if (!OtherThreadsAsleep()) return std::nullopt;
  const std::optional<std::uint64_t> before = OtherThreadsSwitches();
  if (!before) return std::nullopt;
  for (int i = 0; i < times; ++i) {
    step();
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  const std::optional<std::uint64_t> after = OtherThreadsSwitches();
  if (!after) return std::nullopt;
  return *after - *before;
}

}  // namespace fen::testing
