// The command-line tool's JSON: objects that keep their fields in the order they were added,
// written as one compact line.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace fen {

using JsonLine = nlohmann::ordered_json;

// Compact, fields in order. Text that is not UTF-8 (a port name from a driver, say) is
// replaced rather than refused: a line is never lost for one odd character.
std::string DumpJson(const JsonLine& value);

// DumpJson and a newline on `out`, flushed.
void PrintJsonLine(std::FILE* out, const JsonLine& value);

}  // namespace fen
