// The image table, and a release folder's images read from disk with a message that names the
// file at fault.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "res/firmware.h"

namespace fen {

const std::vector<FirmwareImageInfo>& FirmwareImageTable() {
  static const std::vector<FirmwareImageInfo> specs = {
      {129, 720896},
      {133, 12288},
      {136, 262144},
      {137, 2912256},
  };
  return specs;
}

namespace {

std::string SizeMismatch(const std::string& path, std::uintmax_t actual, std::size_t expected) {
  return path + " is " + std::to_string(actual) + " bytes; expected " + std::to_string(expected) +
         " bytes";
}

// Reads exactly `expected` bytes from `path` into `out`, or says why not. O_NONBLOCK keeps a
// FIFO of that name from stalling the caller; it does not change reads of a regular file.
bool ReadImage(const std::string& path, std::size_t expected, std::vector<std::uint8_t>& out,
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

}  // namespace

std::optional<FirmwareSet> FirmwareSet::LoadFolder(const std::string& folder, std::string* error) {
  FirmwareSet set;
  set.storage_ = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
  set.storage_->reserve(FirmwareImageTable().size());
  std::string message;
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/" +
                             std::to_string(entry.resource_id) + ".bin";
    std::vector<std::uint8_t> bytes;
    if (!ReadImage(path, entry.size, bytes, message)) {
      if (error != nullptr) *error = message;
      return std::nullopt;
    }
    set.storage_->push_back(std::move(bytes));
    set.images_[entry.resource_id] = {set.storage_->back().data(), entry.size};
  }
  return set;
}

FirmwareImage FirmwareSet::Find(int resource_id) const {
  const auto it = images_.find(resource_id);
  return it == images_.end() ? FirmwareImage{} : it->second;
}

}  // namespace fen
