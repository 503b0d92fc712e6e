// SPDX-License-Identifier: MIT
// What a file must be for an image, by the format alone: libtiff reads the image's fields from it,
// and each strip both as a plain LZW encoder codes its bytes and decoded back to them.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace check {

using Bytes = std::vector<unsigned char>;

inline Bytes ReadFile(const std::string &path) { // empty for anything but a regular file
  if (!std::filesystem::is_regular_file(path)) return {};
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The code stream that the format's LZW gives for these bytes: the longest known string each
// time, the width growing when the next code reaches 512, 1024, 2048, and a Clear code once code
// 4093 is taken. Table entries carry the number of their table, so none is ever cleared.
inline Bytes Compress(const Bytes &in, std::size_t *tail = nullptr) { // tail: bits in last byte
  static std::vector<std::uint64_t> table(4096 * 256);
  static std::uint64_t number = 0;
  Bytes out;
  std::uint64_t acc = 0;
  std::size_t bits = 0, width = 9, next = 258, head = 4096; // 4096: no byte yet
  const auto put = [&](std::size_t code) {
    acc = acc << width | code, bits += width;
    for (; bits >= 8; bits -= 8) out.push_back(static_cast<unsigned char>(acc >> (bits - 8)));
  };
  put(256), ++number;
  for (const unsigned char b : in) {
    std::uint64_t &entry = table[head % 4096 << 8 | b];
    if (head == 4096 || entry >> 16 == number) {
      head = head == 4096 ? b : entry & 0xFFFF;
      continue;
    }
    put(head);
    if (next == 4094)
      put(256), ++number, width = 9, next = 258;
    else if (entry = number << 16 | next; ++next == std::size_t{1} << width)
      ++width;
    head = b;
  }
  if (head != 4096 && (put(head), ++next == std::size_t{1} << width)) ++width;
  put(257);
  if (tail) *tail = bits;
  if (bits > 0) out.push_back(static_cast<unsigned char>(acc << (8 - bits)));
  return out;
}

// out with a row appended as the file stores it: 16 and 32 bits little-endian, other depths packed
// MSB first from a byte boundary.
inline Bytes Serialize(const Bytes &row, int bits, Bytes out = {}) {
  if (bits == 8) out.insert(out.end(), row.begin(), row.end());
  if (bits == 8) return out;
  const auto depth = static_cast<std::size_t>(bits), base = out.size() * 8;
  out.resize(out.size() + (row.size() * depth + 7) / 8);
  for (std::size_t x = 0; x < row.size(); ++x)
    for (std::size_t b = 0; b < 8 && b < depth; ++b) { // bit b of sample x lands at bit `at`
      const std::size_t at = base + (depth % 16 == 0 ? x * depth + 7 - b : (x + 1) * depth - 1 - b);
      if ((row[x] >> b & 1) != 0) out[at / 8] |= static_cast<unsigned char>(0x80u >> at % 8);
    }
  return out;
}

struct Image {
  int width = 1, height = 0, bits = 8;
  std::vector<Bytes> rows; // one byte per sample
  const char *description = nullptr;
};

// "" when the file at path holds the image as the format has it, else its first fault: its
// fields, one strip of whole rows per 8192 bytes (or per row, where a row is longer), each strip
// coded by the format's LZW, and no second image. libtiff reads no image of no rows: such a file
// is only looked for.
inline std::string Verify(const std::string &path, const Image &im) {
  if (im.height == 0) return ReadFile(path).size() > 8 ? "" : "no image"; // libtiff reads none
  TIFFSetErrorHandler(nullptr), TIFFSetWarningHandler(nullptr); // a fault shows in the result
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return "libtiff cannot read it";
  const std::size_t rowBytes = (std::size_t(im.width) * std::size_t(im.bits) + 7) / 8;
  const std::size_t rows = std::max<std::size_t>(8192 / rowBytes, 1);
  const auto field = [tif](ttag_t tag, auto want) {
    decltype(want) value{};
    return TIFFGetField(tif, tag, &value) == 1 && value == want;
  };
  using u16 = std::uint16_t;
  using u32 = std::uint32_t;
  char *text = nullptr;
  const bool described = TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) == 1;
  std::string said =
      field(TIFFTAG_IMAGEWIDTH, u32(im.width)) && field(TIFFTAG_IMAGELENGTH, u32(im.height)) &&
              field(TIFFTAG_BITSPERSAMPLE, u16(im.bits)) && field(TIFFTAG_COMPRESSION, u16(5)) &&
              field(TIFFTAG_PHOTOMETRIC, u16(im.bits == 1 ? 0 : 1)) &&
              field(TIFFTAG_SAMPLESPERPIXEL, u16(1)) && field(TIFFTAG_PLANARCONFIG, u16(1)) &&
              field(TIFFTAG_ROWSPERSTRIP, u32(rows)) && described == (im.description != nullptr) &&
              (!described || std::string(text) == im.description) &&
              TIFFNumberOfStrips(tif) == (std::size_t(im.height) + rows - 1) / rows
          ? ""
          : "fields";
  Bytes all;
  for (const Bytes &row : im.rows) all = Serialize(row, im.bits, std::move(all));
  for (std::uint32_t s = 0; said.empty() && s < TIFFNumberOfStrips(tif); ++s) {
    const auto from = all.begin() + long(s * rows * rowBytes);
    const Bytes plain(from, from + long(std::min(rows * rowBytes, std::size_t(all.end() - from))));
    const Bytes codes = Compress(plain);
    Bytes raw(codes.size() + 1), read(plain.size() + 1);
    if (TIFFReadRawStrip(tif, s, raw.data(), tmsize_t(raw.size())) != tmsize_t(codes.size()) ||
        !std::equal(codes.begin(), codes.end(), raw.begin()) ||
        TIFFReadEncodedStrip(tif, s, read.data(), tmsize_t(read.size())) !=
            tmsize_t(plain.size()) ||
        !std::equal(plain.begin(), plain.end(), read.begin()))
      said = "strip " + std::to_string(s);
  }
  if (said.empty() && TIFFReadDirectory(tif) != 0) said = "a second image";
  TIFFClose(tif);
  return said;
}

// Makes the kernel refuse a system call with error where its argument arg has a bit of flags set,
// as a file system or a sandbox may.
inline bool Refuse(unsigned call, unsigned arg, unsigned flags, unsigned error) {
  sock_filter rules[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, unsigned(offsetof(seccomp_data, args) + 8 * arg)),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flags, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  const sock_fprog filter{std::size(rules), rules};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

// A fresh empty folder, removed with everything in it at the end; in memory where /dev/shm takes
// this user's folders, so that the suite's time does not hang on the disk.
struct TempDir {
  std::string where = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::filesystem::path path = ::mkdtemp(where.append("/travik-test-XXXXXX").data());
  ~TempDir() { // rm goes where paths are too long to name
    std::error_code failed;
    std::filesystem::remove_all(path, failed);
    if (failed && std::system(("rm -rf " + path.string()).c_str()) != 0) std::abort();
  }
  std::string operator/(const std::string &name) const {
    return path / name;
  }
};

} // namespace check
