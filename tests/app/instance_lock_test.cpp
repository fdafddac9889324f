// The instance lock: one holder per name across processes, freed however the holder ends.
// Both builds run the cases at the top; Windows (named mutexes) and POSIX (lock files in a
// private folder) each add their own below.
#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "app/instance_search.h"
#endif

namespace fen {
namespace {

#ifdef _WIN32
// Not the program's own name: a named mutex is seen by every process of the session.
const std::string kName = "TARN PL-33QV v2.00 Updater test";
#else
// The program's own name, whose lock ClaimInstanceNumber takes, in the test's own folder.
const std::string kName = "TARN PL-33QV v2.00 Updater";
#endif

#ifdef _WIN32
class InstanceLockTest : public ::testing::Test {};
#else
namespace fs = std::filesystem;

// Points XDG_RUNTIME_DIR at a private temporary folder for the test, and restores it after.
class InstanceLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_RUNTIME_DIR")) old_runtime_ = old;
    if (const char* old = std::getenv("TMPDIR")) old_tmpdir_ = old;
    if (const char* old = std::getenv("HOME")) old_home_ = old;
    dir_ = fs::temp_directory_path() /
           ("fen_lock_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::permissions(dir_, fs::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    Restore("XDG_RUNTIME_DIR", old_runtime_);
    Restore("TMPDIR", old_tmpdir_);
    Restore("HOME", old_home_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Forks a child that takes the lock of `name` and then waits to be killed.
  pid_t StartHolder(const std::string& name) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      auto lock = InstanceLock::TryAcquire(name);
      const char status = lock ? 'y' : 'n';
      if (::write(ready[1], &status, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char status = 0;
    const bool took = pid > 0 && ::read(ready[0], &status, 1) == 1 && status == 'y';
    ::close(ready[0]);
    if (!took && pid > 0) StopChild(pid);
    return took ? pid : -1;
  }
  static void StopChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }

  static void Restore(const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }

  // No runtime folder; the temporary folder and the home inside the test's folder, with the
  // per-user folder in the temporary folder already made by "someone" with `mode`.
  fs::path PlantTempFolder(fs::perms mode) {
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    ::setenv("HOME", (dir_ / "home").c_str(), 1);
    fs::create_directories(dir_ / "home");
    const fs::path planted = dir_ / "tmp" / ("fenupdator-" + std::to_string(::geteuid()));
    fs::create_directories(planted);
    fs::permissions(planted, mode);
    return planted;
  }

  std::optional<std::string> old_runtime_, old_tmpdir_, old_home_;
  fs::path dir_;
};
#endif

TEST_F(InstanceLockTest, RefusesASecondHolderOfOneNameUntilTheFirstIsReleased) {
  auto first = InstanceLock::TryAcquire(kName);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(InstanceLock::TryAcquire(kName), nullptr);
  first.reset();
  EXPECT_NE(InstanceLock::TryAcquire(kName), nullptr);
}

TEST_F(InstanceLockTest, LocksEachNameOnItsOwn) {
  auto one = InstanceLock::TryAcquire(kName);
  auto three = InstanceLock::TryAcquire(kName + " (3)");
  ASSERT_NE(one, nullptr);
  ASSERT_NE(three, nullptr);
  auto two = InstanceLock::TryAcquire(kName + " (2)");
  EXPECT_NE(two, nullptr);
  EXPECT_EQ(InstanceLock::TryAcquire(kName + " (3)"), nullptr);
}

#ifdef _WIN32
// A backslash names another namespace ("Global\..."), or is refused; either way it must not
// crash or hand out a lock twice.
TEST_F(InstanceLockTest, HandsOutANameWithPathCharactersOnlyOnce) {
  const std::string tricky = "fen\\..\\" + kName;
  auto lock = InstanceLock::TryAcquire(tricky);
  if (lock) {
    EXPECT_EQ(InstanceLock::TryAcquire(tricky), nullptr);
  }
}
#else
TEST_F(InstanceLockTest, LivesInTheRuntimeFolder) {
  EXPECT_EQ(InstanceLock::LockFolder(), dir_.string());
  auto lock = InstanceLock::TryAcquire(kName);
  ASSERT_NE(lock, nullptr);
  EXPECT_TRUE(fs::exists(dir_ / (kName + ".lock")));
}

TEST_F(InstanceLockTest, KeepsNamesWithPathCharactersInsideTheFolder) {
  const std::string tricky = "../../escape/" + kName;
  auto lock = InstanceLock::TryAcquire(tricky);
  ASSERT_NE(lock, nullptr);
  EXPECT_FALSE(fs::exists(dir_.parent_path().parent_path() / "escape"));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1u);
  // A name that differs only in an unsafe character is still a name of its own.
  EXPECT_NE(InstanceLock::TryAcquire(".._.._escape_" + kName), nullptr);
  EXPECT_EQ(InstanceLock::TryAcquire(tricky), nullptr);
  EXPECT_NE(InstanceLock::TryAcquire(std::string(400, 'x')), nullptr);
}

TEST_F(InstanceLockTest, IsRefusedWhileAnotherProcessHoldsItAndFreedWhenThatProcessIsKilled) {
  const pid_t holder = StartHolder(kName);
  ASSERT_GT(holder, 0);
  EXPECT_EQ(InstanceLock::TryAcquire(kName), nullptr);
  StopChild(holder);
  EXPECT_NE(InstanceLock::TryAcquire(kName), nullptr);
}

TEST_F(InstanceLockTest, IsNotInheritedByProgramsTheHolderStarts) {
  auto lock = InstanceLock::TryAcquire(kName);
  ASSERT_NE(lock, nullptr);
  // The child's end of this pipe closes on exec, which tells the parent that the exec is done.
  int exec_done[2];
  ASSERT_EQ(::pipe2(exec_done, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  ::close(exec_done[1]);
  char ignored;
  while (::read(exec_done[0], &ignored, 1) > 0) {
  }
  ::close(exec_done[0]);
  lock.reset();
  // Had the descriptor leaked into the started program, it would still hold the lock.
  EXPECT_NE(InstanceLock::TryAcquire(kName), nullptr);
  StopChild(child);
}

TEST_F(InstanceLockTest, FallsBackToAPrivateFolderInTmpWithoutARuntimeFolder) {
  ::unsetenv("XDG_RUNTIME_DIR");
  ::unsetenv("TMPDIR");
  const std::string fallback = "/tmp/fenupdator-" + std::to_string(::geteuid());
  EXPECT_EQ(InstanceLock::LockFolder(), fallback);
  const std::string name = "fen lock test " + std::to_string(::getpid());
  auto lock = InstanceLock::TryAcquire(name);
  ASSERT_NE(lock, nullptr);
  struct stat st {};
  ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(st.st_uid, ::geteuid());
  lock.reset();
  fs::remove(fs::path(fallback) / (name + ".lock"));
}

TEST_F(InstanceLockTest, PassesOverAFolderInTmpThatOthersMadeSaysWhyAndLocksInTheHome) {
  const fs::path planted = PlantTempFolder(fs::perms::all);
  const fs::path home_locks = dir_ / "home" / ".cache" / "fenupdator-locks";
  EXPECT_EQ(InstanceLock::LockFolder(), home_locks.string());
  EXPECT_EQ(InstanceLock::LockFolderNotice(),
            planted.string() +
                " can be written by other users (mode 0777); instance locks are "
                "kept in " +
                home_locks.string() + " instead");
  {
    InstanceClaim claim = ClaimInstanceNumber();
    EXPECT_EQ(claim.number, 1);
    EXPECT_EQ(claim.notice, InstanceLock::LockFolderNotice());
    EXPECT_TRUE(claim.problem.empty());
    EXPECT_EQ(InstanceLock::TryAcquire(kName), nullptr);  // the home's lock holds
  }
  struct stat st {};
  ASSERT_EQ(::lstat(home_locks.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_TRUE(fs::is_empty(planted));

  if (::geteuid() == 0) {
    fs::permissions(planted, fs::perms::owner_all);
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    EXPECT_NE(InstanceLock::LockFolderNotice().find(planted.string() + " belongs to "),
              std::string::npos);
    EXPECT_NE(InstanceLock::LockFolderNotice().find("uid 65534"), std::string::npos);
  }
}

TEST_F(InstanceLockTest, StartUpSaysWhatIsWrongWhenNoFolderCanHoldTheLocks) {
  PlantTempFolder(fs::perms::all);
  const fs::path home_locks = dir_ / "home" / ".cache" / "fenupdator-locks";
  fs::create_directories(home_locks);
  fs::permissions(home_locks, fs::perms::all);
  std::string problem;
  EXPECT_EQ(InstanceLock::TryAcquire(kName, &problem), nullptr);
  EXPECT_EQ(problem, home_locks.string() + " is not a private folder of this user");
  InstanceClaim claim = ClaimInstanceNumber();
  EXPECT_EQ(claim.number, 0);
  EXPECT_EQ(InstanceLockProblemText(claim.problem),
            "Cannot take an instance number: " + problem + ".");
}

TEST_F(InstanceLockTest, IgnoresARuntimeFolderThatOthersCanWriteInto) {
  fs::permissions(dir_, fs::perms::all);
  EXPECT_NE(InstanceLock::LockFolder(), dir_.string());
  ::setenv("XDG_RUNTIME_DIR", "relative/folder", 1);
  EXPECT_NE(InstanceLock::LockFolder(), "relative/folder");
}

TEST_F(InstanceLockTest, IgnoresARuntimeFolderOwnedBySomeoneElse) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can hand a folder to another user";
  ASSERT_EQ(::chown(dir_.c_str(), 65534, 65534), 0);
  EXPECT_NE(InstanceLock::LockFolder(), dir_.string());
}
#endif

}  // namespace
}  // namespace fen
