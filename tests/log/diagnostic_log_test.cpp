// The diagnostic log: line format, and appending only to an existing "TEST_LOG.txt" in the
// current working directory.
#include "log/diagnostic_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "log/diagnostic_log_fixture.h"

namespace fen {
namespace {

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

// The words of each text are checked where its failure is logged (the engine's flow tests).
TEST(DiagnosticLogLine, CarriesEachLogTextWholeAfterTheTime) {
  for (int i = 0; i < kLogTextCount; ++i) {
    EXPECT_EQ(DiagnosticLog::FormatLine(At(999, 1, 2, 0, 0, 0), i),
              std::string("0999/01/02 09:00:00     ") + LogTexts[i] + "\n");
  }
}

TEST(DiagnosticLogLine, IsEmptyForAnIndexOutsideTheTable) {
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 3, 9, 1, 2, 3), -1), "");
  EXPECT_EQ(DiagnosticLog::FormatLine(At(2014, 3, 9, 1, 2, 3), kLogTextCount), "");
}

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

}  // namespace
}  // namespace fen
