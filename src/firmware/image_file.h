// Reading and writing the files of a release folder, with a message that names the file at
// fault. The checks are image_file.cpp's, the system's calls image_file_posix.cpp's and
// image_file_win.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/output_file.h"  // WriteFileReplacing, for the tools that write releases

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

inline std::string SizeMismatch(const std::string& path, std::uintmax_t actual,
                                std::size_t expected) {
  return path + " is " + std::to_string(actual) + " bytes; expected " + std::to_string(expected) +
         " bytes";
}

}  // namespace fen
