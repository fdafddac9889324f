// Appending to the log file on POSIX systems.
#include "log/log_file.h"
#include "platform/output_file.h"

namespace fen {

void AppendToExistingFile(const char* name, const std::string& line) {
  // create=false: a missing file is never made, not even when it vanishes between calls. A link,
  // a FIFO, a folder or another user's file of that name is left alone.
  AppendFile file;
  std::string ignored;
  if (file.Open(name, /*create=*/false, &ignored) != AppendFile::Opened::kOk) return;
  // One write of the whole line: lines of concurrent copies never interleave. A failed or short
  // write (full disk) is dropped; the caller's error handling follows anyway.
  file.Append(line, /*sync=*/false, &ignored);
}

}  // namespace fen
