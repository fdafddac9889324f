// What the build put into the program about its firmware release: the manifest and signature
// checked when it was configured (empty without them) and the trusted public keys. Generated
// into release_data.cpp by cmake/FenFirmware.cmake.
#pragma once

#include <cstddef>

namespace fen::release_data {

extern const unsigned char kManifest[];
extern const std::size_t kManifestSize;
extern const unsigned char kSignature[];
extern const std::size_t kSignatureSize;
extern const char* const kTrustedKeys[];
extern const std::size_t kTrustedKeyCount;

}  // namespace fen::release_data
