// Identity Replies read whole: one- and three-byte manufacturer IDs, and what is not a whole
// reply.
#include "protocol/identity.h"

#include <gtest/gtest.h>

#include <vector>

namespace fen {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool Parse(const Bytes& bytes, DeviceIdentity* identity) {
  return ParseIdentityReply(bytes.data(), bytes.size(), identity);
}

TEST(IdentityReplies, AreReadAfterAOneOrThreeByteManufacturer) {
  DeviceIdentity identity;
  ASSERT_TRUE(Parse(
      {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7},
      &identity));
  EXPECT_EQ(ManufacturerText(identity), "0x52");
  EXPECT_EQ(identity.family, 0x57);
  EXPECT_EQ(RevisionText(identity), "1000");
  ASSERT_TRUE(Parse({0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x21, 0x09, 0x05, 0x01, 0x7F, 0x00, 0x00,
                     0x01, 0x02, 0x7F, 0xF7},
                    &identity));
  EXPECT_EQ(ManufacturerText(identity), "0x00 0x21 0x09");
  EXPECT_EQ(Hex16Text(identity.family), "0x0085");
  EXPECT_EQ(Hex16Text(identity.member), "0x007F");
  EXPECT_EQ(RevisionText(identity), "00 01 02 7F");
  // The updater's model byte stays offset 6 whatever the manufacturer's length.
  EXPECT_EQ(identity.model_id, 0x21);
}

TEST(IdentityReplies, ThatAreCutShortOrCarryHighBitsAreNotWhole) {
  DeviceIdentity identity;
  const Bytes whole = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00,
                       0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_FALSE(
        Parse(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)), &identity))
        << size;
  }
  Bytes high = whole;
  high[9] = 0x80;
  EXPECT_FALSE(Parse(high, &identity));
  Bytes request = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  EXPECT_FALSE(Parse(request, &identity));
  EXPECT_TRUE(IsIdentityRequest(request.data(), request.size()));
  EXPECT_FALSE(IsIdentityRequest(whole.data(), whole.size()));
}

}  // namespace
}  // namespace fen
