// The About item of the window's system menu on Windows, in Win32 terms alone: the desktop
// program's about_menu_win.cpp uses it, and it builds (and is tested) without Qt.
#pragma once

#include <windows.h>

#include <string>

namespace fen {

// The command ID of the About item in the system menu (0x10): the dialog's table answers it.
inline constexpr UINT kIdmAboutBox = 0x0010;

// Appends a separator and the item `text` (command kIdmAboutBox) to the system menu of
// `window`; an empty text appends nothing. False when the window has no system menu.
bool AppendAboutItem(HWND window, const std::wstring& text);

// True when `msg` is the About item's WM_SYSCOMMAND for `window` (the low four bits of the
// command are the system's own and are ignored).
bool IsAboutCommand(const MSG& msg, HWND window);

}  // namespace fen
