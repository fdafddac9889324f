// CMidiOutPort: one MIDI output device; SendLong returns when the driver has finished with
// the message. CMidiOutBank: a table of 16 such ports with skip flags.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "midi/midi_port_devices.h"
#include "platform/midi/midi_driver.h"

namespace fen {

class CMidiOutPort : public MidiPortDevices {
 public:
  // Bound on the wait for the driver's done flag; past it SendLong fails.
  static constexpr std::uint32_t kDefaultSendBoundMs = 5000;

  explicit CMidiOutPort(MidiDriver& driver = DefaultMidiDriver());
  ~CMidiOutPort();
  CMidiOutPort(const CMidiOutPort&) = delete;
  CMidiOutPort& operator=(const CMidiOutPort&) = delete;

  bool Open(std::int32_t device_index);
  bool Close();
  bool IsOpen() const { return handle_.load() != 0; }
  std::int32_t device_index() const { return device_index_; }

  bool SendLong(MIDIHDR* header);
  bool SendShort(std::uint32_t message);
  bool SendShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);

  void set_send_bound_ms(std::uint32_t ms) { send_bound_ms_.store(ms); }

 private:
  MidiDriver& driver_;
  std::atomic<HMIDIOUT> handle_{0};
  std::int32_t device_index_ = 0;
  std::atomic<std::uint32_t> send_bound_ms_{kDefaultSendBoundMs};
};

class CMidiOutBank {
 public:
  static constexpr int kSlots = 16;

  explicit CMidiOutBank(MidiDriver& driver = DefaultMidiDriver());
  ~CMidiOutBank() = default;
  CMidiOutBank(const CMidiOutBank&) = delete;
  CMidiOutBank& operator=(const CMidiOutBank&) = delete;

  int GetSlotCount() const { return kSlots; }
  int GetDeviceCount() const { return device_count_; }
  int AssignDevice(int slot, int device_index);
  void SetSkip(int slot, int value);
  bool OpenAll();
  bool CloseAll();
  bool SendLong(int slot, MIDIHDR* header);
  bool SendShort(int slot, std::uint32_t message);
  bool SendShort(int slot, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  void AllNotesOff(int slot, int channel);
  void GetDeviceName(int slot, int device_index, char* destination);

 private:
  int skip_[kSlots] = {};
  std::array<CMidiOutPort, kSlots> ports_;
  int device_index_[kSlots];
  int device_count_ = 0;
};

}  // namespace fen
