// Reading and writing the files of a release folder, with a message that names the file at
// fault. The checks are image_file.cpp's, the system's calls image_file_posix.cpp's and
// image_file_win.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fen {

// Reads exactly `expected` bytes from `path` into `out`, or says why not in `error`.
bool ReadImageFile(const std::string& path, std::size_t expected, std::vector<std::uint8_t>& out,
                   std::string& error);

// Reads a small text file (a manifest, a signature, a key) of at most `limit` bytes. The file
// is opened once, without waiting on a FIFO, and what is checked is the opened file itself. A
// link is refused unless `follow_link` (a file the user names, such as a key, may be one; a file
// found in a release folder may not). 0: read; 1: there is no such file; -1: refused, said in
// `error`.
int ReadSmallFile(const std::string& path, std::size_t limit, std::string* text, std::string* error,
                  bool follow_link = false);

// Replaces `path` with `bytes`: written to a new file beside it, created exclusively, then
// renamed over it, so that a failed write leaves the old file and a link planted under the
// new name is never followed. A `path` that is a link is refused, not written through.
bool WriteFileReplacing(const std::string& path, std::string_view bytes, std::string* error);

inline std::string SizeMismatch(const std::string& path, std::uintmax_t actual,
                                std::size_t expected) {
  return path + " is " + std::to_string(actual) + " bytes; expected " + std::to_string(expected) +
         " bytes";
}

}  // namespace fen
