// The record file on POSIX systems: O_APPEND, one write per line, fsync; local time from
// localtime_r.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run_events.h"

namespace fen {

std::tm LocalTime(std::time_t t, long* utc_offset_seconds) {
  std::tm local{};
  localtime_r(&t, &local);
  *utc_offset_seconds = local.tm_gmtoff;
  return local;
}

namespace {

int OpenRecord(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) *error = "cannot write the record " + path + ": " + std::strerror(errno);
  return fd;
}

}  // namespace

bool CheckRecordWritable(const std::string& path, std::string* error) {
  const int fd = OpenRecord(path, error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool AppendRecord(const std::string& path, const JsonLine& line, std::string* error) {
  const int fd = OpenRecord(path, error);
  if (fd < 0) return false;
  const std::string text = DumpJson(line) + "\n";
  // One write of the whole line: appends of several processes do not interleave within it.
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int write_error = errno;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (written != static_cast<ssize_t>(text.size())) {
    *error = "cannot write the record " + path + ": " +
             (written < 0 ? std::strerror(write_error) : "the line was cut short");
    return false;
  }
  if (!synced) {
    *error = "cannot flush the record " + path + " to the disk: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace fen
