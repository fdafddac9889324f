// Reading one firmware image of a release folder, with a message that names the file at fault.
// One file per platform: image_file_posix.cpp, image_file_win.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fen {

// Reads exactly `expected` bytes from `path` into `out`, or says why not in `error`.
bool ReadImageFile(const std::string& path, std::size_t expected, std::vector<std::uint8_t>& out,
                   std::string& error);

inline std::string SizeMismatch(const std::string& path, std::uintmax_t actual,
                                std::size_t expected) {
  return path + " is " + std::to_string(actual) + " bytes; expected " + std::to_string(expected) +
         " bytes";
}

}  // namespace fen
