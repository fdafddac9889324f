// JSON lines of the command-line tool, written with nlohmann-json.
#include "json_line.h"

#include <cstdio>

namespace fen {

std::string DumpJson(const JsonLine& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void PrintJsonLine(std::FILE* out, const JsonLine& value) {
  const std::string line = DumpJson(value) + "\n";
  std::fputs(line.c_str(), out);
  std::fflush(out);
}

}  // namespace fen
