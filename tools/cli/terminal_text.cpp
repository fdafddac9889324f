// Escaping of outside text for the terminal.
#include "terminal_text.h"

#include <cstdint>
#include <cstdio>

#include "firmware/untrusted_text.h"

namespace fen {

std::string TerminalText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  char escape[16];
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      shown += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      switch (c) {
        case '\n':
          shown += "\\n";
          break;
        case '\r':
          shown += "\\r";
          break;
        case '\t':
          shown += "\\t";
          break;
        case 0x1B:
          shown += "\\e";
          break;
        default:
          std::snprintf(escape, sizeof escape, "\\x%02X", c);
          shown += escape;
      }
      ++i;
      continue;
    }
    char32_t code = 0;
    const std::size_t length = DecodeUtf8(text, i, &code);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      shown += escape;
      ++i;
    } else if (IsFormattingControl(code)) {
      std::snprintf(escape, sizeof escape, "\\u{%04X}", static_cast<unsigned>(code));
      shown += escape;
      i += length;
    } else {
      shown.append(text, i, length);
      i += length;
    }
  }
  return shown;
}

}  // namespace fen
