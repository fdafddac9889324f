// The terminal's width on POSIX systems: TIOCGWINSZ on the stream's descriptor.
#include <sys/ioctl.h>
#include <unistd.h>

#include "progress_line.h"

namespace fen {

int TerminalColumns(std::FILE* file) {
  struct winsize size {};
  const int fd = ::fileno(file);
  if (fd < 0 || !::isatty(fd) || ::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

}  // namespace fen
