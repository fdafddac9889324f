// Firmware releases on the command line: verification before an update, and the commands that
// verify, show, describe and sign a release folder.
#include "firmware_commands.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "failure.h"
#include "firmware/image_file.h"
#include "firmware/minisign.h"
#include "json_line.h"
#include "terminal_text.h"

namespace fen {

namespace {

std::string SignatureKind(const ReleaseInfo& info) {
  switch (info.signature) {
    case ReleaseSignature::kSigned:
      return "signed";
    case ReleaseSignature::kUnsigned:
      return "unsigned";
    case ReleaseSignature::kNoManifest:
      break;
  }
  return "none";
}

JsonLine ModelsJson(const std::vector<std::uint8_t>& models) {
  JsonLine list = JsonLine::array();
  for (std::uint8_t m : models) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", m);
    list.push_back(text);
  }
  return list;
}

JsonLine ReleaseJson(const ReleaseInfo& info) {
  JsonLine line{{"call", "firmware"}, {"signature", SignatureKind(info)}};
  if (info.signature == ReleaseSignature::kNoManifest) {
    line["verified"] = false;
    return line;
  }
  line["verified"] = info.signature == ReleaseSignature::kSigned;
  line["version"] = info.version;
  line["models"] = ModelsJson(info.models);
  if (info.signature == ReleaseSignature::kSigned) {
    line["key_id"] = info.key_id;
    line["algorithm"] = info.prehashed ? "ED" : "Ed";
    line["trusted_comment"] = info.trusted_comment;
  }
  return line;
}

// Shown on a terminal: the version comes from the release folder, and is escaped as every
// outside text is (TerminalText).
std::string ReleaseLine(const ReleaseInfo& info) {
  return "Firmware release " + TerminalText(info.version) + " for model " +
         ModelsText(info.models) + ", " + SignatureText(info);
}

// A minisign secret key file is a few hundred bytes.
constexpr std::size_t kMaxSecretKeyBytes = 4096;

bool ReadText(const std::string& path, std::size_t limit, std::string* text, std::string* error,
              bool follow_link) {
  const int read = ReadSmallFile(path, limit, text, error, follow_link);
  if (read == 1) *error = "cannot read " + path + ": no such file";
  return read == 0;
}

// A refusal may quote what a release folder holds (a key given twice, a value), and name files
// and folders: all of it is escaped for the terminal.
int Refuse(const std::string& message) { return ReportFailure(kExitUsage, message); }

}  // namespace

int ChooseUpdateFirmware(const std::string& dir, bool real_port, bool allow_unsigned, bool json,
                         FirmwareChoice* choice) {
  if (dir.empty()) {
    choice->release = BuiltinRelease();
    return 0;
  }
  std::string error;
  std::optional<LoadedRelease> loaded = LoadRelease(dir, BuiltinTrustedKeys(), &error);
  if (!loaded) return Refuse(error);
  choice->release = loaded->info;
  choice->folder = std::move(loaded->images);
  const ReleaseInfo& info = choice->release;
  // Only a release whose signature verified goes to a device unasked; deleting the manifest
  // must not get round that.
  if (info.signature == ReleaseSignature::kUnsigned && real_port && !allow_unsigned) {
    return Refuse(dir + ": the release's manifest is not signed (no " + kSignatureFile +
                  "); give --allow-unsigned to send it to a device all the same");
  }
  if (info.signature == ReleaseSignature::kNoManifest && real_port && !allow_unsigned) {
    return Refuse(dir + " has no " + kManifestFile +
                  ": its images' content cannot be verified; give --allow-unsigned to send them "
                  "to a device all the same");
  }
  // In the event stream the release's details follow the plan, which comes first.
  if (json) {
    choice->event = JsonLine{{"event", "release"}};
    JsonLine fields = ReleaseJson(info);
    fields.erase("call");
    choice->event.update(fields);
    return 0;
  }
  if (info.signature == ReleaseSignature::kNoManifest) {
    std::fprintf(stderr,
                 "fenupdator-cli: %s has no %s: the images' sizes are right, their content is "
                 "unverified\n",
                 TerminalText(dir).c_str(), kManifestFile);
  } else {
    std::printf("%s\n", ReleaseLine(info).c_str());
    std::fflush(stdout);
  }
  return 0;
}

FirmwareCommands::FirmwareCommands(CLI::App& app) {
  command_ = app.add_subcommand("firmware", "Verify, show, describe or sign a firmware release");
  command_->require_subcommand(1);
  verify_ = command_->add_subcommand(
      "verify", "Verify a release folder: the manifest's signature, then every image");
  inspect_ = command_->add_subcommand(
      "inspect", "Show a release folder's version, models, images and signature");
  manifest_ = command_->add_subcommand(
      "manifest", "Write the manifest of a folder's four images (then sign it with minisign -S)");
  sign_ = command_->add_subcommand(
      "sign", "Sign a folder's manifest with a minisign secret key made with -W");
  for (CLI::App* sub : {verify_, inspect_, manifest_, sign_}) {
    sub->add_option("DIR", dir_, "Release folder")->required();
  }
  verify_->add_flag("--json", json_, "One JSON object");
  verify_->add_flag("--allow-unsigned", allow_unsigned_,
                    "Also accept an unverified release: a manifest without a signature, or none");
  inspect_->add_flag("--json", json_, "One JSON object");
  manifest_->add_option("--version", version_, "The release's version")->required();
  manifest_->add_option("--model", models_, "Model ID the release is for (repeatable)")->required();
  manifest_->add_flag("--force", force_, "Replace an existing manifest");
  sign_->add_option("--secret-key", secret_key_, "minisign secret key file")->required();
  sign_->add_option("--trusted-comment", trusted_comment_, "Signed comment shown by verifiers");
  sign_->add_flag("--legacy", legacy_, "minisign's legacy signature (Ed) over the manifest itself");
}

int FirmwareCommands::Run() const {
  if (manifest_->parsed()) {
    const std::string path = dir_ + "/" + kManifestFile;
    std::error_code ignored;
    // The name as UTF-8 (char8_t): Windows' narrow path conversion would take it for ANSI.
    const std::filesystem::path name(std::u8string(path.begin(), path.end()));
    const bool exists = std::filesystem::symlink_status(name, ignored).type() !=
                        std::filesystem::file_type::not_found;
    if (exists && !force_) return Refuse(path + " exists; give --force to replace it");
    // Held to the rules the manifest's reader applies, so that nothing is written that
    // `firmware verify` would refuse.
    std::string error;
    if (!CheckReleaseVersion(version_, &error)) return Refuse("--version: " + error);
    std::vector<std::uint8_t> models;
    for (const std::string& text : models_) {
      std::uint8_t model = 0;
      if (!ParseModelId(text, &model)) {
        return Refuse("--model " + text + ": not a model ID (0x00 to 0x7F, written as 0x57)");
      }
      models.push_back(model);
    }
    if (!CheckReleaseModels(models, &error)) return Refuse("--model: " + error);
    std::optional<FirmwareSet> images = FirmwareSet::LoadFolder(dir_, &error);
    if (!images) return Refuse(error);
    if (!WriteFileReplacing(path, MakeManifest(*images, version_, models), &error)) {
      return Refuse(error);
    }
    // A signature of the manifest it replaces would only be refused.
    std::remove((dir_ + "/" + kSignatureFile).c_str());
    const std::string shown = TerminalText(path);
    std::printf("Wrote %s; sign it with minisign -Sm %s\n", shown.c_str(), shown.c_str());
    return 0;
  }
  if (sign_->parsed()) {
    std::string error;
    std::string key_text;
    std::string manifest;
    MinisignSecretKey key;
    // Held to the rules of a version: a verifier shows the comment to its user.
    if (!CheckTrustedComment(trusted_comment_, &error))
      return Refuse("--trusted-comment: " + error);
    // The key is the user's to name, a link included; the manifest is the folder's own.
    if (!ReadText(secret_key_, kMaxSecretKeyBytes, &key_text, &error, true)) return Refuse(error);
    if (!ParseSecretKey(key_text, &key, &error)) return Refuse(secret_key_ + ": " + error);
    const std::string path = dir_ + "/" + kManifestFile;
    if (!ReadText(path, kMaxReleaseTextBytes, &manifest, &error, false)) return Refuse(error);
    const std::string comment =
        trusted_comment_.empty() ? "file:" + std::string(kManifestFile) : trusted_comment_;
    const std::string signature = SignMessage(key, manifest, comment, !legacy_);
    if (signature.empty()) return Refuse("the cryptography library cannot start");
    // What a reader would refuse is not written: a trusted comment too long for the file, say.
    if (!CheckSignatureText(signature, &error)) return Refuse("--trusted-comment: " + error);
    if (!WriteFileReplacing(dir_ + "/" + kSignatureFile, signature, &error)) return Refuse(error);
    std::printf("Signed %s with key %s\n", TerminalText(path).c_str(),
                KeyIdText(key.key_id).c_str());
    return 0;
  }

  std::string error;
  const std::optional<LoadedRelease> loaded = LoadRelease(dir_, BuiltinTrustedKeys(), &error);
  if (!loaded) {
    if (json_) {
      PrintJsonLine(stdout, JsonLine{{"call", "firmware"}, {"verified", false}, {"error", error}});
    }
    return Refuse(error);
  }
  const ReleaseInfo& info = loaded->info;
  if (json_) {
    JsonLine line = ReleaseJson(info);
    if (inspect_->parsed()) {
      JsonLine images = JsonLine::array();
      for (const FirmwareImageInfo& known : FirmwareImageTable()) {
        JsonLine entry{{"resource_id", known.resource_id},
                       {"size", loaded->images.Find(known.resource_id).size}};
        for (const ReleaseImage& image : info.images) {
          if (image.resource_id == known.resource_id) entry["sha256"] = image.sha256;
        }
        images.push_back(entry);
      }
      line["images"] = images;
    }
    PrintJsonLine(stdout, line);
  } else if (info.signature == ReleaseSignature::kNoManifest) {
    std::printf("%s: no %s: the images' sizes are right, their content is unverified\n",
                TerminalText(dir_).c_str(), kManifestFile);
  } else {
    std::printf("%s: %s\n", TerminalText(dir_).c_str(), ReleaseLine(info).c_str());
    if (inspect_->parsed()) {
      if (info.signature == ReleaseSignature::kSigned) {
        std::printf("  signature: %s, trusted comment: %s\n",
                    info.prehashed ? "ED (prehashed)" : "Ed (legacy)",
                    TerminalText(info.trusted_comment).c_str());
      }
      for (const ReleaseImage& image : info.images) {
        std::printf("  %d.bin  %8zu bytes  SHA-256 %s\n", image.resource_id, image.size,
                    image.sha256.c_str());
      }
    }
  }
  if (inspect_->parsed()) return 0;
  // Verified means what an update to a real port would take.
  if (info.signature == ReleaseSignature::kNoManifest && !allow_unsigned_) {
    return Refuse(dir_ + ": nothing to verify without a manifest: a real port takes it only " +
                  "with --allow-unsigned");
  }
  if (info.signature == ReleaseSignature::kUnsigned && !allow_unsigned_) {
    return Refuse(dir_ + ": the images match the manifest, but it is not signed: a real port " +
                  "takes it only with --allow-unsigned");
  }
  return 0;
}

std::string BuiltinReleaseText() {
  const ReleaseInfo& info = BuiltinRelease();
  std::string text;
  if (info.signature != ReleaseSignature::kNoManifest) text += "\n" + ReleaseLine(info);
  std::string keys;
  for (const std::string& key : BuiltinTrustedKeys()) {
    MinisignPublicKey parsed;
    std::string error;
    if (ParsePublicKey(key, &parsed, &error)) {
      keys += (keys.empty() ? "" : ", ") + KeyIdText(parsed.key_id);
    }
  }
  text += "\nTrusted release keys: " + (keys.empty() ? std::string("none") : keys);
  return text;
}

}  // namespace fen
