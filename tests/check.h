// What a file must hold for an image, judged by the format alone: the layout read by hand, every
// strip decoded by a plain TIFF LZW decoder, and every strip read again by libtiff.
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace check {

using Bytes = std::vector<unsigned char>;

inline Bytes ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline std::uint32_t Le(const Bytes &b, std::size_t at, int n = 4) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
  return v;
}

// A strip read as TIFF LZW readers read it; the width grows one code early.
struct Lzw {
  Bytes data;
  std::vector<int> widths; // of every code read
  std::size_t used = 0;    // bytes up to the end of End-of-Information
  bool ended = false;
};

inline Lzw Decode(const Bytes &in) {
  Lzw out;
  std::vector<Bytes> table(4096);
  for (unsigned i = 0; i < 256; ++i) table[i] = {static_cast<unsigned char>(i)};
  std::size_t bit = 0, width = 9, next = 258, prev = 4096; // 4096: no previous code
  while (bit + width <= in.size() * 8) {
    std::size_t code = 0;
    for (std::size_t i = 0; i < width; ++i, ++bit)
      code = code << 1 | (unsigned{in[bit / 8]} >> (7 - bit % 8) & 1u);
    out.widths.push_back(static_cast<int>(width));
    if (code == 256) {
      width = 9, next = 258, prev = 4096;
      continue;
    }
    if ((out.ended = code == 257)) break;
    const bool known = code < 256 || (code > 257 && code < next);
    if (!known && (code != next || prev == 4096)) break; // not a code a reader can know
    Bytes entry = table[known ? code : prev];
    if (!known) entry.push_back(entry[0]);
    out.data.insert(out.data.end(), entry.begin(), entry.end());
    if (prev < 4096 && next < 4096) {
      table[next] = table[prev];
      table[next++].push_back(entry[0]);
    }
    prev = code;
    if (next + 1 >= std::size_t{1} << width && width < 12) ++width;
  }
  out.used = (bit + 7) / 8;
  return out;
}

// The code stream that the format's LZW gives for these bytes: the longest known string each
// time, the width growing when the next code reaches 512, 1024, 2048, and a Clear code once code
// 4093 is taken. Table entries carry the number of their table, so none is ever cleared.
inline Bytes Compress(const Bytes &in) {
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
    if (head == 4096) {
      head = b;
      continue;
    }
    std::uint64_t &entry = table[head << 8 | b];
    if (entry >> 16 == number) {
      head = entry & 0xFFFF;
      continue;
    }
    put(head);
    if (next == 4094) {
      put(256), ++number, width = 9, next = 258;
    } else {
      entry = number << 16 | next;
      if (++next == std::size_t{1} << width) ++width;
    }
    head = b;
  }
  if (head != 4096 && (put(head), ++next == std::size_t{1} << width)) ++width;
  put(257);
  if (bits > 0) out.push_back(static_cast<unsigned char>(acc << (8 - bits)));
  return out;
}

// A row as the file stores it: 16 and 32 bits little-endian, other depths packed MSB first.
inline Bytes Serialize(const Bytes &row, int bits) {
  const auto depth = static_cast<std::size_t>(bits);
  Bytes out((row.size() * depth + 7) / 8);
  for (std::size_t x = 0; x < row.size(); ++x)
    for (std::size_t b = 0; b < 8 && b < depth; ++b) { // bit b of sample x lands at bit `at`
      const std::size_t at = depth % 16 == 0 ? x * depth + 7 - b : (x + 1) * depth - 1 - b;
      if ((row[x] >> b & 1) != 0) out[at / 8] |= static_cast<unsigned char>(0x80u >> at % 8);
    }
  return out;
}

struct Image {
  int width = 1, height = 0, bits = 8;
  std::vector<Bytes> rows; // one byte per sample
  const char *description = nullptr;
};

inline std::vector<std::string> said; // libtiff's warnings and errors

inline void Record(const char *, const char *fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  said.push_back(text);
}

// Everything the file at path must be for this image: "" when it is, else the first fault.
inline std::string Verify(const std::string &path, const Image &im) {
  const Bytes f = ReadFile(path);
  const auto w = static_cast<std::uint32_t>(im.width), h = static_cast<std::uint32_t>(im.height);
  const auto bits = static_cast<std::uint32_t>(im.bits);
  const std::uint64_t rowBytes = (std::uint64_t{w} * bits + 7) / 8;
  const std::uint32_t rps = rowBytes > 8192 ? 1 : static_cast<std::uint32_t>(8192 / rowBytes);
  const std::uint32_t n = (h + rps - 1) / rps, E = im.description != nullptr ? 11 : 10;
  const std::string text = im.description != nullptr ? im.description + std::string(1, 0) : "";
  const auto L = static_cast<std::uint32_t>(text.size()), D = L > 4 ? 8 + L + L % 2 : 8;
  if (f.size() < 8 || Le(f, 0) != 0x002A4949) return "header";
  if (L > 4 &&
      (!std::equal(text.begin(), text.end(), f.begin() + 8) || (L % 2 != 0 && f[8 + L] != 0)))
    return "description";
  const std::uint32_t I = Le(f, 4), counted = Le(f, I + 2 + 12 * (E - 2) + 8);
  if (I % 2 != 0 || f.size() != I + 6 + 12 * E || Le(f, I, 2) != E || Le(f, I + 2 + 12 * E) != 0)
    return "directory size";
  std::vector<std::uint32_t> counts;
  std::uint32_t A = D, inlineText = 0;
  for (std::uint32_t s = 0; s < n; A += counts.back() + counts.back() % 2, ++s)
    counts.push_back(n == 1 ? counted : Le(f, counted + 4 * s));
  for (std::uint32_t i = 0; L <= 4 && i < L; ++i)
    inlineText |= std::uint32_t{std::uint8_t(text[i])} << 8 * i;
  // clang-format off
  std::vector<std::uint32_t> want = {256, w > 65535 ? 4u : 3u, 1, w,  257, h > 65535 ? 4u : 3u, 1, h,
                                     258, 3, 1, bits,  259, 3, 1, 5,  262, 3, 1, bits == 1 ? 0u : 1u};
  if (E == 11) want.insert(want.end(), {270, 2, L, L > 4 ? 8 : inlineText});
  want.insert(want.end(), {273, 4, n, n == 1 ? D : A,  277, 3, 1, 1,  278, 4, 1, rps,
                           279, 4, n, n == 1 ? counts[0] : A + 4 * n,  284, 3, 1, 1});
  // clang-format on
  for (std::uint32_t k = 0; k < 4 * E; ++k) // tag, type, count, value of every entry
    if (Le(f, I + 2 + 12 * (k / 4) + (k % 4 == 3 ? 8 : 2 * (k % 4)), k % 4 < 2 ? 2 : 4) != want[k])
      return "entry " + std::to_string(want[k / 4 * 4]);
  if (I != (n == 1 ? A : A + 8 * n)) return "directory offset";
  Bytes all;
  for (const Bytes &row : im.rows) {
    const Bytes r = Serialize(row, im.bits);
    all.insert(all.end(), r.begin(), r.end());
  }
  TIFFSetErrorHandler(Record);
  TIFFSetWarningHandler(Record);
  said.clear();
  TIFF *tif = h > 0 ? TIFFOpen(path.c_str(), "r") : nullptr; // libtiff refuses no strips
  std::string fault;
  for (std::uint32_t s = 0, at = D; s < n && fault.empty(); at += counts[s] + counts[s] % 2, ++s) {
    const auto from = all.begin() + static_cast<long>(rowBytes * rps * s);
    const Bytes expected(from, from + std::min<long>(all.end() - from, long(rowBytes * rps)));
    const Bytes strip(f.begin() + at, f.begin() + at + counts[s]);
    Bytes read(expected.size() + 1);
    const Lzw got = Decode(strip);
    if (strip != Compress(expected) || !got.ended || got.used != strip.size() ||
        got.data != expected || (counts[s] % 2 != 0 && f.at(at + counts[s]) != 0))
      fault = "strip " + std::to_string(s);
    if (tif == nullptr ||
        TIFFReadEncodedStrip(tif, s, read.data(), tmsize_t(read.size())) !=
            tmsize_t(expected.size()) ||
        !std::equal(expected.begin(), expected.end(), read.begin()))
      fault = "libtiff strip " + std::to_string(s);
  }
  if (tif != nullptr) TIFFClose(tif);
  return fault.empty() && !said.empty() ? "libtiff: " + said.front() : fault;
}

inline std::vector<std::string> Files(const std::filesystem::path &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh empty folder, removed with everything in it at the end.
struct TempDir {
  std::filesystem::path path = [] {
    char pattern[] = "/tmp/travik-test-XXXXXX";
    return std::filesystem::path(::mkdtemp(pattern));
  }();
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string &name) const {
    return (path / name).string();
  }
};

} // namespace check
