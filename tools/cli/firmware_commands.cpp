// Firmware releases on the command line: verification before an update, and the commands that
// verify, show, describe and sign a release folder.
#include "firmware_commands.h"

#include <cstdio>
#include <filesystem>
#include <optional>
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

// A file the command needs: one that is not there is refused too.
Checked<std::string> ReadText(const std::filesystem::path& path, std::size_t limit,
                              bool follow_link) {
  Checked<std::optional<std::string>> read = ReadSmallFile(path, limit, follow_link);
  if (!read) return read.refusal();
  if (!read->has_value()) return Refusal{"cannot read " + PathText(path) + ": no such file"};
  return std::move(**read);
}

// The firmware code's refusals carry the status they end the tool with; the tool's own
// refusals of a release are the same kind.
static_assert(kExitRefusedRelease == kExitUsage);

// A refusal may quote what a release folder holds (a key given twice, a value), and name files
// and folders: all of it is escaped for the terminal.
int Refuse(const std::string& message) { return ReportFailure(kExitUsage, message); }
int Refuse(const Refusal& refusal) { return ReportFailure(refusal.exit_status, refusal.text); }

}  // namespace

int ChooseUpdateFirmware(const std::string& dir, bool real_port, bool allow_unsigned, bool json,
                         FirmwareChoice* choice) {
  if (dir.empty()) {
    choice->release = BuiltinRelease();
    return 0;
  }
  Checked<LoadedRelease> loaded = LoadRelease(Utf8Path(dir), BuiltinTrustedKeys());
  if (!loaded) return Refuse(loaded.refusal());
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
  const std::filesystem::path dir = Utf8Path(dir_);
  if (manifest_->parsed()) {
    const std::filesystem::path manifest = dir / kManifestFile;
    const std::string path = PathText(manifest);
    std::error_code ignored;
    const bool exists = std::filesystem::symlink_status(manifest, ignored).type() !=
                        std::filesystem::file_type::not_found;
    if (exists && !force_) return Refuse(path + " exists; give --force to replace it");
    // Held to the rules the manifest's reader applies, so that nothing is written that
    // `firmware verify` would refuse.
    if (const CheckResult version = CheckReleaseVersion(version_); !version) {
      return Refuse(version.refusal().Prefixed("--version: "));
    }
    std::vector<std::uint8_t> models;
    for (const std::string& text : models_) {
      std::uint8_t model = 0;
      if (!ParseModelId(text, &model)) {
        return Refuse("--model " + text + ": not a model ID (0x00 to 0x7F, written as 0x57)");
      }
      models.push_back(model);
    }
    if (const CheckResult family = CheckReleaseModels(models); !family) {
      return Refuse(family.refusal().Prefixed("--model: "));
    }
    const Checked<FirmwareSet> images = FirmwareSet::LoadFolder(dir);
    if (!images) return Refuse(images.refusal());
    std::string error;
    if (!WriteFileReplacing(path, MakeManifest(*images, version_, models), &error)) {
      return Refuse(error);
    }
    // A signature of the manifest it replaces would only be refused. Removed by its wide name on
    // Windows: std::remove would take the UTF-8 name for one in the ANSI code page.
    std::filesystem::remove(dir / kSignatureFile, ignored);
    const std::string shown = TerminalText(path);
    std::printf("Wrote %s; sign it with minisign -Sm %s\n", shown.c_str(), shown.c_str());
    return 0;
  }
  if (sign_->parsed()) {
    // Held to the rules of a version: a verifier shows the comment to its user.
    if (const CheckResult comment = CheckTrustedComment(trusted_comment_); !comment) {
      return Refuse(comment.refusal().Prefixed("--trusted-comment: "));
    }
    // The key is the user's to name, a link included; the manifest is the folder's own.
    const Checked<std::string> key_text =
        ReadText(Utf8Path(secret_key_), kMaxSecretKeyBytes, /*follow_link=*/true);
    if (!key_text) return Refuse(key_text.refusal());
    const Checked<MinisignSecretKey> key = ParseSecretKey(*key_text);
    if (!key) return Refuse(key.refusal().Prefixed(secret_key_ + ": "));
    const std::filesystem::path manifest_path = dir / kManifestFile;
    const std::string path = PathText(manifest_path);
    const Checked<std::string> manifest =
        ReadText(manifest_path, kMaxReleaseTextBytes, /*follow_link=*/false);
    if (!manifest) return Refuse(manifest.refusal());
    const std::string comment =
        trusted_comment_.empty() ? "file:" + std::string(kManifestFile) : trusted_comment_;
    const std::string signature = SignMessage(*key, *manifest, comment, !legacy_);
    if (signature.empty()) return Refuse("the cryptography library cannot start");
    // What a reader would refuse is not written: a trusted comment too long for the file, say.
    if (const CheckResult readable = CheckSignatureText(signature); !readable) {
      return Refuse(readable.refusal().Prefixed("--trusted-comment: "));
    }
    std::string error;
    if (!WriteFileReplacing(PathText(dir / kSignatureFile), signature, &error)) {
      return Refuse(error);
    }
    std::printf("Signed %s with key %s\n", TerminalText(path).c_str(),
                KeyIdText(key->key_id).c_str());
    return 0;
  }

  const Checked<LoadedRelease> loaded = LoadRelease(dir, BuiltinTrustedKeys());
  if (!loaded) {
    if (json_) {
      PrintJsonLine(
          stdout,
          JsonLine{{"call", "firmware"}, {"verified", false}, {"error", loaded.refusal().text}});
    }
    return Refuse(loaded.refusal());
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
    if (const Checked<MinisignPublicKey> parsed = ParsePublicKey(key)) {
      keys += (keys.empty() ? "" : ", ") + KeyIdText(parsed->key_id);
    }
  }
  text += "\nTrusted release keys: " + (keys.empty() ? std::string("none") : keys);
  return text;
}

}  // namespace fen
