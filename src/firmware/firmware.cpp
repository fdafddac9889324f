// The firmware images linked in by firmware_images.S.
#include "firmware/firmware.h"

// Each image's start label and 64-bit size word.
extern "C" {
#define FEN_FIRMWARE_IMAGE(id, size)                    \
  extern const std::uint8_t fen_firmware_##id##_data[]; \
  extern const std::uint64_t fen_firmware_##id##_size;
#include "firmware/firmware_images.def"
#undef FEN_FIRMWARE_IMAGE
}

namespace fen {

const FirmwareSet& FirmwareSet::Builtin() {
  static const FirmwareSet set = [] {
    FirmwareSet s;
#define FEN_FIRMWARE_IMAGE(id, size) \
  s.images_[id] = {fen_firmware_##id##_data, static_cast<std::size_t>(fen_firmware_##id##_size)};
#include "firmware/firmware_images.def"
#undef FEN_FIRMWARE_IMAGE
    return s;
  }();
  return set;
}

bool FirmwareSet::BuiltinIsPlaceholder() {
#ifdef FEN_PLACEHOLDER_FIRMWARE
  return true;
#else
  return false;
#endif
}

}  // namespace fen
