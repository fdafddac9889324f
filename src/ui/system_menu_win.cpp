// The About item of the system menu, with the Win32 calls.
#include "ui/system_menu_win.h"

namespace fen {

bool AppendAboutItem(HWND window, const std::wstring& text) {
  if (window == nullptr) return false;
  HMENU menu = ::GetSystemMenu(window, FALSE);
  if (menu == nullptr) return false;
  if (!text.empty()) {
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING, kIdmAboutBox, text.c_str());
  }
  return true;
}

bool IsAboutCommand(const MSG& msg, HWND window) {
  return msg.message == WM_SYSCOMMAND && msg.hwnd == window &&
         (msg.wParam & 0xFFF0) == kIdmAboutBox;
}

}  // namespace fen
