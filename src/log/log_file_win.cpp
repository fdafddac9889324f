// Appending to the log file on Windows. The line is stored as a text-mode write stores it there,
// with a carriage return before the line feed.
#include "log/log_file.h"
#include "platform/output_file.h"

namespace fen {

void AppendToExistingFile(const char* name, const std::string& line) {
  // create=false: a missing file is never made. A link, a folder or a device of that name is
  // left alone.
  AppendFile file;
  std::string ignored;
  if (file.Open(name, /*create=*/false, &ignored) != AppendFile::Opened::kOk) return;
  std::string text;
  text.reserve(line.size() + 2);
  for (char c : line) {
    if (c == '\n') text += '\r';
    text += c;
  }
  // One write of the whole line; a failed or short one (full disk) is dropped, the caller's
  // error handling follows anyway.
  file.Append(text, /*sync=*/false, &ignored);
}

}  // namespace fen
