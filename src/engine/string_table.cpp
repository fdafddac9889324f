// The user-visible texts by string ID, and the two formatted texts the worker shows while a
// run is under way.
#include "engine/string_table.h"

#include <cstdio>

namespace fen {

namespace {

// Kept as a literal so that the compiler checks the arguments that fill it.
constexpr char kDataTransmitFormat[] = "Data transmit  %d / %d ";

struct StringEntry {
  int id;
  const char* text;
};

constexpr StringEntry kStringTable[] = {
    {IDS_ABOUTBOX, "About PL-21K Updater(&A)..."},
    {IDS_TIMEOUT_IDENTITY, "Time out error(1)"},
    {IDS_TIMEOUT_WRITE, "Time out error(2)"},
    {IDS_TIMEOUT_ERASE, "Time out error(3)"},
    {IDS_ILLEGAL_DEVICE, "Illegal device connected."},
    {IDS_USE_UPDATE_MODE, "Please use the firmware update mode."},
    {IDS_TRANSFER_ERROR, "Transfer error occurred."},
    {IDS_UPDATE_COMPLETED, "Version update completed."},
    {IDS_IN_PROGRESS, "In Progress."},
    {IDS_CANT_OPEN_MIDI_IN, "Can't open MIDI In device."},
    {IDS_ERROR_CAPTION, "Error"},
    {IDS_CANT_OPEN_MIDI_OUT, "Can't open MIDI Out device."},
    {IDS_ERASING_FLASH, "Erasing Flash memory."},
    {IDS_DATA_TRANSMIT, kDataTransmitFormat},
    {IDS_PORTS_IN_USE, "The device's MIDI ports are in use by another update."},
    {IDS_OTHER_HOST, "Another program is talking to the device."},
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
