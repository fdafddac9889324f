// Elsewhere than Windows the arguments arrive as the bytes the user gave: passed on as they are.
#include "command_line.h"

namespace fen {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace fen
