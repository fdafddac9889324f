// The firmware images linked in by firmware_images.S.
#include "firmware/firmware.h"

extern "C" {
extern const std::uint8_t fen_firmware_129_data[];
extern const std::uint64_t fen_firmware_129_size;
extern const std::uint8_t fen_firmware_133_data[];
extern const std::uint64_t fen_firmware_133_size;
extern const std::uint8_t fen_firmware_136_data[];
extern const std::uint64_t fen_firmware_136_size;
extern const std::uint8_t fen_firmware_137_data[];
extern const std::uint64_t fen_firmware_137_size;
}

namespace fen {

const FirmwareSet& FirmwareSet::Builtin() {
  static const FirmwareSet set = [] {
    FirmwareSet s;
    s.images_[129] = {fen_firmware_129_data, static_cast<std::size_t>(fen_firmware_129_size)};
    s.images_[133] = {fen_firmware_133_data, static_cast<std::size_t>(fen_firmware_133_size)};
    s.images_[136] = {fen_firmware_136_data, static_cast<std::size_t>(fen_firmware_136_size)};
    s.images_[137] = {fen_firmware_137_data, static_cast<std::size_t>(fen_firmware_137_size)};
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
