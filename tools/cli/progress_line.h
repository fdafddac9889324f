// The redrawn progress line of the command-line tool, fitted to the terminal's width so that
// it never wraps: fields are dropped from the right as the terminal narrows.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace fen {

struct ProgressFields {
  std::string prefix;   // "<device>: " when several devices run, else empty
  std::string step;     // "3/9"
  std::string status;   // the status line
  double fraction = 0;  // of the whole update, 0 to 1
  std::string bytes;    // "1.2 MiB"
  std::string rate;     // "40 KiB"
  std::string eta;      // "1:05"
};

// The line in at most `columns - 1` display columns (the last column is left free: some
// terminals wrap on it). Dropped first to last: the bytes, the bar (which narrows before it
// goes), the rate, the time left; the percentage stays, and then the status text is cut at a
// word. `columns` <= 0: no limit.
std::string FitProgressLine(const ProgressFields& fields, int columns);

// One device's line of the --all board in at most `columns - 1` display columns: its label,
// a bar, the percentage and its state ("updating", the completion, "Error: ...").
std::string FitBoardLine(const std::string& label, double fraction, const std::string& state,
                         int columns);

// `text` in at most `columns` display columns, cut after a whole word rather than within one.
std::string CutAtWord(const std::string& text, int columns);

// `text` broken at spaces into lines of at most `columns` display columns, the lines after the
// first starting with `indent`. `columns` <= 0: one line.
std::vector<std::string> WrapWords(const std::string& text, int columns, const std::string& indent);

// Display columns of UTF-8 text: wide East Asian characters count two, combining marks none.
int DisplayColumns(const std::string& text);

// The width of the terminal that `file` writes to, read anew at each call so that a resized
// terminal is followed; 0 when it is not a terminal or does not say.
int TerminalColumns(std::FILE* file);

}  // namespace fen
