// Outside text on the terminal: controls escaped, everything printable kept byte for byte.
#include "terminal_text.h"

#include <gtest/gtest.h>

namespace fen {
namespace {

TEST(TerminalText, EscapesEveryControlThatCouldDriveTheTerminal) {
  EXPECT_EQ(TerminalText("a\x1b]0;title\x07z"), "a\\e]0;title\\x07z");
  EXPECT_EQ(TerminalText("one\ntwo\rthree\tfour\x7f"), "one\\ntwo\\rthree\\tfour\\x7F");
  EXPECT_EQ(TerminalText(std::string("nul\0x", 5)), "nul\\x00x");
  // C1 controls as UTF-8 (U+009B is CSI) and the bidirectional overrides.
  EXPECT_EQ(TerminalText("\xc2\x9b"
                         "2J"),
            "\\u{009B}2J");
  EXPECT_EQ(TerminalText("abc\xe2\x80\xae"
                         "fdp.exe"),
            "abc\\u{202E}fdp.exe");
  // Bytes that are not UTF-8: stray continuation, overlong, cut short, a surrogate, a raw C1.
  EXPECT_EQ(TerminalText("\x80\xc0\xaf\xe3\x81\xed\xa0\x80\x9b"),
            "\\x80\\xC0\\xAF\\xE3\\x81\\xED\\xA0\\x80\\x9B");
}

TEST(TerminalText, KeepsPrintableTextAsItIs) {
  for (const std::string name :
       {"TARN PL Series (2)", "USB オーディオ デバイス", "Ünïcödé 🎹", "back\\slash \"quoted\""}) {
    EXPECT_EQ(TerminalText(name), name);
  }
}

}  // namespace
}  // namespace fen
