// The console's width on Windows: the visible window of its screen buffer.
#include <io.h>
#include <windows.h>

#include "progress_line.h"

namespace fen {

int TerminalColumns(std::FILE* file) {
  const intptr_t handle = ::_get_osfhandle(::_fileno(file));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (handle == -1 || !::GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(handle), &info)) {
    return 0;
  }
  return info.srWindow.Right - info.srWindow.Left + 1;
}

}  // namespace fen
