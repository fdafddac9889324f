// Files the programs write on a path they were given: the record, the diagnostic log, the
// simulated device's report, a release's manifest and signature. One way to open them, so that
// none is written through a link planted under its name, into a FIFO, a device or a folder, or,
// when appended to, into a file of another user's. The system's calls are in
// output_file_posix.cpp and output_file_win.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fen {

// A file opened for appending whole lines.
class AppendFile {
 public:
  enum class Opened { kOk, kMissing, kRefused };

  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile();

  // Opens `path` for appending, made when missing if `create` (kMissing otherwise, and nothing
  // is made). The name itself is opened, never a link's target, and without waiting on a FIFO;
  // the opened file is checked before a byte is written: a regular file of one name only, owned
  // by the user the program runs as. kRefused: `error` names the path and the reason.
  Opened Open(const std::string& path, bool create, std::string* error);
  bool IsOpen() const { return handle_ != -1; }
  // Appends `bytes` in one write (appends of other processes never land inside it), then, when
  // `sync`, flushes them to the disk.
  bool Append(std::string_view bytes, bool sync, std::string* error);
  void Close();

 private:
  std::intptr_t handle_ = -1;
  std::string path_;
};

// Says, before anything is done that the file should describe, whether WriteFileReplacing can
// write `path`: it is no link, FIFO, device or folder, and a new file can be made beside it.
bool CheckReplaceable(const std::string& path, std::string* error);

// Replaces `path` with `bytes`: written to a new file beside it, created exclusively, then
// renamed over it, so that a failed write leaves the old file and a link planted under the
// new name is never followed. A `path` that is a link, a FIFO, a device or a folder is refused,
// not written through.
bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string* error);

}  // namespace fen
