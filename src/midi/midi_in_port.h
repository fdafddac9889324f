// CMidiInPort: one MIDI input device, a lent 8192-byte receive buffer, the SysExQueue of
// received System Exclusive buffers and the ShortMessageRing of short messages.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "midi/midi_port_devices.h"
#include "platform/midi/midi_driver.h"

namespace fen {

class CMidiInPort : public MidiPortDevices {
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

  // Called on the input thread after each entry is queued, so that the
  // consumer can run at once (the dispatcher's early tick). Set before Open.
  void SetArrivalHook(std::function<void()> hook);

  static void MidiInCallback(HMIDIIN handle, std::uint32_t msg, std::uintptr_t instance,
                             std::uintptr_t param1, std::uintptr_t param2);

 private:
  struct Entry;
  void OnLongData(HMIDIIN handle, MIDIHDR* header);
  void OnShortData(std::uint32_t packed);
  bool AllocateReceiveHeader();
  void FreeReceiveHeader();
  bool ShutDevice(HMIDIIN handle, bool stop, bool reset, bool unprepare);
  bool ReleaseLeftover();

  MidiDriver& driver_;
  // Non-zero while open, and also after a closing sequence that failed part-way: the driver
  // may then still hold the receive buffer, so handle and buffer are kept until a later
  // closing sequence succeeds.
  std::atomic<HMIDIIN> handle_{0};
  MIDIHDR* receive_header_ = nullptr;
  std::int32_t device_index_ = 0;
  std::atomic<int> open_flag_{0};
  // Slot: length in bits 0-7, then status, data 1, data 2. One word per slot, so that an
  // overrun writer and the reader never race on the bytes.
  std::atomic<std::uint32_t> ring_[kRingSlots] = {};
  std::atomic<int> ring_read_{0};
  std::atomic<int> ring_write_{0};
  std::mutex queue_mutex_;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
  std::mutex hook_mutex_;
  std::function<void()> arrival_hook_;
};

}  // namespace fen
