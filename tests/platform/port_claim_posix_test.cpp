// The port claim across processes: another process's claim is refused with that process's ID
// and program, and a holder killed with SIGKILL leaves no claim behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/port_claim.h"

namespace fen {
namespace {

TEST(PortClaimProcesses, AnotherProcessesClaimIsRefusedAndEndsWithItsKill) {
  const std::string key = "test-process:" + std::to_string(::getpid());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ClaimHolder holder;
    auto claim = PortClaim::Take({key}, &holder);
    const char byte = claim ? 'y' : 'n';
    (void)!::write(ready[1], &byte, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(byte, 'y');

  ClaimHolder holder;
  EXPECT_FALSE(PortClaim::Take({key}, &holder));
  EXPECT_EQ(holder.pid, child);
  EXPECT_FALSE(holder.program.empty());

  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(PortClaim::Take({key}, &holder)) << DescribeHolder(holder);
}

}  // namespace
}  // namespace fen
