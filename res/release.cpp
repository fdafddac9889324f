// Verification of a firmware release: the manifest's minisign signature against the trusted
// keys, its fields, then every image's size and SHA-256 (libsodium), all before any image is
// handed out. JSON is read and written with nlohmann-json.
#include "res/release.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "res/minisign.h"

namespace fen {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kManifestFormat = 1;
// Far above any real manifest; a huge file named like one is refused before it is read.
constexpr std::size_t kMaxManifestBytes = 64 * 1024;

bool Fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

std::string ModelText(std::uint8_t model) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", model);
  return text;
}

std::string Sha256Hex(const std::uint8_t* data, std::size_t size) {
  std::uint8_t hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(hash, data, size);
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
  return hex;
}

// 0: read; 1: no such file; -1: an error, said in `error`.
int ReadSmallFile(const std::string& path, std::string* text, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return 1;
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file";
    return -1;
  }
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxManifestBytes) {
    *error = path + " is " + std::to_string(st.st_size) + " bytes, too large for a manifest";
    return -1;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read " + path;
    return -1;
  }
  *text = content.str();
  return 0;
}

bool ParseModel(const Json& value, std::uint8_t* model) {
  if (!value.is_string()) return false;
  const std::string text = value.get<std::string>();
  if (text.size() != 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  unsigned parsed = 0;
  for (std::size_t i = 2; i < 4; ++i) {
    const char c = text[i];
    parsed <<= 4;
    if (c >= '0' && c <= '9') {
      parsed |= static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      parsed |= static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      parsed |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
  }
  if (parsed > 0x7F) return false;
  *model = static_cast<std::uint8_t>(parsed);
  return true;
}

bool IsLowerHex(const std::string& text, std::size_t length) {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The manifest's fields, checked against the images the device takes.
bool ParseManifest(std::string_view text, ReleaseInfo* info, std::string* error) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::parse_error& e) {
    return Fail(error, std::string("not JSON: ") + e.what());
  }
  if (!doc.is_object()) return Fail(error, "not a JSON object");
  const auto format = doc.find("format");
  if (format == doc.end() || !format->is_number_integer() ||
      format->get<std::int64_t>() != kManifestFormat) {
    return Fail(error, "\"format\" is not " + std::to_string(kManifestFormat));
  }
  const auto version = doc.find("version");
  if (version == doc.end() || !version->is_string() || version->get<std::string>().empty()) {
    return Fail(error, "\"version\" is missing or not a text");
  }
  info->version = version->get<std::string>();
  if (info->version.size() > 64 ||
      std::any_of(info->version.begin(), info->version.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    return Fail(error, "\"version\" is longer than 64 characters or holds control characters");
  }

  const auto models = doc.find("models");
  if (models == doc.end() || !models->is_array() || models->empty()) {
    return Fail(error, "\"models\" is missing or empty");
  }
  info->models.clear();
  for (const Json& value : *models) {
    std::uint8_t model = 0;
    if (!ParseModel(value, &model)) {
      return Fail(error, "\"models\" holds " + value.dump() + ", not a model ID such as \"0x57\"");
    }
    if (std::find(info->models.begin(), info->models.end(), model) == info->models.end()) {
      info->models.push_back(model);
    }
  }
  const bool any_of_family = std::any_of(info->models.begin(), info->models.end(), [](auto m) {
    return std::find(kFamilyModelIds.begin(), kFamilyModelIds.end(), m) != kFamilyModelIds.end();
  });
  if (!any_of_family) {
    std::vector<std::uint8_t> family(kFamilyModelIds.begin(), kFamilyModelIds.end());
    return Fail(error, "the release is for model " + ModelsText(info->models) +
                           "; this updater updates model " + ModelsText(family));
  }

  const auto images = doc.find("images");
  if (images == doc.end() || !images->is_array()) {
    return Fail(error, "\"images\" is missing or not a list");
  }
  info->images.clear();
  for (const Json& entry : *images) {
    if (!entry.is_object() || !entry.contains("resource_id") || !entry.contains("size") ||
        !entry.contains("sha256") || !entry["resource_id"].is_number_integer() ||
        !entry["size"].is_number_unsigned() || !entry["sha256"].is_string()) {
      return Fail(error,
                  "an image entry lacks \"resource_id\", \"size\" or \"sha256\": " + entry.dump());
    }
    ReleaseImage image;
    image.resource_id = entry["resource_id"].get<int>();
    image.size = entry["size"].get<std::size_t>();
    image.sha256 = entry["sha256"].get<std::string>();
    const std::string name = std::to_string(image.resource_id) + ".bin";
    if (!IsLowerHex(image.sha256, 64)) {
      return Fail(error, name + ": \"sha256\" is not 64 lower-case hex digits");
    }
    const auto known =
        std::find_if(FirmwareImageTable().begin(), FirmwareImageTable().end(),
                     [&](const auto& i) { return i.resource_id == image.resource_id; });
    if (known == FirmwareImageTable().end()) {
      return Fail(error, "image " + std::to_string(image.resource_id) +
                             " is not one of the device's images (129, 133, 136, 137)");
    }
    if (image.size != known->size) {
      return Fail(error, name + ": the manifest gives " + std::to_string(image.size) +
                             " bytes; the device's image is " + std::to_string(known->size) +
                             " bytes");
    }
    if (std::any_of(info->images.begin(), info->images.end(),
                    [&](const auto& i) { return i.resource_id == image.resource_id; })) {
      return Fail(error, name + " is listed twice");
    }
    info->images.push_back(image);
  }
  for (const FirmwareImageInfo& known : FirmwareImageTable()) {
    if (std::none_of(info->images.begin(), info->images.end(),
                     [&](const auto& i) { return i.resource_id == known.resource_id; })) {
      return Fail(error, "image " + std::to_string(known.resource_id) + ".bin is not listed");
    }
  }
  return true;
}

}  // namespace

std::string ModelsText(const std::vector<std::uint8_t>& models) {
  std::string text;
  for (std::uint8_t m : models) text += (text.empty() ? "" : ", ") + ModelText(m);
  return text;
}

std::string SignatureText(const ReleaseInfo& info) {
  switch (info.signature) {
    case ReleaseSignature::kSigned:
      return "signed by key " + info.key_id;
    case ReleaseSignature::kUnsigned:
      return "unsigned";
    case ReleaseSignature::kNoManifest:
      break;
  }
  return "no manifest: unverified";
}

bool VerifyManifest(std::string_view manifest, const std::string* signature,
                    const std::vector<std::string>& trusted_keys, ReleaseInfo* info,
                    std::string* error) {
  if (sodium_init() < 0) return Fail(error, "the cryptography library cannot start");
  ReleaseInfo result;
  result.signature = ReleaseSignature::kUnsigned;
  if (signature != nullptr) {
    MinisignSignature parsed;
    std::string why;
    if (!ParseSignature(*signature, &parsed, &why))
      return Fail(error, kSignatureFile + (": " + why));
    std::vector<std::string> trusted_ids;
    const MinisignPublicKey* match = nullptr;
    std::vector<MinisignPublicKey> keys(trusted_keys.size());
    for (std::size_t i = 0; i < trusted_keys.size(); ++i) {
      if (!ParsePublicKey(trusted_keys[i], &keys[i], &why)) {
        return Fail(error, "trusted key " + std::to_string(i + 1) + ": " + why);
      }
      trusted_ids.push_back(KeyIdText(keys[i].key_id));
      if (keys[i].key_id == parsed.key_id) match = &keys[i];
    }
    if (match == nullptr) {
      std::string trusted;
      for (const auto& id : trusted_ids) trusted += (trusted.empty() ? "" : ", ") + id;
      return Fail(error, std::string(kSignatureFile) + ": signed by key " +
                             KeyIdText(parsed.key_id) + ", which this build does not trust (" +
                             (trusted.empty() ? "it trusts no key" : "it trusts " + trusted) + ")");
    }
    if (!VerifySignature(parsed, *match, manifest, &why)) {
      return Fail(error, std::string(kSignatureFile) + ": " + why + " (" + kManifestFile +
                             " was changed after signing, or the signature is damaged)");
    }
    result.signature = ReleaseSignature::kSigned;
    result.key_id = KeyIdText(parsed.key_id);
    result.prehashed = parsed.prehashed;
    result.trusted_comment = parsed.trusted_comment;
  }
  std::string why;
  if (!ParseManifest(manifest, &result, &why)) return Fail(error, kManifestFile + (": " + why));
  *info = std::move(result);
  return true;
}

std::optional<LoadedRelease> LoadRelease(const std::string& folder,
                                         const std::vector<std::string>& trusted_keys,
                                         std::string* error) {
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::string message;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Fail(error, dir + " is not a folder");
    return std::nullopt;
  }
  std::string manifest;
  const int manifest_read = ReadSmallFile(dir + "/" + kManifestFile, &manifest, &message);
  if (manifest_read < 0) {
    Fail(error, message);
    return std::nullopt;
  }
  ReleaseInfo info;
  if (manifest_read == 0) {
    std::string signature;
    const int signature_read = ReadSmallFile(dir + "/" + kSignatureFile, &signature, &message);
    if (signature_read < 0) {
      Fail(error, message);
      return std::nullopt;
    }
    if (!VerifyManifest(manifest, signature_read == 0 ? &signature : nullptr, trusted_keys, &info,
                        &message)) {
      Fail(error, dir + "/" + message);
      return std::nullopt;
    }
  }
  std::optional<FirmwareSet> images = FirmwareSet::LoadFolder(dir, &message);
  if (!images) {
    Fail(error, message);
    return std::nullopt;
  }
  for (const ReleaseImage& expected : info.images) {
    const FirmwareImage image = images->Find(expected.resource_id);
    const std::string actual = Sha256Hex(image.data, image.size);
    if (actual != expected.sha256) {
      Fail(error, dir + "/" + std::to_string(expected.resource_id) + ".bin: SHA-256 " + actual +
                      " differs from the manifest's " + expected.sha256 +
                      " (the file is damaged, altered or from another release)");
      return std::nullopt;
    }
  }
  return LoadedRelease{std::move(*images), std::move(info)};
}

std::string MakeManifest(const FirmwareSet& images, const std::string& version,
                         const std::vector<std::uint8_t>& models) {
  Json doc = {{"format", kManifestFormat}, {"version", version}, {"models", Json::array()}};
  for (std::uint8_t m : models) doc["models"].push_back(ModelText(m));
  doc["images"] = Json::array();
  if (sodium_init() < 0) return {};
  for (const FirmwareImageInfo& known : FirmwareImageTable()) {
    const FirmwareImage image = images.Find(known.resource_id);
    doc["images"].push_back({{"resource_id", known.resource_id},
                             {"size", image.size},
                             {"sha256", Sha256Hex(image.data, image.size)}});
  }
  return doc.dump(2) + "\n";
}

}  // namespace fen
