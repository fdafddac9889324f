// A file opened for reading with the platform's own calls (image_file_posix.cpp,
// image_file_win.cpp); image_file.cpp makes its checks and messages from what it says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace fen {

class ReadOnlyFile {
 public:
  enum class Opened { kOk, kMissing, kLink, kNotRegular, kFailed };

  ReadOnlyFile() = default;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();

  // Opens `path` without waiting on a FIFO or a device. Unless `follow_link`, a link is not
  // followed but answered kLink. kNotRegular: a folder, a device, a pipe. kFailed: see Failure.
  Opened Open(const std::filesystem::path& path, bool follow_link);
  // The opened file's size when it was opened.
  std::uintmax_t Size() const { return size_; }
  // Reads up to `want` bytes into `data`, fewer only at the end of the file; false on an error.
  bool ReadUpTo(void* data, std::size_t want, std::size_t* got);
  // The system's words for the last failure of Open or ReadUpTo.
  const std::string& Failure() const { return failure_; }

 private:
  std::intptr_t handle_ = -1;
  std::uintmax_t size_ = 0;
  std::string failure_;
};

}  // namespace fen
