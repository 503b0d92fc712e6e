// The same job written the way a user would with libtiff: the same cube and carving, then one
// 8-bit LZW TIFF per z-slice with the same rows per strip and the same names.
//   peer_libtiff iterations directory

#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

unsigned char ***cell;

void Sponge(int x, int y, int z, int size) {
  const int third = size / 3;
  if (third == 0) {
    cell[z][y][x] = 189;
    return;
  }
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        if ((i == 1) + (j == 1) + (k == 1) <= 1)
          Sponge(x + k * third, y + j * third, z + i * third, third);
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
  Sponge(0, 0, 0, size);

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
    for (int y = 0; y < size; ++y)
      if (TIFFWriteScanline(tif, cell[z][y], static_cast<std::uint32_t>(y), 0) < 0) return 1;
    TIFFClose(tif);
  }
  std::free(voxels);
  std::free(rows);
  std::free(cell);
  return 0;
}
