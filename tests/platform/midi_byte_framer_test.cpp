// The byte-stream framer of the rawmidi backend: whole messages out of reads that end anywhere.
#include "platform/midi/midi_byte_framer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace fen {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Collected {
  std::vector<Bytes> messages;
  MidiByteFramer framer{[this](const std::uint8_t* data, std::size_t size) {
    messages.emplace_back(data, data + size);
  }};
  void Feed(const Bytes& bytes) { framer.Feed(bytes.data(), bytes.size()); }
};

TEST(MidiByteFramer, RealTimeBytesInsideMessagesComeOutAloneAndLeaveTheMessageWhole) {
  Collected c;
  c.Feed({0xF0, 0x43, 0xF8, 0x10, 0xFE, 0xF7, 0x90, 0xFA, 0x40, 0xFF, 0x7F});
  EXPECT_EQ(c.messages,
            (std::vector<Bytes>{
                {0xF8}, {0xFE}, {0xF0, 0x43, 0x10, 0xF7}, {0xFA}, {0xFF}, {0x90, 0x40, 0x7F}}));
}

TEST(MidiByteFramer, UndefinedSystemCommonBytesAreDroppedAndATuneRequestStandsAlone) {
  Collected c;
  c.Feed({0xF4, 0x10, 0xF6, 0xF5, 0x90, 0x3C, 0x40});
  EXPECT_EQ(c.messages, (std::vector<Bytes>{{0xF6}, {0x90, 0x3C, 0x40}}));
}

TEST(MidiByteFramer, RunningStatusRepeatsTheLastChannelStatusUntilASystemCommonMessage) {
  Collected c;
  c.Feed({0x90, 0x3C, 0x40, 0x3E, 0x41, 0xC2, 0x05, 0x06, 0xF8, 0x07,  // program change twice
          0xF1, 0x12, 0x40, 0x41});  // after F1 the data bytes have no status and are dropped
  EXPECT_EQ(c.messages, (std::vector<Bytes>{{0x90, 0x3C, 0x40},
                                            {0x90, 0x3E, 0x41},
                                            {0xC2, 0x05},
                                            {0xC2, 0x06},
                                            {0xF8},
                                            {0xC2, 0x07},
                                            {0xF1, 0x12}}));
}

TEST(MidiByteFramer, ASysExLongerThanAnyReadIsDeliveredOnceWholeWhateverTheSplits) {
  Bytes sysex{0xF0};
  for (int i = 0; i < 20000; ++i) sysex.push_back(static_cast<std::uint8_t>(i & 0x7F));
  sysex.push_back(0xF7);
  Bytes stream = {0x80, 0x01};  // a message cut before the SysEx: its missing byte never comes
  stream.insert(stream.end(), sysex.begin(), sysex.end());
  stream.insert(stream.end(), {0xB0, 0x07, 0x64});
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    Collected c;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      c.framer.Feed(stream.data() + at, std::min(chunk, stream.size() - at));
    }
    ASSERT_EQ(c.messages.size(), 2u) << "reads of " << chunk;
    EXPECT_EQ(c.messages[0], sysex) << "reads of " << chunk;
    EXPECT_EQ(c.messages[1], (Bytes{0xB0, 0x07, 0x64})) << "reads of " << chunk;
  }
}

TEST(MidiByteFramer, ASysExCutOffByAStatusByteIsDroppedAndTheNewMessageKept) {
  Collected c;
  c.Feed({0xF0, 0x43, 0x01, 0x90, 0x3C, 0x40, 0xF0, 0x01, 0xF0, 0x02, 0xF7, 0xF7, 0x05});
  EXPECT_EQ(c.messages, (std::vector<Bytes>{{0x90, 0x3C, 0x40}, {0xF0, 0x02, 0xF7}}));
}

TEST(MidiByteFramer, ARunawaySysExIsDroppedUpToItsEndAndTheStreamRecovers) {
  Collected c;
  Bytes runaway(MidiByteFramer::kMaxSysEx + 10, 0x11);
  runaway[0] = 0xF0;
  runaway.push_back(0xF7);
  c.Feed(runaway);
  c.Feed({0xF0, 0x01, 0xF7});
  EXPECT_EQ(c.messages, (std::vector<Bytes>{{0xF0, 0x01, 0xF7}}));
}

TEST(MidiByteFramer, ResetForgetsAMessageBegun) {
  Collected c;
  c.Feed({0xF0, 0x01, 0x02});
  c.framer.Reset();
  c.Feed({0x03, 0xF7, 0x40});
  EXPECT_TRUE(c.messages.empty());
}

}  // namespace
}  // namespace fen
