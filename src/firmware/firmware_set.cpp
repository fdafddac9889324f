// The image table, and a release folder's images read from disk with a message that names the
// file at fault.
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

Checked<FirmwareSet> FirmwareSet::LoadFolder(const std::filesystem::path& folder) {
  FirmwareSet set;
  set.storage_ = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
  set.storage_->reserve(FirmwareImageTable().size());
  // Joined with the system's separator, so that a refusal names the file as the system does.
  const std::filesystem::path base = folder.empty() ? std::filesystem::path(".") : folder;
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    Checked<std::vector<std::uint8_t>> bytes =
        ReadImageFile(base / (std::to_string(entry.resource_id) + ".bin"), entry.size);
    if (!bytes) return bytes.refusal();
    set.storage_->push_back(std::move(*bytes));
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
