// The USB device behind an ALSA card, read from a sysfs tree laid out as the kernel lays it out.
#include "usb_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fen {
namespace {

namespace fs = std::filesystem;

class UsbIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("fen-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    // Card 1: an interface of USB device 1-2.4; card 0: a PCI card, which has no USB IDs.
    const fs::path usb = root_ / "devices/pci0000:00/usb1/1-2/1-2.4";
    fs::create_directories(usb / "1-2.4:1.1");
    Write(usb / "idVendor", "0582\n");
    Write(usb / "idProduct", "012a\n");
    Write(usb / "serial", "A1B2C3\n");
    fs::create_directories(root_ / "devices/pci0000:00/0000:00:1f.3");
    fs::create_directories(root_ / "class/sound/card1");
    fs::create_directories(root_ / "class/sound/card0");
    fs::create_directory_symlink(usb / "1-2.4:1.1", root_ / "class/sound/card1/device");
    fs::create_directory_symlink(root_ / "devices/pci0000:00/0000:00:1f.3",
                                 root_ / "class/sound/card0/device");
  }
  void TearDown() override { fs::remove_all(root_); }
  static void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

  fs::path root_;
};

TEST_F(UsbIdentityTest, AUsbCardNamesItsBusPathIdsAndSerial) {
  const auto identity = UsbIdentityOfDeviceKey("alsa-card:1", root_.string());
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(UsbJson(identity).dump(),
            R"({"bus_path":"1-2.4","vendor_id":"0x0582","product_id":"0x012a","serial":"A1B2C3"})");
  fs::remove(root_ / "devices/pci0000:00/usb1/1-2/1-2.4/serial");
  EXPECT_TRUE(UsbJson(UsbIdentityOfDeviceKey("alsa-card:1", root_.string()))["serial"].is_null());
}

TEST_F(UsbIdentityTest, NothingForAPciCardAMissingCardOrAPortOfNoCard) {
  EXPECT_FALSE(UsbIdentityOfDeviceKey("alsa-card:0", root_.string()));
  EXPECT_FALSE(UsbIdentityOfDeviceKey("alsa-card:7", root_.string()));
  EXPECT_FALSE(UsbIdentityOfDeviceKey("alsa-card:../1", root_.string()));
  EXPECT_FALSE(UsbIdentityOfDeviceKey("jack:default:fen-devsim", root_.string()));
  EXPECT_TRUE(UsbJson(std::nullopt).is_null());
}

}  // namespace
}  // namespace fen
