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

// What a check says: "accepted", or the text of its refusal.
template <class Result>
std::string Verdict(const Result& result) {
  return result ? std::string("accepted") : result.refusal().text;
}

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
  const Checked<MinisignPublicKey> public_key =
      ParsePublicKey("untrusted comment: k\n" + key.public_line + "\n");
  ASSERT_TRUE(public_key) << public_key.refusal().text;
  Checked<MinisignPublicKey> other_key = ParsePublicKey(other.public_line);
  ASSERT_TRUE(other_key) << other_key.refusal().text;
  for (const bool prehashed : {true, false}) {
    const std::string text = SignMessage(key.secret, "the manifest", "comment", prehashed);
    Checked<MinisignSignature> signature = ParseSignature(text);
    ASSERT_TRUE(signature) << signature.refusal().text;
    EXPECT_EQ(signature->prehashed, prehashed);
    EXPECT_EQ(signature->trusted_comment, "comment");
    const auto verify = [&](const MinisignPublicKey& against, std::string_view message) {
      const CheckResult verified = VerifySignature(*signature, against, message);
      return verified ? std::string("verified") : verified.refusal().text;
    };
    EXPECT_EQ(verify(*public_key, "the manifest"), "verified");
    EXPECT_EQ(verify(*public_key, "the manifesT"), "the signature does not match the signed file");
    EXPECT_EQ(verify(*other_key, "the manifest"),
              "signed by key 1111111111111111, not by key 2222222222222222");
    // Another key that claims the signer's ID is still not the signer.
    other_key->key_id = public_key->key_id;
    EXPECT_EQ(verify(*other_key, "the manifest"), "the signature does not match the signed file");
    other_key->key_id.fill(0x22);
    signature->trusted_comment = "comment edited";
    EXPECT_EQ(verify(*public_key, "the manifest"),
              "the trusted comment does not match its signature");
  }
}

TEST(MinisignSignatures, AreParsedOnlyInTheirOwnLayout) {
  const TestKey key(0x33);
  const std::string good = SignMessage(key.secret, "m", "c");
  EXPECT_TRUE(ParseSignature(good));
  const auto refusal = [](const auto& parsed) {
    EXPECT_FALSE(parsed);
    return parsed.refusal().text;
  };
  EXPECT_EQ(refusal(ParseSignature(good.substr(0, good.rfind("trusted")))),
            "not a minisign signature: it needs four lines");
  std::string other_algorithm = good;
  other_algorithm[other_algorithm.find('\n') + 3] = 'X';  // the base64 of "ED" starts "RUR"
  EXPECT_EQ(refusal(ParseSignature(other_algorithm)),
            "the signature's algorithm is neither Ed nor ED");
  EXPECT_EQ(refusal(ParseSignature("untrusted comment: x\nnot base64\ntrusted comment: y\nz\n")),
            "not a minisign signature: the signature line is damaged");
  EXPECT_EQ(refusal(ParsePublicKey("RWQ")), "not a minisign public key");
  EXPECT_EQ(refusal(ParsePublicKey("")), "not a minisign public key");
}

// A secret key is taken only unencrypted and whole: a damaged one would sign with a key that
// nothing verifies.
TEST(MinisignSecretKeys, AreTakenOnlyUnencryptedAndWhole) {
  std::uint8_t pk[32];
  std::uint8_t sk[64];
  crypto_sign_keypair(pk, sk);
  // minisign -G -W's layout: "Ed", KDF "\0\0", "B2", salt, opslimit, memlimit, then the key
  // ID, the secret key and a checksum.
  std::vector<std::uint8_t> bytes(2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32, 0);
  bytes[0] = 'E';
  bytes[1] = 'd';
  bytes[4] = 'B';
  bytes[5] = '2';
  std::fill_n(bytes.begin() + 54, 8, 0x77);
  std::copy(sk, sk + 64, bytes.begin() + 62);
  const auto file = [](const std::vector<std::uint8_t>& raw) {
    std::string line(sodium_base64_ENCODED_LEN(raw.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(line.data(), line.size(), raw.data(), raw.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    return "untrusted comment: k\n" + std::string(line.c_str()) + "\n";
  };
  const Checked<MinisignSecretKey> key = ParseSecretKey(file(bytes));
  ASSERT_TRUE(key) << key.refusal().text;
  EXPECT_EQ(KeyIdText(key->key_id), "7777777777777777");

  std::vector<std::uint8_t> encrypted = bytes;
  encrypted[2] = 'S';
  encrypted[3] = 'c';
  EXPECT_EQ(ParseSecretKey(file(encrypted)).refusal().text,
            "the secret key is encrypted: sign with minisign -S, or use a key made with -W");
  std::vector<std::uint8_t> damaged = bytes;
  damaged[62 + 40] ^= 1;  // in the public half
  EXPECT_EQ(ParseSecretKey(file(damaged)).refusal().text, "the secret key is damaged");
  EXPECT_EQ(ParseSecretKey("untrusted comment: k\n").refusal().text, "not a minisign secret key");
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
  const Checked<ReleaseInfo> info = VerifyManifest(Manifest(R"(["0x57"])", Images()), nullptr, {});
  ASSERT_TRUE(info) << info.refusal().text;
  EXPECT_EQ(info->signature, ReleaseSignature::kUnsigned);
  EXPECT_EQ(info->models, std::vector<std::uint8_t>{0x57});

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
    const Checked<ReleaseInfo> verified = VerifyManifest(c.manifest, nullptr, {});
    EXPECT_FALSE(verified) << c.message;
    EXPECT_EQ(verified.refusal().text.substr(0, c.message.size()), c.message);
    EXPECT_EQ(verified.refusal().exit_status, kExitRefusedRelease);
  }
}

TEST(ReleaseManifests, RefuseWhatAnotherReaderCouldTakeOtherwise) {
  const std::string good = Manifest(R"(["0x57"])", Images());
  ASSERT_EQ(Verdict(VerifyManifest(good, nullptr, {})), "accepted");
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
    const std::string verdict = Verdict(VerifyManifest(c.manifest, nullptr, {}));
    EXPECT_EQ(verdict.substr(0, c.message.size()), c.message) << verdict;
  }
  // The same name in different objects is no duplicate.
  EXPECT_EQ(Verdict(VerifyManifest(good, nullptr, {})), "accepted");
}

TEST(ReleaseFieldRules, AreTheReadersForTheToolsThatWriteThem) {
  std::uint8_t model = 0;
  EXPECT_TRUE(ParseModelId("0x61", &model));
  EXPECT_EQ(model, 0x61);
  for (const char* bad : {"0x57zz", "0x80", "87", "0x5", "", "0x-1"}) {
    EXPECT_FALSE(ParseModelId(bad, &model)) << bad;
  }
  EXPECT_EQ(Verdict(CheckReleaseVersion(std::string(64, 'v'))), "accepted");
  EXPECT_EQ(Verdict(CheckReleaseVersion(std::string(65, 'v'))),
            "\"version\" is longer than 64 characters");
  EXPECT_EQ(Verdict(CheckReleaseVersion("2.01 \xc3\xa9t\xc3\xa9")), "accepted");  // UTF-8 is text
  // What could drive a terminal, or reorder the text around it, raw or as a JSON escape.
  for (const char* bad :
       {"1.0\x1b]0;title\x07", "1.0\x7f",
        "1.0\xc2\x9b"
        "2J",
        "1.0\xe2\x80\xae", "1.0\xe2\x81\xa6", "1.0\xe2\x80\xa8", "1.0\xff", "1.0\xc0\xaf"}) {
    EXPECT_FALSE(CheckReleaseVersion(bad)) << bad;
    EXPECT_FALSE(CheckTrustedComment(bad)) << bad;
    std::string json_escaped;
    for (unsigned char c : std::string(bad)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, c < 0x20 || c == 0x7F ? "\\u%04x" : "%c", c);
      json_escaped += escape;
    }
    const std::string manifest =
        Manifest(R"(["0x57"])", Images()).replace(22, 5, "\"" + json_escaped + "\"");
    EXPECT_FALSE(VerifyManifest(manifest, nullptr, {})) << manifest;
  }
  EXPECT_EQ(Verdict(CheckTrustedComment("release 2.01 \xc3\xa9t\xc3\xa9")), "accepted");
  EXPECT_EQ(Verdict(CheckTrustedComment("a\nb")), "a signature's trusted comment is one line");
  EXPECT_EQ(Verdict(CheckReleaseModels({0x33, 0x61})), "accepted");
  EXPECT_EQ(Verdict(CheckReleaseModels({0x33})),
            "the release is for model 0x33; this updater updates model 0x57, 0x61");
  const TestKey key(0x66);
  EXPECT_EQ(Verdict(CheckSignatureText(SignMessage(key.secret, "m", "short"))), "accepted");
  const std::string too_long =
      Verdict(CheckSignatureText(SignMessage(key.secret, "m", std::string(100000, 'c'))));
  EXPECT_NE(too_long.find("more than the 65536"), std::string::npos) << too_long;
}

TEST(ReleaseManifests, SignedAreTrustedOnlyUnderAKeyOfTheBuild) {
  const TestKey key(0x44);
  const TestKey stranger(0x55);
  const std::string manifest = Manifest(R"(["0x57","0x61"])", Images());
  const std::string signature = SignMessage(key.secret, manifest, "release 1.0");
  const Checked<ReleaseInfo> info = VerifyManifest(manifest, &signature, {key.public_line});
  ASSERT_TRUE(info) << info.refusal().text;
  EXPECT_EQ(info->signature, ReleaseSignature::kSigned);
  EXPECT_EQ(info->key_id, "4444444444444444");
  EXPECT_EQ(info->trusted_comment, "release 1.0");
  EXPECT_EQ(Verdict(VerifyManifest(manifest, &signature, {stranger.public_line})),
            "manifest.json.minisig: signed by key 4444444444444444, which this build does not "
            "trust (it trusts 5555555555555555)");
  EXPECT_NE(Verdict(VerifyManifest(manifest, &signature, {})).find("it trusts no key"),
            std::string::npos);
  std::string edited = manifest;
  edited[edited.find("1.0")] = '2';
  EXPECT_NE(
      Verdict(VerifyManifest(edited, &signature, {key.public_line})).find("changed after signing"),
      std::string::npos);
  // A trusted key that cannot be read is named by its place, whatever signed the manifest.
  EXPECT_EQ(Verdict(VerifyManifest(manifest, &signature, {key.public_line, "RWQ"})),
            "trusted key 2: not a minisign public key");
  const std::string unreadable = "untrusted comment: x\n";
  EXPECT_EQ(Verdict(VerifyManifest(manifest, &unreadable, {key.public_line})),
            "manifest.json.minisig: not a minisign signature: it needs four lines");
}

}  // namespace
}  // namespace fen
