// Reading and writing the files of a release folder with the POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "firmware/image_file.h"
#include "firmware/read_only_file.h"

namespace fen {

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

// O_NONBLOCK keeps a FIFO of that name from stalling the caller; it does not change reads of a
// regular file.
ReadOnlyFile::Opened ReadOnlyFile::Open(const std::string& path, bool follow_link) {
  const int fd = ::open(
      path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow_link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    const int code = errno;
    struct stat st {};
    if (code == ENOENT) return Opened::kMissing;
    if (!follow_link &&
        (code == ELOOP || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)))) {
      return Opened::kLink;
    }
    failure_ = std::strerror(code);
    return Opened::kFailed;
  }
  handle_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return Opened::kNotRegular;
  size_ = static_cast<std::uintmax_t>(st.st_size);
  return Opened::kOk;
}

bool ReadOnlyFile::ReadUpTo(void* data, std::size_t want, std::size_t* got) {
  auto* bytes = static_cast<char*>(data);
  *got = 0;
  while (*got < want) {
    const ssize_t n = ::read(static_cast<int>(handle_), bytes + *got, want - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failure_ = std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace fen
