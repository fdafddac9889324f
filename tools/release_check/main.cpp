// fen-release-check: the configure-time check of FEN_FIRMWARE_DIR, the same verification as
// the updater's. Usage: fen-release-check DIR [PUBLIC-KEY-FILE...]
// Exit 0: verified (a manifest signed by one of the keys, every image matching it); 3: not
// verified but consistent (an unsigned manifest whose images match it, or no manifest and images
// of the right sizes); 1: refused, with the reason on standard error; 2: bad arguments.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "firmware/image_file.h"
#include "firmware/release.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fen-release-check DIR [PUBLIC-KEY-FILE...]\n");
    return 2;
  }
  std::vector<std::string> keys;
  for (int i = 2; i < argc; ++i) {
    const fen::Checked<std::optional<std::string>> read =
        fen::ReadSmallFile(fen::Utf8Path(argv[i]), 4096, /*follow_link=*/true);
    if (!read || !read->has_value()) {
      std::fprintf(stderr, "cannot read the public key file %s: %s\n", argv[i],
                   read ? "no such file" : read.refusal().text.c_str());
      return 2;
    }
    keys.push_back(**read);
  }
  // Refused: 1, the status this tool's callers know, not the command-line updater's.
  const auto release = fen::LoadRelease(fen::Utf8Path(argv[1]), keys);
  if (!release) {
    std::fprintf(stderr, "%s\n", release.refusal().text.c_str());
    return 1;
  }
  const fen::ReleaseInfo& info = release->info;
  if (info.signature == fen::ReleaseSignature::kNoManifest) {
    std::printf("no manifest: the images' sizes are right, their content is unverified\n");
    return 3;
  }
  std::printf("release %s for model %s, %s\n", info.version.c_str(),
              fen::ModelsText(info.models).c_str(), fen::SignatureText(info).c_str());
  return info.signature == fen::ReleaseSignature::kSigned ? 0 : 3;
}
