// SPDX-License-Identifier: MIT
// floor ITERATIONS FOLDER BYTES [solid]
//
// What no writer of travik's design can go below: the same cube, reserved and carved the same way
// (the platform layer's volume, only the solid rows written), then one file per slice of BYTES bytes, each created aside and
// renamed onto its name. Every row of a slice is read once, 8 bytes at a time, as any writer must
// read its image; nothing is compressed. With "solid" only the solid rows are read, since an
// empty row is known to be zeros without looking, as travik knows it.

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Whether row (y, z) is solid: no base-3 digit position holds a 1 in both, the sponge's closed
// form.
bool Solid(std::size_t y, std::size_t z) {
  for (; y > 0 && z > 0; y /= 3, z /= 3)
    if (y % 3 == 1 && z % 3 == 1) return false;
  return true;
}

int main(int argc, char **argv) {
  if (argc != 4 && argc != 5) {
    std::fputs("usage: floor ITERATIONS FOLDER BYTES [solid]\n", stderr);
    return 2;
  }
  const bool solidOnly = argc == 5;
  std::size_t edge = 1;
  for (int i = std::atoi(argv[1]); i > 0; --i) edge *= 3;
  const std::vector<char> content(std::strtoull(argv[3], nullptr, 10), 'Z');
  unsigned char *volume = ReserveVolume(edge * edge * edge);
  if (volume == nullptr || !CommitVolume(volume, edge * edge * edge)) return 1;
  const auto row = [&](std::size_t z, std::size_t y) { return volume + (z * edge + y) * edge; };
  for (std::size_t z = 0; z < edge; ++z)
    for (std::size_t y = 0; y < edge; ++y)
      if (Solid(y, z)) std::memset(row(z, y), 189, edge);

  std::uint64_t sum = 0; // printed, so that no read is optimised away
  for (std::size_t z = 0; z < edge; ++z) {
    for (std::size_t y = 0; y < edge; ++y) {
      if (solidOnly && !Solid(y, z)) continue;
      for (std::size_t x = 0; x + 8 <= edge; x += 8) {
        std::uint64_t word;
        std::memcpy(&word, row(z, y) + x, 8);
        sum += word;
      }
    }
    const std::string name = std::string(argv[2]) + "/" + std::to_string(z) + ".tif";
    const std::string aside = name + ".partial";
    std::FILE *file = std::fopen(aside.c_str(), "wbx");
    if (file == nullptr) return 1;
    std::fwrite(content.data(), 1, content.size(), file);
    if (std::fclose(file) != 0 || std::rename(aside.c_str(), name.c_str()) != 0) return 1;
  }
  ReleaseVolume(volume, edge * edge * edge);
  std::printf("%llu\n", static_cast<unsigned long long>(sum));
  return 0;
}
