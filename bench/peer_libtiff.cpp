// SPDX-License-Identifier: MIT
// The same job written the way a user would with libtiff: the same cube, carved as fast, then
// one 8-bit LZW TIFF per z-slice with the same rows per strip and the same names.
//   peer_libtiff iterations directory

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

unsigned char ***cell;

// Carved as travik carves, a whole row at a time and only the rows that hold solid voxels, so
// that the comparison measures the writing: row (y, z) is empty where y and z share a base-3
// digit 1, and otherwise solid except where x has a 1 at a position where y or z has one.
void Sponge(std::size_t edge) {
  std::vector<unsigned> ones(edge);
  for (std::size_t v = 0; v < edge; ++v)
    for (std::size_t t = v, d = 0; t > 0; t /= 3, ++d)
      if (t % 3 == 1) ones[v] |= 1u << d;
  for (std::size_t z = 0; z < edge; ++z)
    for (std::size_t y = 0; y < edge; ++y) {
      if ((ones[y] & ones[z]) != 0) continue;
      const unsigned taken = ones[y] | ones[z];
      for (std::size_t x = 0; x < edge; ++x) cell[z][y][x] = (ones[x] & taken) != 0 ? 0 : 189;
    }
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage : peer_libtiff iterations directory\n", stderr);
    return 1;
  }
  const int n = std::atoi(argv[1]);
  std::size_t edge = 1;
  for (int i = 0; i < n; ++i) edge *= 3;
  cell = static_cast<unsigned char ***>(std::malloc(edge * sizeof *cell));
  auto **rows = static_cast<unsigned char **>(std::malloc(edge * edge * sizeof(unsigned char *)));
  auto *voxels = static_cast<unsigned char *>(std::calloc(edge * edge, edge));
  if (cell == nullptr || rows == nullptr || voxels == nullptr) {
    std::fputs("memory allocation error.\n", stderr);
    return 1;
  }
  for (std::size_t z = 0; z < edge; ++z) {
    cell[z] = rows + z * edge;
    for (std::size_t y = 0; y < edge; ++y) cell[z][y] = voxels + (z * edge + y) * edge;
  }
  const int size = static_cast<int>(edge);
  Sponge(edge);

  const int digits = static_cast<int>(std::to_string(edge - 1).size());
  const auto rowsPerStrip = static_cast<std::uint32_t>(edge > 8192 ? 1 : 8192 / edge);
  for (int z = 0; z < size; ++z) {
    char number[32];
    std::snprintf(number, sizeof number, "/%0*d.tif", digits, z);
    const std::string name = argv[2] + std::string(number);
    TIFF *tif = TIFFOpen(name.c_str(), "w");
    if (tif == nullptr) return 1;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(size));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(size));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    // The rows of a slice are contiguous, so each strip goes to libtiff in one call.
    for (std::size_t y = 0, strip = 0; y < edge; y += rowsPerStrip, ++strip) {
      const std::size_t count = std::min<std::size_t>(rowsPerStrip, edge - y);
      if (TIFFWriteEncodedStrip(tif, static_cast<std::uint32_t>(strip), cell[z][y],
                                static_cast<tmsize_t>(count * edge)) < 0)
        return 1;
    }
    TIFFClose(tif);
  }
  std::free(voxels);
  std::free(rows);
  std::free(cell);
  return 0;
}
