// The progress line on terminals of every width: it never reaches the last column, and the
// fields go from the right (time left, rate, bytes, bar) before the status text is cut.
#include "progress_line.h"

#include <gtest/gtest.h>

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

TEST(ProgressLine, DropsFieldsFromTheRightAsTheTerminalNarrows) {
  const ProgressFields f = Fields();
  const std::string full = FitProgressLine(f, 0);
  EXPECT_EQ(full,
            "6/9  Writing Flash Data...            [############............]  50%  1.9 MiB  "
            "41 KiB/s  left 1:05");
  EXPECT_EQ(FitProgressLine(f, 200), full);
  const std::string at90 = FitProgressLine(f, 90);
  EXPECT_EQ(at90, full.substr(0, full.find("  left")));
  const std::string at80 = FitProgressLine(f, 80);
  EXPECT_EQ(at80, full.substr(0, full.find("  41 KiB/s")));
  EXPECT_EQ(FitProgressLine(f, 70), full.substr(0, full.find("  1.9 MiB")));
  EXPECT_EQ(FitProgressLine(f, 66), "6/9  Writing Flash Data...             50%");
  EXPECT_EQ(FitProgressLine(f, 20), "6/9  Writing F  50%");
  EXPECT_EQ(FitProgressLine(f, 6), "6/9  ");
}

TEST(ProgressLine, NeverReachesTheLastColumnWhateverTheWidthOrTheNames) {
  for (const std::string& prefix : {std::string(), std::string("USB オーディオ デバイス (2): "),
                                    std::string("A very long port name of a USB hub device: ")}) {
    const ProgressFields f = Fields(prefix);
    for (int columns = 1; columns <= 160; ++columns) {
      EXPECT_LE(DisplayColumns(FitProgressLine(f, columns)), columns - 1)
          << "columns " << columns << ", prefix " << prefix;
    }
  }
  EXPECT_EQ(DisplayColumns("USB オーディオ デバイス"), 4 + 10 + 1 + 8);
}

}  // namespace
}  // namespace fen
