// The user-visible texts, by string ID (101 to 115).
#pragma once

#include <cstdint>
#include <string>

namespace fen {

inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDS_TIMEOUT_IDENTITY = 102;
inline constexpr int IDS_TIMEOUT_WRITE = 103;
inline constexpr int IDS_TIMEOUT_ERASE = 104;
inline constexpr int IDS_ILLEGAL_DEVICE = 105;
inline constexpr int IDS_USE_UPDATE_MODE = 106;
inline constexpr int IDS_TRANSFER_ERROR = 107;
inline constexpr int IDS_UPDATE_COMPLETED = 108;
inline constexpr int IDS_IN_PROGRESS = 109;
inline constexpr int IDS_CANT_OPEN_MIDI_IN = 110;
inline constexpr int IDS_ERROR_CAPTION = 111;
inline constexpr int IDS_CANT_OPEN_MIDI_OUT = 113;
inline constexpr int IDS_ERASING_FLASH = 114;
inline constexpr int IDS_DATA_TRANSMIT = 115;

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
