// Grayscale TIFF writer with its LZW strip encoder.
//
// File layout, little-endian, written in one forward pass:
//   0  "II", 42, offset of the IFD (patched last)
//   8  description text and its zero, when it does not fit in its IFD entry (L > 4)
//   D  strips, each an LZW code stream, each padded to an even length
//   A  StripOffsets[], StripByteCounts[]   (only with more than one strip)
//   I  IFD: 10 entries (11 with a description), ascending tags, next-IFD 0
// A strip holds whole rows and at most 8192 uncompressed bytes, unless one row is longer.

#include "sif.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kClearCode = 256;
constexpr int kEndCode = 257;
constexpr int kFirstCode = 258;
constexpr int kFullCode = 4094; // codes 258..4093 in use: clear instead of entering another
constexpr int kNoString = 4096; // no byte seen yet in this strip
constexpr int kSlots = 9001;    // prime, so every probe sequence visits every slot
constexpr int kMaxStrings = kFullCode - kFirstCode;

std::FILE *file;
std::uint64_t bytes; // compressed bytes of the current strip

// Everything bound for the file passes through here, so the encoder stores bytes, not calls.
unsigned char buffer[1 << 16];
std::size_t fill;

// A slot holds (prefix code << 20 | last byte << 12 | own code); 0 is empty since codes are >= 258.
std::uint32_t LZWstr[kSlots];
std::uint16_t LZWused[kMaxStrings]; // the slots filled since the last clear, to empty just those
std::uint32_t LZWbuf;               // pending bits are its low LZWnum bits, oldest first
int LZWhead;                        // code of the current string
int LZWcode;                        // next free code
int LZWroof;                        // LZWcode at which the width grows
int LZWlen;                         // code width, 9..12
int LZWnum;

void Flush() {
  std::fwrite(buffer, 1, fill, file);
  fill = 0;
}

void Write(const void *data, std::size_t n) {
  if (n > sizeof buffer - fill) {
    Flush();
    if (n >= sizeof buffer) {
      std::fwrite(data, 1, n, file);
      return;
    }
  }
  std::memcpy(buffer + fill, data, n);
  fill += n;
}

// A code of 12 bits on top of 7 pending completes at most 2 bytes.
void Reserve() {
  if (sizeof buffer - fill < 2) Flush();
}

void PutCode(int code) {
  Reserve();
  LZWbuf = (LZWbuf << LZWlen) | static_cast<std::uint32_t>(code);
  LZWnum += LZWlen;
  while (LZWnum > 7) {
    LZWnum -= 8;
    buffer[fill++] = static_cast<unsigned char>(LZWbuf >> LZWnum);
    ++bytes;
  }
}

void ClearTable() {
  // EndStrip may have counted one code past the last entered string.
  const int entered = std::min(LZWcode, kFullCode) - kFirstCode;
  for (int i = 0; i < entered; ++i) LZWstr[LZWused[i]] = 0;
  LZWlen = 9;
  LZWcode = kFirstCode;
  LZWroof = 512;
}

void BeginStrip() {
  bytes = 0;
  LZWlen = 9;
  LZWnum = 0;
  PutCode(kClearCode);
  // What an earlier strip left in the table is exactly what LZWused lists; a new process has none.
  ClearTable();
  LZWhead = kNoString;
}

// Encodes the next bytes of the strip. The state is copied to locals for the loop, where the
// compiler can keep it in registers, and stored back once at the end.
void Encode(const unsigned char *p, const unsigned char *end) {
  if (p == end) return;
  int head = LZWhead;
  if (head == kNoString) head = *p++;
  int code = LZWcode, roof = LZWroof, len = LZWlen, num = LZWnum;
  std::uint32_t buf = LZWbuf;
  unsigned char *out = buffer + fill;
  std::uint64_t written = bytes;
  for (; p != end; ++p) {
    const unsigned b = *p;
    const std::uint32_t key = (static_cast<std::uint32_t>(head) << 20) | (b << 12);
    int pos = head ^ static_cast<int>(b << 5);
    // word ^ key is the string's code (258..4093) when the slot holds the string; an empty slot
    // gives key itself, whose low 12 bits are 0. So one range test tells a hit.
    std::uint32_t found = LZWstr[pos] ^ key;
    if (found - 1 < 0xFFFu) {
      head = static_cast<int>(found);
      continue;
    }
    if (found != key) {
      const int step = pos != 0 ? pos : kSlots - 1;
      do {
        pos += step;
        if (pos >= kSlots) pos -= kSlots;
        found = LZWstr[pos] ^ key;
      } while (found - 1 >= 0xFFFu && found != key);
      if (found != key) {
        head = static_cast<int>(found);
        continue;
      }
    }
    // Not in the table: write the current string's code, then enter the new string.
    if (out + 4 > buffer + sizeof buffer) {
      fill = static_cast<std::size_t>(out - buffer);
      Flush();
      out = buffer;
    }
    buf = (buf << len) | static_cast<std::uint32_t>(head);
    num += len;
    while (num > 7) {
      num -= 8;
      *out++ = static_cast<unsigned char>(buf >> num);
      ++written;
    }
    if (code == kFullCode) {
      buf = (buf << len) | kClearCode;
      num += len;
      while (num > 7) {
        num -= 8;
        *out++ = static_cast<unsigned char>(buf >> num);
        ++written;
      }
      LZWcode = code;
      ClearTable();
      code = LZWcode, roof = LZWroof, len = LZWlen;
    } else {
      LZWstr[pos] = key | static_cast<std::uint32_t>(code);
      LZWused[code - kFirstCode] = static_cast<std::uint16_t>(pos);
      if (++code == roof) {
        ++len;
        roof = 2 * code;
      }
    }
    head = static_cast<int>(b);
  }
  LZWhead = head;
  LZWcode = code, LZWroof = roof, LZWlen = len, LZWnum = num;
  LZWbuf = buf;
  fill = static_cast<std::size_t>(out - buffer);
  bytes = written;
}

std::uint64_t EndStrip() {
  if (LZWhead != kNoString) {
    PutCode(LZWhead);
    // The reader enters a string for this code too, and widens before End-of-Information.
    if (++LZWcode == LZWroof) ++LZWlen;
  }
  PutCode(kEndCode);
  if (LZWnum > 0) {
    Reserve();
    buffer[fill++] = static_cast<unsigned char>(LZWbuf << (8 - LZWnum));
    ++bytes;
  }
  return bytes;
}

// Samples of 8, 16 and 32 bits are little-endian; other depths are packed MSB first,
// each row starting on a byte boundary. Rows of 8 bits go to the encoder in place.
void EncodeRow(const unsigned char *row, int width, int bits) {
  if (bits == 8) {
    Encode(row, row + width);
    return;
  }
  unsigned char staged[1024];
  std::size_t n = 0;
  const auto stage = [&](unsigned v) {
    staged[n++] = static_cast<unsigned char>(v);
    if (n == sizeof staged) {
      Encode(staged, staged + n);
      n = 0;
    }
  };
  if (bits == 16 || bits == 32) {
    for (int x = 0; x < width; ++x) {
      stage(row[x]);
      for (int i = 8; i < bits; i += 8) stage(0);
    }
  } else {
    // 64 bits hold 7 pending bits plus a field of up to 31, so no field needs splitting.
    std::uint64_t acc = 0;
    int pending = 0;
    for (int x = 0; x < width; ++x) {
      acc = (acc << bits) | row[x];
      pending += bits;
      while (pending >= 8) {
        pending -= 8;
        stage(static_cast<unsigned>(acc >> pending) & 0xFFu);
      }
    }
    if (pending > 0) stage(static_cast<unsigned>(acc << (8 - pending)) & 0xFFu);
  }
  Encode(staged, staged + n);
}

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu; // every offset must fit in a LONG

constexpr std::uint64_t Even(std::uint64_t n) {
  return n + (n & 1);
}

void Put16(unsigned char *p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char *p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

void PutLong(std::uint32_t v) {
  unsigned char b[4];
  Put32(b, v);
  Write(b, 4);
}

[[noreturn]] void Fail(const char *name, const char *why) {
  std::fprintf(stderr, "%s : %s.\n", name, why);
  std::exit(1);
}

// The file was created or truncated by this call: leave nothing half-written under its name.
[[noreturn]] void Discard(const char *name, bool open) {
  if (open) std::fclose(file);
  file = nullptr;
  fill = 0;
  std::remove(name);
  Fail(name, "file not stored");
}

enum FieldType : std::uint32_t { kAscii = 2, kShort = 3, kLong = 4 };

unsigned char *PutEntry(unsigned char *p, std::uint32_t tag, FieldType type, std::uint32_t count,
                        std::uint32_t value) {
  Put16(p, tag);
  Put16(p + 2, type);
  Put32(p + 4, count);
  if (type == kShort)
    Put16(p + 8, value);
  else
    Put32(p + 8, value);
  return p + 12;
}

} // namespace

void StoreImageFile(const char *name, int width, int height, int bits, unsigned char *const *rows,
                    const char *description) {
  if (width < 1 || height < 0 || bits < 1 || bits > 32 || (height > 0 && rows == nullptr))
    Fail(name, "bad image format");
  const std::uint64_t rowLength =
      (static_cast<std::uint64_t>(width) * static_cast<unsigned>(bits) + 7) / 8;
  if (rowLength > 0xFFFFFFFFu) Fail(name, "bad image format");
  const auto rowBytes = static_cast<std::uint32_t>(rowLength);
  const std::uint32_t rowsPerStrip = rowBytes > 8192 ? 1 : 8192 / rowBytes;
  const std::uint32_t stripCount =
      (static_cast<std::uint32_t>(height) + rowsPerStrip - 1) / rowsPerStrip;
  const std::uint64_t textLength = description != nullptr ? std::strlen(description) + 1 : 0;
  const std::uint64_t firstStrip = textLength > 4 ? 8 + Even(textLength) : 8;
  const std::uint64_t tableSize = stripCount != 1 ? 8ull * stripCount : 0;
  const int entries = description != nullptr ? 11 : 10;
  const std::uint64_t ifdSize = 2 + 12ull * static_cast<unsigned>(entries) + 4;
  if (firstStrip + tableSize + ifdSize > kMaxFileSize) Fail(name, "file not stored");

  std::unique_ptr<std::uint32_t[]> counts(new (std::nothrow) std::uint32_t[stripCount]);
  if (!counts) Fail(name, "no allocatable memory");

  file = std::fopen(name, "wb");
  if (file == nullptr) Fail(name, "file not stored");
  std::setvbuf(file, nullptr, _IONBF, 0); // the module buffers
  fill = 0;

  const unsigned char header[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
  const unsigned char zero = 0;
  Write(header, sizeof header);
  if (textLength > 4) {
    Write(description, textLength);
    if (textLength & 1) Write(&zero, 1);
  }

  std::uint64_t offset = firstStrip;
  for (std::uint32_t y = 0; y < static_cast<std::uint32_t>(height); ++y) {
    if (y % rowsPerStrip == 0) BeginStrip();
    EncodeRow(rows[y], width, bits);
    if (y + 1 == static_cast<std::uint32_t>(height) || (y + 1) % rowsPerStrip == 0) {
      const std::uint64_t count = EndStrip();
      if (count & 1) Write(&zero, 1);
      offset += Even(count);
      if (offset + tableSize + ifdSize > kMaxFileSize) Discard(name, true);
      counts[y / rowsPerStrip] = static_cast<std::uint32_t>(count);
    }
  }

  const auto tables = static_cast<std::uint32_t>(offset);
  if (stripCount != 1) {
    std::uint64_t o = firstStrip;
    for (std::uint32_t i = 0; i < stripCount; ++i) {
      PutLong(static_cast<std::uint32_t>(o));
      o += Even(counts[i]);
    }
    for (std::uint32_t i = 0; i < stripCount; ++i) PutLong(counts[i]);
  }
  const auto ifdOffset = static_cast<std::uint32_t>(offset + tableSize);

  unsigned char ifd[2 + 12 * 11 + 4] = {};
  Put16(ifd, static_cast<std::uint32_t>(entries));
  unsigned char *p = ifd + 2;
  const auto w = static_cast<std::uint32_t>(width);
  const auto h = static_cast<std::uint32_t>(height);
  p = PutEntry(p, 256, w <= 0xFFFF ? kShort : kLong, 1, w);
  p = PutEntry(p, 257, h <= 0xFFFF ? kShort : kLong, 1, h);
  p = PutEntry(p, 258, kShort, 1, static_cast<std::uint32_t>(bits));
  p = PutEntry(p, 259, kShort, 1, 5);                 // LZW
  p = PutEntry(p, 262, kShort, 1, bits == 1 ? 0 : 1); // WhiteIsZero only for bilevel
  if (description != nullptr) {
    const auto n = static_cast<std::uint32_t>(textLength);
    p = PutEntry(p, 270, kAscii, n, 8);
    if (n <= 4) {
      std::memset(p - 4, 0, 4);
      std::memcpy(p - 4, description, n);
    }
  }
  p = PutEntry(p, 273, kLong, stripCount,
               stripCount == 1 ? static_cast<std::uint32_t>(firstStrip) : tables);
  p = PutEntry(p, 277, kShort, 1, 1);
  p = PutEntry(p, 278, kLong, 1, rowsPerStrip);
  p = PutEntry(p, 279, kLong, stripCount, stripCount == 1 ? counts[0] : tables + 4 * stripCount);
  p = PutEntry(p, 284, kShort, 1, 1); // chunky
  Write(ifd, static_cast<std::size_t>(p + 4 - ifd));
  Flush();

  if (std::fflush(file) != 0 || std::ferror(file) != 0) Discard(name, true);
  if (std::fseek(file, 4, SEEK_SET) != 0) Discard(name, true);
  PutLong(ifdOffset);
  Flush();
  if (std::fflush(file) != 0 || std::ferror(file) != 0) Discard(name, true);
  if (std::fclose(file) != 0) Discard(name, false);
  file = nullptr;
}
