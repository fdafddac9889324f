// JSON lines of the command-line tool, written with nlohmann-json.
#include "json_line.h"

#include <cstdio>

#include "firmware/untrusted_text.h"

namespace fen {

// nlohmann-json escapes the C0 controls alone. DEL, the C1 controls and the bidirectional
// controls, which a terminal that shows the stream may act on, are escaped here too: the same
// text to a JSON reader, inert on a screen. They can only stand inside strings, as the rest of
// the line is ASCII.
std::string DumpJson(const JsonLine& value) {
  const std::string dumped =
      value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::string line;
  line.reserve(dumped.size());
  char escape[16];
  for (std::size_t i = 0; i < dumped.size();) {
    const auto c = static_cast<unsigned char>(dumped[i]);
    char32_t code = c;
    const std::size_t length = c < 0x80 ? 1 : DecodeUtf8(dumped, i, &code);
    if (length != 0 && (code == 0x7F || IsFormattingControl(code))) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      line += escape;
    } else {
      line.append(dumped, i, length == 0 ? 1 : length);
    }
    i += length == 0 ? 1 : length;
  }
  return line;
}

void PrintJsonLine(std::FILE* out, const JsonLine& value) {
  const std::string line = DumpJson(value) + "\n";
  std::fputs(line.c_str(), out);
  std::fflush(out);
}

}  // namespace fen
