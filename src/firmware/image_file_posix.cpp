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

// Names are bytes here, and UTF-8 is what the programs take and print.
std::filesystem::path Utf8Path(std::string_view text) { return std::string(text); }

std::string PathText(const std::filesystem::path& path) { return path.native(); }

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

// A name is looked at before it is opened: opening a device or a FIFO can act (a terminal
// multiplexer hands out a new terminal, a tape rewinds), so only a regular file, or a link to
// one when `follow_link`, is opened at all. O_NONBLOCK and O_NOCTTY cover a name swapped for
// such a file in between, and the opened file must be the one that was looked at.
ReadOnlyFile::Opened ReadOnlyFile::Open(const std::filesystem::path& path, bool follow_link) {
  struct stat seen {};
  if ((follow_link ? ::stat(path.c_str(), &seen) : ::lstat(path.c_str(), &seen)) != 0) {
    const int code = errno;
    if (code == ENOENT) return Opened::kMissing;
    failure_ = std::strerror(code);
    return Opened::kFailed;
  }
  if (S_ISLNK(seen.st_mode)) return Opened::kLink;
  if (!S_ISREG(seen.st_mode)) return Opened::kNotRegular;
  const int fd = ::open(
      path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow_link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    const int code = errno;
    if (code == ENOENT) return Opened::kMissing;
    if (!follow_link && code == ELOOP) return Opened::kLink;
    failure_ = std::strerror(code);
    return Opened::kFailed;
  }
  handle_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != seen.st_dev ||
      st.st_ino != seen.st_ino) {
    return Opened::kNotRegular;
  }
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
