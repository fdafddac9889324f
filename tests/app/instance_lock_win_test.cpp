// The instance lock on Windows: named mutexes, one holder per name.
#include <gtest/gtest.h>

#include <string>

#include "platform/instance_lock.h"

namespace fen {
namespace {

const std::string kName = "TARN PL-33QV v2.00 Updater test";

TEST(InstanceLockWin, RefusesASecondHolderOfOneNameUntilTheFirstIsReleased) {
  auto first = InstanceLock::TryAcquire(kName);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(InstanceLock::TryAcquire(kName), nullptr);
  first.reset();
  EXPECT_NE(InstanceLock::TryAcquire(kName), nullptr);
}

TEST(InstanceLockWin, LocksEachNameOnItsOwn) {
  auto one = InstanceLock::TryAcquire(kName);
  auto three = InstanceLock::TryAcquire(kName + " (3)");
  ASSERT_NE(one, nullptr);
  ASSERT_NE(three, nullptr);
  auto two = InstanceLock::TryAcquire(kName + " (2)");
  EXPECT_NE(two, nullptr);
  EXPECT_EQ(InstanceLock::TryAcquire(kName + " (3)"), nullptr);
}

// A backslash names another namespace ("Global\..."), or is refused; either way it must not
// crash or hand out a lock twice.
TEST(InstanceLockWin, HandsOutANameWithPathCharactersOnlyOnce) {
  const std::string tricky = "fen\\..\\" + kName;
  auto lock = InstanceLock::TryAcquire(tricky);
  if (lock) {
    EXPECT_EQ(InstanceLock::TryAcquire(tricky), nullptr);
  }
}

}  // namespace
}  // namespace fen
