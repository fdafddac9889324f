// The program's arguments as UTF-8, the encoding of every name and path inside the program.
#pragma once

#include <string>
#include <vector>

namespace fen {

// On Windows the arguments are read again from the wide command line (argv holds them in the
// ANSI code page, which cannot hold every name); elsewhere they are argv's own.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace fen
