// Opening and writing output files with the POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/output_file.h"

namespace fen {

namespace {

// What a file that is not a regular one is, for a message.
const char* KindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::string NotRegular(const std::string& path, mode_t mode) {
  if (S_ISLNK(mode)) return path + " is a symbolic link: it is not written through";
  return path + " is " + KindOf(mode) + ", not a regular file: it is not written to";
}

// The reason an open of `path` without following links failed.
std::string OpenFailure(const std::string& path, int code) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return NotRegular(path, st.st_mode);
  return "cannot open " + path + ": " + std::strerror(code);
}

}  // namespace

AppendFile::~AppendFile() { Close(); }

void AppendFile::Close() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

// O_NOFOLLOW: neither a link to a file nor a dangling one (which O_CREAT would make the target
// of) is opened. O_NONBLOCK: a FIFO without a reader is refused at once instead of stalling the
// open, and one with a reader is refused by the check below before anything is written.
AppendFile::Opened AppendFile::Open(const std::string& path, bool create, std::string* error) {
  Close();
  path_ = path;
  const int fd = ::open(
      path.c_str(),
      O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0),
      0644);
  if (fd < 0) {
    const int code = errno;
    if (code == ENOENT && !create) return Opened::kMissing;
    *error = OpenFailure(path, code);
    return Opened::kRefused;
  }
  handle_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = "cannot examine " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *error = NotRegular(path, st.st_mode);
  } else if (st.st_uid != ::geteuid()) {
    // Lines appended to another user's file would pass for that user's, next to whatever they
    // put there; and root must not be led to append to a file it was shown.
    *error = path + " belongs to another user (uid " + std::to_string(st.st_uid) +
             "): it is not appended to";
  } else if (st.st_nlink != 1) {
    *error =
        path + " has " + std::to_string(st.st_nlink) + " names (hard links): it is not appended to";
  } else if (::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
  } else {
    return Opened::kOk;
  }
  Close();
  return Opened::kRefused;
}

bool AppendFile::Append(std::string_view bytes, bool sync, std::string* error) {
  if (handle_ == -1) {
    *error = "cannot write " + path_ + ": it is not open";
    return false;
  }
  const int fd = static_cast<int>(handle_);
  ssize_t written = -1;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(bytes.size())) {
    *error = "cannot write " + path_ + ": " +
             (written < 0 ? std::strerror(errno) : "the line was cut short");
    return false;
  }
  if (sync && ::fsync(fd) != 0) {
    *error = "cannot flush " + path_ + " to the disk: " + std::strerror(errno);
    return false;
  }
  return true;
}

namespace {

// Makes a new file beside `path`, exclusively and never through a link; -1 with `error` set.
int CreateBeside(const std::string& path, std::string* temporary, std::string* error) {
  static std::atomic<unsigned> serial{0};
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    *temporary = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) *error = "cannot create " + *temporary + ": " + std::strerror(errno);
  return fd;
}

// A `path` that exists and is anything but a regular file is refused.
bool RefusedInPlace(const std::string& path, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return false;
  *error = NotRegular(path, st.st_mode);
  return true;
}

}  // namespace

bool CheckReplaceable(const std::string& path, std::string* error) {
  if (RefusedInPlace(path, error)) return false;
  std::string temporary;
  const int fd = CreateBeside(path, &temporary, error);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(temporary.c_str());
  return true;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string* error) {
  if (RefusedInPlace(path, error)) return false;
  std::string temporary;
  const int fd = CreateBeside(path, &temporary, error);
  if (fd < 0) return false;
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

}  // namespace fen
