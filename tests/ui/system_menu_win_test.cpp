// The system menu's About item on Windows, without a window system: the command it answers to.
#include "ui/system_menu_win.h"

#include <gtest/gtest.h>

namespace fen {
namespace {

TEST(SystemMenuAboutItem, AnswersItsOwnCommandForItsWindowWhateverTheSystemsLowBits) {
  HWND window = reinterpret_cast<HWND>(0x1234);
  MSG msg{};
  msg.hwnd = window;
  msg.message = WM_SYSCOMMAND;
  msg.wParam = kIdmAboutBox;
  EXPECT_TRUE(IsAboutCommand(msg, window));
  msg.wParam = kIdmAboutBox | 0x3;
  EXPECT_TRUE(IsAboutCommand(msg, window));
  msg.wParam = SC_CLOSE;
  EXPECT_FALSE(IsAboutCommand(msg, window));
  msg.wParam = kIdmAboutBox;
  EXPECT_FALSE(IsAboutCommand(msg, reinterpret_cast<HWND>(0x5678)));
  msg.message = WM_COMMAND;
  EXPECT_FALSE(IsAboutCommand(msg, window));
}

}  // namespace
}  // namespace fen
