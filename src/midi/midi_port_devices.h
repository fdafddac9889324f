// The device list of one direction, as the input and the output port give it: how many
// devices there are and their names, a list position being the driver's device index.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/midi/midi_driver.h"

namespace fen {

class MidiPortDevices {
 public:
  enum class Direction { kInput, kOutput };

  // Names are UTF-8: up to kMaxPnameChars characters of up to 4 bytes each, so the copy's
  // capacity is kDeviceNameCapacity bytes (terminator included), and a name is never cut
  // inside a character.
  static constexpr std::size_t kDeviceNameCapacity = 128;

  int GetDeviceCount();
  void GetDeviceName(int device_index, char* destination);  // destination: 260 bytes
  // Empty when the driver cannot report the device's capabilities.
  std::string GetDeviceName(int device_index);
  // Every device's name, in device index order.
  std::vector<std::string> GetDeviceNames();

 protected:
  MidiPortDevices(MidiDriver& driver, Direction direction)
      : devices_driver_(driver), direction_(direction) {}

 private:
  MidiDriver& devices_driver_;
  Direction direction_;
};

}  // namespace fen
