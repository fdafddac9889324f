// Text between the program (UTF-8 throughout) and the Windows calls (UTF-16), and the system's
// own words for an error code. Windows only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace fen {

// Every character of `text`; an invalid sequence becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// The system's message for a GetLastError code, in UTF-8 without its closing period and line
// break; "error N" when the system has none.
std::string SystemErrorText(DWORD code);

}  // namespace fen
