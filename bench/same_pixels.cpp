// SPDX-License-Identifier: MIT
// Exits 0 when two folders hold the same slice files with the same pixels, read with libtiff.
//   same_pixels dirA dirB

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool Pixels(const std::string &path, std::uint32_t &width, std::vector<unsigned char> &out) {
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return false;
  std::uint32_t height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  const auto line = static_cast<std::size_t>(TIFFScanlineSize(tif));
  out.assign(line * height, 0);
  bool ok = true;
  for (std::uint32_t y = 0; y < height && ok; ++y)
    ok = TIFFReadScanline(tif, out.data() + line * y, y, 0) == 1;
  TIFFClose(tif);
  return ok;
}

std::vector<std::string> Names(const fs::path &dir) {
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  const auto a = Names(argv[1]), b = Names(argv[2]);
  if (a != b || a.empty()) {
    std::fprintf(stderr, "the folders hold different files\n");
    return 1;
  }
  std::vector<unsigned char> pa, pb;
  for (const std::string &name : a) {
    std::uint32_t wa = 0, wb = 0;
    if (!Pixels((fs::path(argv[1]) / name).string(), wa, pa) ||
        !Pixels((fs::path(argv[2]) / name).string(), wb, pb) || wa != wb || pa != pb) {
      std::fprintf(stderr, "%s differs\n", name.c_str());
      return 1;
    }
  }
  return 0;
}
