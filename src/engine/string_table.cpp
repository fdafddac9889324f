// The user-visible texts by string ID, and the two formatted texts the worker shows while a
// run is under way.
#include "engine/string_table.h"

#include <cstdio>

namespace fen {

namespace {

// The format's own name, so that the compiler checks the arguments that fill it.
#define FEN_STRING(id, text)
#include "engine/string_table.def"
#undef FEN_STRING
constexpr char kDataTransmitFormat[] = FEN_TEXT_DATA_TRANSMIT;

struct StringEntry {
  int id;
  const char* text;
};

constexpr StringEntry kStringTable[] = {
#define FEN_STRING(id, text) {id, text},
#include "engine/string_table.def"
#undef FEN_STRING
};

}  // namespace

std::string LoadString(int id) {
  for (const StringEntry& entry : kStringTable) {
    if (entry.id == id) return entry.text;
  }
  return {};
}

std::string FormatDataTransmit(std::int32_t offset, std::int32_t length) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, kDataTransmitFormat, static_cast<int>(offset),
                static_cast<int>(length));
  return buffer;
}

std::string FormatStepCounter(int step, int total) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%d/%d", step, total);
  return buffer;
}

}  // namespace fen
