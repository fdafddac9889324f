// Deterministic stand-in images for builds without a firmware release: integer-only arithmetic,
// so every machine makes the same bytes, shared by the build's generator and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fen {

// The first 256 bytes count 0x00 to 0xFF, so every byte value occurs in every image; the rest
// is splitmix64 output seeded by the resource ID, so high bits and all packing paths are used.
inline std::vector<std::uint8_t> MakePlaceholderImage(int resource_id, std::size_t size) {
  std::vector<std::uint8_t> image(size);
  std::uint64_t state = 0x46454E5550444154ull ^ static_cast<std::uint64_t>(resource_id);
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (i < 256) {
      image[i] = static_cast<std::uint8_t>(i);
      continue;
    }
    if (i % 8 == 0) {
      state += 0x9E3779B97F4A7C15ull;
      word = state;
      word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ull;
      word = (word ^ (word >> 27)) * 0x94D049BB133111EBull;
      word ^= word >> 31;
    }
    image[i] = static_cast<std::uint8_t>(word >> (8 * (i % 8)));
  }
  return image;
}

}  // namespace fen
