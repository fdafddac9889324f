// Reading one firmware image file with the POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "res/image_file.h"

namespace fen {

// O_NONBLOCK keeps a
// FIFO of that name from stalling the caller; it does not change reads of a regular file.
bool ReadImageFile(const std::string& path, std::size_t expected, std::vector<std::uint8_t>& out,
                   std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno == ENOENT ? "missing firmware image " + path
                            : "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = path + " is not a regular file";
    return false;
  }
  if (static_cast<std::uintmax_t>(st.st_size) != expected) {
    ::close(fd);
    error = SizeMismatch(path, static_cast<std::uintmax_t>(st.st_size), expected);
    return false;
  }
  // One byte more than expected is asked for, to notice a file that grew after the fstat.
  out.resize(expected + 1);
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got != expected) {
    error =
        path + " changed size while it was read; expected " + std::to_string(expected) + " bytes";
    return false;
  }
  out.resize(expected);
  return true;
}

}  // namespace fen
