// Fuzz target: the byte framer of raw MIDI ports and the Identity Reply reader behind it. Any
// byte stream frames into well-formed messages only, the same ones however the stream is cut
// into reads; and the reader, given any bytes, stays within them and reports only what they hold.
// Input: a count N, N read lengths (used in turn), then the stream.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/midi/midi_byte_framer.h"
#include "protocol/identity.h"

namespace {

using Message = std::vector<std::uint8_t>;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::size_t ShortLength(std::uint8_t status) {
  if (status < 0xF0) return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
  return status == 0xF2 ? 3 : status == 0xF6 ? 1 : 2;  // F1, F3
}

void CheckWellFormed(const Message& m) {
  Check(!m.empty());
  const std::uint8_t status = m[0];
  Check(status >= 0x80);
  if (status >= 0xF8) {
    Check(m.size() == 1);
  } else if (status == 0xF0) {
    Check(m.size() >= 2 && m.size() <= fen::MidiByteFramer::kMaxSysEx + 1 && m.back() == 0xF7);
    for (std::size_t i = 1; i + 1 < m.size(); ++i) Check(m[i] < 0x80);
  } else {
    Check(status != 0xF4 && status != 0xF5 && status != 0xF7);
    Check(m.size() == ShortLength(status));
    for (std::size_t i = 1; i < m.size(); ++i) Check(m[i] < 0x80);
  }
}

// The reader on any bytes: it reads within them (ASan watches), and what it reports is there.
void CheckIdentity(const std::uint8_t* data, std::size_t size) {
  fen::DeviceIdentity id;
  if (!fen::ParseIdentityReply(data, size, &id)) return;
  const std::size_t at = 5 + id.manufacturer_length;
  Check(id.manufacturer_length == (data[5] == 0x00 ? 3u : 1u));
  Check(size >= at + 9 && data[at + 8] == 0xF7);
  Check(id.model_id == data[6] && id.device_id == data[2]);
  for (std::size_t i = 0; i < id.manufacturer_length; ++i) Check(id.manufacturer[i] == data[5 + i]);
  Check(id.family == (data[at] | data[at + 1] << 7) &&
        id.member == (data[at + 2] | data[at + 3] << 7));
  for (std::size_t i = 0; i < 4; ++i)
    Check(id.revision[i] == data[at + 4 + i] && id.revision[i] < 0x80);
  Check(!fen::ManufacturerText(id).empty() && !fen::RevisionText(id).empty());
}

std::vector<Message> Frame(const std::uint8_t* data, std::size_t size,
                           const std::vector<std::size_t>& reads) {
  std::vector<Message> out;
  fen::MidiByteFramer framer(
      [&](const std::uint8_t* m, std::size_t n) { out.emplace_back(m, m + n); });
  std::size_t at = 0;
  for (std::size_t i = 0; at < size; ++i) {
    const std::size_t n = reads.empty() ? size : std::min(reads[i % reads.size()], size - at);
    framer.Feed(data + at, n);
    at += n;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t count = std::min<std::size_t>(data[0] % 16, size - 1);
  std::vector<std::size_t> reads;
  for (std::size_t i = 0; i < count; ++i) reads.push_back(data[1 + i] % 64 + 1);
  const std::uint8_t* stream = data + 1 + count;
  const std::size_t length = size - 1 - count;

  const std::vector<Message> whole = Frame(stream, length, {});
  Check(Frame(stream, length, reads) == whole);
  Check(Frame(stream, length, {1}) == whole);
  for (const Message& m : whole) {
    CheckWellFormed(m);
    CheckIdentity(m.data(), m.size());
  }
  // The reader alone, on bytes no framer has seen.
  CheckIdentity(stream, length);
  return 0;
}
