// SPDX-License-Identifier: MIT
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

#include "platform.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int kClearCode = 256;
constexpr int kEndCode = 257;
constexpr int kFirstCode = 258;
constexpr int kFullCode = 4094; // codes 258..4093 in use: clear instead of entering another
constexpr int kNoString = 4096; // no byte seen yet in this strip
constexpr int kSlots = 9001;    // prime, so every probe sequence visits every slot
constexpr int kMaxStrings = kFullCode - kFirstCode;

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15u; // odd, with well-mixed high bits

std::FILE *file;
std::uint64_t bytes; // compressed bytes of the current strip

// Everything bound for the file passes through here, so the encoder stores bytes, not calls. It
// holds any slice of the program's (depth 7's largest is 310 KiB), which then reaches its file in
// one pass with no seek: some file systems (FAT through FUSE) lose a write inside a file.
unsigned char buffer[1 << 19];
std::size_t fill;
bool spilled; // part of the file left the buffer

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
  spilled = spilled || fill > 0;
  fill = 0;
}

void Write(const void *data, std::size_t n) {
  if (n > sizeof buffer - fill) {
    Flush();
    if (n >= sizeof buffer) {
      std::fwrite(data, 1, n, file); // after the header, which made the buffer spill
      return;
    }
  }
  std::memcpy(buffer + fill, data, n);
  fill += n;
}

// Appends code in len bits to the accumulator and stores every byte it completes at out.
// 12 bits on top of 7 pending complete at most 2 bytes.
inline void Pack(std::uint32_t code, int len, std::uint32_t &buf, int &num, unsigned char *&out) {
  buf = (buf << len) | code;
  num += len;
  while (num > 7) {
    num -= 8;
    *out++ = static_cast<unsigned char>(buf >> num);
  }
}

void PutCode(std::uint32_t code) {
  if (sizeof buffer - fill < 2) Flush();
  unsigned char *out = buffer + fill;
  Pack(code, LZWlen, LZWbuf, LZWnum, out);
  const auto n = static_cast<std::size_t>(out - (buffer + fill));
  fill += n;
  bytes += n;
}

// A jump is eight hits in a row remembered: from the string `from`, the next eight bytes `word`
// lead to the string `to`. The table only grows until it empties, so a jump of the current epoch
// is a path the byte-by-byte walk would take; it is only ever taken on equal bytes.
struct Jump {
  std::uint64_t word;
  std::uint32_t epoch;
  std::uint16_t from, to;
};
constexpr int kJumpBits = 12; // every code fits, so a slot is a hash of the word xor the code
constexpr int kJumps = 1 << kJumpBits;
Jump LZWjump[kJumps];
std::uint32_t LZWepoch = 1; // the jumps' own 0 never matches

// Empties the slots of the first `entered` strings since the last clear, and voids every jump.
void EmptyTable(int entered) {
  for (int i = 0; i < entered; ++i) LZWstr[LZWused[i]] = 0;
  if (++LZWepoch == 0) {
    std::memset(LZWjump, 0, sizeof LZWjump);
    LZWepoch = 1;
  }
}

// The table is empty here: at process start, and because every strip and every reset
// empties what it filled.
void BeginStrip() {
  bytes = 0;
  LZWlen = 9;
  LZWnum = 0;
  PutCode(kClearCode);
  LZWcode = kFirstCode;
  LZWroof = 512;
  LZWhead = kNoString;
}

// Encodes the next bytes of the strip. The state is copied to locals for the loop, where the
// compiler can keep it in registers, and stored back once at the end.
void Encode(const unsigned char *p, const unsigned char *end) {
  if (p == end) return;
  // Unsigned locals index the table without sign extension on the byte-to-byte path.
  auto head = static_cast<std::uint32_t>(LZWhead);
  if (head == kNoString) head = *p++;
  int code = LZWcode, roof = LZWroof, len = LZWlen, num = LZWnum;
  std::uint32_t buf = LZWbuf;
  unsigned char *out = buffer + fill;
  // Takes byte b: true when head + b is a string, which becomes head; else writes head, enters
  // head + b, and starts the next string at b.
  const auto step = [&](std::uint32_t b) {
    const std::uint32_t key = (head << 20) | (b << 12);
    std::uint32_t pos = head ^ (b << 5);
    // word ^ key is the string's code (258..4093) when the slot holds the string; an empty slot
    // gives key itself, whose low 12 bits are 0. So one range test tells a hit.
    std::uint32_t found = LZWstr[pos] ^ key;
    if (found - 1 < 0xFFFu) {
      head = found;
      return true;
    }
    if (found != key) {
      const std::uint32_t stride = pos != 0 ? pos : kSlots - 1;
      do {
        pos += stride;
        if (pos >= kSlots) pos -= kSlots;
        found = LZWstr[pos] ^ key;
      } while (found - 1 >= 0xFFFu && found != key);
      if (found != key) {
        head = found;
        return true;
      }
    }
    if (out + 4 > buffer + sizeof buffer) { // room for this code and a Clear code
      const auto n = static_cast<std::size_t>(out - buffer);
      bytes += n - fill;
      fill = n;
      Flush();
      out = buffer;
    }
    Pack(head, len, buf, num, out);
    if (code == kFullCode) {
      Pack(kClearCode, len, buf, num, out);
      EmptyTable(kMaxStrings);
      code = kFirstCode, roof = 512, len = 9;
    } else {
      LZWstr[pos] = key | static_cast<std::uint32_t>(code);
      LZWused[code - kFirstCode] = static_cast<std::uint16_t>(pos);
      if (++code == roof) {
        ++len;
        roof = 2 * code;
      }
    }
    head = b;
    return false;
  };
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    Jump &jump = LZWjump[((word * kMul) >> (64 - kJumpBits)) ^ head];
    if (jump.word == word && jump.from == head && jump.epoch == LZWepoch) {
      head = jump.to;
      p += 8;
      continue;
    }
    const std::uint32_t from = head;
    const unsigned char *const stop = p + 8;
    while (p != stop && step(*p)) ++p;
    if (p == stop)
      jump = {word, LZWepoch, static_cast<std::uint16_t>(from), static_cast<std::uint16_t>(head)};
    else
      ++p;
  }
  for (; p != end; ++p) step(*p);
  LZWhead = static_cast<int>(head);
  LZWcode = code, LZWroof = roof, LZWlen = len, LZWnum = num;
  LZWbuf = buf;
  const auto n = static_cast<std::size_t>(out - buffer);
  bytes += n - fill;
  fill = n;
}

std::uint64_t EndStrip() {
  EmptyTable(LZWcode - kFirstCode);
  if (LZWhead != kNoString) {
    PutCode(static_cast<std::uint32_t>(LZWhead));
    // The reader enters a string for this code too, and widens before End-of-Information.
    if (++LZWcode == LZWroof) ++LZWlen;
  }
  PutCode(kEndCode);
  if (LZWnum > 0) { // the pending bits, then zero bits to the end of the byte
    if (fill == sizeof buffer) Flush();
    buffer[fill++] = static_cast<unsigned char>(LZWbuf << (8 - LZWnum));
    ++bytes;
  }
  return bytes;
}

// Samples of 8, 16 and 32 bits are little-endian; other depths are packed MSB first,
// each row starting on a byte boundary. put receives the row's bytes in order.
template <typename Put> void Serialize(const unsigned char *row, int width, int bits, Put put) {
  if (bits == 16 || bits == 32) {
    for (int x = 0; x < width; ++x) {
      put(row[x]);
      for (int i = 8; i < bits; i += 8) put(0);
    }
    return;
  }
  // 64 bits hold 7 pending bits plus a field of up to 31, so no field needs splitting.
  std::uint64_t acc = 0;
  int pending = 0;
  for (int x = 0; x < width; ++x) {
    acc = (acc << bits) | row[x];
    pending += bits;
    while (pending >= 8) {
      pending -= 8;
      put(static_cast<unsigned>(acc >> pending) & 0xFFu);
    }
  }
  if (pending > 0) put(static_cast<unsigned>(acc << (8 - pending)) & 0xFFu);
}

// A row too long to share a strip, fed to the encoder without a copy of the whole row.
void EncodeRow(const unsigned char *row, int width, int bits) {
  if (bits == 8) {
    Encode(row, row + width);
    return;
  }
  unsigned char staged[1024];
  std::size_t n = 0;
  Serialize(row, width, bits, [&](unsigned v) {
    staged[n++] = static_cast<unsigned char>(v);
    if (n == sizeof staged) {
      Encode(staged, staged + n);
      n = 0;
    }
  });
  Encode(staged, staged + n);
}

// Strips repeat, across the slices of one volume above all, and they are made of rows that
// repeat more still. So each row of a strip of up to kStripMax bytes is matched byte for byte
// against the rows seen before and known by its number, and a strip whose row numbers have been
// written before gets a copy of that code stream. Rows are compared in full, never taken on a
// hash; the same bytes give the same code stream, so a copy is exactly what encoding would write.
constexpr std::size_t kStripMax = 8192;
constexpr std::size_t kWorstStrip = kStripMax / 2 * 3 + 64; // 12 bits a byte, clears included
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Rows seen, their bytes in rowPool; a row's number is its slot. A hash of 0 marks an empty slot.
struct Row {
  std::uint64_t hash;
  std::uint32_t at, length;
};
constexpr std::size_t kRowSlots = std::size_t{1} << 14;
constexpr std::size_t kRowPool = std::size_t{4} << 20;
Row rowMemo[kRowSlots];
unsigned char rowPool[kRowPool];
std::size_t rowsPooled, rowsKept;

// Strips written: their row numbers in idPool, their code streams in codePool.
struct Stored {
  std::uint64_t hash;
  std::uint32_t ids, codes;
  std::uint16_t rows, size; // at most kStripMax rows, and kWorstStrip bytes
};
constexpr std::size_t kStripSlots = std::size_t{1} << 15;
constexpr std::size_t kIdPool = std::size_t{1} << 18;
constexpr std::size_t kCodePool = std::size_t{8} << 20;
Stored stripMemo[kStripSlots];
std::uint32_t idPool[kIdPool];
unsigned char codePool[kCodePool];
std::size_t idsPooled, codesPooled, stripsKept;

// Images of a stack resemble the one before, so a row is first guessed from its context: the row
// above it, and the rows at its place and below it in the last image. The guess costs one
// comparison, and only a miss is hashed. Numbers are kept + 1 here, so that 0 is none.
constexpr std::size_t kAbove = 8192;
std::uint32_t above[kAbove]; // the rows of the last image, by position
std::uint32_t guesses[std::size_t{1} << 16];
std::uint32_t left; // the row above, in this image
// Within one call a row is not written to, so the same pointer holds the same row.
const unsigned char *lastSource;
std::uint32_t lastNumber;

std::uint32_t numbers[kStripMax]; // the row numbers of the strip being written
unsigned char plain[kStripMax];   // one row serialised, at depths other than 8

// Brings the well-mixed high bits of a product down to the low bits that pick a slot.
std::uint64_t Mix(std::uint64_t h) {
  return (h ^ h >> 32) | 1; // never 0, the mark of an empty slot
}

// Four independent lanes, so the multiplies overlap instead of waiting on each other.
std::uint64_t Hash(const unsigned char *p, std::size_t n) {
  std::uint64_t lane[4] = {n};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32)
    for (std::size_t k = 0; k < 4; ++k) {
      std::uint64_t w;
      std::memcpy(&w, p + i + 8 * k, 8);
      lane[k] = std::rotl((lane[k] ^ w) * kMul, 29);
    }
  for (; i < n; ++i) lane[0] = (lane[0] ^ p[i]) * kMul;
  std::uint64_t h = 0;
  for (const std::uint64_t l : lane) h = std::rotl(h, 16) ^ l;
  return Mix(h * kMul);
}

// The number of the row with these bytes, entering it if it is new; kNone once the memo is full.
std::uint32_t Intern(const unsigned char *p, std::size_t n, std::uint64_t hash) {
  std::size_t i = hash & (kRowSlots - 1);
  for (; rowMemo[i].hash != 0; i = (i + 1) & (kRowSlots - 1)) {
    const Row &r = rowMemo[i];
    if (r.hash == hash && r.length == n && std::memcmp(rowPool + r.at, p, n) == 0)
      return static_cast<std::uint32_t>(i);
  }
  if (rowsKept >= kRowSlots / 2 || n > kRowPool - rowsPooled) return kNone;
  rowMemo[i] = {hash, static_cast<std::uint32_t>(rowsPooled), static_cast<std::uint32_t>(n)};
  std::memcpy(rowPool + rowsPooled, p, n);
  rowsPooled += n;
  ++rowsKept;
  return static_cast<std::uint32_t>(i);
}

// The number of row y, at source and serialised at row; kNone once the memo is full.
std::uint32_t Number(std::uint32_t y, const unsigned char *source, const unsigned char *row,
                     std::size_t n) {
  std::uint32_t number = lastNumber;
  if (source != lastSource) {
    const std::uint64_t context = (std::uint64_t{left} << 32 | (y < kAbove ? above[y] : 0)) * kMul ^
                                  (y + 1 < kAbove ? above[y + 1] : 0);
    std::uint32_t &guess = guesses[(context * kMul) >> 48];
    number = guess - 1;
    if (number == kNone || rowMemo[number].length != n ||
        std::memcmp(rowPool + rowMemo[number].at, row, n) != 0) {
      number = Intern(row, n, Hash(row, n));
      guess = number + 1;
    }
    lastSource = source, lastNumber = number;
  }
  left = number + 1;
  if (y < kAbove) above[y] = number + 1;
  return number;
}

const Stored *Recall(std::uint64_t hash, std::size_t rows) {
  for (std::size_t i = hash & (kStripSlots - 1); stripMemo[i].hash != 0;
       i = (i + 1) & (kStripSlots - 1)) {
    const Stored &s = stripMemo[i];
    if (s.hash == hash && s.rows == rows && std::equal(numbers, numbers + rows, idPool + s.ids))
      return &s;
  }
  return nullptr;
}

void Remember(std::uint64_t hash, std::size_t rows, const unsigned char *codes, std::size_t size) {
  if (stripsKept >= kStripSlots / 2 || rows > kIdPool - idsPooled || size > kCodePool - codesPooled)
    return; // full: encode from now on
  std::size_t i = hash & (kStripSlots - 1);
  while (stripMemo[i].hash != 0) i = (i + 1) & (kStripSlots - 1);
  stripMemo[i] = {hash, static_cast<std::uint32_t>(idsPooled),
                  static_cast<std::uint32_t>(codesPooled), static_cast<std::uint16_t>(rows),
                  static_cast<std::uint16_t>(size)};
  std::copy(numbers, numbers + rows, idPool + idsPooled);
  std::memcpy(codePool + codesPooled, codes, size);
  idsPooled += rows;
  codesPooled += size;
  ++stripsKept;
}

// Writes one strip of rows from first up to last (exclusive) and returns its byte count.
std::uint64_t StoreStrip(unsigned char *const *rows, std::uint32_t first, std::uint32_t last,
                         int width, int bits, std::uint32_t rowBytes) {
  const std::uint32_t count = last - first;
  bool known = std::uint64_t{rowBytes} * count <= kStripMax;
  std::uint64_t hash = count;
  for (std::uint32_t i = 0; known && i < count; ++i) {
    const unsigned char *source = rows[first + i], *row = source;
    if (bits != 8 && source != lastSource) {
      unsigned char *out = plain;
      Serialize(row, width, bits, [&](unsigned v) { *out++ = static_cast<unsigned char>(v); });
      row = plain;
    }
    numbers[i] = Number(first + i, source, row, rowBytes);
    known = numbers[i] != kNone;
    hash = (hash ^ numbers[i]) * kMul;
  }
  if (!known) {
    BeginStrip();
    for (std::uint32_t y = first; y < last; ++y) EncodeRow(rows[y], width, bits);
    return EndStrip();
  }
  hash = Mix(hash);
  if (const Stored *s = Recall(hash, count)) {
    Write(codePool + s->codes, s->size);
    return s->size;
  }
  if (sizeof buffer - fill < kWorstStrip) Flush(); // keep the strip in one piece of the buffer
  const std::size_t at = fill;
  BeginStrip();
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char *row = rowPool + rowMemo[numbers[i]].at;
    Encode(row, row + rowBytes);
  }
  const std::uint64_t size = EndStrip();
  Remember(hash, count, buffer + at, static_cast<std::size_t>(size));
  return size;
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

// Where a network file system drops the lock with the stream, a sweep on another host may take the
// temporary between its close and its publication: then the image is written again, so often.
constexpr int kTries = 8;

// Nothing under the final name was touched: only this run's temporary goes.
[[noreturn]] void Discard(const char *name) {
  DiscardTemporary(file);
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
  if (width < 1 || height < 0 || bits < 1 || bits > 32) Fail(name, "bad image format");
  const std::uint64_t rowLength =
      (static_cast<std::uint64_t>(width) * static_cast<unsigned>(bits) + 7) / 8;
  if (rowLength > 0xFFFFFFFFu) Fail(name, "bad image format");
  const auto rowBytes = static_cast<std::uint32_t>(rowLength);
  const auto rowsPerStrip =
      static_cast<std::uint32_t>(std::max<std::size_t>(kStripMax / rowBytes, 1));
  const std::uint32_t stripCount =
      (static_cast<std::uint32_t>(height) + rowsPerStrip - 1) / rowsPerStrip;
  const std::size_t textLength = description != nullptr ? std::strlen(description) + 1 : 0;
  const std::uint64_t firstStrip = textLength > 4 ? 8 + Even(textLength) : 8;
  const std::uint64_t tableSize = stripCount != 1 ? 8ull * stripCount : 0;
  const int entries = description != nullptr ? 11 : 10;
  const std::uint64_t ifdSize = 2 + 12ull * static_cast<unsigned>(entries) + 4;
  if (firstStrip + tableSize + ifdSize > kMaxFileSize) Fail(name, "file not stored");
  if (height > 0 && rows == nullptr) { // only a look whether the file can be stored
    if (!CanStore(name)) Fail(name, "file not stored");
    return;
  }

  lastSource = nullptr, left = 0; // rows may have changed since the last call
  auto *counts = static_cast<std::uint32_t *>(std::malloc(sizeof(std::uint32_t) * stripCount + 1));
  if (counts == nullptr) Fail(name, "no allocatable memory");

  for (int attempt = 1;; ++attempt) {
    file = OpenTemporary(name);
    if (file == nullptr) Fail(name, "file not stored");
    std::setvbuf(file, nullptr, _IONBF, 0); // the module buffers
    spilled = false;

    const unsigned char zero = 0;
    Write("II*\0\0\0\0", 8); // byte order, 42, and the IFD's offset, patched last
    if (textLength > 4) {
      Write(description, textLength);
      if (textLength & 1) Write(&zero, 1);
    }

    std::uint64_t offset = firstStrip;
    for (std::uint32_t first = 0; first < static_cast<std::uint32_t>(height);
         first += rowsPerStrip) {
      const std::uint32_t last =
          std::min(static_cast<std::uint32_t>(height) - first, rowsPerStrip) + first;
      const std::uint64_t count = StoreStrip(rows, first, last, width, bits, rowBytes);
      if (count & 1) Write(&zero, 1);
      offset += Even(count);
      if (offset + tableSize + ifdSize > kMaxFileSize) Discard(name);
      counts[first / rowsPerStrip] = static_cast<std::uint32_t>(count);
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
      p = PutEntry(p, 270, kAscii, n, n > 4 ? 8 : 0);
      if (n <= 4) std::memcpy(p - 4, description, n); // the text fits in the entry
    }
    p = PutEntry(p, 273, kLong, stripCount,
                 stripCount == 1 ? static_cast<std::uint32_t>(firstStrip) : tables);
    p = PutEntry(p, 277, kShort, 1, 1);
    p = PutEntry(p, 278, kLong, 1, rowsPerStrip);
    p = PutEntry(p, 279, kLong, stripCount, stripCount == 1 ? counts[0] : tables + 4 * stripCount);
    p = PutEntry(p, 284, kShort, 1, 1); // chunky
    Write(ifd, static_cast<std::size_t>(p + 4 - ifd));
    if (spilled) { // the header is in the file already
      Flush();
      if (std::fseek(file, 4, SEEK_SET) != 0) Discard(name);
      PutLong(ifdOffset);
    } else {
      Put32(buffer + 4, ifdOffset);
    }
    // A failed write leaves the stream's error flag set, so one look at the end sees them all.
    Flush();
    const Published published = PublishTemporary(file, name);
    file = nullptr;
    if (published == Published::kDone) break;
    if (published == Published::kFailed || attempt == kTries) Fail(name, "file not stored");
  }
  std::free(counts);
}
