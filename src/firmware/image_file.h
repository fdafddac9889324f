// Reading and writing the files of a release folder, with a refusal that names the file at
// fault. The checks are image_file.cpp's, the system's calls image_file_posix.cpp's and
// image_file_win.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/refusal.h"
#include "platform/output_file.h"  // WriteFileReplacing, for the tools that write releases

namespace fen {

// The path of a name given as UTF-8 text (a command line, a setting), and a path's UTF-8 text for
// a message. On Windows both go through the wide form: a narrow std::string given to
// std::filesystem::path is read in the ANSI code page, which cannot spell every name.
std::filesystem::path Utf8Path(std::string_view text);
std::string PathText(const std::filesystem::path& path);

// Exactly `expected` bytes read from `path`, or why not.
Checked<std::vector<std::uint8_t>> ReadImageFile(const std::filesystem::path& path,
                                                 std::size_t expected);

// A small text file (a manifest, a signature, a key) of at most `limit` bytes. The file is
// opened once, without waiting on a FIFO, and what is checked is the opened file itself. A link
// is refused unless `follow_link` (a file the user names, such as a key, may be one; a file found
// in a release folder may not). A file that is not there is no refusal: the value is then empty.
Checked<std::optional<std::string>> ReadSmallFile(const std::filesystem::path& path,
                                                  std::size_t limit, bool follow_link = false);

inline std::string SizeMismatch(const std::string& path, std::uintmax_t actual,
                                std::size_t expected) {
  return path + " is " + std::to_string(actual) + " bytes; expected " + std::to_string(expected) +
         " bytes";
}

}  // namespace fen
