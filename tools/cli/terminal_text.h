// Text from outside the program (port names from the MIDI system, file names) made safe to
// print on a terminal: control characters cannot move the cursor, set the title or start a
// fake line.
#pragma once

#include <string>

namespace fen {

// `text` with every control character shown as an escape: "\n", "\r", "\t", "\e" for ESC, "\xNN"
// for the other C0 controls, DEL and bytes that are not UTF-8, "\u{NNNN}" for the C1 controls,
// the line and paragraph separators and the bidirectional controls. Printable text, UTF-8
// included, is kept as it is.
std::string TerminalText(const std::string& text);

}  // namespace fen
