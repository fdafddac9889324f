// fen-release-check: the configure-time check of FEN_FIRMWARE_DIR, the same verification as
// the updater's. Usage: fen-release-check DIR [PUBLIC-KEY-FILE...]
// Exit 0: verified (signed, or without a manifest: sizes only); 3: an unsigned manifest whose
// images match it; 1: refused, with the reason on standard error; 2: bad arguments.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "res/release.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fen-release-check DIR [PUBLIC-KEY-FILE...]\n");
    return 2;
  }
  std::vector<std::string> keys;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read the public key file %s\n", argv[i]);
      return 2;
    }
    std::ostringstream text;
    text << in.rdbuf();
    keys.push_back(text.str());
  }
  std::string error;
  const auto release = fen::LoadRelease(argv[1], keys, &error);
  if (!release) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const fen::ReleaseInfo& info = release->info;
  if (info.signature == fen::ReleaseSignature::kNoManifest) {
    std::printf("no manifest: the images' sizes are right, their content is unverified\n");
    return 0;
  }
  std::printf("release %s for model %s, %s\n", info.version.c_str(),
              fen::ModelsText(info.models).c_str(), fen::SignatureText(info).c_str());
  return info.signature == fen::ReleaseSignature::kSigned ? 0 : 3;
}
