// The image table, and a release folder's images read from disk with a message that names the
// file at fault.
#include <filesystem>

#include "firmware/firmware.h"
#include "firmware/image_file.h"

namespace fen {

const std::vector<FirmwareImageInfo>& FirmwareImageTable() {
  static const std::vector<FirmwareImageInfo> specs = {
#define FEN_FIRMWARE_IMAGE(id, size) {id, size},
#include "firmware/firmware_images.def"
#undef FEN_FIRMWARE_IMAGE
  };
  return specs;
}

std::optional<FirmwareSet> FirmwareSet::LoadFolder(const std::string& folder, std::string* error) {
  FirmwareSet set;
  set.storage_ = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
  set.storage_->reserve(FirmwareImageTable().size());
  std::string message;
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    // Joined with the system's separator, so that a message names the file as the system does.
    // Names are UTF-8 (char8_t), which Windows' narrow path conversion would take for ANSI.
    const std::string base = folder.empty() ? std::string(".") : folder;
    const std::u8string joined = (std::filesystem::path(std::u8string(base.begin(), base.end())) /
                                  (std::to_string(entry.resource_id) + ".bin"))
                                     .u8string();
    const std::string path(joined.begin(), joined.end());
    std::vector<std::uint8_t> bytes;
    if (!ReadImageFile(path, entry.size, bytes, message)) {
      if (error != nullptr) *error = message;
      return std::nullopt;
    }
    set.storage_->push_back(std::move(bytes));
    set.images_[entry.resource_id] = {set.storage_->back().data(), entry.size};
  }
  return set;
}

FirmwareSet FirmwareSet::FromImages(const std::map<int, FirmwareImage>& images) {
  FirmwareSet set;
  set.images_ = images;
  return set;
}

FirmwareImage FirmwareSet::Find(int resource_id) const {
  const auto it = images_.find(resource_id);
  return it == images_.end() ? FirmwareImage{} : it->second;
}

}  // namespace fen
