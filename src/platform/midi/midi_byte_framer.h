// Frames a raw MIDI byte stream (a rawmidi device, a serial line) into whole messages: one
// SysEx from F0 to F7 however long, or one short message, with running status and real-time
// bytes taken out wherever they fall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace fen {

// Length of the message a status byte starts: channel and system common messages by their
// kind, 1 for F6 and the real-time bytes; 0 for a data byte and for the status bytes that start
// no message of known length (F0, the undefined F4 and F5, a lone F7).
std::size_t ShortMessageLength(std::uint8_t status);

class MidiByteFramer {
 public:
  using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;

  // A SysEx that grows past this is a stream gone wrong, not a message: it is dropped up to
  // its F7 rather than held without end. Far beyond any message of the protocol.
  static constexpr std::size_t kMaxSysEx = 1 << 20;

  explicit MidiByteFramer(Sink sink) : sink_(std::move(sink)) {}

  // Hands `sink` each message that these bytes complete, in stream order. A read may end
  // anywhere, inside a SysEx or a short message; the rest comes with the next call.
  void Feed(const std::uint8_t* data, std::size_t size);

  // Forgets a message begun, as after the device went away and came back.
  void Reset();

 private:
  void Emit(const std::uint8_t* data, std::size_t size) {
    if (sink_) sink_(data, size);
  }

  Sink sink_;
  std::vector<std::uint8_t> sysex_;
  bool in_sysex_ = false;
  bool sysex_overflow_ = false;
  std::uint8_t running_ = 0;  // the status that data bytes continue; 0: none
  std::uint8_t short_[3] = {};
  std::size_t short_size_ = 0;
  std::size_t short_needed_ = 0;  // total length of the short message being gathered
};

}  // namespace fen
