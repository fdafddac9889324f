// The user-visible texts, by string ID (101 to 115).
#pragma once

#include <cstdint>
#include <string>

#include "engine/resource.h"

namespace fen {

// The text of a string ID; empty for an ID the table does not have.
std::string LoadString(int id);

// String 115 filled with the block's offset (bytes acknowledged before it) and the image length,
// e.g. "Data transmit  2048 / 12288 "; the two inner blanks and the trailing blank are kept.
std::string FormatDataTransmit(std::int32_t offset, std::int32_t length);
// The step counter's text, "%d/%d": the running row and the row count.
std::string FormatStepCounter(int step, int total);

// The product title (window title of instance 1, instance names, About box text).
inline constexpr const char* kProductTitle = "TARN PL-33QV v2.00 Updater";
inline constexpr const char* kProductTitleNumbered = "TARN PL-33QV v2.00 Updater (%d)";

}  // namespace fen
