// The diagnostic log on Windows: lines stored as a text-mode write stores them, and a file the
// system refuses to open for writing.
#include <gtest/gtest.h>

#include "log/diagnostic_log_fixture.h"

namespace fen {
namespace {

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST_F(DiagnosticLogFile, StoresEachLineWithACarriageReturnBeforeItsLineFeed) {
  CreateEmptyLog();
  log_(0);
  log_(6);
  EXPECT_EQ(ReadBytes(dir_ / DiagnosticLog::kFileName),
            "2014/03/09 10:02:03     Midi out error.\r\n"
            "2014/03/09 10:02:03     (Write)Time Out Error.\r\n");
}

TEST_F(DiagnosticLogFile, SkipsAReadOnlyFileWithoutHarm) {
  {
    std::ofstream out(dir_ / DiagnosticLog::kFileName);
    out << "kept\n";
  }
  fs::permissions(dir_ / DiagnosticLog::kFileName, fs::perms::owner_read);
  // Under Wine a root user still writes into it.
  if (std::ofstream(dir_ / DiagnosticLog::kFileName, std::ios::app).good()) {
    GTEST_SKIP() << "this user writes into read-only files";
  }
  log_(0);
  EXPECT_EQ(ReadAll(dir_ / DiagnosticLog::kFileName), "kept\n");
}

}  // namespace
}  // namespace fen
