// The nearest word to a slip: one a person would take for what they meant, or none.
#include "suggest.h"

#include <gtest/gtest.h>

namespace fen {
namespace {

const std::vector<std::string> kCommands = {"list", "update", "identify", "firmware"};

TEST(NearestWord, TakesATyposNearestWordSwappedLettersCountingOnce) {
  EXPECT_EQ(NearestWord("udpate", kCommands), "update");
  EXPECT_EQ(NearestWord("updte", kCommands), "update");
  EXPECT_EQ(NearestWord("lst", kCommands), "list");
  EXPECT_EQ(NearestWord("identfy", kCommands), "identify");
  EXPECT_EQ(NearestWord("jsno", {"json", "json-calls", "record"}), "json");
}

TEST(NearestWord, OffersNothingForAWordFarFromEveryOneOrEquallyNearTwo) {
  EXPECT_EQ(NearestWord("frobnicate", kCommands), "");
  EXPECT_EQ(NearestWord("up", kCommands), "");
  EXPECT_EQ(NearestWord("x", {"a", "b"}), "");
  EXPECT_EQ(NearestWord("on", {"in", "an"}), "");
  EXPECT_EQ(NearestWord("", kCommands), "");
}

}  // namespace
}  // namespace fen
