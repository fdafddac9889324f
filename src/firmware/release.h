// A firmware release: a folder with the four images and a manifest (the release's version, the
// model IDs it is for, each image's resource ID, size and SHA-256), signed in minisign's format.
// A release is verified as a whole before any of its images is handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/firmware.h"
#include "firmware/refusal.h"

namespace fen {

inline constexpr const char* kManifestFile = "manifest.json";
inline constexpr const char* kSignatureFile = "manifest.json.minisig";

// Only kSigned is a verified release; a real device takes the others only when the user says so.
enum class ReleaseSignature {
  kNoManifest,  // images alone: only their sizes are checked
  kUnsigned,    // a manifest without a signature: hashes checked, origin unknown
  kSigned,      // a manifest signed by a trusted key
};

// The most a manifest or its signature file may hold; far above any real one.
inline constexpr std::size_t kMaxReleaseTextBytes = 64 * 1024;

struct ReleaseImage {
  int resource_id = 0;
  std::size_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

struct ReleaseInfo {
  ReleaseSignature signature = ReleaseSignature::kNoManifest;
  std::string version;
  std::vector<std::uint8_t> models;
  std::vector<ReleaseImage> images;
  std::string key_id;           // of the key that signed the manifest
  bool prehashed = false;       // minisign's "ED" signature, over the manifest's BLAKE2b-512
  std::string trusted_comment;  // verified together with the signature
  std::string manifest_sha256;  // of manifest.json's bytes, lower-case hex; empty without one
};

struct LoadedRelease {
  FirmwareSet images;
  ReleaseInfo info;
};

// "signed by key 450171EFE77C62FC", "unsigned", "no manifest: unverified".
std::string SignatureText(const ReleaseInfo& info);
// "0x57, 0x61".
std::string ModelsText(const std::vector<std::uint8_t>& models);

// The rules a manifest's fields are held to: by the reader, and by the tools that write a
// manifest or sign it, so that they never write what the reader would refuse.
// A model ID as a manifest gives it: "0x" and two hex digits, 0x00 to 0x7F.
bool ParseModelId(std::string_view text, std::uint8_t* model);
// Not empty, at most 64 characters, UTF-8 without control characters: no C0 control, DEL, C1
// control or bidirectional control, any of which could drive or reorder a terminal's text.
CheckResult CheckReleaseVersion(std::string_view version);
// One line, held to the same rules as a version: the comment `firmware sign` signs.
CheckResult CheckTrustedComment(std::string_view comment);
// At least one model of the family the updater updates.
CheckResult CheckReleaseModels(const std::vector<std::uint8_t>& models);
// A signature file's text: its size, then minisign's layout.
CheckResult CheckSignatureText(std::string_view text);

// The minisign public keys (their base64 lines) this build trusts.
const std::vector<std::string>& BuiltinTrustedKeys();

// Checks a manifest and its signature (null: none) against `trusted_keys`: the signature and
// its trusted comment first, then the manifest's fields. A refusal names the file
// ("manifest.json: ...") and what differs.
Checked<ReleaseInfo> VerifyManifest(std::string_view manifest, const std::string* signature,
                                    const std::vector<std::string>& trusted_keys);

// Reads and verifies a release folder (empty: the current one): with a manifest, its signature
// if there is one, then each image's size and SHA-256 against it; without one, the images' sizes
// alone. A refusal names the file and what differs when any check fails.
Checked<LoadedRelease> LoadRelease(const std::filesystem::path& folder,
                                   const std::vector<std::string>& trusted_keys);

// The manifest of a set of images, for the tool that makes releases.
std::string MakeManifest(const FirmwareSet& images, const std::string& version,
                         const std::vector<std::uint8_t>& models);

// The release the built-in images came from, as checked when the program was built; a release
// without a manifest (or the placeholders) has kNoManifest and no version.
const ReleaseInfo& BuiltinRelease();

}  // namespace fen
