// minisign's file formats over libsodium: base64 lines of fixed layouts, Ed25519 and BLAKE2b.
#include "firmware/minisign.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace fen {

namespace {

constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureBytes = 2 + 8 + 64;
constexpr std::size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

// The text's lines without their line ends ("\n" or "\r\n").
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool DecodeBase64(std::string_view text, std::size_t expected, std::vector<std::uint8_t>* out) {
  out->assign(expected + 1, 0);
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out->data(), out->size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  if (end != text.data() + text.size() || length != expected) return false;
  out->resize(length);
  return true;
}

std::string EncodeBase64(const std::uint8_t* data, std::size_t size) {
  std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

constexpr std::string_view kNoCrypto = "the cryptography library cannot start";

}  // namespace

bool CryptoReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

std::string KeyIdText(const MinisignKeyId& id) {
  // minisign reads the eight bytes as a little-endian number and prints it in hex without
  // leading zeros ("%" PRIX64): an ID whose top digit is 0 has fifteen digits there too.
  std::uint64_t value = 0;
  for (std::size_t i = id.size(); i-- > 0;) value = (value << 8) | id[i];
  char digits[24];
  std::snprintf(digits, sizeof digits, "%llX", static_cast<unsigned long long>(value));
  return digits;
}

Checked<MinisignPublicKey> ParsePublicKey(std::string_view text) {
  if (!CryptoReady()) return Refusal{std::string(kNoCrypto)};
  std::string_view line;
  for (std::string_view l : Lines(text)) {
    if (l.empty() || l.substr(0, kUntrustedPrefix.size()) == kUntrustedPrefix) continue;
    line = l;
    break;
  }
  std::vector<std::uint8_t> bytes;
  if (line.empty() || !DecodeBase64(line, kPublicKeyBytes, &bytes)) {
    return Refusal{"not a minisign public key"};
  }
  if (bytes[0] != 'E' || bytes[1] != 'd') {
    return Refusal{"not an Ed25519 minisign public key"};
  }
  MinisignPublicKey key;
  std::memcpy(key.key_id.data(), bytes.data() + 2, 8);
  std::memcpy(key.key.data(), bytes.data() + 10, 32);
  return key;
}

Checked<MinisignSignature> ParseSignature(std::string_view text) {
  if (!CryptoReady()) return Refusal{std::string(kNoCrypto)};
  std::vector<std::string_view> lines = Lines(text);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() != 4) return Refusal{"not a minisign signature: it needs four lines"};
  if (lines[0].substr(0, kUntrustedPrefix.size()) != kUntrustedPrefix) {
    return Refusal{"not a minisign signature: no untrusted comment line"};
  }
  if (lines[2].substr(0, kTrustedPrefix.size()) != kTrustedPrefix) {
    return Refusal{"not a minisign signature: no trusted comment line"};
  }
  std::vector<std::uint8_t> bytes;
  if (!DecodeBase64(lines[1], kSignatureBytes, &bytes)) {
    return Refusal{"not a minisign signature: the signature line is damaged"};
  }
  MinisignSignature signature;
  if (bytes[0] == 'E' && bytes[1] == 'd') {
    signature.prehashed = false;
  } else if (bytes[0] == 'E' && bytes[1] == 'D') {
    signature.prehashed = true;
  } else {
    return Refusal{"the signature's algorithm is neither Ed nor ED"};
  }
  std::memcpy(signature.key_id.data(), bytes.data() + 2, 8);
  std::memcpy(signature.signature.data(), bytes.data() + 10, 64);
  std::vector<std::uint8_t> global;
  if (!DecodeBase64(lines[3], 64, &global)) {
    return Refusal{"not a minisign signature: the trusted comment's signature is damaged"};
  }
  std::memcpy(signature.global_signature.data(), global.data(), 64);
  signature.untrusted_comment = std::string(lines[0].substr(kUntrustedPrefix.size()));
  signature.trusted_comment = std::string(lines[2].substr(kTrustedPrefix.size()));
  return signature;
}

Checked<MinisignSecretKey> ParseSecretKey(std::string_view text) {
  if (!CryptoReady()) return Refusal{std::string(kNoCrypto)};
  const std::vector<std::string_view> lines = Lines(text);
  std::vector<std::uint8_t> bytes;
  if (lines.size() < 2 || !DecodeBase64(lines[1], kSecretKeyBytes, &bytes)) {
    return Refusal{"not a minisign secret key"};
  }
  if (bytes[0] != 'E' || bytes[1] != 'd') return Refusal{"not an Ed25519 minisign secret key"};
  if (bytes[2] != 0 || bytes[3] != 0) {
    return Refusal{"the secret key is encrypted: sign with minisign -S, or use a key made with -W"};
  }
  MinisignSecretKey key;
  const std::uint8_t* keynum = bytes.data() + 2 + 2 + 2 + 32 + 8 + 8;
  std::memcpy(key.key_id.data(), keynum, 8);
  std::memcpy(key.key.data(), keynum + 8, 64);
  // The public half must be the one the secret half makes; a damaged file would otherwise sign
  // with a key that nothing verifies.
  std::array<std::uint8_t, 32> derived{};
  crypto_sign_ed25519_sk_to_pk(derived.data(), key.key.data());
  std::array<std::uint8_t, 32> seed{};
  crypto_sign_ed25519_sk_to_seed(seed.data(), key.key.data());
  std::array<std::uint8_t, 32> pk{};
  std::array<std::uint8_t, 64> sk{};
  crypto_sign_seed_keypair(pk.data(), sk.data(), seed.data());
  sodium_memzero(sk.data(), sk.size());
  sodium_memzero(seed.data(), seed.size());
  if (pk != derived) return Refusal{"the secret key is damaged"};
  return key;
}

CheckResult VerifySignature(const MinisignSignature& signature, const MinisignPublicKey& key,
                            std::string_view message) {
  if (!CryptoReady()) return Refusal{std::string(kNoCrypto)};
  if (signature.key_id != key.key_id) {
    return Refusal{"signed by key " + KeyIdText(signature.key_id) + ", not by key " +
                   KeyIdText(key.key_id)};
  }
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  int result = 0;
  if (signature.prehashed) {
    std::array<std::uint8_t, crypto_generichash_BYTES_MAX> hash{};
    crypto_generichash(hash.data(), hash.size(), data, message.size(), nullptr, 0);
    result = crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(),
                                         key.key.data());
  } else {
    result = crypto_sign_verify_detached(signature.signature.data(), data, message.size(),
                                         key.key.data());
  }
  if (result != 0) return Refusal{"the signature does not match the signed file"};
  std::vector<std::uint8_t> global(signature.signature.begin(), signature.signature.end());
  global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
  if (crypto_sign_verify_detached(signature.global_signature.data(), global.data(), global.size(),
                                  key.key.data()) != 0) {
    return Refusal{"the trusted comment does not match its signature"};
  }
  return {};
}

std::string SignMessage(const MinisignSecretKey& key, std::string_view message,
                        const std::string& trusted_comment, bool prehashed) {
  if (!CryptoReady()) return {};
  // One line: a line end inside would end the comment early in every reader.
  std::string comment = trusted_comment;
  for (char& c : comment) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::array<std::uint8_t, kSignatureBytes> bytes{};
  bytes[0] = 'E';
  bytes[1] = prehashed ? 'D' : 'd';
  std::memcpy(bytes.data() + 2, key.key_id.data(), 8);
  const auto* data = reinterpret_cast<const unsigned char*>(message.data());
  if (prehashed) {
    std::array<std::uint8_t, crypto_generichash_BYTES_MAX> hash{};
    crypto_generichash(hash.data(), hash.size(), data, message.size(), nullptr, 0);
    crypto_sign_detached(bytes.data() + 10, nullptr, hash.data(), hash.size(), key.key.data());
  } else {
    crypto_sign_detached(bytes.data() + 10, nullptr, data, message.size(), key.key.data());
  }
  std::vector<std::uint8_t> global(bytes.begin() + 10, bytes.end());
  global.insert(global.end(), comment.begin(), comment.end());
  std::array<std::uint8_t, 64> global_signature{};
  crypto_sign_detached(global_signature.data(), nullptr, global.data(), global.size(),
                       key.key.data());
  return "untrusted comment: signature from minisign secret key " + KeyIdText(key.key_id) + "\n" +
         EncodeBase64(bytes.data(), bytes.size()) + "\n" + "trusted comment: " + comment + "\n" +
         EncodeBase64(global_signature.data(), global_signature.size()) + "\n";
}

}  // namespace fen
