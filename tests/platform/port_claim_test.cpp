// The port claim: one holder per device key at a time, whoever asks, told by name and process;
// a refusal leaves nothing claimed; the claim ends with its object.
#include "platform/port_claim.h"

#include <gtest/gtest.h>

namespace fen {
namespace {

std::string Key(const std::string& name) {
  // Unique per test process, so that parallel test runs never meet.
  return "test:" + std::to_string(CurrentProcessId()) + ":" + name;
}

TEST(PortClaim, AHeldKeyIsRefusedNamingItsHolderUntilTheClaimGoes) {
  ClaimHolder holder;
  auto first = PortClaim::Take({Key("a")}, &holder);
  ASSERT_TRUE(first);
  EXPECT_FALSE(PortClaim::Take({Key("a")}, &holder));
  EXPECT_EQ(holder.key, Key("a"));
  EXPECT_EQ(holder.pid, CurrentProcessId());
  EXPECT_FALSE(holder.program.empty());
  EXPECT_NE(DescribeHolder(holder).find("(process " + std::to_string(CurrentProcessId()) + ")"),
            std::string::npos);
  // Another device is free meanwhile.
  EXPECT_TRUE(PortClaim::Take({Key("b")}, &holder));
  first.reset();
  EXPECT_TRUE(PortClaim::Take({Key("a")}, &holder));
}

TEST(PortClaim, ARefusedClaimOfSeveralKeysLeavesNoneOfThemClaimed) {
  ClaimHolder holder;
  auto held = PortClaim::Take({Key("2")}, &holder);
  ASSERT_TRUE(held);
  EXPECT_FALSE(PortClaim::Take({Key("1"), Key("2"), Key("3")}, &holder));
  EXPECT_EQ(holder.key, Key("2"));
  EXPECT_TRUE(PortClaim::Take({Key("1"), Key("3")}, &holder));
  // The input and the output of one device are one claim.
  EXPECT_TRUE(PortClaim::Take({Key("4"), Key("4")}, &holder));
}

TEST(PortClaim, LongAndOddKeysGetNamesTheSystemTakesAndKeepApart) {
  const std::string long_key = Key(std::string(300, 'j'));
  const std::string other_long = Key(std::string(299, 'j') + "k");
  const std::string odd = Key("USB \\ Audio\nDevice \xE3\x82\xAA");
  EXPECT_NE(PortClaim::SystemName(long_key), PortClaim::SystemName(other_long));
  EXPECT_LE(PortClaim::SystemName(long_key).size(), 100u);
  ClaimHolder holder;
  auto a = PortClaim::Take({long_key, odd}, &holder);
  ASSERT_TRUE(a) << holder.program;
  EXPECT_TRUE(PortClaim::Take({other_long}, &holder));
  EXPECT_FALSE(PortClaim::Take({odd}, &holder));
}

}  // namespace
}  // namespace fen
