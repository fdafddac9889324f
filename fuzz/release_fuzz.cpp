// Fuzz target: the release reader, a manifest and its signature together, against a key of
// this harness's own. Whatever the bytes, the reader answers (no exception, no crash); a
// result it calls signed is exactly the manifest and trusted comment that the key signed; and
// what it accepts holds to the device's images and the family's models.
// Input: a mode byte, a two-byte length, the manifest, then the rest: by mode, no signature,
// the rest as the signature file, or a signature this harness makes over the manifest (or over
// the rest, or over the manifest before one of its bytes changed) with the rest as its comment.
// In the first three modes, bit 3 first puts a NUL byte or a control character (raw, or as a
// JSON escape) into one of the manifest's strings, so that each kind reaches each field: none
// may pass into what the reader accepts.
#include <sodium.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/firmware.h"
#include "firmware/minisign.h"
#include "firmware/release.h"
#include "firmware/untrusted_text.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Key {
  Key() {
    Check(fen::CryptoReady());
    std::uint8_t seed[32];
    for (std::uint8_t i = 0; i < 32; ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::uint8_t pk[32];
    crypto_sign_seed_keypair(pk, secret.key.data(), seed);
    secret.key_id = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t bytes[42] = {'E', 'd'};
    std::memcpy(bytes + 2, secret.key_id.data(), 8);
    std::memcpy(bytes + 10, pk, 32);
    char line[sodium_base64_ENCODED_LEN(42, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(line, sizeof line, bytes, sizeof bytes, sodium_base64_VARIANT_ORIGINAL);
    trusted = {line};
  }
  fen::MinisignSecretKey secret;
  std::vector<std::string> trusted;
};

// What an accepted manifest must say, whoever wrote it.
void CheckAccepted(const std::string& manifest, const fen::ReleaseInfo& info) {
  Check(manifest.find('\0') == std::string::npos);
  Check(!fen::HoldsControlText(info.version));
  Check(static_cast<bool>(fen::CheckReleaseVersion(info.version)));
  Check(static_cast<bool>(fen::CheckReleaseModels(info.models)));
  Check(info.images.size() == fen::FirmwareImageTable().size());
  for (const fen::FirmwareImageInfo& known : fen::FirmwareImageTable()) {
    Check(std::count_if(info.images.begin(), info.images.end(), [&](const auto& image) {
            return image.resource_id == known.resource_id && image.size == known.size &&
                   image.sha256.size() == 64;
          }) == 1);
  }
}

// Puts the hostile text `kind` chooses right after a quote of `manifest`, the first at or after
// `from`: inside a key or a value, or just past one.
void PlantControl(std::string* manifest, std::size_t kind, std::size_t from) {
  static const std::string kHostile[] = {
      std::string(1, '\0'),
      "\x1b]0;T\x07",
      "\x7f",
      "\xc2\x9b",
      "\xe2\x80\xae",
      "\\u0000",
      "\\u001b",
      "\\u202e",
      "\\u0085",
      "\xff",
  };
  if (manifest->empty()) return;
  const std::size_t quote = manifest->find('"', from % manifest->size());
  if (quote == std::string::npos) return;
  manifest->insert(quote + 1, kHostile[kind % std::size(kHostile)]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Key key;
  if (size < 3) return 0;
  const std::uint8_t mode = data[0];
  const std::size_t length = std::min<std::size_t>(data[1] | std::size_t{data[2]} << 8, size - 3);
  std::string manifest(reinterpret_cast<const char*>(data) + 3, length);
  const std::string rest(reinterpret_cast<const char*>(data) + 3 + length, size - 3 - length);
  // A comment this harness signs is one line, as `firmware sign` takes it.
  std::string comment = rest;
  std::erase_if(comment, [](char c) { return c == '\n' || c == '\r'; });
  const bool prehashed = (mode & 0x10) == 0;
  if ((mode & 3) != 3 && (mode & 8) != 0)
    PlantControl(&manifest, (mode >> 5) + rest.size(), data[1]);

  std::string signature;
  const std::string* given = &signature;
  switch (mode & 3) {
    case 0:
      given = nullptr;
      break;
    case 1:
      signature = rest;
      break;
    case 2:
      signature = fen::SignMessage(key.secret, manifest, comment, prehashed);
      break;
    default:
      if (!manifest.empty() && (mode & 4) != 0) {
        signature = fen::SignMessage(key.secret, manifest, "", prehashed);
        manifest[(mode >> 5) % manifest.size()] ^= static_cast<char>(1 + (mode & 8));
      } else {
        signature = fen::SignMessage(key.secret, rest, "", prehashed);
      }
      break;
  }

  const fen::Checked<fen::ReleaseInfo> verified = fen::VerifyManifest(manifest, given, key.trusted);
  Check(verified || !verified.refusal().text.empty());
  if (!verified) return 0;
  const fen::ReleaseInfo& info = *verified;
  CheckAccepted(manifest, info);
  Check((info.signature == fen::ReleaseSignature::kSigned) == (given != nullptr));
  if (info.signature == fen::ReleaseSignature::kSigned) {
    // Ed25519 signs deterministically: the key's own signature of what the reader says it
    // verified is the one it was given, so the signed bytes are exactly these.
    const fen::Checked<fen::MinisignSignature> parsed = fen::ParseSignature(*given);
    const fen::Checked<fen::MinisignSignature> again = fen::ParseSignature(
        fen::SignMessage(key.secret, manifest, info.trusted_comment, info.prehashed));
    Check(parsed && again);
    Check(parsed->signature == again->signature);
    Check(parsed->global_signature == again->global_signature);
    // The key's ID bytes 01..08 read as minisign reads them: a little-endian number, printed
    // without leading zeros.
    Check(info.key_id == "807060504030201");
  }
  // A manifest accepted unsigned is accepted signed by the key, and the other way round.
  if ((mode & 3) == 2) {
    const fen::Checked<fen::ReleaseInfo> unsigned_info =
        fen::VerifyManifest(manifest, nullptr, key.trusted);
    Check(static_cast<bool>(unsigned_info));
    Check(unsigned_info->version == info.version && unsigned_info->models == info.models);
  }
  return 0;
}
