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

// The encoder stored bytes up to out: they join the buffer's fill and the strip's count.
void Advance(const unsigned char *out) {
  const auto n = static_cast<std::size_t>(out - buffer);
  bytes += n - fill;
  fill = n;
}

// The encoder's state, copied from the LZW globals to a local that the compiler can keep in
// registers for the length of a loop.
struct Coder {
  std::uint32_t head, buf;
  int code, roof, len, num;
  unsigned char *out;
};

// The code table as it starts, and starts again after each Clear code.
inline void Restart(int &code, int &roof, int &len) {
  code = kFirstCode, roof = 512, len = 9;
}

// Appends code in c.len bits to the accumulator and stores every byte it completes.
// 12 bits on top of 7 pending complete at most 2 bytes.
[[gnu::always_inline]] inline void Pack(Coder &c, std::uint32_t code) {
  c.buf = (c.buf << c.len) | code;
  c.num += c.len;
  while (c.num > 7) {
    c.num -= 8;
    *c.out++ = static_cast<unsigned char>(c.buf >> c.num);
  }
}

void PutCode(std::uint32_t code) {
  if (sizeof buffer - fill < 2) Flush();
  Coder c = {0, LZWbuf, 0, 0, LZWlen, LZWnum, buffer + fill};
  Pack(c, code);
  LZWbuf = c.buf, LZWnum = c.num;
  Advance(c.out);
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
  Restart(LZWcode, LZWroof, LZWlen);
  LZWhead = kNoString;
}

// The code of the string whose key is key, or 0 with pos at the empty slot where it belongs.
[[gnu::always_inline]] inline std::uint32_t Find(std::uint32_t key, std::uint32_t &pos) {
  // word ^ key is the string's code (258..4093) when the slot holds the string; an empty slot
  // gives key itself, whose low 12 bits are 0. So one range test tells a hit.
  std::uint32_t found = LZWstr[pos] ^ key;
  if (found - 1 < 0xFFFu) return found;
  if (found == key) return 0;
  const std::uint32_t stride = pos != 0 ? pos : kSlots - 1;
  do {
    pos += stride;
    if (pos >= kSlots) pos -= kSlots;
    found = LZWstr[pos] ^ key;
  } while (found - 1 >= 0xFFFu && found != key);
  return found != key ? found : 0;
}

// Writes the current string's code and enters the string key at pos, or, with the table full,
// clears it instead.
[[gnu::always_inline]] inline void Enter(Coder &c, std::uint32_t key, std::uint32_t pos) {
  if (c.out + 4 > buffer + sizeof buffer) { // room for this code and a Clear code
    Advance(c.out);
    Flush();
    c.out = buffer;
  }
  Pack(c, c.head);
  if (c.code == kFullCode) {
    Pack(c, kClearCode);
    EmptyTable(kMaxStrings);
    Restart(c.code, c.roof, c.len);
    return;
  }
  LZWstr[pos] = key | static_cast<std::uint32_t>(c.code);
  LZWused[c.code - kFirstCode] = static_cast<std::uint16_t>(pos);
  if (++c.code == c.roof) {
    ++c.len;
    c.roof = 2 * c.code;
  }
}

// Takes byte b: true when head + b is a string, which becomes head; else writes head, enters
// head + b, and starts the next string at b.
[[gnu::always_inline]] inline bool Step(Coder &c, std::uint32_t b) {
  const std::uint32_t key = (c.head << 20) | (b << 12);
  std::uint32_t pos = c.head ^ (b << 5);
  if (const std::uint32_t found = Find(key, pos)) {
    c.head = found;
    return true;
  }
  Enter(c, key, pos);
  c.head = b;
  return false;
}

// Encodes the next bytes of the strip, eight at a time where a jump knows them.
void Encode(const unsigned char *p, const unsigned char *end) {
  if (p == end) return;
  // Unsigned, so that the table is indexed without sign extension on the byte-to-byte path.
  Coder c = {
      static_cast<std::uint32_t>(LZWhead), LZWbuf, LZWcode, LZWroof, LZWlen, LZWnum, buffer + fill};
  if (c.head == kNoString) c.head = *p++;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    Jump &jump = LZWjump[((word * kGoldenRatio) >> (64 - kJumpBits)) ^ c.head];
    if (jump.word == word && jump.from == c.head && jump.epoch == LZWepoch) {
      c.head = jump.to;
      p += 8;
      continue;
    }
    const std::uint32_t from = c.head;
    const unsigned char *const stop = p + 8;
    while (p != stop && Step(c, *p)) ++p;
    if (p == stop)
      jump = {word, LZWepoch, static_cast<std::uint16_t>(from), static_cast<std::uint16_t>(c.head)};
    else
      ++p;
  }
  for (; p != end; ++p) Step(c, *p);
  LZWhead = static_cast<int>(c.head);
  LZWcode = c.code, LZWroof = c.roof, LZWlen = c.len, LZWnum = c.num;
  LZWbuf = c.buf;
  Advance(c.out);
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

// Rows seen: their bytes in seenBytes, and a row's number is its slot here. A hash of 0 marks an
// empty slot.
struct SeenRow {
  std::uint64_t hash;
  std::uint32_t at, length;
};
constexpr std::size_t kRowSlots = std::size_t{1} << 14;
constexpr std::size_t kSeenBytes = std::size_t{4} << 20;
SeenRow seenRows[kRowSlots];
unsigned char seenBytes[kSeenBytes];
std::size_t seenBytesUsed;
std::size_t seenRowCount; // stops the table at half full, so that every probe ends

// Strips written: the row numbers of each in writtenRows, its code stream in writtenCodes.
struct WrittenStrip {
  std::uint64_t hash;
  std::uint32_t rowsAt, codesAt;
  std::uint16_t rows, size; // at most kStripMax rows, and kWorstStrip bytes
};
constexpr std::size_t kStripSlots = std::size_t{1} << 15;
constexpr std::size_t kWrittenRows = std::size_t{1} << 18;
constexpr std::size_t kWrittenCodes = std::size_t{8} << 20;
WrittenStrip writtenStrips[kStripSlots];
std::uint32_t writtenRows[kWrittenRows];
unsigned char writtenCodes[kWrittenCodes];
std::size_t writtenRowsUsed, writtenCodesUsed;
std::size_t writtenStripCount; // stops the table at half full, so that every probe ends

// Images of a stack resemble the one before, so a row is first guessed from its context: the row
// above it, and the rows at its place and below it in the last image. The guess costs one
// comparison, and only a miss is hashed. Numbers are kept + 1 here, so that 0 is none.
constexpr std::size_t kLastImage = 8192;
std::uint32_t lastImage[kLastImage]; // the rows of the last image, by position
std::uint32_t guesses[std::size_t{1} << 16];
std::uint32_t rowAbove; // in this image
// Within one call a row is not written to, so the same pointer holds the same row.
const unsigned char *lastSource;
std::uint32_t lastNumber;

std::uint32_t stripRows[kStripMax];  // the row numbers of the strip being written
unsigned char serialized[kStripMax]; // one row, at depths other than 8

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
      lane[k] = std::rotl((lane[k] ^ w) * kGoldenRatio, 29);
    }
  for (; i < n; ++i) lane[0] = (lane[0] ^ p[i]) * kGoldenRatio;
  std::uint64_t h = 0;
  for (const std::uint64_t l : lane) h = std::rotl(h, 16) ^ l;
  return Mix(h * kGoldenRatio);
}

bool Matches(const SeenRow &r, const unsigned char *p, std::size_t n) {
  return r.length == n && std::memcmp(seenBytes + r.at, p, n) == 0;
}

// The number of the row with these bytes, entering it if it is new; kNone once the memo is full.
std::uint32_t Intern(const unsigned char *p, std::size_t n, std::uint64_t hash) {
  std::size_t i = hash & (kRowSlots - 1);
  for (; seenRows[i].hash != 0; i = (i + 1) & (kRowSlots - 1))
    if (seenRows[i].hash == hash && Matches(seenRows[i], p, n))
      return static_cast<std::uint32_t>(i);
  if (seenRowCount >= kRowSlots / 2 || n > kSeenBytes - seenBytesUsed) return kNone;
  seenRows[i] = {hash, static_cast<std::uint32_t>(seenBytesUsed), static_cast<std::uint32_t>(n)};
  std::memcpy(seenBytes + seenBytesUsed, p, n);
  seenBytesUsed += n;
  ++seenRowCount;
  return static_cast<std::uint32_t>(i);
}

// The number of row y, at source and serialised at row; kNone once the memo is full.
std::uint32_t Number(std::uint32_t y, const unsigned char *source, const unsigned char *row,
                     std::size_t n) {
  std::uint32_t number = lastNumber;
  if (source != lastSource) {
    const std::uint64_t context =
        (std::uint64_t{rowAbove} << 32 | (y < kLastImage ? lastImage[y] : 0)) * kGoldenRatio ^
        (y + 1 < kLastImage ? lastImage[y + 1] : 0);
    std::uint32_t &guess = guesses[(context * kGoldenRatio) >> 48];
    number = guess - 1;
    if (number == kNone || !Matches(seenRows[number], row, n)) {
      number = Intern(row, n, Hash(row, n));
      guess = number + 1;
    }
    lastSource = source, lastNumber = number;
  }
  rowAbove = number + 1;
  if (y < kLastImage) lastImage[y] = number + 1;
  return number;
}

// The strip written before whose rows are stripRows[0..rows), if any.
const WrittenStrip *Recall(std::uint64_t hash, std::size_t rows) {
  for (std::size_t i = hash & (kStripSlots - 1); writtenStrips[i].hash != 0;
       i = (i + 1) & (kStripSlots - 1)) {
    const WrittenStrip &s = writtenStrips[i];
    if (s.hash == hash && s.rows == rows &&
        std::equal(stripRows, stripRows + rows, writtenRows + s.rowsAt))
      return &s;
  }
  return nullptr;
}

void Remember(std::uint64_t hash, std::size_t rows, const unsigned char *codes, std::size_t size) {
  if (writtenStripCount >= kStripSlots / 2 || rows > kWrittenRows - writtenRowsUsed ||
      size > kWrittenCodes - writtenCodesUsed)
    return; // full: encode from now on
  std::size_t i = hash & (kStripSlots - 1);
  while (writtenStrips[i].hash != 0) i = (i + 1) & (kStripSlots - 1);
  writtenStrips[i] = {hash, static_cast<std::uint32_t>(writtenRowsUsed),
                      static_cast<std::uint32_t>(writtenCodesUsed),
                      static_cast<std::uint16_t>(rows), static_cast<std::uint16_t>(size)};
  std::copy(stripRows, stripRows + rows, writtenRows + writtenRowsUsed);
  std::memcpy(writtenCodes + writtenCodesUsed, codes, size);
  writtenRowsUsed += rows;
  writtenCodesUsed += size;
  ++writtenStripCount;
}

// Numbers the rows from first up to last (exclusive) into stripRows, and returns the hash of the
// numbers; 0 when the strip is too long for the memo, or the memo is full.
std::uint64_t NumberRows(unsigned char *const *rows, std::uint32_t first, std::uint32_t last,
                         int width, int bits, std::uint32_t rowBytes) {
  const std::uint32_t count = last - first;
  if (std::uint64_t{rowBytes} * count > kStripMax) return 0;
  std::uint64_t hash = count;
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char *source = rows[first + i], *row = source;
    if (bits != 8 && source != lastSource) {
      unsigned char *out = serialized;
      Serialize(row, width, bits, [&](unsigned v) { *out++ = static_cast<unsigned char>(v); });
      row = serialized;
    }
    stripRows[i] = Number(first + i, source, row, rowBytes);
    if (stripRows[i] == kNone) return 0;
    hash = (hash ^ stripRows[i]) * kGoldenRatio;
  }
  return Mix(hash);
}

// Writes one strip of rows from first up to last (exclusive) and returns its byte count.
std::uint64_t StoreStrip(unsigned char *const *rows, std::uint32_t first, std::uint32_t last,
                         int width, int bits, std::uint32_t rowBytes) {
  const std::uint64_t hash = NumberRows(rows, first, last, width, bits, rowBytes);
  if (hash == 0) {
    BeginStrip();
    for (std::uint32_t y = first; y < last; ++y) EncodeRow(rows[y], width, bits);
    return EndStrip();
  }
  const std::uint32_t count = last - first;
  if (const WrittenStrip *s = Recall(hash, count)) {
    Write(writtenCodes + s->codesAt, s->size);
    return s->size;
  }
  if (sizeof buffer - fill < kWorstStrip) Flush(); // keep the strip in one piece of the buffer
  const std::size_t at = fill;
  BeginStrip();
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char *row = seenBytes + seenRows[stripRows[i]].at;
    Encode(row, row + rowBytes);
  }
  const std::uint64_t size = EndStrip();
  Remember(hash, count, buffer + at, static_cast<std::size_t>(size));
  return size;
}

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu; // every offset must fit in a LONG

// Where a network file system drops the lock with the stream, a sweep on another host may take the
// temporary between its close and its publication: then the image is written again, so often.
constexpr int kPublishTries = 8;

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

// Word alignment after n bytes.
void Pad(std::uint64_t n) {
  if (n & 1) Write("", 1);
}

[[noreturn]] void Fail(const char *name, const char *why) {
  Report(name, why);
  std::exit(1);
}

// Nothing under the final name was touched: only this run's temporary goes.
[[noreturn]] void Abandon(const char *name) {
  DiscardTemporary(file);
  Fail(name, "file not stored");
}

// What an image's file is laid out from: the image, its strips, and the sizes before and after
// them. The strip tables are left out of a one-strip file, whose entries hold its offset and count.
struct Layout {
  int width, height, bits;
  const char *description;
  std::size_t textLength; // with its zero; 0 without a description
  std::uint32_t rowBytes, rowsPerStrip, stripCount;
  std::uint64_t firstStrip, tablesSize, ifdSize;
};

enum FieldType : std::uint16_t { kAscii = 2, kShort = 3, kLong = 4 };
struct Entry {
  std::uint16_t tag;
  FieldType type;
  std::uint32_t count, value; // a value of 4 bytes or fewer stands in the entry itself
};
constexpr int kMaxEntries = 11;

// A text of at most 4 bytes with its zero, as its entry holds it.
std::uint32_t InEntry(const char *text, std::size_t length) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < length; ++i)
    value |= std::uint32_t{static_cast<unsigned char>(text[i])} << 8 * i;
  return value;
}

// The IFD's entries, in ascending tag order, into e; returns their count. offsets and counts are
// the values of StripOffsets and StripByteCounts.
int Directory(Entry *e, const Layout &l, std::uint32_t offsets, std::uint32_t counts) {
  const auto w = static_cast<std::uint32_t>(l.width), h = static_cast<std::uint32_t>(l.height);
  const auto bits = static_cast<std::uint32_t>(l.bits),
             n = static_cast<std::uint32_t>(l.textLength);
  Entry *p = e;
  *p++ = {256, w <= 0xFFFF ? kShort : kLong, 1, w};
  *p++ = {257, h <= 0xFFFF ? kShort : kLong, 1, h};
  *p++ = {258, kShort, 1, bits};
  *p++ = {259, kShort, 1, 5};                   // LZW
  *p++ = {262, kShort, 1, bits == 1 ? 0u : 1u}; // WhiteIsZero only for bilevel
  if (l.description != nullptr) *p++ = {270, kAscii, n, n > 4 ? 8 : InEntry(l.description, n)};
  *p++ = {273, kLong, l.stripCount, offsets};
  *p++ = {277, kShort, 1, 1};
  *p++ = {278, kLong, 1, l.rowsPerStrip};
  *p++ = {279, kLong, l.stripCount, counts};
  *p++ = {284, kShort, 1, 1}; // chunky
  return static_cast<int>(p - e);
}

// Whether every sample fits in bits: below 8, a wider one would spill into its neighbours.
bool SamplesFit(unsigned char *const *rows, int width, int height, int bits) {
  const unsigned spill = bits < 8 ? 0xFFu << bits & 0xFFu : 0;
  for (int y = 0; spill != 0 && y < height; ++y)
    for (int x = 0; x < width; ++x)
      if ((rows[y][x] & spill) != 0) return false;
  return true;
}

// The layout of the image's file; fails as a write would where no file can hold the image.
Layout Plan(const char *name, int width, int height, int bits, unsigned char *const *rows,
            const char *description) {
  if (width < 1 || height < 0 || bits < 1 || bits > 32 || (rows == nullptr && height > 0) ||
      !SamplesFit(rows, width, height, bits))
    Fail(name, "bad image format");
  const std::uint64_t rowLength =
      (static_cast<std::uint64_t>(width) * static_cast<unsigned>(bits) + 7) / 8;
  if (rowLength > 0xFFFFFFFFu) Fail(name, "bad image format");
  const auto rowBytes = static_cast<std::uint32_t>(rowLength);
  const auto rowsPerStrip =
      static_cast<std::uint32_t>(std::max<std::size_t>(kStripMax / rowBytes, 1));
  const std::size_t textLength = description != nullptr ? std::strlen(description) + 1 : 0;
  Layout l = {width,
              height,
              bits,
              description,
              textLength,
              rowBytes,
              rowsPerStrip,
              (static_cast<std::uint32_t>(height) + rowsPerStrip - 1) / rowsPerStrip,
              textLength > 4 ? 8 + Even(textLength) : 8,
              0,
              0};
  l.tablesSize = l.stripCount != 1 ? 8ull * l.stripCount : 0;
  Entry e[kMaxEntries];
  l.ifdSize = 2 + 12ull * static_cast<unsigned>(Directory(e, l, 0, 0)) + 4;
  if (l.firstStrip + l.tablesSize + l.ifdSize > kMaxFileSize) Fail(name, "file not stored");
  return l;
}

// Puts the IFD's offset into the header, in the buffer while the header is still there.
bool PatchHeader(std::uint32_t ifdOffset) {
  if (!spilled) {
    Put32(buffer + 4, ifdOffset);
    return true;
  }
  Flush();
  if (std::fseek(file, 4, SEEK_SET) != 0) return false;
  PutLong(ifdOffset);
  return true;
}

// Writes the whole file: the header, the strips, their tables and the IFD, each strip's byte count
// kept in counts; false where it takes more than 4 GiB, or cannot be patched.
bool WriteImage(const Layout &l, unsigned char *const *rows, std::uint32_t *counts) {
  Write("II*\0\0\0\0", 8); // byte order, 42, and the IFD's offset, patched last
  if (l.textLength > 4) Write(l.description, l.textLength), Pad(l.textLength);
  std::uint64_t end = l.firstStrip; // of the strips
  const auto height = static_cast<std::uint32_t>(l.height);
  for (std::uint32_t first = 0; first < height; first += l.rowsPerStrip) {
    const std::uint32_t last = std::min(height - first, l.rowsPerStrip) + first;
    const std::uint64_t count = StoreStrip(rows, first, last, l.width, l.bits, l.rowBytes);
    Pad(count);
    end += Even(count);
    if (end + l.tablesSize + l.ifdSize > kMaxFileSize) return false;
    counts[first / l.rowsPerStrip] = static_cast<std::uint32_t>(count);
  }
  const auto tables = static_cast<std::uint32_t>(end);
  for (std::uint32_t i = 0, at = static_cast<std::uint32_t>(l.firstStrip);
       l.stripCount != 1 && i < l.stripCount; at += static_cast<std::uint32_t>(Even(counts[i++])))
    PutLong(at);
  for (std::uint32_t i = 0; l.stripCount != 1 && i < l.stripCount; ++i) PutLong(counts[i]);
  Entry e[kMaxEntries];
  const bool one = l.stripCount == 1;
  const int n = Directory(e, l, one ? static_cast<std::uint32_t>(l.firstStrip) : tables,
                          one ? counts[0] : tables + 4 * l.stripCount);
  unsigned char ifd[2 + 12 * kMaxEntries + 4] = {};
  Put16(ifd, static_cast<std::uint32_t>(n));
  for (int i = 0; i < n; ++i) {
    unsigned char *p = ifd + 2 + 12 * i;
    Put16(p, e[i].tag), Put16(p + 2, e[i].type), Put32(p + 4, e[i].count);
    (e[i].type == kShort ? Put16 : Put32)(p + 8, e[i].value);
  }
  Write(ifd, 2 + 12 * static_cast<std::size_t>(n) + 4); // the next IFD's offset is 0: none
  return PatchHeader(static_cast<std::uint32_t>(end + l.tablesSize));
}

} // namespace

void StoreImageFile(const char *name, int width, int height, int bits, unsigned char *const *rows,
                    const char *description) {
  const Layout layout = Plan(name, width, height, bits, rows, description);
  lastSource = nullptr, rowAbove = 0; // rows may have changed since the last call
  auto *counts =
      static_cast<std::uint32_t *>(std::malloc(sizeof(std::uint32_t) * layout.stripCount + 1));
  if (counts == nullptr) Fail(name, "no allocatable memory");
  for (int attempt = 1;; ++attempt) {
    file = OpenTemporary(name);
    if (file == nullptr) Fail(name, "file not stored");
    std::setvbuf(file, nullptr, _IONBF, 0); // the module buffers
    spilled = false;
    if (!WriteImage(layout, rows, counts)) Abandon(name);
    // A failed write leaves the stream's error flag set, so one look at the end sees them all.
    Flush();
    const Published published = PublishTemporary(file);
    file = nullptr;
    if (published == Published::kDone) break;
    if (published == Published::kFailed || attempt == kPublishTries) Fail(name, "file not stored");
  }
  std::free(counts);
}
