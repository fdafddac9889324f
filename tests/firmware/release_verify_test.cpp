// minisign's formats and the release checks, with keys made here: signatures of both kinds
// verify against their key and nothing else, and a manifest is held to the device's images.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "firmware/minisign.h"
#include "firmware/release.h"

namespace fen {
namespace {

// A key pair in minisign's unencrypted secret key format and its public key line.
struct TestKey {
  MinisignSecretKey secret;
  std::string public_line;

  explicit TestKey(std::uint8_t id_byte) {
    EXPECT_TRUE(CryptoReady());
    std::uint8_t pk[32];
    crypto_sign_keypair(pk, secret.key.data());
    secret.key_id.fill(id_byte);
    std::uint8_t bytes[42] = {'E', 'd'};
    std::memcpy(bytes + 2, secret.key_id.data(), 8);
    std::memcpy(bytes + 10, pk, 32);
    char line[sodium_base64_ENCODED_LEN(42, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(line, sizeof line, bytes, sizeof bytes, sodium_base64_VARIANT_ORIGINAL);
    public_line = line;
  }
};

TEST(MinisignSignatures, OfBothKindsVerifyAgainstTheirKeyOnly) {
  const TestKey key(0x11);
  const TestKey other(0x22);
  MinisignPublicKey public_key;
  ASSERT_TRUE(
      ParsePublicKey("untrusted comment: k\n" + key.public_line + "\n", &public_key, nullptr));
  MinisignPublicKey other_key;
  ASSERT_TRUE(ParsePublicKey(other.public_line, &other_key, nullptr));
  for (const bool prehashed : {true, false}) {
    const std::string text = SignMessage(key.secret, "the manifest", "comment", prehashed);
    MinisignSignature signature;
    ASSERT_TRUE(ParseSignature(text, &signature, nullptr));
    EXPECT_EQ(signature.prehashed, prehashed);
    EXPECT_EQ(signature.trusted_comment, "comment");
    std::string error;
    EXPECT_TRUE(VerifySignature(signature, public_key, "the manifest", &error)) << error;
    EXPECT_FALSE(VerifySignature(signature, public_key, "the manifesT", &error));
    EXPECT_EQ(error, "the signature does not match the signed file");
    EXPECT_FALSE(VerifySignature(signature, other_key, "the manifest", &error));
    EXPECT_EQ(error, "signed by key 1111111111111111, not by key 2222222222222222");
    // Another key that claims the signer's ID is still not the signer.
    other_key.key_id = public_key.key_id;
    EXPECT_FALSE(VerifySignature(signature, other_key, "the manifest", &error));
    other_key.key_id.fill(0x22);
    signature.trusted_comment = "comment edited";
    EXPECT_FALSE(VerifySignature(signature, public_key, "the manifest", &error));
    EXPECT_EQ(error, "the trusted comment does not match its signature");
  }
}

TEST(MinisignSignatures, AreParsedOnlyInTheirOwnLayout) {
  const TestKey key(0x33);
  const std::string good = SignMessage(key.secret, "m", "c");
  MinisignSignature signature;
  std::string error;
  EXPECT_TRUE(ParseSignature(good, &signature, &error));
  EXPECT_FALSE(ParseSignature(good.substr(0, good.rfind("trusted")), &signature, &error));
  std::string other_algorithm = good;
  other_algorithm[other_algorithm.find('\n') + 3] = 'X';  // the base64 of "ED" starts "RUR"
  EXPECT_FALSE(ParseSignature(other_algorithm, &signature, &error));
  EXPECT_FALSE(ParseSignature("untrusted comment: x\nnot base64\ntrusted comment: y\nz\n",
                              &signature, &error));
  MinisignPublicKey public_key;
  EXPECT_FALSE(ParsePublicKey("RWQ", &public_key, &error));
  EXPECT_FALSE(ParsePublicKey("", &public_key, &error));
}

TEST(MinisignKeyIds, ReadAsMinisignPrintsThem) {
  const MinisignKeyId id = {0xFC, 0x62, 0x7C, 0xE7, 0xEF, 0x71, 0x01, 0x45};
  EXPECT_EQ(KeyIdText(id), "450171EFE77C62FC");
  // No leading zeros, as minisign prints the number.
  const MinisignKeyId low = {0xE1, 0xC0, 0x65, 0xAF, 0x6B, 0x3A, 0x4B, 0x07};
  EXPECT_EQ(KeyIdText(low), "74B3A6BAF65C0E1");
}

std::string Manifest(const std::string& models, const std::string& images) {
  return R"({"format":1,"version":"1.0","models":)" + models + R"(,"images":)" + images + "}";
}

std::string Images(int first_id = 129, std::size_t first_size = 720896) {
  const std::string hash(64, 'a');
  return R"([{"resource_id":)" + std::to_string(first_id) + R"(,"size":)" +
         std::to_string(first_size) + R"(,"sha256":")" + hash +
         R"("},{"resource_id":133,"size":12288,"sha256":")" + hash +
         R"("},{"resource_id":136,"size":262144,"sha256":")" + hash +
         R"("},{"resource_id":137,"size":2912256,"sha256":")" + hash + R"("}])";
}

TEST(ReleaseManifests, AreHeldToTheDevicesImagesAndModels) {
  ReleaseInfo info;
  std::string error;
  EXPECT_TRUE(VerifyManifest(Manifest(R"(["0x57"])", Images()), nullptr, {}, &info, &error))
      << error;
  EXPECT_EQ(info.signature, ReleaseSignature::kUnsigned);
  EXPECT_EQ(info.models, std::vector<std::uint8_t>{0x57});

  const struct {
    std::string manifest;
    std::string message;
  } refused[] = {
      {Manifest(R"(["0x33"])", Images()),
       "manifest.json: the release is for model 0x33; this updater updates model 0x57, 0x61"},
      {Manifest(R"(["57"])", Images()), "manifest.json: \"models\" holds \"57\""},
      {Manifest(R"(["0x57"])", Images(130)),
       "manifest.json: image 130 is not one of the device's images"},
      {Manifest(R"(["0x57"])", Images(129, 720000)),
       "manifest.json: 129.bin: the manifest gives 720000 bytes; the device's image is 720896"},
      {Manifest(R"(["0x57"])", Images(133, 12288)), "manifest.json: 133.bin is listed twice"},
      {Manifest(R"(["0x57"])", "[]"), "manifest.json: image 129.bin is not listed"},
      {"{\"format\":2}", "manifest.json: \"format\" is not 1"},
      {"[1,2", "manifest.json: not JSON"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(VerifyManifest(c.manifest, nullptr, {}, &info, &error)) << c.message;
    EXPECT_EQ(error.substr(0, c.message.size()), c.message);
  }
}

TEST(ReleaseManifests, RefuseWhatAnotherReaderCouldTakeOtherwise) {
  const std::string good = Manifest(R"(["0x57"])", Images());
  ReleaseInfo info;
  std::string error;
  ASSERT_TRUE(VerifyManifest(good, nullptr, {}, &info, &error)) << error;
  const auto edit = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const struct {
    std::string manifest;
    std::string message;
  } refused[] = {
      // Numbers beyond a double: a refusal, not an exception out of the reader.
      {edit(R"("format":1)", R"("format":1e400)"), "manifest.json: not JSON that can be read"},
      {edit(R"("size":12288)", R"("size":-1e999)"), "manifest.json: not JSON that can be read"},
      // 2^32 + 129 is not image 129, and no number is narrowed to match.
      {edit(R"("resource_id":129)", R"("resource_id":4294967425)"),
       "manifest.json: image 4294967425 is not one of the device's images"},
      {edit(R"("size":12288)", R"("size":18446744073709563904)"),
       "manifest.json: an image entry lacks"},
      {edit(R"("size":12288)", R"("size":4294979584)"),
       "manifest.json: 133.bin: the manifest gives 4294979584 bytes"},
      {edit(R"("format":1)", R"("format":4294967297)"), "manifest.json: \"format\" is not 1"},
      // Two members of one name, at the top and inside an image entry.
      {edit(R"("version":"1.0")", R"("version":"1.0","version":"9.9")"),
       "manifest.json: \"version\" is given twice in one object"},
      {edit(R"("models":["0x57"])", R"("models":["0x33"],"models":["0x57"])"),
       "manifest.json: \"models\" is given twice in one object"},
      {edit(R"("resource_id":133,)", R"("resource_id":133,"sha256":"00",)"),
       "manifest.json: \"sha256\" is given twice in one object"},
      // A NUL ends the text for some readers: a second document after it, signed with the
      // first, would be another manifest to them.
      {good + std::string(1, '\0') + edit(R"("0x57")", R"("0x61")"),
       "manifest.json: holds a NUL byte at offset " + std::to_string(good.size())},
      {edit("1.0", std::string("1.0\0", 4)), "manifest.json: holds a NUL byte"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(VerifyManifest(c.manifest, nullptr, {}, &info, &error)) << c.message;
    EXPECT_EQ(error.substr(0, c.message.size()), c.message) << error;
  }
  // The same name in different objects is no duplicate.
  EXPECT_TRUE(VerifyManifest(good, nullptr, {}, &info, &error)) << error;
}

TEST(ReleaseFieldRules, AreTheReadersForTheToolsThatWriteThem) {
  std::uint8_t model = 0;
  EXPECT_TRUE(ParseModelId("0x61", &model));
  EXPECT_EQ(model, 0x61);
  for (const char* bad : {"0x57zz", "0x80", "87", "0x5", "", "0x-1"}) {
    EXPECT_FALSE(ParseModelId(bad, &model)) << bad;
  }
  std::string error;
  EXPECT_TRUE(CheckReleaseVersion(std::string(64, 'v'), &error));
  EXPECT_FALSE(CheckReleaseVersion(std::string(65, 'v'), &error));
  EXPECT_TRUE(CheckReleaseVersion("2.01 \xc3\xa9t\xc3\xa9", &error)) << error;  // UTF-8 is text
  // What could drive a terminal, or reorder the text around it, raw or as a JSON escape.
  for (const char* bad :
       {"1.0\x1b]0;title\x07", "1.0\x7f",
        "1.0\xc2\x9b"
        "2J",
        "1.0\xe2\x80\xae", "1.0\xe2\x81\xa6", "1.0\xe2\x80\xa8", "1.0\xff", "1.0\xc0\xaf"}) {
    EXPECT_FALSE(CheckReleaseVersion(bad, &error)) << bad;
    EXPECT_FALSE(CheckTrustedComment(bad, &error)) << bad;
    ReleaseInfo info;
    std::string json_escaped;
    for (unsigned char c : std::string(bad)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, c < 0x20 || c == 0x7F ? "\\u%04x" : "%c", c);
      json_escaped += escape;
    }
    const std::string manifest =
        Manifest(R"(["0x57"])", Images()).replace(22, 5, "\"" + json_escaped + "\"");
    EXPECT_FALSE(VerifyManifest(manifest, nullptr, {}, &info, &error)) << manifest;
  }
  EXPECT_TRUE(CheckTrustedComment("release 2.01 \xc3\xa9t\xc3\xa9", &error)) << error;
  EXPECT_FALSE(CheckTrustedComment("a\nb", &error));
  EXPECT_EQ(error, "a signature's trusted comment is one line");
  EXPECT_TRUE(CheckReleaseModels({0x33, 0x61}, &error));
  EXPECT_FALSE(CheckReleaseModels({0x33}, &error));
  EXPECT_EQ(error, "the release is for model 0x33; this updater updates model 0x57, 0x61");
  const TestKey key(0x66);
  EXPECT_TRUE(CheckSignatureText(SignMessage(key.secret, "m", "short"), &error)) << error;
  EXPECT_FALSE(CheckSignatureText(SignMessage(key.secret, "m", std::string(100000, 'c')), &error));
  EXPECT_NE(error.find("more than the 65536"), std::string::npos) << error;
}

TEST(ReleaseManifests, SignedAreTrustedOnlyUnderAKeyOfTheBuild) {
  const TestKey key(0x44);
  const TestKey stranger(0x55);
  const std::string manifest = Manifest(R"(["0x57","0x61"])", Images());
  const std::string signature = SignMessage(key.secret, manifest, "release 1.0");
  ReleaseInfo info;
  std::string error;
  ASSERT_TRUE(VerifyManifest(manifest, &signature, {key.public_line}, &info, &error)) << error;
  EXPECT_EQ(info.signature, ReleaseSignature::kSigned);
  EXPECT_EQ(info.key_id, "4444444444444444");
  EXPECT_EQ(info.trusted_comment, "release 1.0");
  EXPECT_FALSE(VerifyManifest(manifest, &signature, {stranger.public_line}, &info, &error));
  EXPECT_EQ(error,
            "manifest.json.minisig: signed by key 4444444444444444, which this build does not "
            "trust (it trusts 5555555555555555)");
  EXPECT_FALSE(VerifyManifest(manifest, &signature, {}, &info, &error));
  EXPECT_NE(error.find("it trusts no key"), std::string::npos);
  std::string edited = manifest;
  edited[edited.find("1.0")] = '2';
  EXPECT_FALSE(VerifyManifest(edited, &signature, {key.public_line}, &info, &error));
  EXPECT_NE(error.find("changed after signing"), std::string::npos);
}

}  // namespace
}  // namespace fen
