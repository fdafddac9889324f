// The diagnostic log against what only POSIX systems have: FIFOs, permissions root ignores,
// file size limits.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "log/diagnostic_log_fixture.h"

namespace fen {
namespace {

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
