// Appending to the log file with the Windows calls. The line is stored as a text-mode write
// stores it there, with a carriage return before the line feed.
#include <windows.h>

#include "log/log_file.h"

namespace fen {

void AppendToExistingFile(const char* name, const std::string& line) {
  // OPEN_EXISTING: a missing file is never made. A folder of that name does not open without
  // FILE_FLAG_BACKUP_SEMANTICS; FILE_APPEND_DATA alone makes every write land at the end.
  HANDLE file = ::CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  if (::GetFileType(file) == FILE_TYPE_DISK) {
    std::string text;
    text.reserve(line.size() + 2);
    for (char c : line) {
      if (c == '\n') text += '\r';
      text += c;
    }
    // One write of the whole line; a failed or short one (full disk) is dropped, the caller's
    // error handling follows anyway.
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  ::CloseHandle(file);
}

}  // namespace fen
