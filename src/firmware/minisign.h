// Ed25519 signatures in minisign's formats: public keys, detached signatures (legacy "Ed" over
// the file, prehashed "ED" over its BLAKE2b-512) with their signed trusted comment, and signing
// with an unencrypted secret key. The cryptography is libsodium's.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "firmware/refusal.h"

namespace fen {

using MinisignKeyId = std::array<std::uint8_t, 8>;

struct MinisignPublicKey {
  MinisignKeyId key_id{};
  std::array<std::uint8_t, 32> key{};
};

struct MinisignSignature {
  bool prehashed = false;  // "ED": the signature is over the BLAKE2b-512 of the file
  MinisignKeyId key_id{};
  std::array<std::uint8_t, 64> signature{};
  std::string untrusted_comment;
  std::string trusted_comment;
  std::array<std::uint8_t, 64> global_signature{};  // over signature || trusted comment
};

struct MinisignSecretKey {
  MinisignKeyId key_id{};
  std::array<std::uint8_t, 64> key{};
};

// The key ID as minisign prints it: 16 hex digits, upper case.
std::string KeyIdText(const MinisignKeyId& id);

// A public key file's text, or the key's base64 line alone.
Checked<MinisignPublicKey> ParsePublicKey(std::string_view text);
// A .minisig file's four lines.
Checked<MinisignSignature> ParseSignature(std::string_view text);
// An unencrypted secret key file (minisign -G -W). An encrypted one is refused: it needs
// minisign itself and its password.
Checked<MinisignSecretKey> ParseSecretKey(std::string_view text);

// The signature of `message` and then its trusted comment, both against `key`, whose ID must
// be the signature's. A refusal says which of them failed.
CheckResult VerifySignature(const MinisignSignature& signature, const MinisignPublicKey& key,
                            std::string_view message);

// A .minisig file's text for `message`; prehashed as minisign signs by default.
std::string SignMessage(const MinisignSecretKey& key, std::string_view message,
                        const std::string& trusted_comment, bool prehashed = true);

// libsodium's start; false when it cannot run (no source of randomness, say).
bool CryptoReady();

}  // namespace fen
