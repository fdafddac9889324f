// The firmware images: the ones linked in by firmware_images.S, or a release folder read from
// disk with a message that names the file at fault.
#include "res/firmware.h"

#include <filesystem>

#include "res/image_file.h"

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

const std::vector<FirmwareImageInfo>& FirmwareImageTable() {
  static const std::vector<FirmwareImageInfo> specs = {
      {129, 720896},
      {133, 12288},
      {136, 262144},
      {137, 2912256},
  };
  return specs;
}

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

std::optional<FirmwareSet> FirmwareSet::LoadFolder(const std::string& folder, std::string* error) {
  FirmwareSet set;
  set.storage_ = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
  set.storage_->reserve(FirmwareImageTable().size());
  std::string message;
  for (const FirmwareImageInfo& entry : FirmwareImageTable()) {
    // Joined with the system's separator, so that a message names the file as the system does.
    const std::string path = (std::filesystem::path(folder.empty() ? std::string(".") : folder) /
                              (std::to_string(entry.resource_id) + ".bin"))
                                 .string();
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

FirmwareImage FirmwareSet::Find(int resource_id) const {
  const auto it = images_.find(resource_id);
  return it == images_.end() ? FirmwareImage{} : it->second;
}

}  // namespace fen
