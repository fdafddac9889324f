// Build-time tool: writes one placeholder firmware image, "make_placeholder_firmware ID SIZE
// OUT". The file appears under its name only when complete, so a broken build never leaves a
// short image that looks up to date.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "res/placeholder_firmware.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ID SIZE OUT\n", argv[0]);
    return 2;
  }
  const int id = std::atoi(argv[1]);
  const std::size_t size = std::strtoull(argv[2], nullptr, 10);
  const std::string out = argv[3];
  const std::string partial = out + ".part";

  const std::vector<std::uint8_t> image = fen::MakePlaceholderImage(id, size);
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) {
    std::perror(partial.c_str());
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
#ifdef _WIN32
  // Windows' rename does not replace a file: an image from an earlier build would stop every
  // later one from making it again.
  if (written) std::remove(out.c_str());
#endif
  if (std::fclose(file) != 0 || !written || std::rename(partial.c_str(), out.c_str()) != 0) {
    std::perror(out.c_str());
    std::remove(partial.c_str());
    return 1;
  }
  return 0;
}
