// libFuzzer target: any input becomes a valid StoreImageFile call; libtiff must read back
// exactly the fields and samples that were asked for, without a warning.
//
// Input: width (3 bytes), height (2 bytes), bits, description length (0xFF: none), then the
// description and the samples, repeated to fill the image and masked below 2^bits.

#include "sif.h"
#include "tiff_check.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void Complain(const char *module, const char *fmt, va_list ap) {
  std::fprintf(stderr, "libtiff %s: ", module != nullptr ? module : "");
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  std::abort();
}

void Require(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

// libtiff refuses a directory without strips, so an image without rows is checked by hand.
void CheckEmpty(const std::string &path, bool described) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  Require(f != nullptr, "open");
  std::vector<unsigned char> b(1 << 20);
  b.resize(std::fread(b.data(), 1, b.size(), f));
  std::fclose(f);
  const auto u16 = [&](std::size_t i) { return unsigned{b.at(i)} | unsigned{b.at(i + 1)} << 8; };
  const auto u32 = [&](std::size_t i) { return u16(i) | u16(i + 2) << 16; };
  Require(b.size() > 8 && b[0] == 'I' && b[1] == 'I' && u16(2) == 42, "header");
  const std::size_t ifd = u32(4);
  const unsigned n = u16(ifd);
  Require(n == (described ? 11u : 10u) && b.size() == ifd + 2 + 12 * n + 4, "directory size");
  for (unsigned i = 0; i < n; ++i) {
    const std::size_t e = ifd + 2 + 12 * i;
    if (u16(e) == 257) Require(u32(e + 8) == 0, "image length");
    if (u16(e) == 273 || u16(e) == 279)
      Require(u32(e + 4) == 0 && u32(e + 8) == ifd, "empty strip tables");
  }
  std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 7) return 0;
  const unsigned w = (data[0] | unsigned{data[1]} << 8 | unsigned{data[2]} << 16) % 70000 + 1;
  const unsigned h = (data[3] | unsigned{data[4]} << 8) % 600;
  const int bits = data[5] % 32 + 1;
  const bool described = data[6] != 0xFF;
  std::size_t at = 7;
  std::string text;
  if (described) {
    const std::size_t n = std::min<std::size_t>(data[6], size - at);
    for (std::size_t i = 0; i < n; ++i)
      text.push_back(data[at + i] == 0 ? '.' : static_cast<char>(data[at + i]));
    at += n;
  }
  if (std::uint64_t{w} * h > (1u << 18)) return 0; // keep each run short
  const std::uint32_t mask = bits >= 8 ? 0xFF : (1u << bits) - 1;
  std::vector<unsigned char> pixels(std::size_t{w} * h);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] =
        static_cast<unsigned char>((at < size ? data[at + i % (size - at)] : i * 37) & mask);
  std::vector<unsigned char *> rows(h);
  for (unsigned y = 0; y < h; ++y) rows[y] = pixels.data() + std::size_t{y} * w;

  static const std::string path = "/tmp/travik-fuzz-" + std::to_string(::getpid()) + ".tif";
  StoreImageFile(path.c_str(), static_cast<int>(w), static_cast<int>(h), bits, rows.data(),
                 described ? text.c_str() : nullptr);

  if (h == 0) {
    CheckEmpty(path, described);
    return 0;
  }
  TIFFSetErrorHandler(Complain);
  TIFFSetWarningHandler(Complain);
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  Require(tif != nullptr, "open");
  std::uint32_t width = 0, height = 0, rowsPerStrip = 0;
  std::uint16_t depth = 0, compression = 0, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &depth);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  Require(width == w && height == h && depth == bits && compression == COMPRESSION_LZW, "fields");
  Require(photometric == (bits == 1 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK),
          "photometric");
  char *got = nullptr;
  Require((TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &got) == 1) == described,
          "description present");
  if (described) Require(text == got, "description text");
  const std::uint64_t rowBytes = (std::uint64_t{w} * unsigned(bits) + 7) / 8;
  Require(rowsPerStrip == (rowBytes > 8192 ? 1 : 8192 / rowBytes), "rows per strip");
  std::vector<unsigned char> line(static_cast<std::size_t>(TIFFScanlineSize(tif)));
  for (unsigned y = 0; y < h; ++y) {
    Require(TIFFReadScanline(tif, line.data(), y, 0) == 1, "read row");
    for (unsigned x = 0; x < w; ++x)
      Require(check::Sample(line.data(), x, unsigned(bits)) == rows[y][x], "sample");
  }
  Require(TIFFReadDirectory(tif) == 0, "one directory");
  TIFFClose(tif);
  std::remove(path.c_str());
  return 0;
}
