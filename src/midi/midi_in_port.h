// CMidiInPort: one MIDI input device, a lent 8192-byte receive buffer, the SysExQueue of
// received System Exclusive buffers and the ShortMessageRing of short messages.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/midi_driver.h"

namespace fen {

class CMidiInPort {
 public:
  static constexpr std::uint32_t kReceiveBufferSize = 8192;
  static constexpr int kRingSlots = 32;

  explicit CMidiInPort(MidiDriver& driver = DefaultMidiDriver());
  ~CMidiInPort();
  CMidiInPort(const CMidiInPort&) = delete;
  CMidiInPort& operator=(const CMidiInPort&) = delete;

  bool Open();
  void Close();
  bool IsOpen() const { return open_flag_.load() != 0; }

  std::int32_t device_index() const { return device_index_; }
  void set_device_index(std::int32_t index) { device_index_ = index; }

  // Oldest queued message, or null. Valid until the next PopSysEx. `size`, when given,
  // receives the number of bytes the driver recorded for it (1..8192).
  const std::uint8_t* PeekSysEx(std::size_t* size = nullptr);
  void PopSysEx();

  int ReadShortMessage(std::uint8_t* destination, int capacity);

  int GetDeviceCount();
  void GetDeviceName(int device_index, char* destination);  // destination: 260 bytes
  std::string GetDeviceName(int device_index);

  // Beyond the original: called on the input thread after each entry is queued, so that the
  // consumer can run at once (the dispatcher's early tick). Set before Open.
  void SetArrivalHook(std::function<void()> hook);

  static void MidiInCallback(HMIDIIN handle, std::uint32_t msg, std::uintptr_t instance,
                             std::uintptr_t param1, std::uintptr_t param2);

 private:
  struct Entry;
  void OnLongData(MIDIHDR* header);
  void OnShortData(std::uint32_t packed);

  MidiDriver& driver_;
  HMIDIIN handle_ = 0;
  MIDIHDR* receive_header_ = nullptr;
  std::int32_t device_index_ = 0;
  std::atomic<int> open_flag_{0};
  std::uint8_t ring_[kRingSlots][4] = {};
  std::atomic<int> ring_read_{0};
  std::atomic<int> ring_write_{0};
  std::mutex queue_mutex_;
  Entry* head_ = nullptr;
  std::function<void()> arrival_hook_;
};

}  // namespace fen
