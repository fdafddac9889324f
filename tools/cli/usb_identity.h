// The USB device behind a MIDI port, where the system can tell: what a record names a unit by
// besides its port.
#pragma once

#include <optional>
#include <string>

#include "json_line.h"

namespace fen {

struct UsbIdentity {
  std::string bus_path;    // "1-2.4": the USB bus and the hub ports to the device
  std::string vendor_id;   // "0x0582"
  std::string product_id;  // "0x012a"
  std::string serial;      // empty when the device has none
};

// The USB device behind the port whose claim key is `device_key` ("alsa-card:N" for an ALSA
// card's ports); nothing when the key names no card or the system does not say. One file per
// system: on Linux from sysfs under `sys_root` ("/sys" but in tests).
std::optional<UsbIdentity> UsbIdentityOfDeviceKey(const std::string& device_key,
                                                  const std::string& sys_root = "/sys");

// The record's "usb" field: the identity's fields (a serial number only where the device has
// one), or null.
inline JsonLine UsbJson(const std::optional<UsbIdentity>& identity) {
  if (!identity) return nullptr;
  return JsonLine{
      {"bus_path", identity->bus_path},
      {"vendor_id", identity->vendor_id},
      {"product_id", identity->product_id},
      {"serial", identity->serial.empty() ? JsonLine(nullptr) : JsonLine(identity->serial)}};
}

}  // namespace fen
