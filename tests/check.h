// SPDX-License-Identifier: MIT
// What a file must be for an image, by the format alone: every byte as a plain writer lays it
// out, each strip as a plain LZW encoder codes it, and every strip read back by libtiff.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <tiffio.h>

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

// The file that the format demands for this image; plain receives its strips uncoded.
inline Bytes Expected(const Image &im, std::vector<Bytes> *plain = nullptr) {
  const auto w = std::uint32_t(im.width), h = std::uint32_t(im.height);
  const std::uint64_t rowBytes = (std::uint64_t{w} * std::uint32_t(im.bits) + 7) / 8;
  const std::uint32_t rps = rowBytes > 8192 ? 1 : std::uint32_t(8192 / rowBytes);
  const std::uint32_t n = (h + rps - 1) / rps;
  const std::string text = im.description ? im.description + std::string(1, 0) : "";
  const auto L = std::uint32_t(text.size());
  Bytes want = {'I', 'I', 42, 0, 0, 0, 0, 0}, all;
  const auto put = [&](std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i) want.push_back(std::uint8_t(v >> 8 * i));
  };
  const auto add = [&](const Bytes &b) { // at an even offset, as every part of the file is
    want.insert(want.end(), b.begin(), b.end()), want.resize(want.size() + want.size() % 2);
  };
  if (L > 4) add(Bytes(text.begin(), text.end()));
  for (const Bytes &row : im.rows) all = Serialize(row, im.bits, std::move(all));
  std::vector<std::uint32_t> at, count;
  for (auto from = all.begin(); from != all.end();) {
    const Bytes strip(from, from + std::min(all.end() - from, long(rowBytes * rps)));
    const Bytes codes = Compress(strip);
    at.push_back(std::uint32_t(want.size())), count.push_back(std::uint32_t(codes.size()));
    add(codes), from += long(strip.size());
    if (plain) plain->push_back(strip);
  }
  const auto tables = std::uint32_t(want.size());
  for (const auto &list : {at, count})
    for (std::size_t i = 0; n > 1 && i < n; ++i) put(list[i], 4);
  for (int i = 0; i < 4; ++i) want[4 + std::size_t(i)] = std::uint8_t(want.size() >> 8 * i);
  std::uint32_t inlined = 0; // a text of up to 4 bytes lives in its entry
  for (std::uint32_t i = 0; L <= 4 && i < L; ++i)
    inlined |= std::uint32_t(std::uint8_t(text[i])) << 8 * i;
  // clang-format off
  std::vector<std::uint32_t> entries = {256, w > 65535 ? 4u : 3u, 1, w,  257, h > 65535 ? 4u : 3u, 1, h,
      258, 3, 1, std::uint32_t(im.bits),  259, 3, 1, 5,  262, 3, 1, im.bits == 1 ? 0u : 1u};
  if (L > 0) entries.insert(entries.end(), {270, 2, L, L > 4 ? 8 : inlined});
  entries.insert(entries.end(), {273, 4, n, n == 1 ? at[0] : tables,  277, 3, 1, 1,  278, 4, 1, rps,
                                 279, 4, n, n == 1 ? count[0] : tables + 4 * n,  284, 3, 1, 1});
  // clang-format on
  put(std::uint32_t(entries.size() / 4), 2);
  for (std::size_t i = 0; i < entries.size(); ++i) put(entries[i], i % 4 < 2 ? 2 : 4);
  put(0, 4);
  return want;
}

// "" when the file at path is what it must be for this image, else its first fault.
inline std::string Verify(const std::string &path, const Image &im) {
  std::vector<Bytes> plain;
  const Bytes f = ReadFile(path), want = Expected(im, &plain);
  const auto differs = std::mismatch(f.begin(), f.end(), want.begin(), want.end()).first;
  if (f != want) return "byte " + std::to_string(differs - f.begin());
  TIFFSetErrorHandler(nullptr), TIFFSetWarningHandler(nullptr);      // a fault shows in the result
  TIFF *tif = im.height > 0 ? TIFFOpen(path.c_str(), "r") : nullptr; // libtiff refuses no strips
  std::string said;
  for (std::uint32_t s = 0; s < plain.size() && said.empty(); ++s) {
    Bytes read(plain[s].size() + 1);
    if (!tif ||
        TIFFReadEncodedStrip(tif, s, read.data(), tmsize_t(read.size())) !=
            tmsize_t(plain[s].size()) ||
        !std::equal(plain[s].begin(), plain[s].end(), read.begin()))
      said = "libtiff, strip " + std::to_string(s);
  }
  if (tif) TIFFClose(tif);
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

// A fresh empty folder, removed with everything in it at the end; in memory where there is
// /dev/shm, so that the suite's time does not hang on the disk.
struct TempDir {
  std::string where = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
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
