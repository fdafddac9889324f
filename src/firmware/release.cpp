// Verification of a firmware release: the manifest's minisign signature against the trusted
// keys, its fields, then every image's size and SHA-256 (libsodium), all before any image is
// handed out. JSON is read and written with nlohmann-json.
#include "firmware/release.h"

#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>

#include "firmware/image_file.h"
#include "firmware/minisign.h"
#include "firmware/untrusted_text.h"

namespace fen {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kManifestFormat = 1;

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

bool IsLowerHex(const std::string& text, std::size_t length) {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The JSON text of a manifest. Two members of one name are refused: JSON leaves open which of
// them counts, so another reader could see another manifest in the same signed bytes.
bool ParseJson(std::string_view text, Json* doc, std::string* error) {
  std::vector<std::set<std::string>> keys;  // of each object being read, innermost last
  std::string duplicate;
  const Json::parser_callback_t watch = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == Json::parse_event_t::object_end && !keys.empty()) {
      keys.pop_back();
    } else if (event == Json::parse_event_t::key && !keys.empty() && parsed.is_string() &&
               !keys.back().insert(parsed.get<std::string>()).second && duplicate.empty()) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  try {
    *doc = Json::parse(text, watch);
  } catch (const Json::exception& e) {
    // Syntax, and numbers beyond what a double holds, alike.
    return Fail(error, std::string("not JSON that can be read: ") + e.what());
  }
  if (!duplicate.empty()) return Fail(error, "\"" + duplicate + "\" is given twice in one object");
  return true;
}

bool IsUnsigned(const Json& value, std::uint64_t expected) {
  return value.is_number_unsigned() && value.get<std::uint64_t>() == expected;
}

// The manifest's fields, checked against the images the device takes. Numbers are compared as
// the 64-bit values they are, never narrowed first.
bool ParseManifestFields(const Json& doc, ReleaseInfo* info, std::string* error) {
  if (!doc.is_object()) return Fail(error, "not a JSON object");
  const auto format = doc.find("format");
  if (format == doc.end() || !IsUnsigned(*format, kManifestFormat)) {
    return Fail(error, "\"format\" is not " + std::to_string(kManifestFormat));
  }
  const auto version = doc.find("version");
  if (version == doc.end() || !version->is_string() || version->get<std::string>().empty()) {
    return Fail(error, "\"version\" is missing or not a text");
  }
  info->version = version->get<std::string>();
  if (!CheckReleaseVersion(info->version, error)) return false;

  const auto models = doc.find("models");
  if (models == doc.end() || !models->is_array() || models->empty()) {
    return Fail(error, "\"models\" is missing or empty");
  }
  info->models.clear();
  for (const Json& value : *models) {
    std::uint8_t model = 0;
    if (!value.is_string() || !ParseModelId(value.get<std::string>(), &model)) {
      return Fail(error, "\"models\" holds " + value.dump() + ", not a model ID such as \"0x57\"");
    }
    if (std::find(info->models.begin(), info->models.end(), model) == info->models.end()) {
      info->models.push_back(model);
    }
  }
  if (!CheckReleaseModels(info->models, error)) return false;

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
    const Json& id = entry["resource_id"];
    const auto known = std::find_if(
        FirmwareImageTable().begin(), FirmwareImageTable().end(),
        [&](const auto& i) { return IsUnsigned(id, static_cast<std::uint64_t>(i.resource_id)); });
    if (known == FirmwareImageTable().end()) {
      return Fail(error,
                  "image " + id.dump() + " is not one of the device's images (129, 133, 136, 137)");
    }
    ReleaseImage image;
    image.resource_id = known->resource_id;
    image.size = known->size;
    image.sha256 = entry["sha256"].get<std::string>();
    const std::string name = std::to_string(image.resource_id) + ".bin";
    if (!IsLowerHex(image.sha256, 64)) {
      return Fail(error, name + ": \"sha256\" is not 64 lower-case hex digits");
    }
    if (!IsUnsigned(entry["size"], known->size)) {
      return Fail(error, name + ": the manifest gives " + entry["size"].dump() +
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

bool ParseManifest(std::string_view text, ReleaseInfo* info, std::string* error) {
  // Readers differ on a NUL: some end the text there, others read on. Signed bytes that hold a
  // second document after one would be two manifests to two readers.
  if (text.find('\0') != std::string_view::npos) {
    return Fail(error, "holds a NUL byte at offset " + std::to_string(text.find('\0')) +
                           "; a manifest is JSON text alone");
  }
  Json doc;
  if (!ParseJson(text, &doc, error)) return false;
  try {
    return ParseManifestFields(doc, info, error);
  } catch (const Json::exception& e) {
    // The checks above leave nothing to throw; should one be missed, it is a refusal all the
    // same.
    return Fail(error, std::string("cannot be read: ") + e.what());
  }
}

}  // namespace

bool ParseModelId(std::string_view text, std::uint8_t* model) {
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

bool CheckReleaseVersion(std::string_view version, std::string* error) {
  if (version.empty()) return Fail(error, "\"version\" is empty");
  if (version.size() > 64) return Fail(error, "\"version\" is longer than 64 characters");
  if (HoldsControlText(version)) {
    return Fail(error,
                "\"version\" holds control characters (C0, DEL, C1 or bidirectional controls) "
                "or is not UTF-8");
  }
  return true;
}

bool CheckTrustedComment(std::string_view comment, std::string* error) {
  if (comment.find_first_of("\r\n") != std::string_view::npos) {
    return Fail(error, "a signature's trusted comment is one line");
  }
  if (HoldsControlText(comment)) {
    return Fail(error,
                "the trusted comment holds control characters (C0, DEL, C1 or bidirectional "
                "controls) or is not UTF-8");
  }
  return true;
}

bool CheckReleaseModels(const std::vector<std::uint8_t>& models, std::string* error) {
  const bool any_of_family = std::any_of(models.begin(), models.end(), [](auto m) {
    return std::find(kFamilyModelIds.begin(), kFamilyModelIds.end(), m) != kFamilyModelIds.end();
  });
  if (any_of_family) return true;
  std::vector<std::uint8_t> family(kFamilyModelIds.begin(), kFamilyModelIds.end());
  return Fail(error, "the release is for model " + ModelsText(models) +
                         "; this updater updates model " + ModelsText(family));
}

bool CheckSignatureText(std::string_view text, std::string* error) {
  if (text.size() > kMaxReleaseTextBytes) {
    return Fail(error, "the signature is " + std::to_string(text.size()) +
                           " bytes, more than the " + std::to_string(kMaxReleaseTextBytes) +
                           " it may have");
  }
  MinisignSignature parsed;
  return ParseSignature(text, &parsed, error);
}

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
  result.manifest_sha256 =
      Sha256Hex(reinterpret_cast<const std::uint8_t*>(manifest.data()), manifest.size());
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
  // 0: read; 1: no such file; -1: refused, said in `error`.
  const auto read_text = [&](const char* name, std::string* text) {
    const int read = ReadSmallFile(dir + "/" + name, kMaxReleaseTextBytes, text, &message);
    if (read < 0) Fail(error, message);
    return read;
  };
  std::string manifest;
  const int manifest_read = read_text(kManifestFile, &manifest);
  if (manifest_read < 0) return std::nullopt;
  ReleaseInfo info;
  if (manifest_read == 0) {
    std::string signature;
    const int signature_read = read_text(kSignatureFile, &signature);
    if (signature_read < 0) return std::nullopt;
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
