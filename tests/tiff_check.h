// Test helpers: read what the writer produced with libtiff, and parse TIFF bytes by hand.
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <string>
#include <vector>

namespace check {

using Bytes = std::vector<unsigned char>;

inline std::vector<std::string> &Messages() {
  static std::vector<std::string> messages;
  return messages;
}

inline void Record(const char *module, const char *fmt, va_list ap) {
  char text[1024];
  std::vsnprintf(text, sizeof text, fmt, ap);
  Messages().push_back(std::string(module != nullptr ? module : "") + ": " + text);
}

struct Image {
  std::vector<std::string> messages; // every libtiff warning and error
  std::uint32_t width = 0, height = 0, rowsPerStrip = 0;
  std::uint16_t bits = 0, compression = 0, photometric = 0, samplesPerPixel = 0, planar = 0;
  bool hasDescription = false;
  std::string description;
  std::vector<std::uint64_t> stripOffsets, stripByteCounts;
  std::vector<Bytes> strips;                       // decoded strip data
  std::vector<std::vector<std::uint32_t>> samples; // samples[y][x]
};

inline std::uint32_t Sample(const unsigned char *row, std::uint32_t x, unsigned bits) {
  switch (bits) {
  case 8:
    return row[x];
  case 16: {
    std::uint16_t v;
    std::memcpy(&v, row + 2 * x, 2); // libtiff hands back native order
    return v;
  }
  case 32: {
    std::uint32_t v;
    std::memcpy(&v, row + 4 * x, 4);
    return v;
  }
  default: {
    std::uint32_t v = 0;
    const std::uint64_t first = std::uint64_t{x} * bits;
    for (std::uint64_t i = first; i < first + bits; ++i)
      v = (v << 1) | ((unsigned{row[i / 8]} >> (7 - i % 8)) & 1u);
    return v;
  }
  }
}

// Reads the first directory and every sample; any libtiff message is kept for the caller to fail
// on.
inline Image Read(const std::string &path) {
  TIFFSetErrorHandler(Record);
  TIFFSetWarningHandler(Record);
  Messages().clear();
  Image image;
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) {
    image.messages = Messages();
    image.messages.push_back("cannot open " + path);
    return image;
  }
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
  TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &image.bits);
  TIFFGetField(tif, TIFFTAG_COMPRESSION, &image.compression);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &image.photometric);
  TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &image.samplesPerPixel);
  TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &image.planar);
  TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &image.rowsPerStrip);
  char *text = nullptr;
  if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) == 1) {
    image.hasDescription = true;
    image.description = text;
  }
  const std::uint32_t strips = TIFFNumberOfStrips(tif);
  for (std::uint32_t s = 0; s < strips; ++s) {
    image.stripOffsets.push_back(TIFFGetStrileOffset(tif, s));
    image.stripByteCounts.push_back(TIFFGetStrileByteCount(tif, s));
  }
  const tmsize_t rowBytes = TIFFScanlineSize(tif);
  const std::uint32_t rps = image.rowsPerStrip == 0 ? 1 : image.rowsPerStrip;
  for (std::uint32_t s = 0; s < strips; ++s) {
    const auto rowsHere = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(rps, image.height - std::uint64_t{s} * rps));
    Bytes data(static_cast<std::size_t>(rowBytes) * rowsHere);
    const tmsize_t got =
        TIFFReadEncodedStrip(tif, s, data.data(), static_cast<tmsize_t>(data.size()));
    if (got != static_cast<tmsize_t>(data.size()))
      Messages().push_back("short strip " + std::to_string(s));
    for (std::uint32_t r = 0; r < rowsHere; ++r) {
      const unsigned char *row = data.data() + static_cast<std::size_t>(rowBytes) * r;
      std::vector<std::uint32_t> line(image.width);
      for (std::uint32_t x = 0; x < image.width; ++x) line[x] = Sample(row, x, image.bits);
      image.samples.push_back(std::move(line));
    }
    image.strips.push_back(std::move(data));
  }
  if (TIFFReadDirectory(tif) != 0) Messages().push_back("more than one directory");
  TIFFClose(tif);
  image.messages = Messages();
  return image;
}

inline Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::uint32_t Le16(const Bytes &b, std::size_t at) {
  return b.at(at) | (std::uint32_t{b.at(at + 1)} << 8);
}

inline std::uint32_t Le32(const Bytes &b, std::size_t at) {
  return Le16(b, at) | (Le16(b, at + 2) << 16);
}

struct Entry {
  std::uint32_t tag, type, count, value; // value: SHORT or LONG as its type says
  Bytes raw;                             // the 4 bytes of the value field
};

// The IFD as the file states it, read without libtiff.
inline std::vector<Entry> Directory(const Bytes &file) {
  std::vector<Entry> entries;
  const std::uint32_t at = Le32(file, 4);
  const std::uint32_t n = Le16(file, at);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::size_t e = at + 2 + 12 * std::size_t{i};
    Entry entry{
        Le16(file, e), Le16(file, e + 2), Le32(file, e + 4), 0,
        Bytes(file.begin() + static_cast<long>(e) + 8, file.begin() + static_cast<long>(e) + 12)};
    entry.value = entry.type == 3 ? Le16(file, e + 8) : Le32(file, e + 8);
    entries.push_back(entry);
  }
  return entries;
}

inline const Entry *Find(const std::vector<Entry> &entries, std::uint32_t tag) {
  for (const Entry &e : entries)
    if (e.tag == tag) return &e;
  return nullptr;
}

inline std::vector<std::string> Files(const std::filesystem::path &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh empty folder, removed with everything in it when the test ends.
struct TempDir {
  std::filesystem::path path;
  TempDir() {
    char pattern[] = "/tmp/travik-test-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string &name) const {
    return (path / name).string();
  }
  std::vector<std::string> Files() const {
    return check::Files(path);
  }
};

} // namespace check
