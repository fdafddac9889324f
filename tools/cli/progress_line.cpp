// Fitting the progress line to the terminal. Column widths are worked out here rather than with
// wcwidth(), which answers only in a UTF-8 locale that the program would have to switch to.
#include "progress_line.h"

#include <algorithm>
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

std::string CutAtWord(const std::string& text, int columns) {
  if (columns <= 0) return {};
  if (DisplayColumns(text) <= columns) return text;
  std::string cut = Cut(text, columns);
  // Never half a word or half a number: back to the last space, then without the spaces and
  // separators it leaves at the end ("Data transmit  20480 /" becomes "Data transmit  20480").
  if (const std::size_t space = cut.find_last_of(' '); space != std::string::npos && space > 0) {
    cut.resize(space);
    while (!cut.empty() && std::string(" /:,;-").find(cut.back()) != std::string::npos) {
      cut.pop_back();
    }
  }
  return cut;
}

std::vector<std::string> WrapWords(const std::string& text, int columns,
                                   const std::string& indent) {
  if (columns <= 0 || DisplayColumns(text) <= columns) return {text};
  std::vector<std::string> lines;
  std::string line;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    at = end + 1;
    const std::string joined =
        line.empty() ? (lines.empty() ? "" : indent) + word : line + " " + word;
    if (!line.empty() && DisplayColumns(joined) > columns) {
      lines.push_back(line);
      line = indent + word;
    } else {
      line = joined;
    }
  }
  if (!line.empty()) lines.push_back(line);
  for (std::string& each : lines) each = Cut(each, columns);
  return lines;
}

namespace {

std::string Bar(double fraction, int width) {
  std::string bar(static_cast<std::size_t>(width), '.');
  const int filled = static_cast<int>(fraction * width);
  for (int i = 0; i < filled && i < width; ++i) bar[static_cast<std::size_t>(i)] = '#';
  return " [" + bar + "]";
}

std::string Percent(double fraction) {
  char percent[16];
  std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(fraction * 100));
  return percent;
}

std::string PadTo(std::string text, int columns) {
  const int used = DisplayColumns(text);
  if (used < columns) text.append(static_cast<std::size_t>(columns - used), ' ');
  return text;
}

// A label cut from its middle, so that what tells numbered siblings apart stays: "USB Audio
// Device (2)" becomes "USB Audio (2)".
std::string CutLabel(const std::string& label, int columns) {
  if (DisplayColumns(label) <= columns) return label;
  const std::size_t space = label.find_last_of(' ');
  if (space == std::string::npos || space == 0) return CutAtWord(label, columns);
  const std::string last = label.substr(space);
  const int front = columns - DisplayColumns(last);
  if (front < 3) return CutAtWord(label, columns);
  return CutAtWord(label.substr(0, space), front) + last;
}

constexpr int kMaxBar = 24;
constexpr int kMinBar = 8;

}  // namespace

std::string FitProgressLine(const ProgressFields& f, int columns) {
  constexpr int kStatusWidth = 32;
  const std::string head = f.prefix + f.step + "  ";
  const std::string percent = Percent(f.fraction);
  const std::string bytes = "  " + f.bytes;
  const std::string rate = "  " + f.rate + "/s";
  const std::string eta = "  left " + f.eta;
  if (columns <= 0) {
    return head + PadTo(f.status, kStatusWidth) + Bar(f.fraction, kMaxBar) + percent + bytes +
           rate + eta;
  }
  const int room = columns - 1;
  // What goes first is what tells least: the byte count, then the bar, the rate, the time
  // left; the percentage stays, and only then is the status text cut.
  struct Choice {
    bool bar;
    std::string tail;
  };
  const Choice choices[] = {{true, bytes + rate + eta},
                            {true, rate + eta},
                            {false, rate + eta},
                            {false, eta},
                            {false, ""}};
  for (const Choice& choice : choices) {
    for (const int status_width : {kStatusWidth, 0}) {
      const std::string status = PadTo(f.status, status_width);
      const int fixed = DisplayColumns(head + status + percent + choice.tail);
      if (!choice.bar) {
        if (fixed <= room) return head + status + percent + choice.tail;
        continue;
      }
      const int bar = std::min(kMaxBar, room - fixed - 3);
      if (bar >= kMinBar) return head + status + Bar(f.fraction, bar) + percent + choice.tail;
    }
  }
  const int fixed = DisplayColumns(head) + DisplayColumns(percent);
  if (fixed < room) return head + CutAtWord(f.status, room - fixed) + percent;
  return Cut(head + f.status + percent, room);
}

std::string FitBoardLine(const std::string& label, double fraction, const std::string& state,
                         int columns) {
  constexpr int kLabelWidth = 24;
  const std::string percent = Percent(fraction);
  const std::string tail = percent + "  " + state;
  if (columns <= 0) return PadTo(label, kLabelWidth) + Bar(fraction, kMaxBar) + tail;
  const int room = columns - 1;
  // The bar narrows and goes first, then the labels' column, then the state is cut at a word
  // and last the label.
  for (const std::string& head : {PadTo(label, kLabelWidth), label}) {
    const int fixed = DisplayColumns(head + tail);
    const int bar = std::min(kMaxBar, room - fixed - 3);
    if (bar >= kMinBar) return head + Bar(fraction, bar) + tail;
    if (fixed <= room) return head + tail;
  }
  const std::string head = CutLabel(label, std::max(room / 3, 8));
  const int left = room - DisplayColumns(head + percent) - 2;
  if (left > 0) return head + percent + "  " + CutAtWord(state, left);
  return Cut(head + percent, room);
}

}  // namespace fen
