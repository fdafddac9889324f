// Fitting the progress line to the terminal. Column widths are worked out here rather than with
// wcwidth(), which answers only in a UTF-8 locale that the program would have to switch to.
#include "progress_line.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace fen {

namespace {

int CodePointColumns(char32_t c) {
  if ((c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) || c == 0xFE0F) return 0;
  const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
                    (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
                    (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
                    (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                    (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                    (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                    (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
  return wide ? 2 : 1;
}

// Walks `text` one character at a time: its byte length and columns. Bytes that are not UTF-8
// count one column each.
template <typename Visit>
void ForEachCharacter(const std::string& text, Visit visit) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t code = lead;
    if (lead >= 0xC0) {
      length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      code = lead & (0x3F >> (length - 1));
      for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
          length = 1;
          code = lead;
          break;
        }
        code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
    }
    if (!visit(i, length, length == 1 && lead >= 0x80 ? 1 : CodePointColumns(code))) return;
    i += length;
  }
}

// `text` cut to at most `columns` display columns.
std::string Cut(const std::string& text, int columns) {
  std::size_t end = 0;
  int used = 0;
  ForEachCharacter(text, [&](std::size_t at, std::size_t length, int width) {
    if (used + width > columns) return false;
    used += width;
    end = at + length;
    return true;
  });
  return text.substr(0, end);
}

}  // namespace

int DisplayColumns(const std::string& text) {
  int columns = 0;
  ForEachCharacter(text, [&](std::size_t, std::size_t, int width) {
    columns += width;
    return true;
  });
  return columns;
}

std::string FitProgressLine(const ProgressFields& f, int columns) {
  constexpr int kBarWidth = 24;
  constexpr int kStatusWidth = 32;
  std::string bar(kBarWidth, '.');
  const int filled = static_cast<int>(f.fraction * kBarWidth);
  for (int i = 0; i < filled && i < kBarWidth; ++i) bar[static_cast<std::size_t>(i)] = '#';
  char percent[16];
  std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(f.fraction * 100));

  const std::string head = f.prefix + f.step + "  ";
  std::string status = f.status;
  const int status_columns = DisplayColumns(status);
  if (status_columns < kStatusWidth)
    status.append(static_cast<std::size_t>(kStatusWidth - status_columns), ' ');
  // In the line's order; dropped from the right, the bar (index 0) last.
  const std::vector<std::string> tail = {" [" + bar + "]", percent, "  " + f.bytes,
                                         "  " + f.rate + "/s", "  left " + f.eta};
  const std::vector<std::vector<std::size_t>> choices = {
      {0, 1, 2, 3, 4}, {0, 1, 2, 3}, {0, 1, 2}, {0, 1}, {1}};
  for (const auto& choice : choices) {
    std::string line = head + status;
    for (std::size_t i : choice) line += tail[i];
    if (columns <= 0 || DisplayColumns(line) <= columns - 1) return line;
  }
  // Only the percentage is left: the status text gives way, then everything is cut.
  const int room = columns - 1;
  const int fixed = DisplayColumns(head) + DisplayColumns(percent);
  if (fixed < room) return head + Cut(f.status, room - fixed) + percent;
  return Cut(head + f.status + percent, room);
}

}  // namespace fen
