// Verification of a firmware release: the manifest's minisign signature against the trusted
// keys, its fields, then every image's size and SHA-256 (libsodium), all before any image is
// handed out. JSON is read and written with nlohmann-json.
#include "firmware/release.h"

#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "firmware/image_file.h"
#include "firmware/minisign.h"
#include "firmware/untrusted_text.h"

namespace fen {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kManifestFormat = 1;

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
Checked<Json> ParseJson(std::string_view text) {
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
  Json doc;
  try {
    doc = Json::parse(text, watch);
  } catch (const Json::exception& e) {
    // Syntax, and numbers beyond what a double holds, alike.
    return Refusal{std::string("not JSON that can be read: ") + e.what()};
  }
  if (!duplicate.empty()) return Refusal{"\"" + duplicate + "\" is given twice in one object"};
  return doc;
}

bool IsUnsigned(const Json& value, std::uint64_t expected) {
  return value.is_number_unsigned() && value.get<std::uint64_t>() == expected;
}

// The manifest's fields, checked against the images the device takes. Numbers are compared as
// the 64-bit values they are, never narrowed first.
CheckResult ParseManifestFields(const Json& doc, ReleaseInfo* info) {
  if (!doc.is_object()) return Refusal{"not a JSON object"};
  const auto format = doc.find("format");
  if (format == doc.end() || !IsUnsigned(*format, kManifestFormat)) {
    return Refusal{"\"format\" is not " + std::to_string(kManifestFormat)};
  }
  const auto version = doc.find("version");
  if (version == doc.end() || !version->is_string() || version->get<std::string>().empty()) {
    return Refusal{"\"version\" is missing or not a text"};
  }
  info->version = version->get<std::string>();
  if (CheckResult version_ok = CheckReleaseVersion(info->version); !version_ok) return version_ok;

  const auto models = doc.find("models");
  if (models == doc.end() || !models->is_array() || models->empty()) {
    return Refusal{"\"models\" is missing or empty"};
  }
  info->models.clear();
  for (const Json& value : *models) {
    std::uint8_t model = 0;
    if (!value.is_string() || !ParseModelId(value.get<std::string>(), &model)) {
      return Refusal{"\"models\" holds " + value.dump() + ", not a model ID such as \"0x57\""};
    }
    if (std::find(info->models.begin(), info->models.end(), model) == info->models.end()) {
      info->models.push_back(model);
    }
  }
  if (CheckResult models_ok = CheckReleaseModels(info->models); !models_ok) return models_ok;

  const auto images = doc.find("images");
  if (images == doc.end() || !images->is_array()) {
    return Refusal{"\"images\" is missing or not a list"};
  }
  info->images.clear();
  for (const Json& entry : *images) {
    if (!entry.is_object() || !entry.contains("resource_id") || !entry.contains("size") ||
        !entry.contains("sha256") || !entry["resource_id"].is_number_integer() ||
        !entry["size"].is_number_unsigned() || !entry["sha256"].is_string()) {
      return Refusal{"an image entry lacks \"resource_id\", \"size\" or \"sha256\": " +
                     entry.dump()};
    }
    const Json& id = entry["resource_id"];
    const auto known = std::find_if(
        FirmwareImageTable().begin(), FirmwareImageTable().end(),
        [&](const auto& i) { return IsUnsigned(id, static_cast<std::uint64_t>(i.resource_id)); });
    if (known == FirmwareImageTable().end()) {
      return Refusal{"image " + id.dump() +
                     " is not one of the device's images (129, 133, 136, 137)"};
    }
    ReleaseImage image;
    image.resource_id = known->resource_id;
    image.size = known->size;
    image.sha256 = entry["sha256"].get<std::string>();
    const std::string name = std::to_string(image.resource_id) + ".bin";
    if (!IsLowerHex(image.sha256, 64)) {
      return Refusal{name + ": \"sha256\" is not 64 lower-case hex digits"};
    }
    if (!IsUnsigned(entry["size"], known->size)) {
      return Refusal{name + ": the manifest gives " + entry["size"].dump() +
                     " bytes; the device's image is " + std::to_string(known->size) + " bytes"};
    }
    if (std::any_of(info->images.begin(), info->images.end(),
                    [&](const auto& i) { return i.resource_id == image.resource_id; })) {
      return Refusal{name + " is listed twice"};
    }
    info->images.push_back(image);
  }
  for (const FirmwareImageInfo& known : FirmwareImageTable()) {
    if (std::none_of(info->images.begin(), info->images.end(),
                     [&](const auto& i) { return i.resource_id == known.resource_id; })) {
      return Refusal{"image " + std::to_string(known.resource_id) + ".bin is not listed"};
    }
  }
  return {};
}

CheckResult ParseManifest(std::string_view text, ReleaseInfo* info) {
  // Readers differ on a NUL: some end the text there, others read on. Signed bytes that hold a
  // second document after one would be two manifests to two readers.
  if (text.find('\0') != std::string_view::npos) {
    return Refusal{"holds a NUL byte at offset " + std::to_string(text.find('\0')) +
                   "; a manifest is JSON text alone"};
  }
  const Checked<Json> doc = ParseJson(text);
  if (!doc) return doc.refusal();
  try {
    return ParseManifestFields(*doc, info);
  } catch (const Json::exception& e) {
    // The checks above leave nothing to throw; should one be missed, it is a refusal all the
    // same.
    return Refusal{std::string("cannot be read: ") + e.what()};
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

CheckResult CheckReleaseVersion(std::string_view version) {
  if (version.empty()) return Refusal{"\"version\" is empty"};
  if (version.size() > 64) return Refusal{"\"version\" is longer than 64 characters"};
  if (HoldsControlText(version)) {
    return Refusal{
        "\"version\" holds control characters (C0, DEL, C1 or bidirectional controls) "
        "or is not UTF-8"};
  }
  return {};
}

CheckResult CheckTrustedComment(std::string_view comment) {
  if (comment.find_first_of("\r\n") != std::string_view::npos) {
    return Refusal{"a signature's trusted comment is one line"};
  }
  if (HoldsControlText(comment)) {
    return Refusal{
        "the trusted comment holds control characters (C0, DEL, C1 or bidirectional "
        "controls) or is not UTF-8"};
  }
  return {};
}

CheckResult CheckReleaseModels(const std::vector<std::uint8_t>& models) {
  const bool any_of_family = std::any_of(models.begin(), models.end(), [](auto m) {
    return std::find(kFamilyModelIds.begin(), kFamilyModelIds.end(), m) != kFamilyModelIds.end();
  });
  if (any_of_family) return {};
  std::vector<std::uint8_t> family(kFamilyModelIds.begin(), kFamilyModelIds.end());
  return Refusal{"the release is for model " + ModelsText(models) +
                 "; this updater updates model " + ModelsText(family)};
}

CheckResult CheckSignatureText(std::string_view text) {
  if (text.size() > kMaxReleaseTextBytes) {
    return Refusal{"the signature is " + std::to_string(text.size()) + " bytes, more than the " +
                   std::to_string(kMaxReleaseTextBytes) + " it may have"};
  }
  if (Checked<MinisignSignature> parsed = ParseSignature(text); !parsed) return parsed.refusal();
  return {};
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

Checked<ReleaseInfo> VerifyManifest(std::string_view manifest, const std::string* signature,
                                    const std::vector<std::string>& trusted_keys) {
  if (sodium_init() < 0) return Refusal{"the cryptography library cannot start"};
  ReleaseInfo result;
  result.signature = ReleaseSignature::kUnsigned;
  if (signature != nullptr) {
    const Checked<MinisignSignature> parsed = ParseSignature(*signature);
    if (!parsed) return parsed.refusal().Prefixed(kSignatureFile + std::string(": "));
    std::vector<std::string> trusted_ids;
    std::optional<MinisignPublicKey> match;
    for (std::size_t i = 0; i < trusted_keys.size(); ++i) {
      const Checked<MinisignPublicKey> key = ParsePublicKey(trusted_keys[i]);
      if (!key) return key.refusal().Prefixed("trusted key " + std::to_string(i + 1) + ": ");
      trusted_ids.push_back(KeyIdText(key->key_id));
      if (key->key_id == parsed->key_id) match = *key;
    }
    if (!match) {
      std::string trusted;
      for (const auto& id : trusted_ids) trusted += (trusted.empty() ? "" : ", ") + id;
      return Refusal{std::string(kSignatureFile) + ": signed by key " + KeyIdText(parsed->key_id) +
                     ", which this build does not trust (" +
                     (trusted.empty() ? "it trusts no key" : "it trusts " + trusted) + ")"};
    }
    if (const CheckResult verified = VerifySignature(*parsed, *match, manifest); !verified) {
      return Refusal{std::string(kSignatureFile) + ": " + verified.refusal().text + " (" +
                     kManifestFile + " was changed after signing, or the signature is damaged)"};
    }
    result.signature = ReleaseSignature::kSigned;
    result.key_id = KeyIdText(parsed->key_id);
    result.prehashed = parsed->prehashed;
    result.trusted_comment = parsed->trusted_comment;
  }
  if (const CheckResult fields = ParseManifest(manifest, &result); !fields) {
    return fields.refusal().Prefixed(kManifestFile + std::string(": "));
  }
  result.manifest_sha256 =
      Sha256Hex(reinterpret_cast<const std::uint8_t*>(manifest.data()), manifest.size());
  return result;
}

Checked<LoadedRelease> LoadRelease(const std::filesystem::path& folder,
                                   const std::vector<std::string>& trusted_keys) {
  const std::filesystem::path dir = folder.empty() ? std::filesystem::path(".") : folder;
  std::error_code ignored;
  if (!std::filesystem::is_directory(dir, ignored)) {
    return Refusal{PathText(dir) + " is not a folder"};
  }
  // What VerifyManifest says begins with the file's own name: the folder goes in front.
  const std::string in_folder = PathText(dir / "");
  const Checked<std::optional<std::string>> manifest =
      ReadSmallFile(dir / kManifestFile, kMaxReleaseTextBytes);
  if (!manifest) return manifest.refusal();
  ReleaseInfo info;
  if (manifest->has_value()) {
    const Checked<std::optional<std::string>> signature =
        ReadSmallFile(dir / kSignatureFile, kMaxReleaseTextBytes);
    if (!signature) return signature.refusal();
    Checked<ReleaseInfo> verified =
        VerifyManifest(**manifest, signature->has_value() ? &**signature : nullptr, trusted_keys);
    if (!verified) return verified.refusal().Prefixed(in_folder);
    info = std::move(*verified);
  }
  Checked<FirmwareSet> images = FirmwareSet::LoadFolder(dir);
  if (!images) return images.refusal();
  for (const ReleaseImage& expected : info.images) {
    const FirmwareImage image = images->Find(expected.resource_id);
    const std::string actual = Sha256Hex(image.data, image.size);
    if (actual != expected.sha256) {
      return Refusal{in_folder + std::to_string(expected.resource_id) + ".bin: SHA-256 " + actual +
                     " differs from the manifest's " + expected.sha256 +
                     " (the file is damaged, altered or from another release)"};
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
