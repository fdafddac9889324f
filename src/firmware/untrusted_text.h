// Text from outside the program (a release's version and trusted comment, a port's name): what
// in it could drive a terminal or reorder what is shown. The release's reader and tools refuse
// such text where they can; the command-line tool escapes it where it must show it.
#pragma once

#include <cstddef>
#include <string_view>

namespace fen {

// Length of the UTF-8 sequence at `s[i]` and its code point, or 0 when it is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
inline std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t* code) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

// The C1 controls, the line and paragraph separators and the bidirectional controls (marks,
// embeddings, overrides, isolates): invisible, yet they move or reorder what follows.
inline bool IsFormattingControl(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
         code == 0x200E || code == 0x200F || code == 0x061C;
}

// True when `text` holds a C0 control, DEL, a formatting control or bytes that are not UTF-8.
inline bool HoldsControlText(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c < 0x80) {
      ++i;
      continue;
    }
    char32_t code = 0;
    const std::size_t length = DecodeUtf8(text, i, &code);
    if (length == 0 || IsFormattingControl(code)) return true;
    i += length;
  }
  return false;
}

}  // namespace fen
