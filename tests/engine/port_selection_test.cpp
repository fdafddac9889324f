// Pre-selection of the device's ports by name and instance number.
#include "engine/port_selection.h"

#include <gtest/gtest.h>

namespace fen {
namespace {

const std::string kJapaneseName = PreferredPortNames[0];

TEST(PreferredNames, AreTheTableForInstanceOneAndNumberedInParenthesesOtherwise) {
  EXPECT_EQ(PreferredNamesFor(1), PreferredPortNames);
  const auto third = PreferredNamesFor(3);
  EXPECT_EQ(third[0], kJapaneseName + " (3)");
  EXPECT_EQ(third[1], "USB Audio Device (3)");
  EXPECT_EQ(third[2], "TARN PL Series (3)");
  EXPECT_EQ(PreferredNamesFor(20)[1], "USB Audio Device (20)");
}

// Two ports of one name: one may be another program's, named like the device. The last is
// the candidate, but nothing is pre-selected: a name alone cannot tell them apart.
TEST(PortPreSelection, SelectsNoneOfSeveralItemsOfTheSameName) {
  const std::vector<std::string> items = {"USB Audio Device", "Midi Through", "USB Audio Device"};
  EXPECT_EQ(LastPreferredPort(items, 1), 2);
  EXPECT_EQ(SelectPreferredPort(items, 1), -1);
  EXPECT_EQ(PortsNamed(items, "USB Audio Device"), (std::vector<int>{0, 2}));
  EXPECT_EQ(SelectPreferredPort({"USB Audio Device (2)", "USB Audio Device"}, 1), 1);
}

TEST(PortPreSelection, PicksTheLastMatchWhicheverPreferredNameItEquals) {
  EXPECT_EQ(SelectPreferredPort({"USB Audio Device", "TARN PL Series", "Other"}, 1), 1);
  EXPECT_EQ(SelectPreferredPort({"TARN PL Series", "USB Audio Device"}, 1), 1);
}

TEST(PortPreSelection, ForALaterInstanceMatchesOnlyNamesCarryingItsNumber) {
  const std::vector<std::string> items = {"USB Audio Device", "USB Audio Device (2)",
                                          "USB Audio Device (3)"};
  EXPECT_EQ(SelectPreferredPort(items, 2), 1);
  EXPECT_EQ(SelectPreferredPort(items, 3), 2);
  EXPECT_EQ(SelectPreferredPort(items, 1), 0);
  EXPECT_EQ(SelectPreferredPort(items, 4), -1);
}

TEST(PortPreSelection, ComparesWholeNamesByteForByte) {
  EXPECT_EQ(SelectPreferredPort({"usb audio device"}, 1), -1);
  EXPECT_EQ(SelectPreferredPort({"USB Audio Device 2"}, 1), -1);
  EXPECT_EQ(SelectPreferredPort({"USB Audio Device "}, 1), -1);
  EXPECT_EQ(SelectPreferredPort({"USB Audio"}, 1), -1);
  EXPECT_EQ(SelectPreferredPort({"USB Audio Device (2)"}, 1), -1);
  EXPECT_EQ(SelectPreferredPort({"USB Audio Device(2)"}, 2), -1);
}

TEST(PortPreSelection, SelectsNothingWithoutAMatch) {
  EXPECT_EQ(SelectPreferredPort({}, 1), -1);
  EXPECT_EQ(SelectPreferredPort({"Midi Through Port-0", ""}, 1), -1);
}

TEST(PortPreSelection, MatchesTheJapaneseNameInUtf8) {
  const std::string utf8 =
      "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
      "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";
  EXPECT_EQ(SelectPreferredPort({"Midi Through", utf8}, 1), 1);
  EXPECT_EQ(SelectPreferredPort({utf8 + " (2)", "Midi Through"}, 2), 0);
  // The same name in Shift-JIS is a different byte string.
  const std::string shift_jis =
      "USB \x83\x49\x81\x5B\x83\x66\x83\x42\x83\x49 \x83\x66\x83\x6F\x83\x43\x83\x58";
  EXPECT_EQ(SelectPreferredPort({shift_jis}, 1), -1);
}

}  // namespace
}  // namespace fen
