// The diagnostic log's file access, one file per platform (log_file_posix.cpp,
// log_file_win.cpp).
#pragma once

#include <string>

namespace fen {

// Appends `line` (ending in "\n") to the regular file `name` in the working directory in one
// write, only when that file exists: it is never created, nor written through a link, nor
// appended to when another user owns it (AppendFile). Failures are dropped.
void AppendToExistingFile(const char* name, const std::string& line);

}  // namespace fen
