// The product title of an instance: the window title and the name of its instance lock.
#pragma once

#include <cstdio>
#include <string>

#include "engine/string_table.h"

namespace fen {

// "TARN PL-33QV v2.00 Updater" for instance 1, "TARN PL-33QV v2.00 Updater (n)" otherwise.
inline std::string ProductTitleFor(int instance) {
  if (instance == 1) return kProductTitle;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, kProductTitleNumbered, instance);
  return buffer;
}

}  // namespace fen
