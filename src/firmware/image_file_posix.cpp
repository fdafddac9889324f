// Reading and writing the files of a release folder with the POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "firmware/image_file.h"

namespace fen {

namespace {

// Reads up to `want` bytes; fewer only at the end of the file.
bool ReadUpTo(int fd, std::size_t want, std::string* out, std::size_t* got) {
  out->resize(want);
  *got = 0;
  while (*got < want) {
    const ssize_t n = ::read(fd, out->data() + *got, want - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  out->resize(*got);
  return true;
}

}  // namespace

int ReadSmallFile(const std::string& path, std::size_t limit, std::string* text, std::string* error,
                  bool follow_link) {
  const int fd = ::open(
      path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow_link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    const int code = errno;
    struct stat st {};
    if (code == ENOENT) return 1;
    if (!follow_link &&
        (code == ELOOP || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)))) {
      *error = path + " is a symbolic link, not a file of its own";
    } else {
      *error = "cannot open " + path + ": " + std::strerror(code);
    }
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = path + " is not a regular file";
    return -1;
  }
  const auto too_large = [&](std::uintmax_t size) {
    *error = path + " is " + std::to_string(size) + " bytes, more than the " +
             std::to_string(limit) + " it may have";
    return -1;
  };
  if (static_cast<std::uintmax_t>(st.st_size) > limit) {
    ::close(fd);
    return too_large(static_cast<std::uintmax_t>(st.st_size));
  }
  // One byte more than the limit is asked for, to notice a file that grew after the fstat.
  std::size_t got = 0;
  const bool read = ReadUpTo(fd, limit + 1, text, &got);
  const int code = errno;
  ::close(fd);
  if (!read) {
    *error = "cannot read " + path + ": " + std::strerror(code);
    return -1;
  }
  if (got > limit) return too_large(got);
  return 0;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    *error = path + " is a symbolic link: it is not written through; remove it first";
    return false;
  }
  static std::atomic<unsigned> serial{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const int code = errno;
  if (::close(fd) != 0 || done != bytes.size()) {
    *error =
        "cannot write " + temporary + ": " + std::strerror(done != bytes.size() ? code : errno);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

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
