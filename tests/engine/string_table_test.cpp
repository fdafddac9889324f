// The string table's texts, word for word, and the two formatted progress texts.
#include "engine/string_table.h"

#include <gtest/gtest.h>

#include <climits>

namespace fen {
namespace {

TEST(StringTable, ResolvesEveryIdToItsTextWordForWord) {
  EXPECT_EQ(LoadString(101), "About PL-21K Updater(&A)...");
  EXPECT_EQ(LoadString(102), "Time out error(1)");
  EXPECT_EQ(LoadString(103), "Time out error(2)");
  EXPECT_EQ(LoadString(104), "Time out error(3)");
  EXPECT_EQ(LoadString(105), "Illegal device connected.");
  EXPECT_EQ(LoadString(106), "Please use the firmware update mode.");
  EXPECT_EQ(LoadString(107), "Transfer error occurred.");
  EXPECT_EQ(LoadString(108), "Version update completed.");
  EXPECT_EQ(LoadString(109), "In Progress.");
  EXPECT_EQ(LoadString(110), "Can't open MIDI In device.");
  EXPECT_EQ(LoadString(111), "Error");
  EXPECT_EQ(LoadString(113), "Can't open MIDI Out device.");
  EXPECT_EQ(LoadString(114), "Erasing Flash memory.");
  EXPECT_EQ(LoadString(115), "Data transmit  %d / %d ");
  // The program's own, for what the original could not tell.
  EXPECT_EQ(LoadString(116), "The device's MIDI ports are in use by another update.");
  EXPECT_EQ(LoadString(117), "Another program is talking to the device.");
}

TEST(StringTable, HasNoTextForAnIdOutsideTheTable) {
  EXPECT_EQ(LoadString(112), "");
  EXPECT_EQ(LoadString(100), "");
  EXPECT_EQ(LoadString(118), "");
  EXPECT_EQ(LoadString(0), "");
}

TEST(StringTable, DataTransmitKeepsItsInnerAndTrailingBlanks) {
  EXPECT_EQ(FormatDataTransmit(0, 262144), "Data transmit  0 / 262144 ");
  EXPECT_EQ(FormatDataTransmit(260096, 262144), "Data transmit  260096 / 262144 ");
  EXPECT_EQ(FormatDataTransmit(INT32_MIN, INT32_MAX), "Data transmit  -2147483648 / 2147483647 ");
}

TEST(StringTable, StepCounterReadsRowSlashCount) {
  EXPECT_EQ(FormatStepCounter(1, 9), "1/9");
  EXPECT_EQ(FormatStepCounter(9, 9), "9/9");
}

}  // namespace
}  // namespace fen
