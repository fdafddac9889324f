// The USB device of an ALSA card from sysfs: /sys/class/sound/cardN/device is the card's USB
// interface, whose parent folder is the USB device with its IDs and serial number. Systems
// without sysfs answer nothing.
#include <filesystem>
#include <fstream>

#include "usb_identity.h"

namespace fen {

namespace {

std::string ReadLine(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

}  // namespace

std::optional<UsbIdentity> UsbIdentityOfDeviceKey(const std::string& device_key,
                                                  const std::string& sys_root) {
  const std::string prefix = "alsa-card:";
  if (device_key.rfind(prefix, 0) != 0) return std::nullopt;
  const std::string card = device_key.substr(prefix.size());
  if (card.empty() || card.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  std::error_code error;
  const std::filesystem::path interface = std::filesystem::canonical(
      std::filesystem::path(sys_root) / "class" / "sound" / ("card" + card) / "device", error);
  if (error) return std::nullopt;
  const std::filesystem::path device = interface.parent_path();
  UsbIdentity identity;
  identity.vendor_id = ReadLine(device / "idVendor");
  identity.product_id = ReadLine(device / "idProduct");
  // Not a USB card (no IDs): nothing to tell.
  if (identity.vendor_id.empty() || identity.product_id.empty()) return std::nullopt;
  identity.vendor_id = "0x" + identity.vendor_id;
  identity.product_id = "0x" + identity.product_id;
  identity.serial = ReadLine(device / "serial");
  identity.bus_path = device.filename().string();
  return identity;
}

}  // namespace fen
