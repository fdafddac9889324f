// Writes the images built into this build to a folder as 129.bin ... 137.bin, so that the
// updater can be given them as a firmware folder and the simulated device compares the same.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "firmware/firmware.h"
#include "firmware/image_file.h"

int main(int argc, char** argv) {
  const char* usage =
      "usage: fen-export-firmware DIR\n"
      "Writes the built-in firmware images to DIR (made when missing) as 129.bin ... 137.bin.\n";
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::string folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "fen-export-firmware: cannot make %s: %s\n", folder.c_str(),
                 error.message().c_str());
    return 1;
  }
  for (const fen::FirmwareImageInfo& entry : fen::FirmwareImageTable()) {
    const fen::FirmwareImage image = fen::FirmwareSet::Builtin().Find(entry.resource_id);
    const std::string path = folder + "/" + std::to_string(entry.resource_id) + ".bin";
    // A new file renamed into place: a link planted under the name is refused, never followed.
    std::string why;
    if (!fen::WriteFileReplacing(
            path, std::string_view(reinterpret_cast<const char*>(image.data), image.size), &why)) {
      std::fprintf(stderr, "fen-export-firmware: %s\n", why.c_str());
      return 1;
    }
  }
  return 0;
}
