// Instance numbering across processes: copies of the program's instance search (this test
// binary started again in probe mode) and the program itself take numbers 1 to 20, reuse freed
// ones and refuse the 21st.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_search.h"

extern char** environ;

namespace fen {
namespace {

constexpr const char* kProbeVariable = "FEN_INSTANCE_PROBE";

// Probe mode: take a number, print it, hold it until stdin closes (or the process is killed).
int RunProbe() {
  InstanceClaim claim = ClaimInstanceNumber();
  std::printf("%d\n", claim.number);
  std::fflush(stdout);
  char byte;
  while (claim.number != 0 && ::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}

// One started process with a pipe to its stdin and one from its stdout.
class Copy {
 public:
  Copy(const std::string& program, const std::string& runtime_dir, bool probe) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0 &&
          std::strncmp(*e, kProbeVariable, 18) != 0)
        env_text.emplace_back(*e);
    }
    env_text.push_back("XDG_RUNTIME_DIR=" + runtime_dir);
    if (probe) env_text.push_back(std::string(kProbeVariable) + "=1");
    env_text.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> env;
    for (std::string& text : env_text) env.push_back(text.data());
    env.push_back(nullptr);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Copy() { Kill(); }
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;

  bool started() const { return pid_ > 0; }

  // The number the probe printed; -1 when nothing came in time.
  int ReadNumber(int timeout_ms = 20000) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (line.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      pollfd fd{stdout_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return -1;
      char buffer[32];
      const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
      if (n <= 0) return -1;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    return std::atoi(line.c_str());
  }

  // Ends the copy the polite way (the probe sees stdin close) and waits for it.
  int Quit() {
    CloseStdin();
    return Wait();
  }

  // Ends the copy without letting it clean up.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Wait();
  }

  // Exit status once it has ended by itself; -1 when it has not within the time.
  int WaitExit(int timeout_ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
  }

 private:
  void CloseStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  int Wait() {
    CloseStdin();
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

class InstanceNumbers : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/fen_instances_XXXXXX";  // mkdtemp makes it 0700, as the lock wants
    ASSERT_NE(::mkdtemp(folder), nullptr);
    runtime_dir_ = folder;
    self_ = std::filesystem::read_symlink("/proc/self/exe").string();
  }
  void TearDown() override { std::filesystem::remove_all(runtime_dir_); }

  std::unique_ptr<Copy> StartProbe() {
    auto copy = std::make_unique<Copy>(self_, runtime_dir_, true);
    EXPECT_TRUE(copy->started());
    return copy;
  }

  std::string runtime_dir_;
  std::string self_;
};

TEST_F(InstanceNumbers, CopiesTakeTheLowestFreeNumberAndReuseFreedOnes) {
  auto first = StartProbe();
  ASSERT_EQ(first->ReadNumber(), 1);
  auto second = StartProbe();
  ASSERT_EQ(second->ReadNumber(), 2);
  auto third = StartProbe();
  ASSERT_EQ(third->ReadNumber(), 3);

  // With 1 and 3 running, a new copy takes 2; a copy that dies frees its number too.
  second->Kill();
  auto again = StartProbe();
  EXPECT_EQ(again->ReadNumber(), 2);

  first->Quit();
  auto after_first = StartProbe();
  EXPECT_EQ(after_first->ReadNumber(), 1) << "number 1 again while 2 and 3 still run";
}

TEST_F(InstanceNumbers, TheTwentiethCopyStartsAndTheTwentyFirstIsRefused) {
  std::vector<std::unique_ptr<Copy>> copies;
  for (int n = 1; n <= kMaxInstances; ++n) {
    copies.push_back(StartProbe());
    ASSERT_EQ(copies.back()->ReadNumber(), n);
  }
  auto refused = StartProbe();
  EXPECT_EQ(refused->ReadNumber(), 0);
  EXPECT_EQ(refused->WaitExit(), 0) << "a refused copy ends by itself";

  copies[6]->Kill();
  auto seventh = StartProbe();
  EXPECT_EQ(seventh->ReadNumber(), 7);
}

TEST(InstanceNumbersText, TheRefusalNamesTheLimit) {
  EXPECT_EQ(TooManyInstancesText(),
            "It is forbidden to launch more than 20 instance of this application.");
}

#ifdef FEN_UPDATOR_PROGRAM
// The program itself takes number 1 with the same lock names as the search above.
TEST_F(InstanceNumbers, TheProgramHoldsItsNumberWhileItRuns) {
  Copy program(FEN_UPDATOR_PROGRAM, runtime_dir_, false);
  ASSERT_TRUE(program.started());
  // Until the program has taken its number, probes take 1 themselves and are let go.
  int number = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    auto probe = StartProbe();
    number = probe->ReadNumber();
    if (number != 1) break;
    probe->Quit();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(number, 2);
  program.Kill();
  auto probe = StartProbe();
  EXPECT_EQ(probe->ReadNumber(), 1) << "freed when the program ends, however it ends";
}
#endif

}  // namespace
}  // namespace fen

int main(int argc, char** argv) {
  if (std::getenv(fen::kProbeVariable) != nullptr) return fen::RunProbe();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
