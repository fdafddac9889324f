// The four firmware images the update writes, by resource ID: linked into the binary at
// build time, or read from a firmware release folder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firmware/refusal.h"

namespace fen {

// The model IDs of the device family whose firmware these images are, in the order the
// updater searches them.
inline constexpr std::array<std::uint8_t, 2> kFamilyModelIds = {0x57, 0x61};

struct FirmwareImageInfo {
  int resource_id;
  std::size_t size;
};
// The IDs and exact sizes of the images (firmware_images.def): 129, 133, 136, 137.
const std::vector<FirmwareImageInfo>& FirmwareImageTable();

// The exact size of the image with this resource ID; 0 for an ID that is none of them.
constexpr std::size_t FirmwareImageSize(int resource_id) {
#define FEN_FIRMWARE_IMAGE(id, size) \
  if (resource_id == (id)) return (size);
#include "firmware/firmware_images.def"
#undef FEN_FIRMWARE_IMAGE
  return 0;
}

struct FirmwareImage {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// A set of images by resource ID. Built-in images are owned by the program's file and never
// freed; a folder's images are owned by the set.
class FirmwareSet {
 public:
  // The images linked into the binary.
  static const FirmwareSet& Builtin();
  // True when the built-in images are generated placeholders, not a firmware release.
  static bool BuiltinIsPlaceholder();
  // Reads DIR/129.bin, DIR/133.bin, DIR/136.bin, DIR/137.bin (DIR empty: the current folder);
  // any missing, unreadable or wrong-sized file is a refusal naming it.
  static Checked<FirmwareSet> LoadFolder(const std::filesystem::path& folder);

  // Images owned by someone else for the life of the set (the program's resources of type
  // "BIN" on Windows), by resource ID.
  static FirmwareSet FromImages(const std::map<int, FirmwareImage>& images);

  // The image of a resource ID; an empty image when the set has none of that ID.
  FirmwareImage Find(int resource_id) const;

 private:
  std::map<int, FirmwareImage> images_;
  std::shared_ptr<std::vector<std::vector<std::uint8_t>>> storage_;
};

}  // namespace fen
