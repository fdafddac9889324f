// Byte-stream framing by the MIDI 1.0 rules: real-time bytes (F8 to FF) stand alone and may
// fall inside any message; any other status byte ends a SysEx begun, and a SysEx cut off that
// way is dropped, since its bytes are not the message the sender meant.
#include "platform/midi/midi_byte_framer.h"

namespace fen {
std::size_t ShortMessageLength(std::uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xF0) {
    const std::uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
  }
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    case 0xF0:
    case 0xF4:
    case 0xF5:
    case 0xF7:
      return 0;
    default:
      return 1;  // F6 and the real-time bytes stand alone
  }
}

void MidiByteFramer::Reset() {
  sysex_.clear();
  in_sysex_ = false;
  sysex_overflow_ = false;
  running_ = 0;
  short_size_ = 0;
  short_needed_ = 0;
}

void MidiByteFramer::Feed(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = data[i];
    if (byte >= 0xF8) {
      Emit(&byte, 1);
      continue;
    }
    if (in_sysex_) {
      if (byte < 0x80) {
        if (sysex_.size() < kMaxSysEx) {
          sysex_.push_back(byte);
        } else {
          sysex_overflow_ = true;
        }
        continue;
      }
      const bool ended = byte == 0xF7;
      if (ended && !sysex_overflow_) {
        sysex_.push_back(byte);
        Emit(sysex_.data(), sysex_.size());
      }
      sysex_.clear();
      in_sysex_ = false;
      sysex_overflow_ = false;
      if (ended) continue;
      // Any other status byte cuts the SysEx off and starts a message of its own below.
    }
    if (byte == 0xF0) {
      in_sysex_ = true;
      sysex_.assign(1, byte);
      running_ = 0;
      short_size_ = 0;
      continue;
    }
    if (byte >= 0x80) {
      short_size_ = 0;
      short_needed_ = ShortMessageLength(byte);
      // Only channel messages set running status; system common ones cancel it.
      running_ = byte < 0xF0 ? byte : 0;
      if (short_needed_ == 0) continue;  // F4, F5, a stray F7: nothing to deliver
      short_[short_size_++] = byte;
      if (short_size_ == short_needed_) {
        Emit(short_, short_size_);
        short_size_ = 0;
      }
      continue;
    }
    // A data byte: it continues the message begun, or starts one more under running status.
    if (short_size_ == 0) {
      if (running_ == 0) continue;  // no status to belong to
      short_needed_ = ShortMessageLength(running_);
      short_[short_size_++] = running_;
    }
    short_[short_size_++] = byte;
    if (short_size_ == short_needed_) {
      Emit(short_, short_size_);
      short_size_ = 0;
    }
  }
}

}  // namespace fen
