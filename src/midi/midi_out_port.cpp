// CMidiOutPort sends whole long messages and short messages to one output device;
// CMidiOutBank keeps sixteen of them with assigned devices and skip flags.
#include "midi/midi_out_port.h"

#include <utility>

namespace fen {

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(MIDIHDR);

template <std::size_t... I>
std::array<CMidiOutPort, sizeof...(I)> MakePorts(MidiDriver& driver, std::index_sequence<I...>) {
  return {{(static_cast<void>(I), CMidiOutPort(driver))...}};
}

}  // namespace

CMidiOutPort::CMidiOutPort(MidiDriver& driver)
    : MidiPortDevices(driver, Direction::kOutput), driver_(driver) {}

CMidiOutPort::~CMidiOutPort() { Close(); }

bool CMidiOutPort::Open(std::int32_t device_index) {
  if (handle_.load() != 0) {
    if (device_index_ == device_index) return true;
    Close();
  }
  device_index_ = device_index;
  // No selection is never taken to mean some default device (the platform's mapper).
  if (device_index < 0) return false;
  HMIDIOUT handle = 0;
  if (driver_.midiOutOpen(&handle, device_index, 0, 0, 0) != MMSYSERR_NOERROR || handle == 0) {
    return false;
  }
  handle_.store(handle);
  return true;
}

bool CMidiOutPort::Close() {
  // Taking the handle first means no new send starts on it; a sender already waiting on it is
  // woken by the driver when the handle closes, and the handle is never used for another device.
  const HMIDIOUT handle = handle_.exchange(0);
  if (handle == 0) return false;
  driver_.midiOutClose(handle);
  return true;
}

bool CMidiOutPort::SendLong(MIDIHDR* header) {
  const HMIDIOUT handle = handle_.load();
  if (handle == 0 || header == nullptr) return false;
  if (driver_.midiOutPrepareHeader(handle, header, kHeaderSize) != MMSYSERR_NOERROR) return false;
  if (driver_.midiOutLongMsg(handle, header, kHeaderSize) != MMSYSERR_NOERROR) {
    driver_.midiOutUnprepareHeader(handle, header, kHeaderSize);
    return false;
  }
  if (!driver_.midiOutWaitDone(handle, header, send_bound_ms_.load())) {
    // The header is the caller's and is reused once we return: make the driver let go of it
    // before taking it back.
    driver_.midiOutReset(handle);
    driver_.midiOutUnprepareHeader(handle, header, kHeaderSize);
    return false;
  }
  driver_.midiOutUnprepareHeader(handle, header, kHeaderSize);
  return true;
}

bool CMidiOutPort::SendShort(std::uint32_t message) {
  const HMIDIOUT handle = handle_.load();
  if (handle == 0) return false;
  return driver_.midiOutShortMsg(handle, message) == MMSYSERR_NOERROR;
}

bool CMidiOutPort::SendShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  return SendShort(static_cast<std::uint32_t>(status) | (static_cast<std::uint32_t>(data1) << 8) |
                   (static_cast<std::uint32_t>(data2) << 16));
}

CMidiOutBank::CMidiOutBank(MidiDriver& driver)
    : ports_(MakePorts(driver, std::make_index_sequence<kSlots>())),
      device_count_(static_cast<int>(driver.midiOutGetNumDevs())) {
  for (int& index : device_index_) index = -1;
}

int CMidiOutBank::AssignDevice(int slot, int device_index) {
  device_index_[slot] = device_index;
  return device_index;
}

void CMidiOutBank::SetSkip(int slot, int value) { skip_[slot] = value; }

bool CMidiOutBank::OpenAll() {
  for (int slot = 0; slot < kSlots; ++slot) {
    if (device_index_[slot] == -1) continue;
    if (!ports_[slot].Open(device_index_[slot])) return false;
  }
  return true;
}

bool CMidiOutBank::CloseAll() {
  for (int slot = 0; slot < kSlots; ++slot) {
    if (device_index_[slot] != -1) ports_[slot].Close();
  }
  return true;
}

bool CMidiOutBank::SendLong(int slot, MIDIHDR* header) {
  if (skip_[slot] == 1) return true;
  return ports_[slot].SendLong(header);
}

bool CMidiOutBank::SendShort(int slot, std::uint32_t message) {
  if (skip_[slot] == 1) return true;
  return ports_[slot].SendShort(message);
}

bool CMidiOutBank::SendShort(int slot, std::uint8_t status, std::uint8_t data1,
                             std::uint8_t data2) {
  if (skip_[slot] == 1) return true;
  return ports_[slot].SendShort(status, data1, data2);
}

void CMidiOutBank::AllNotesOff(int slot, int channel) {
  constexpr std::uint8_t kAllNotesOff = 123;
  if (channel >= 0 && channel < 16) {
    ports_[slot].SendShort(static_cast<std::uint8_t>(0xB0 + channel), kAllNotesOff, 0);
    return;
  }
  if (channel < 16) return;
  for (int c = 0; c < 16; ++c) {
    ports_[slot].SendShort(static_cast<std::uint8_t>(0xB0 + c), kAllNotesOff, 0);
  }
}

void CMidiOutBank::GetDeviceName(int /*slot*/, int device_index, char* destination) {
  ports_[0].GetDeviceName(device_index, destination);
}

}  // namespace fen
