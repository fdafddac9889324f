// CMidiInPort: opens one input device, lends it the receive buffer and turns every buffer
// return into one SysExQueue entry, every short message into one ring slot.
#include "midi/midi_in_port.h"

#include <cstring>
#include <new>

namespace fen {

struct CMidiInPort::Entry {
  std::uint8_t* bytes = nullptr;
  std::size_t size = 0;
  Entry* next = nullptr;
};

namespace {
constexpr std::uint32_t kHeaderSize = sizeof(MIDIHDR);
}  // namespace

CMidiInPort::CMidiInPort(MidiDriver& driver)
    : MidiPortDevices(driver, Direction::kInput), driver_(driver) {}

CMidiInPort::~CMidiInPort() {
  // Whoever set the hook may already be gone; entries queued from here on are freed below.
  SetArrivalHook(nullptr);
  Close();
  if (handle_.load() != 0 && !ReleaseLeftover()) {
    // The driver still holds the receive buffer and may write it: leaking it is the only safe
    // choice left.
    receive_header_ = nullptr;
  }
  while (PeekSysEx() != nullptr) PopSysEx();
}

void CMidiInPort::SetArrivalHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(hook_mutex_);
  arrival_hook_ = std::move(hook);
}

bool CMidiInPort::AllocateReceiveHeader() {
  auto* header = new (std::nothrow) MIDIHDR();
  if (header == nullptr) return false;
  auto* buffer = new (std::nothrow) std::uint8_t[kReceiveBufferSize]();
  if (buffer == nullptr) {
    delete header;
    return false;
  }
  header->lpData = buffer;
  header->dwBufferLength = kReceiveBufferSize;
  receive_header_ = header;
  return true;
}

void CMidiInPort::FreeReceiveHeader() {
  if (receive_header_ == nullptr) return;
  delete[] receive_header_->lpData;
  delete receive_header_;
  receive_header_ = nullptr;
}

// Runs the requested steps, then midiInClose, each only if the one before succeeded. True
// when the driver has closed the device: it then holds no buffer and calls back no more. A
// handle the driver no longer knows holds nothing either.
bool CMidiInPort::ShutDevice(HMIDIIN handle, bool stop, bool reset, bool unprepare) {
  auto ok = [](MMRESULT result) { return result == MMSYSERR_NOERROR; };
  MMRESULT result = MMSYSERR_NOERROR;
  if (stop) result = driver_.midiInStop(handle);
  if (result == MMSYSERR_INVALHANDLE) return true;
  if (ok(result) && reset) result = driver_.midiInReset(handle);
  if (result == MMSYSERR_INVALHANDLE) return true;
  if (ok(result) && unprepare) {
    result = driver_.midiInUnprepareHeader(handle, receive_header_, kHeaderSize);
  }
  if (result == MMSYSERR_INVALHANDLE) return true;
  if (ok(result)) result = driver_.midiInClose(handle);
  return ok(result) || result == MMSYSERR_INVALHANDLE;
}

// A device left behind by a closing sequence that failed part-way: try the whole sequence
// again and free the buffer once the driver has let go of it.
bool CMidiInPort::ReleaseLeftover() {
  const HMIDIIN handle = handle_.load();
  if (handle == 0) return true;
  if (!ShutDevice(handle, true, true, receive_header_ != nullptr)) return false;
  handle_.store(0);
  FreeReceiveHeader();
  return true;
}

bool CMidiInPort::Open() {
  if (open_flag_.load() != 0) return true;
  // No selection is never taken to mean some default device.
  if (device_index_ < 0) return false;
  if (!ReleaseLeftover()) return false;
  if (!AllocateReceiveHeader()) return false;

  HMIDIIN handle = 0;
  if (driver_.midiInOpen(&handle, device_index_, &CMidiInPort::MidiInCallback,
                         reinterpret_cast<std::uintptr_t>(this),
                         CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    FreeReceiveHeader();
    return false;
  }
  handle_.store(handle);

  bool prepared = false;
  bool lent = false;
  bool ok = driver_.midiInReset(handle) == MMSYSERR_NOERROR;
  if (ok)
    ok = prepared =
        driver_.midiInPrepareHeader(handle, receive_header_, kHeaderSize) == MMSYSERR_NOERROR;
  if (ok)
    ok = lent = driver_.midiInAddBuffer(handle, receive_header_, kHeaderSize) == MMSYSERR_NOERROR;
  if (ok) ok = driver_.midiInStart(handle) == MMSYSERR_NOERROR;
  if (ok) {
    open_flag_.store(1);
    return true;
  }

  // Give back what this Open took. A lent buffer comes home with the reset; if the device
  // cannot be closed, handle and buffer stay for a later attempt.
  if (ShutDevice(handle, false, lent, prepared)) {
    handle_.store(0);
    FreeReceiveHeader();
  }
  return false;
}

void CMidiInPort::Close() {
  if (open_flag_.load() == 0) return;
  const HMIDIIN handle = handle_.load();
  if (handle == 0 || ShutDevice(handle, true, true, true)) {
    handle_.store(0);
    FreeReceiveHeader();
  }
  // Otherwise the driver may still write the buffer: both stay until a closing sequence
  // succeeds (next Open or destruction).
  open_flag_.store(0);
}

const std::uint8_t* CMidiInPort::PeekSysEx(std::size_t* size) {
  std::lock_guard<std::mutex> lock(queue_mutex_);
  if (head_ == nullptr) {
    if (size != nullptr) *size = 0;
    return nullptr;
  }
  if (size != nullptr) *size = head_->size;
  return head_->bytes;
}

void CMidiInPort::PopSysEx() {
  Entry* entry = nullptr;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (head_ == nullptr) return;
    entry = head_;
    head_ = entry->next;
    if (head_ == nullptr) tail_ = nullptr;
  }
  delete[] entry->bytes;
  delete entry;
}

int CMidiInPort::ReadShortMessage(std::uint8_t* destination, int capacity) {
  const int read = ring_read_.load(std::memory_order_relaxed);
  if (read == ring_write_.load(std::memory_order_acquire)) return 0;
  const std::uint32_t slot = ring_[read].load(std::memory_order_relaxed);
  int n = static_cast<int>(slot & 0xFF);
  if (n > capacity) n = capacity;
  if (n < 0) n = 0;
  for (int i = 0; i < n; ++i) destination[i] = static_cast<std::uint8_t>(slot >> (8 * (i + 1)));
  ring_read_.store(read + 1 == kRingSlots ? 0 : read + 1, std::memory_order_release);
  return n;
}

void CMidiInPort::MidiInCallback(HMIDIIN handle, std::uint32_t msg, std::uintptr_t instance,
                                 std::uintptr_t param1, std::uintptr_t /*param2*/) {
  auto* port = reinterpret_cast<CMidiInPort*>(instance);
  if (port == nullptr) return;
  if (msg == MIM_DATA) {
    port->OnShortData(static_cast<std::uint32_t>(param1));
  } else if (msg == MIM_LONGDATA) {
    port->OnLongData(handle, reinterpret_cast<MIDIHDR*>(param1));
  }
}

void CMidiInPort::OnShortData(std::uint32_t packed) {
  const int write = ring_write_.load(std::memory_order_relaxed);
  ring_[write].store(3u | ((packed & 0xFFFFFFu) << 8), std::memory_order_relaxed);
  ring_write_.store(write + 1 == kRingSlots ? 0 : write + 1, std::memory_order_release);
}

void CMidiInPort::OnLongData(HMIDIIN handle, MIDIHDR* header) {
  // A buffer with nothing in it is how the reset hands the buffer back: keep it.
  if (header == nullptr || (header->dwFlags.load() & MHDR_DONE) == 0 ||
      header->dwBytesRecorded == 0) {
    return;
  }
  std::size_t size = header->dwBytesRecorded;
  if (size > header->dwBufferLength) size = header->dwBufferLength;

  // On allocation failure the message is lost, but the buffer still goes back to the driver.
  auto* entry = new (std::nothrow) Entry();
  std::uint8_t* bytes = entry != nullptr ? new (std::nothrow) std::uint8_t[size] : nullptr;
  if (bytes == nullptr) {
    delete entry;
    entry = nullptr;
  } else {
    std::memcpy(bytes, header->lpData, size);
    entry->bytes = bytes;
    entry->size = size;
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (tail_ == nullptr) {
      head_ = entry;
    } else {
      tail_->next = entry;
    }
    tail_ = entry;
  }

  driver_.midiInPrepareHeader(handle, header, kHeaderSize);
  driver_.midiInAddBuffer(handle, header, kHeaderSize);

  if (entry != nullptr) {
    std::lock_guard<std::mutex> lock(hook_mutex_);
    try {
      if (arrival_hook_) arrival_hook_();
    } catch (...) {
      // Nothing may escape onto the driver's thread; the entry is queued all the same.
    }
  }
}

}  // namespace fen
