// Appending to the log file with the POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/log_file.h"

namespace fen {

void AppendToExistingFile(const char* name, const std::string& line) {
  // No O_CREAT: a missing file is never made, not even when it vanishes between calls.
  // O_NONBLOCK keeps a FIFO of that name from stalling the caller.
  const int fd = ::open(name, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // One write of the whole line: with O_APPEND, lines of concurrent copies never interleave.
    // A failed or short write (full disk) is dropped; the caller's error handling follows anyway.
    [[maybe_unused]] const ssize_t written = ::write(fd, line.data(), line.size());
  }
  ::close(fd);
}

}  // namespace fen
