// The diagnostic log: line format, and appending only to an existing "TEST_LOG.txt" in the
// current working directory.
#include "log/diagnostic_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fen {
namespace {

namespace fs = std::filesystem;

SystemTime At(int year, int month, int day, int hour, int minute, int second) {
  return SystemTime{year, month, day, hour, minute, second};
}

Clock FixedClock(SystemTime time) {
  return [time] { return time; };
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(DiagnosticLogLine, AddsNineToTheUtcHourWithFiveBlanksBeforeTheText) {
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 3, 9, 1, 2, 3), 0),
            "2014/03/09 10:02:03     Midi out error.\n");
}

TEST(DiagnosticLogLine, ShiftsTheHourPastMidnightWithoutCarryingIntoTheDate) {
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 3, 9, 23, 59, 59), 6),
            "2014/03/09 32:59:59     (Write)Time Out Error.\n");
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 12, 31, 15, 30, 0), 3),
            "2014/12/31 24:30:00     (Erase)Time Out Error.\n");
}

TEST(DiagnosticLogLine, CarriesEachLogTextWordForWord) {
  const char* const expected[] = {
      "Midi out error.",
      "Illegal device connected.",
      "Please use the firmware update mode.",
      "(Erase)Time Out Error.",
      "(CRC)Transfer error occurred.",
      "(Flash Write)Transfer error occurred.",
      "(Write)Time Out Error.",
  };
  for (int i = 0; i < kLogTextCount; ++i) {
    EXPECT_EQ(DiagnosticLog::FormatLine(At(999, 1, 2, 0, 0, 0), i),
              std::string("0999/01/02 09:00:00     ") + expected[i] + "\n");
  }
}

TEST(DiagnosticLogLine, IsEmptyForAnIndexOutsideTheTable) {
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 3, 9, 1, 2, 3), -1), "");
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 3, 9, 1, 2, 3), kLogTextCount), "");
}

// Each test runs in a fresh temporary folder as the working directory and restores the old one.
class DiagnosticLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    dir_ = fs::temp_directory_path() /
           ("fen_log_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    std::error_code ignored;
    fs::permissions(dir_ / DiagnosticLog::kFileName, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  void CreateEmptyLog() { std::ofstream(dir_ / DiagnosticLog::kFileName); }

  DiagnosticLog log_{FixedClock(At(2014, 3, 9, 1, 2, 3))};
  fs::path old_cwd_;
  fs::path dir_;
};

TEST_F(DiagnosticLogFile, NeverCreatesAMissingFile) {
  log_(0);
  EXPECT_FALSE(fs::exists(dir_ / DiagnosticLog::kFileName));
}

TEST_F(DiagnosticLogFile, AppendsLinesInCallOrderAndKeepsEarlierContent) {
  {
    std::ofstream out(dir_ / DiagnosticLog::kFileName);
    out << "kept\n";
  }
  log_(0);
  DiagnosticLog later(FixedClock(At(2014, 3, 9, 23, 59, 59)));
  later.Write(4);
  EXPECT_EQ(ReadAll(dir_ / DiagnosticLog::kFileName),
            "kept\n"
            "2014/03/09 10:02:03     Midi out error.\n"
            "2014/03/09 32:59:59     (CRC)Transfer error occurred.\n");
}

TEST_F(DiagnosticLogFile, LooksOnlyInTheCurrentWorkingDirectory) {
  fs::create_directories(dir_ / "elsewhere");
  std::ofstream(dir_ / "elsewhere" / DiagnosticLog::kFileName);
  fs::create_directories(dir_ / "cwd");
  fs::current_path(dir_ / "cwd");
  log_(0);
  EXPECT_EQ(fs::file_size(dir_ / "elsewhere" / DiagnosticLog::kFileName), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "cwd" / DiagnosticLog::kFileName));

  // Logging follows the working directory from one call to the next.
  fs::current_path(dir_ / "elsewhere");
  log_(1);
  EXPECT_EQ(ReadAll(dir_ / "elsewhere" / DiagnosticLog::kFileName),
            "2014/03/09 10:02:03     Illegal device connected.\n");
}

TEST_F(DiagnosticLogFile, StopsAndStartsWithThePresenceOfTheFile) {
  CreateEmptyLog();
  log_(0);
  fs::remove(dir_ / DiagnosticLog::kFileName);
  log_(1);
  EXPECT_FALSE(fs::exists(dir_ / DiagnosticLog::kFileName));
  CreateEmptyLog();
  log_(2);
  EXPECT_EQ(ReadAll(dir_ / DiagnosticLog::kFileName),
            "2014/03/09 10:02:03     Please use the firmware update mode.\n");
}

TEST_F(DiagnosticLogFile, SkipsAFolderOfThatName) {
  fs::create_directories(dir_ / DiagnosticLog::kFileName);
  log_(0);
  EXPECT_TRUE(fs::is_directory(dir_ / DiagnosticLog::kFileName));
  EXPECT_TRUE(fs::is_empty(dir_ / DiagnosticLog::kFileName));
}

TEST_F(DiagnosticLogFile, SkipsAFifoOfThatNameWithoutBlocking) {
  ASSERT_EQ(::mkfifo(DiagnosticLog::kFileName, 0600), 0);
  log_(0);  // would hang here if the log waited for a reader
  EXPECT_TRUE(fs::is_fifo(dir_ / DiagnosticLog::kFileName));
}

TEST_F(DiagnosticLogFile, SkipsAReadOnlyFileWithoutHarm) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes to read-only files";
  {
    std::ofstream out(dir_ / DiagnosticLog::kFileName);
    out << "kept\n";
  }
  fs::permissions(dir_ / DiagnosticLog::kFileName, fs::perms::owner_read);
  log_(0);
  EXPECT_EQ(ReadAll(dir_ / DiagnosticLog::kFileName), "kept\n");
}

TEST_F(DiagnosticLogFile, SkipsAFileThatRefusesTheWriteWithoutHarm) {
  // A file size limit refuses the append as a full disk would, and does so for root too.
  {
    std::ofstream out(dir_ / DiagnosticLog::kFileName);
    out << "kept\n";
  }
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = 5;
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  log_(0);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(ReadAll(dir_ / DiagnosticLog::kFileName), "kept\n");
}

}  // namespace
}  // namespace fen
