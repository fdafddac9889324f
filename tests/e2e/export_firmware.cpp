// Writes the images built into this build to a folder as 129.bin ... 137.bin, so that the
// updater can be given them as a firmware folder and the simulated device compares the same.
#include <cstdio>
#include <fstream>
#include <string>

#include "res/firmware.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fen-export-firmware DIR\n");
    return 2;
  }
  const std::string folder = argv[1];
  for (const fen::FirmwareImageInfo& entry : fen::FirmwareImageTable()) {
    const fen::FirmwareImage image = fen::FirmwareSet::Builtin().Find(entry.resource_id);
    const std::string path = folder + "/" + std::to_string(entry.resource_id) + ".bin";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data), static_cast<std::streamsize>(image.size));
    if (!out.flush()) {
      std::fprintf(stderr, "fen-export-firmware: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
