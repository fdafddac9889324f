// Byte-exact checks of the encodings and every outbound message of the update protocol.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "protocol/crc32.h"
#include "protocol/messages.h"
#include "protocol/septet.h"
#include "protocol/seven_bit.h"

namespace fen {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pack(const Bytes& in) {
  Bytes out(static_cast<std::size_t>(PackedSize(static_cast<std::int32_t>(in.size()))) + 8, 0xEE);
  const auto n = PackSevenBit(out.data(), in.data(), static_cast<std::int32_t>(in.size()));
  EXPECT_EQ(out[static_cast<std::size_t>(n)], 0xEE) << "packer wrote past its result";
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST(SevenBitPacking, MatchesTheWorkedExample) {
  EXPECT_EQ(Pack({0x81, 0x02, 0xFF, 0x7F, 0x80, 0x00, 0x01, 0xC3, 0x44}),
            (Bytes{0x54, 0x01, 0x02, 0x7F, 0x7F, 0x00, 0x00, 0x01, 0x40, 0x43, 0x44}));
}

TEST(SevenBitPacking, OutputLengthIsLengthPlusOneBytePerStartedGroup) {
  const std::pair<int, int> table[] = {{0, 0},   {1, 2},   {6, 7},   {7, 8},      {8, 10},
                                       {13, 15}, {14, 16}, {15, 18}, {2048, 2341}};
  for (auto [in, out] : table) {
    EXPECT_EQ(Pack(Bytes(static_cast<std::size_t>(in), 0x55)).size(), static_cast<std::size_t>(out))
        << in;
    EXPECT_EQ(PackedSize(in), out);
  }
  std::uint8_t dst[4] = {9, 9, 9, 9};
  EXPECT_EQ(PackSevenBit(dst, dst, -5), 0);
  EXPECT_EQ(dst[0], 9);
}

TEST(SevenBitPacking, HighBitsGoIntoTheGroupHeadAndEveryOutputByteIsSevenBit) {
  EXPECT_EQ(Pack(Bytes(7, 0xFF)), Bytes(8, 0x7F));
  EXPECT_EQ(Pack(Bytes(3, 0xFF)), (Bytes{0x70, 0x7F, 0x7F, 0x7F}));
  EXPECT_EQ(Pack({0x10, 0x20, 0x7F}), (Bytes{0x00, 0x10, 0x20, 0x7F}));

  std::mt19937 rng(7);
  Bytes data(5000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const Bytes packed = Pack(data);
  for (auto b : packed) ASSERT_LT(b, 0x80);
  Bytes round(data.size());
  ASSERT_EQ(UnpackSevenBit(round.data(), packed.data(), static_cast<std::int32_t>(packed.size())),
            static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(round, data);
}

TEST(BlockCrc, IsTheUncomplementedReflectedCrc32) {
  const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(BlockCrc(digits.data(), digits.size()), 0x340BC6D9u);
  const Bytes abc = {0x61, 0x62, 0x63};
  EXPECT_EQ(BlockCrc(abc.data(), abc.size()), 0xCADBBE3Du);
  EXPECT_EQ(BlockCrc(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(CrcTable[1], 0x77073096u);
  EXPECT_EQ(CrcTable[255], 0x2D02EF8Du);
}

TEST(BlockCrc, EqualsZlibCrc32Complemented) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    Bytes data(rng() % 4096);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const uLong z = crc32(0L, data.data(), static_cast<uInt>(data.size()));
    ASSERT_EQ(BlockCrc(data.data(), data.size()), static_cast<std::uint32_t>(~z)) << data.size();
  }
}

TEST(SeptetFields, WriteLeastSignificantSeptetFirst) {
  auto field = [](std::uint32_t v, int width) {
    Bytes out(static_cast<std::size_t>(width));
    WriteSeptets(out.data(), v, width);
    return out;
  };
  EXPECT_EQ(field(0x3FD000, 5), (Bytes{0x00, 0x20, 0x7F, 0x01, 0x00}));
  EXPECT_EQ(field(0x2C7000, 5), (Bytes{0x00, 0x60, 0x31, 0x01, 0x00}));
  EXPECT_EQ(field(0x0EF000, 5), (Bytes{0x00, 0x60, 0x3B, 0x00, 0x00}));
  EXPECT_EQ(field(0xFFFFFFFF, 5), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
  EXPECT_EQ(field(2048, 2), (Bytes{0x00, 0x10}));
  EXPECT_EQ(field(16384, 2), (Bytes{0x00, 0x00}));
  EXPECT_EQ(ReadSeptets(field(0x2C7000, 5).data(), 5), 0x2C7000u);
}

Bytes Built(std::size_t (*build)(std::uint8_t*, std::uint8_t), std::uint8_t model) {
  Bytes out(64, 0xEE);
  out.resize(build(out.data(), model));
  return out;
}

TEST(Messages, StatusBeginAndFinishCarryTheModelId) {
  Bytes status(7);
  ASSERT_EQ(BuildStatus(status.data(), 0x57, 0x00), 7u);
  EXPECT_EQ(status, (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7}));
  BuildStatus(status.data(), 0x57, 0x01);
  EXPECT_EQ(status, (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x01, 0xF7}));
  EXPECT_EQ(Built(BuildBeginUpdate, 0x61), (Bytes{0xF0, 0x52, 0x00, 0x61, 0x01, 0xF7}));
  EXPECT_EQ(Built(BuildFinishUpdate, 0x61), (Bytes{0xF0, 0x52, 0x00, 0x61, 0x04, 0xF7}));
}

TEST(Messages, IdentityTemplatesAreTheUniversalGeneralInformationPair) {
  EXPECT_EQ(Bytes(kIdentityRequestTemplate.begin(), kIdentityRequestTemplate.end()),
            (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
  EXPECT_EQ(Bytes(kIdentityReplyTemplate.begin(), kIdentityReplyTemplate.end()),
            (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30,
                   0x30, 0xF7}));
}

TEST(Messages, EraseRangeCarriesAddressAndSizeAsFiveSeptets) {
  Bytes out(16);
  ASSERT_EQ(BuildEraseRange(out.data(), 0x57, 0x0EF000, 0x1000), 16u);
  EXPECT_EQ(out, (Bytes{0xF0, 0x52, 0x00, 0x57, 0x0A, 0x00, 0x60, 0x3B, 0x00, 0x00, 0x00, 0x20,
                        0x00, 0x00, 0x00, 0xF7}));
}

TEST(Messages, WriteBlockOfThreeBytes) {
  const Bytes data = {0x61, 0x62, 0x63};
  Bytes out(WriteBlockSize(3));
  ASSERT_EQ(BuildWriteBlock(out.data(), 0x57, data.data(), 0x3FD000, 3), 22u);
  EXPECT_EQ(out, (Bytes{0xF0, 0x52, 0x00, 0x57, 0x02, 0x00, 0x20, 0x7F, 0x01, 0x00, 0x03,
                        0x00, 0x00, 0x61, 0x62, 0x63, 0x3D, 0x7C, 0x6E, 0x56, 0x0C, 0xF7}));
}

TEST(Messages, WriteBlockOfAFullBlockIs2359BytesWithCrcOfTheUnpackedData) {
  std::mt19937 rng(99);
  Bytes data(2048);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  Bytes out(kSendBufferSize);
  const auto n = BuildWriteBlock(out.data(), 0x61, data.data(), 0x0F0000, 2048);
  ASSERT_EQ(n, 2359u);
  EXPECT_EQ(out[3], 0x61);
  EXPECT_EQ(out[10], 0x00);
  EXPECT_EQ(out[11], 0x10);
  EXPECT_EQ(ReadSeptets(&out[5], 5), 0x0F0000u);
  EXPECT_EQ(ReadSeptets(&out[2353], 5), BlockCrc(data.data(), data.size()));
  EXPECT_EQ(out[2358], 0xF7);
  for (std::size_t i = 1; i + 1 < n; ++i) ASSERT_LT(out[i], 0x80) << i;
}

TEST(Messages, LongestExpressibleBlockFitsTheSendBuffer) {
  EXPECT_EQ(WriteBlockSize(kMaxBlockLength), 18742u);
  EXPECT_LE(WriteBlockSize(kMaxBlockLength), kSendBufferSize);
}

}  // namespace
}  // namespace fen
