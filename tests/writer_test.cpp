// The TIFF writer, judged by the bytes it writes and by what libtiff reads back.

#include "sif.h"
#include "tiff_check.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using check::Bytes;

struct Picture {
  int width = 1, height = 1, bits = 8;
  std::vector<Bytes> rows; // one byte per sample
  const char *description = nullptr;
};

Picture Filled(int width, int height, int bits, const std::function<unsigned(int, int)> &f) {
  Picture p{width, height, bits, {}, nullptr};
  for (int y = 0; y < height; ++y) {
    Bytes row(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x)
      row[static_cast<std::size_t>(x)] = static_cast<unsigned char>(f(x, y));
    p.rows.push_back(std::move(row));
  }
  return p;
}

void Store(const std::string &path, Picture &p) {
  std::vector<unsigned char *> rows;
  for (Bytes &r : p.rows) rows.push_back(r.data());
  StoreImageFile(path.c_str(), p.width, p.height, p.bits, rows.data(), p.description);
}

Bytes Written(Picture p) {
  check::TempDir dir;
  Store(dir / "image.tif", p);
  return check::ReadFile(dir / "image.tif");
}

Bytes Hex(std::initializer_list<unsigned> values) {
  Bytes b;
  for (unsigned v : values) b.push_back(static_cast<unsigned char>(v));
  return b;
}

Bytes Slice(const Bytes &b, std::size_t from, std::size_t length) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + length));
}

// A one-row 8-bit image has one strip at offset 8: its bytes are the encoder's output alone.
Bytes StripOf(const Bytes &samples) {
  Picture p{static_cast<int>(samples.size()), 1, 8, {samples}, nullptr};
  const Bytes file = Written(p);
  const auto entries = check::Directory(file);
  return Slice(file, check::Find(entries, 273)->value, check::Find(entries, 279)->value);
}

TEST(Writer, WholeFileOfOneVoxel) {
  const Bytes expected = Hex({
      0x49, 0x49, 0x2A, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x80, 0x2F, 0x60, 0x20, 0x0A, 0x00,
      0x00, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01,
      0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x03, 0x00,
      0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x03, 0x01, 0x03, 0x00, 0x01, 0x00,
      0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x00, 0x00, 0x11, 0x01, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00,
      0x00, 0x00, 0x15, 0x01, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x16, 0x01, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x17, 0x01,
      0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x1C, 0x01, 0x03, 0x00,
      0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
  });
  EXPECT_EQ(Written(Filled(1, 1, 8, [](int, int) { return 189u; })), expected);
}

TEST(Writer, OddStripIsPaddedBeforeTheDirectory) {
  const Bytes file =
      Written(Filled(3, 3, 8, [](int x, int y) { return x == 1 && y == 1 ? 0u : 189u; }));
  ASSERT_EQ(file.size(), 144u);
  EXPECT_EQ(check::Le32(file, 4), 18u);
  EXPECT_EQ(file[17], 0);
  const auto entries = check::Directory(file);
  EXPECT_EQ(check::Find(entries, 279)->value, 9u);
  EXPECT_EQ(check::Find(entries, 273)->value, 8u);
}

TEST(Encoder, StripsOfTheCodeTable) {
  const struct {
    Bytes in, out;
  } cases[] = {
      {{0}, Hex({0x80, 0x00, 0x20, 0x20})},
      {{189}, Hex({0x80, 0x2F, 0x60, 0x20})},
      {{189, 189, 189, 189}, Hex({0x80, 0x2F, 0x60, 0x4B, 0xD8, 0x08})},
      {{189, 0, 189}, Hex({0x80, 0x2F, 0x40, 0x0B, 0xD8, 0x08})},
      {Bytes(8, 0), Hex({0x80, 0x00, 0x20, 0x50, 0x38, 0x14, 0x04})},
      {{189, 189, 189, 189, 0, 189, 189, 189, 189},
       Hex({0x80, 0x2F, 0x60, 0x4B, 0xD0, 0x04, 0x0D, 0x7B, 0x01})},
      {{97, 98, 99, 97, 98, 99, 97, 98, 99},
       Hex({0x80, 0x18, 0x4C, 0x46, 0x38, 0x14, 0x12, 0x07, 0x01})},
  };
  for (const auto &c : cases)
    EXPECT_EQ(StripOf(c.in), c.out) << "strip of " << c.in.size() << " bytes";
}

TEST(Encoder, AscendingBytesWidenToTenBits) {
  Bytes in(256);
  for (unsigned i = 0; i < 256; ++i) in[i] = static_cast<unsigned char>(i);
  const Bytes out = StripOf(in);
  ASSERT_EQ(out.size(), 291u);
  EXPECT_EQ(Slice(out, 0, 5), Hex({0x80, 0x00, 0x00, 0x20, 0x20}));
  EXPECT_EQ(Slice(out, 286, 5), Hex({0xFA, 0x7F, 0x1F, 0xE8, 0x08}));
}

TEST(Writer, PackedAndWideRows) {
  const struct {
    int bits;
    Bytes samples, row;
  } cases[] = {
      {1, {1, 0, 1, 1, 0, 0, 1, 1, 1, 1}, Hex({0xB3, 0xC0})},
      {4, {1, 2, 3}, Hex({0x12, 0x30})},
      {12, {0xAB, 0xCD}, Hex({0x0A, 0xB0, 0xCD})},
      {24, {0xAB}, Hex({0x00, 0x00, 0xAB})},
      {16, {0xAB}, Hex({0xAB, 0x00})},
      {32, {0xAB}, Hex({0xAB, 0x00, 0x00, 0x00})},
      {31, {0xFF, 0x01}, Hex({0x00, 0x00, 0x01, 0xFE, 0x00, 0x00, 0x00, 0x04})},
  };
  for (const auto &c : cases) {
    check::TempDir dir;
    Picture p{static_cast<int>(c.samples.size()), 1, c.bits, {c.samples}, nullptr};
    Store(dir / "row.tif", p);
    const check::Image image = check::Read(dir / "row.tif");
    EXPECT_TRUE(image.messages.empty()) << c.bits << ": " << image.messages.front();
    ASSERT_EQ(image.strips.size(), 1u);
    EXPECT_EQ(image.strips[0], c.row) << "bits " << c.bits;
    EXPECT_EQ(image.photometric, c.bits == 1 ? 0 : 1);
  }
}

TEST(Writer, DescriptionLayouts) {
  const struct {
    const char *text;
    std::uint32_t count, firstStrip;
    Bytes value; // the entry's value field
  } cases[] = {
      {"", 1, 8, Hex({0, 0, 0, 0})},
      {"abc", 4, 8, Hex({0x61, 0x62, 0x63, 0})},
      {"abcd", 5, 14, Hex({8, 0, 0, 0})},
      {"abcde", 6, 14, Hex({8, 0, 0, 0})},
  };
  for (const auto &c : cases) {
    Picture p = Filled(5, 2, 8, [](int x, int y) { return unsigned(x * 7 + y); });
    p.description = c.text;
    check::TempDir dir;
    Store(dir / "d.tif", p);
    const Bytes file = check::ReadFile(dir / "d.tif");
    const auto entries = check::Directory(file);
    std::vector<std::uint32_t> tags;
    for (const auto &e : entries) tags.push_back(e.tag);
    ASSERT_EQ(tags,
              (std::vector<std::uint32_t>{256, 257, 258, 259, 262, 270, 273, 277, 278, 279, 284}));
    const check::Entry *d = check::Find(entries, 270);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->type, 2u);
    EXPECT_EQ(d->count, c.count) << c.text;
    EXPECT_EQ(d->raw, c.value) << c.text;
    EXPECT_EQ(check::Find(entries, 273)->value, c.firstStrip) << c.text;
    if (c.count > 4) {
      EXPECT_EQ(std::string(reinterpret_cast<const char *>(&file[8])), c.text);
      EXPECT_EQ(file[8 + c.count - 1], 0);
      if (c.count % 2 == 1) {
        EXPECT_EQ(file[8 + c.count], 0);
      }
    }
    const check::Image image = check::Read(dir / "d.tif");
    EXPECT_TRUE(image.messages.empty()) << image.messages.front();
    EXPECT_TRUE(image.hasDescription);
    EXPECT_EQ(image.description, c.text);
    EXPECT_EQ(image.samples[1][4], 29u);
  }
  const Bytes none = Written(Filled(5, 2, 8, [](int, int) { return 3u; }));
  const auto entries = check::Directory(none);
  EXPECT_EQ(entries.size(), 10u);
  EXPECT_EQ(check::Find(entries, 270), nullptr);
  EXPECT_EQ(check::Find(entries, 273)->value, 8u);
}

TEST(Writer, StripsOfSquareSlices) {
  const struct {
    int edge;
    std::uint32_t rowsPerStrip, strips;
  } cases[] = {{1, 8192, 1}, {3, 2730, 1}, {9, 910, 1},   {27, 303, 1},
               {81, 101, 1}, {243, 33, 8}, {729, 11, 67}, {2187, 3, 729}};
  for (const auto &c : cases) {
    check::TempDir dir;
    Picture p =
        Filled(c.edge, c.edge, 8, [](int x, int y) { return unsigned(x * 31 + y * y) % 251; });
    Store(dir / "s.tif", p);
    const Bytes file = check::ReadFile(dir / "s.tif");
    const auto entries = check::Directory(file);
    EXPECT_EQ(check::Find(entries, 278)->value, c.rowsPerStrip) << c.edge;
    const check::Entry *offsets = check::Find(entries, 273);
    const check::Entry *counts = check::Find(entries, 279);
    ASSERT_EQ(offsets->count, c.strips) << c.edge;
    ASSERT_EQ(counts->count, c.strips) << c.edge;
    if (c.strips > 1) {
      const std::uint32_t a = offsets->value;
      EXPECT_EQ(counts->value, a + 4 * c.strips);
      EXPECT_EQ(check::Le32(file, 4), a + 8 * c.strips);
      EXPECT_EQ(check::Le32(file, a), 8u);
      // Each strip starts at an even offset just past the previous one and its pad byte.
      for (std::uint32_t i = 0; i + 1 < c.strips; ++i) {
        const std::uint32_t o = check::Le32(file, a + 4 * i),
                            n = check::Le32(file, counts->value + 4 * i);
        EXPECT_EQ(check::Le32(file, a + 4 * i + 4), o + n + n % 2);
        EXPECT_EQ(o % 2, 0u);
      }
    }
    const check::Image image = check::Read(dir / "s.tif");
    ASSERT_TRUE(image.messages.empty()) << image.messages.front();
    ASSERT_EQ(image.samples.size(), static_cast<std::size_t>(c.edge));
    for (int y = 0; y < c.edge; ++y)
      for (int x = 0; x < c.edge; ++x)
        ASSERT_EQ(image.samples[std::size_t(y)][std::size_t(x)], unsigned(x * 31 + y * y) % 251)
            << x << "," << y;
  }
}

TEST(Writer, RowsPerStripFollowsRowLength) {
  const struct {
    int width, bits;
    std::uint32_t rowsPerStrip;
  } cases[] = {{8192, 8, 1}, {8193, 8, 1},  {4097, 8, 1}, {4096, 8, 2},
               {1, 8, 8192}, {2048, 32, 1}, {7, 1, 8192}, {9, 1, 4096}};
  for (const auto &c : cases) {
    const auto entries = check::Directory(
        Written(Filled(c.width, 3, c.bits, [](int x, int) { return unsigned(x & 1); })));
    EXPECT_EQ(check::Find(entries, 278)->value, c.rowsPerStrip) << c.width << "x" << c.bits;
  }
}

TEST(Writer, ShortOrLongSizes) {
  const struct {
    int width, height;
    std::uint32_t widthType, heightType;
  } cases[] = {{65535, 1, 3, 3}, {65536, 1, 4, 3}, {1, 65535, 3, 3}, {1, 65536, 3, 4}};
  for (const auto &c : cases) {
    check::TempDir dir;
    Picture p = Filled(c.width, c.height, 8, [](int x, int y) { return unsigned(x + y) % 7; });
    Store(dir / "big.tif", p);
    const auto entries = check::Directory(check::ReadFile(dir / "big.tif"));
    EXPECT_EQ(check::Find(entries, 256)->type, c.widthType);
    EXPECT_EQ(check::Find(entries, 257)->type, c.heightType);
    const check::Image image = check::Read(dir / "big.tif");
    ASSERT_TRUE(image.messages.empty()) << image.messages.front();
    EXPECT_EQ(image.width, std::uint32_t(c.width));
    EXPECT_EQ(image.height, std::uint32_t(c.height));
    EXPECT_EQ(image.samples.back().back(), unsigned(c.width + c.height - 2) % 7);
  }
}

TEST(Writer, EmptyImage) {
  for (const char *text : {static_cast<const char *>(nullptr), "abcd"}) {
    Picture p{3, 0, 8, {}, text};
    const Bytes file = Written(p);
    const std::uint32_t ifd = text ? 14 : 8;
    ASSERT_EQ(check::Le32(file, 4), ifd);
    ASSERT_EQ(file.size(), ifd + 2 + 12 * (text ? 11u : 10u) + 4);
    const auto entries = check::Directory(file);
    EXPECT_EQ(check::Find(entries, 257)->value, 0u);
    for (std::uint32_t tag : {273u, 279u}) {
      EXPECT_EQ(check::Find(entries, tag)->count, 0u);
      EXPECT_EQ(check::Find(entries, tag)->value, ifd);
    }
  }
}

// Every depth, with samples that are random, constant and structured, in one strip and in many.
TEST(Writer, EveryDepthDecodesToTheSamples) {
  std::mt19937 random(7);
  for (int bits = 1; bits <= 32; ++bits) {
    const unsigned limit = bits >= 8 ? 256 : 1u << bits;
    const struct {
      const char *kind;
      int width, height;
      std::function<unsigned(int, int)> f;
    } cases[] = {
        {"random", 37, 5, [&](int, int) { return unsigned(random()) % limit; }},
        {"constant", 300, 90, [&](int, int) { return limit - 1; }},
        {"structured", 1001, 70, [&](int x, int y) { return unsigned(x / 3 + y) % limit; }},
        {"random, many strips", 513, 40, [&](int, int) { return unsigned(random()) % limit; }},
    };
    for (const auto &c : cases) {
      check::TempDir dir;
      Picture p = Filled(c.width, c.height, bits, c.f);
      Store(dir / "d.tif", p);
      const check::Image image = check::Read(dir / "d.tif");
      ASSERT_TRUE(image.messages.empty())
          << bits << " " << c.kind << ": " << image.messages.front();
      ASSERT_EQ(image.bits, bits);
      ASSERT_EQ(image.compression, COMPRESSION_LZW);
      ASSERT_EQ(image.samplesPerPixel, 1);
      ASSERT_EQ(image.planar, PLANARCONFIG_CONTIG);
      ASSERT_EQ(image.samples.size(), std::size_t(c.height));
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
          ASSERT_EQ(image.samples[std::size_t(y)][std::size_t(x)],
                    p.rows[std::size_t(y)][std::size_t(x)])
              << bits << " bits, " << c.kind << " at " << x << "," << y;
    }
  }
}

// Random rows far longer than a full table, plus runs that make long strings.
TEST(Writer, TableFillsManyTimes) {
  std::mt19937 random(11);
  Picture p = Filled(200000, 3, 8, [&](int x, int y) {
    return y == 1 && x % 5000 < 2500 ? 7u : unsigned(random()) & 0xFFu;
  });
  check::TempDir dir;
  Store(dir / "t.tif", p);
  const check::Image image = check::Read(dir / "t.tif");
  ASSERT_TRUE(image.messages.empty()) << image.messages.front();
  ASSERT_EQ(image.strips.size(), 3u);
  for (std::size_t y = 0; y < 3; ++y) ASSERT_EQ(image.strips[y], p.rows[y]) << y;
}

// Failures: one message line, status 1, and nothing left under the name.
class WriterDeath : public ::testing::Test {
protected:
  check::TempDir dir;
  Bytes row = Bytes(16, 1);
  unsigned char *rows[1] = {row.data()};
};

TEST_F(WriterDeath, RefusesCallsOutsideTheContract) {
  const struct {
    int width, height, bits;
  } cases[] = {{0, 1, 8},  {-5, 1, 8}, {4, -1, 8},         {4, 1, 0},
               {4, 1, 33}, {4, 1, -8}, {0x7FFFFFFF, 1, 32}};
  for (const auto &c : cases) {
    const std::string name = dir / "bad.tif";
    EXPECT_EXIT(StoreImageFile(name.c_str(), c.width, c.height, c.bits, rows, nullptr),
                ::testing::ExitedWithCode(1), "^" + name + " : bad image format\\.\n$")
        << c.width << "x" << c.height << "x" << c.bits;
    EXPECT_TRUE(dir.Files().empty());
  }
}

TEST_F(WriterDeath, UnopenablePath) {
  const std::string name = dir / "missing/a.tif";
  EXPECT_EXIT(StoreImageFile(name.c_str(), 4, 1, 8, rows, nullptr), ::testing::ExitedWithCode(1),
              "^" + name + " : file not stored\\.\n$");
  EXPECT_TRUE(dir.Files().empty());
}

// Tables alone past 4 GiB: refused before a row is read or a file is made.
TEST_F(WriterDeath, FileThatWouldPassFourGigabytes) {
  const std::string name = dir / "huge.tif";
  EXPECT_EXIT(StoreImageFile(name.c_str(), 8193, 600000000, 8, rows, nullptr),
              ::testing::ExitedWithCode(1), "^" + name + " : file not stored\\.\n$");
  EXPECT_TRUE(dir.Files().empty());
}

#ifndef TRAVIK_SANITIZED
TEST_F(WriterDeath, StripCountsThatCannotBeAllocated) {
  const std::string name = dir / "m.tif";
  const auto starved = [&] {
    const rlimit limit{512u << 20, 512u << 20};
    setrlimit(RLIMIT_AS, &limit);
    StoreImageFile(name.c_str(), 8193, 500000000, 8, rows, nullptr);
  };
  EXPECT_EXIT(starved(), ::testing::ExitedWithCode(1),
              "^" + name + " : no allocatable memory\\.\n$");
  EXPECT_TRUE(dir.Files().empty());
}
#endif

} // namespace
