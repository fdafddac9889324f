// The built-in release: the trusted keys and the manifest that the build checked the embedded
// images against, read back for the version shown by --version and the About box.
#include "firmware/release.h"
#include "firmware/release_data.h"

namespace fen {

const std::vector<std::string>& BuiltinTrustedKeys() {
  static const std::vector<std::string> keys(
      release_data::kTrustedKeys, release_data::kTrustedKeys + release_data::kTrustedKeyCount);
  return keys;
}

const ReleaseInfo& BuiltinRelease() {
  static const ReleaseInfo info = [] {
    if (release_data::kManifestSize == 0) return ReleaseInfo{};
    const std::string_view manifest(reinterpret_cast<const char*>(release_data::kManifest),
                                    release_data::kManifestSize);
    const std::string signature(reinterpret_cast<const char*>(release_data::kSignature),
                                release_data::kSignatureSize);
    // Checked with the images when the build was configured; checked again here only so that
    // what is shown is what was signed.
    Checked<ReleaseInfo> verified = VerifyManifest(
        manifest, release_data::kSignatureSize > 0 ? &signature : nullptr, BuiltinTrustedKeys());
    return verified ? std::move(*verified) : ReleaseInfo{};
  }();
  return info;
}

}  // namespace fen
