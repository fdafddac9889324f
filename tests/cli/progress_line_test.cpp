// The progress line and the --all board on terminals of every width: they never reach the
// last column, and what tells least goes first (bytes, bar, rate, time left) before the status
// text is cut at a word.
#include "progress_line.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fen {
namespace {

ProgressFields Fields(std::string prefix = {}) {
  ProgressFields f;
  f.prefix = std::move(prefix);
  f.step = "6/9";
  f.status = "Writing Flash Data...";
  f.fraction = 0.5;
  f.bytes = "1.9 MiB";
  f.rate = "41 KiB";
  f.eta = "1:05";
  return f;
}

TEST(ProgressLine, DropsTheBytesThenTheBarThenTheRateAndKeepsThePercentage) {
  ProgressFields f = Fields();
  f.status = "Data transmit  1632256 / 2912256 ";
  const std::string full = FitProgressLine(f, 0);
  EXPECT_EQ(full,
            "6/9  Data transmit  1632256 / 2912256  [############............]  50%  1.9 MiB  "
            "41 KiB/s  left 1:05");
  EXPECT_EQ(FitProgressLine(f, 200), full);
  // At 80 columns the rate and the time left stay; the byte count gives way, the bar narrows.
  EXPECT_EQ(FitProgressLine(f, 80),
            "6/9  Data transmit  1632256 / 2912256  [######......]  50%  41 KiB/s  left 1:05");
  EXPECT_EQ(FitProgressLine(f, 60), "6/9  Data transmit  1632256 / 2912256   50%  left 1:05");
  EXPECT_EQ(FitProgressLine(f, 50), "6/9  Data transmit  1632256 / 2912256   50%");
  // At 40 the status is cut after a whole number, never within one.
  EXPECT_EQ(FitProgressLine(f, 40), "6/9  Data transmit  1632256  50%");
  EXPECT_EQ(FitProgressLine(f, 6), "6/9  ");
}

TEST(BoardLine, KeepsTheBarAt80ColumnsAndTellsSiblingsApartAt40) {
  const std::string state = "Error: Time out error(2)";
  EXPECT_EQ(FitBoardLine("USB Audio Device (2)", 0.5, state, 80),
            "USB Audio Device (2)     [##########...........]  50%  Error: Time out error(2)");
  EXPECT_EQ(FitBoardLine("USB Audio Device (2)", 0.5, state, 40),
            "USB (2)  50%  Error: Time out error(2)");
  EXPECT_NE(FitBoardLine("USB Audio Device (2)", 0.5, "updating", 40),
            FitBoardLine("USB Audio Device (3)", 0.5, "updating", 40));
}

TEST(WrapWords, BreaksAtSpacesWithinTheWidthAndIndentsTheRest) {
  EXPECT_EQ(WrapWords("Device: model 0x57, family 0x0057, member 0x0000", 30, "  "),
            (std::vector<std::string>{"Device: model 0x57, family", "  0x0057, member 0x0000"}));
  EXPECT_EQ(WrapWords("short", 30, "  "), std::vector<std::string>{"short"});
  EXPECT_EQ(WrapWords("short", 0, "  "), std::vector<std::string>{"short"});
}

TEST(ProgressLine, NeverReachesTheLastColumnWhateverTheWidthOrTheNames) {
  for (const std::string& prefix : {std::string(), std::string("USB オーディオ デバイス (2): "),
                                    std::string("A very long port name of a USB hub device: ")}) {
    const ProgressFields f = Fields(prefix);
    for (int columns = 1; columns <= 160; ++columns) {
      EXPECT_LE(DisplayColumns(FitProgressLine(f, columns)), columns - 1)
          << "columns " << columns << ", prefix " << prefix;
      EXPECT_LE(DisplayColumns(FitBoardLine(prefix + "USB Audio Device (12)", 0.5,
                                            "Error: Transfer error occurred.", columns)),
                std::max(columns - 1, 0))
          << "board, columns " << columns << ", prefix " << prefix;
    }
  }
  EXPECT_EQ(DisplayColumns("USB オーディオ デバイス"), 4 + 10 + 1 + 8);
}

}  // namespace
}  // namespace fen
