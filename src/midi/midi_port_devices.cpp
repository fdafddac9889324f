// The device list that the input and the output port share.
#include "midi/midi_port_devices.h"

#include "platform/midi/device_names.h"

namespace fen {

int MidiPortDevices::GetDeviceCount() {
  return static_cast<int>(direction_ == Direction::kInput ? devices_driver_.midiInGetNumDevs()
                                                          : devices_driver_.midiOutGetNumDevs());
}

void MidiPortDevices::GetDeviceName(int device_index, char* destination) {
  CopyDeviceName(GetDeviceName(device_index), destination, kDeviceNameCapacity);
}

std::string MidiPortDevices::GetDeviceName(int device_index) {
  const auto device = static_cast<std::uint32_t>(device_index);
  std::string name;
  const MMRESULT result = direction_ == Direction::kInput
                              ? devices_driver_.midiInGetDevCaps(device, &name)
                              : devices_driver_.midiOutGetDevCaps(device, &name);
  if (result != MMSYSERR_NOERROR) name.clear();
  return name;
}

std::vector<std::string> MidiPortDevices::GetDeviceNames() {
  std::vector<std::string> names;
  const int count = GetDeviceCount();
  for (int i = 0; i < count; ++i) names.push_back(GetDeviceName(i));
  return names;
}

}  // namespace fen
