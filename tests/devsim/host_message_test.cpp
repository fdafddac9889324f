// How the device reads the host's messages, and that no input makes it read out of bounds
// or fall over.
#include "devsim/host_message.h"

#include <gtest/gtest.h>

#include <random>

#include "devsim/device_core.h"
#include "devsim_test_util.h"

namespace fen::devsim {
namespace {

using namespace fen::devsim::testing;

ParsedMessage P(const Bytes& b) { return ParseHostMessage(b.data(), b.size()); }

TEST(HostMessageParsing, RecognisesEveryMessageOfAnUpdate) {
  EXPECT_EQ(P(IdentityRequestMessage()).kind, HostMessageKind::kIdentityRequest);
  EXPECT_EQ(P(VendorMessage(kCmdBeginUpdate)).kind, HostMessageKind::kBeginUpdate);
  EXPECT_EQ(P(VendorMessage(kCmdFinishUpdate)).kind, HostMessageKind::kFinishUpdate);

  const ParsedMessage erase = P(EraseMessage(0x0F0000, 0x2C7000));
  EXPECT_EQ(erase.kind, HostMessageKind::kEraseRange);
  EXPECT_TRUE(erase.length_ok);
  EXPECT_EQ(erase.address, 0x0F0000u);
  EXPECT_EQ(erase.size, 0x2C7000u);

  const std::uint8_t abc[] = {0x61, 0x62, 0x63};
  const ParsedMessage write = P(WriteMessage(abc, 0x3FD000, 3, 0x61));
  EXPECT_EQ(write.kind, HostMessageKind::kWriteBlock);
  EXPECT_TRUE(write.length_ok);
  EXPECT_EQ(write.model_id, 0x61);
  EXPECT_EQ(write.address, 0x3FD000u);
  EXPECT_EQ(write.size, 3u);
  EXPECT_EQ(write.packed_size, 4u);
  EXPECT_EQ(write.crc, 0xCADBBE3Du);

  const ParsedMessage status = P(StatusMessage(8));
  EXPECT_EQ(status.kind, HostMessageKind::kStatus);
  EXPECT_EQ(status.status, 8);
  EXPECT_EQ(P(IdentityReplyMessage(0x61)).model_id, 0x61);
}

TEST(HostMessageParsing, TellsMalformedFromForeignAndUnknown) {
  EXPECT_EQ(P({}).kind, HostMessageKind::kMalformed);
  EXPECT_EQ(P({0x90, 0x40, 0x7F}).kind, HostMessageKind::kShortMessage);
  EXPECT_EQ(P({0x40, 0x7F}).kind, HostMessageKind::kMalformed);
  EXPECT_EQ(P({0xF7}).kind, HostMessageKind::kMalformed);
  EXPECT_EQ(P({0xF0, 0x52, 0x00, 0x57, 0x01}).kind, HostMessageKind::kMalformed) << "no F7";
  EXPECT_EQ(P({0xF0, 0x52, 0x00, 0x57, 0x81, 0xF7}).kind, HostMessageKind::kMalformed);
  EXPECT_EQ(P({0xF0, 0x52, 0x57, 0xF7}).kind, HostMessageKind::kMalformed);
  EXPECT_EQ(P({0xF0, 0x41, 0x00, 0x57, 0x01, 0xF7}).kind, HostMessageKind::kOtherSysEx);
  EXPECT_EQ(P({0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7}).kind, HostMessageKind::kOtherSysEx);
  EXPECT_EQ(P({0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}).kind, HostMessageKind::kOtherGeneralInfo);
  EXPECT_EQ(P(VendorMessage(0x03)).kind, HostMessageKind::kOtherCommand);
  EXPECT_FALSE(P({0xF0, 0x52, 0x00, 0x57, 0x0A, 0xF7}).length_ok) << "Erase Range cut short";

  Bytes cut = BlockMessage(0);
  cut.erase(cut.begin() + 100);
  const ParsedMessage lost = P(cut);
  EXPECT_EQ(lost.kind, HostMessageKind::kWriteBlock);
  EXPECT_FALSE(lost.length_ok);
  EXPECT_EQ(lost.packed, nullptr);
}

// Robustness of the whole device, not only the parser: every prefix of every message of the
// protocol, closed with F7 or not, and random bytes shaped like vendor messages.
TEST(HostMessageParsing, NoInputMakesTheDeviceReadOutOfBoundsOrStop) {
  DeviceCore core(SimOptions{});
  std::vector<Bytes> samples = {
      IdentityRequestMessage(), VendorMessage(kCmdBeginUpdate), EraseStep(4), BlockMessage(128),
      StatusMessage(0),         IdentityReplyMessage(0x57)};
  std::uint64_t handled = 0;
  for (const Bytes& sample : samples) {
    for (std::size_t n = 0; n <= sample.size(); ++n) {
      // Exact-size heap copies, so that a sanitizer sees any read past the end.
      std::vector<std::uint8_t> prefix(sample.begin(), sample.begin() + n);
      core.Handle(prefix.data(), prefix.size());
      prefix.push_back(0xF7);
      core.Handle(prefix.data(), prefix.size());
      handled += 2;
    }
  }
  std::mt19937 rng(99);
  for (int i = 0; i < 20000; ++i) {
    const std::size_t n = rng() % 40;
    std::vector<std::uint8_t> junk(n);
    for (auto& b : junk) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : rng() & 0x7F);
    if (n > 0 && rng() % 2) junk[0] = 0xF0;
    if (n > 1 && rng() % 2) junk[1] = 0x52;
    if (n > 3 && rng() % 2) junk[3] = 0x57;
    if (n > 0 && rng() % 2) junk[n - 1] = 0xF7;
    core.Handle(junk.data(), junk.size());
    ++handled;
  }
  core.Handle(nullptr, 0);
  ++handled;
  EXPECT_EQ(core.MakeReport().messages_received, handled);
  EXPECT_GT(core.MakeReport().malformed, 0u);
}

}  // namespace
}  // namespace fen::devsim
