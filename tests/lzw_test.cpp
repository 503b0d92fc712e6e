// The LZW strip encoder, driven directly and checked against a plain TIFF LZW decoder.

#include "sif.cpp" // the encoder is private to this file

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Codes with the widths they were read at, and the bytes they stand for, read the way TIFF
// readers do: the width grows one code early, when the next free code reaches 511, 1023, 2047.
struct Decoded {
  std::vector<std::pair<unsigned, int>> codes;
  Bytes data;
  bool ended = false, valid = true;
};

Decoded Decode(const Bytes &in) {
  Decoded out;
  std::vector<Bytes> table(4096);
  for (unsigned i = 0; i < 256; ++i) table[i] = {static_cast<unsigned char>(i)};
  std::size_t bit = 0;
  int width = 9;
  unsigned next = 258;
  int prev = -1;
  while (bit + static_cast<unsigned>(width) <= in.size() * 8) {
    unsigned code = 0;
    for (int i = 0; i < width; ++i, ++bit)
      code = (code << 1) | ((unsigned{in[bit / 8]} >> (7 - bit % 8)) & 1u);
    out.codes.emplace_back(code, width);
    if (code == 256) {
      width = 9;
      next = 258;
      prev = -1;
      continue;
    }
    if (code == 257) {
      out.ended = true;
      break;
    }
    Bytes entry;
    if (code < 256 || (code >= 258 && code < next)) {
      entry = table[code];
    } else if (code == next && prev >= 0) {
      entry = table[static_cast<unsigned>(prev)];
      entry.push_back(entry[0]);
    } else {
      out.valid = false;
      break;
    }
    out.data.insert(out.data.end(), entry.begin(), entry.end());
    if (prev >= 0 && next < 4096) {
      table[next] = table[static_cast<unsigned>(prev)];
      table[next].push_back(entry[0]);
      ++next;
    }
    prev = static_cast<int>(code);
    if (next + 1 >= (1u << width) && width < 12) ++width;
  }
  return out;
}

// Runs one strip through the encoder into a temporary stream; `stop` may end it early.
struct Strip {
  Bytes out;
  std::uint64_t count = 0;
};

template <typename Stop> Strip EncodeStrip(const Bytes &in, Stop stop) {
  file = std::tmpfile();
  fill = 0;
  BeginStrip();
  for (const unsigned char &b : in) {
    Encode(&b, &b + 1);
    if (stop()) break;
  }
  Strip s;
  s.count = EndStrip();
  Flush();
  std::fflush(file);
  s.out.resize(static_cast<std::size_t>(std::ftell(file)));
  std::rewind(file);
  EXPECT_EQ(std::fread(s.out.data(), 1, s.out.size(), file), s.out.size());
  std::fclose(file);
  file = nullptr;
  return s;
}

Strip EncodeStrip(const Bytes &in) {
  return EncodeStrip(in, [] { return false; });
}

Bytes Random(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto &v : b) v = static_cast<unsigned char>(random());
  return b;
}

TEST(Lzw, EmptyStrip) {
  const Strip s = EncodeStrip({});
  EXPECT_EQ(s.out, (Bytes{0x80, 0x40, 0x40}));
  EXPECT_EQ(s.count, 3u);
}

TEST(Lzw, FullTableClearsInTwelveBits) {
  const Bytes in = Random(30000, 5);
  const Decoded d = Decode(EncodeStrip(in).out);
  ASSERT_TRUE(d.valid && d.ended);
  EXPECT_EQ(d.data, in);
  int clears = 0;
  for (std::size_t i = 1; i + 1 < d.codes.size(); ++i) {
    if (d.codes[i].first != 256) continue;
    ++clears;
    EXPECT_EQ(d.codes[i].second, 12);
    EXPECT_EQ(d.codes[i + 1].second, 9); // enters string 258 again
    if (clears == 1) {
      EXPECT_EQ(i, 3838u); // data codes 1..3837 came first
    }
  }
  EXPECT_GE(clears, 2);
}

TEST(Lzw, EndRightAfterTableReset) {
  bool full = false;
  const Strip s = EncodeStrip(Random(30000, 9), [&] {
    const bool reset = full && LZWcode == kFirstCode;
    full = LZWcode == kFullCode;
    return reset;
  });
  const Decoded d = Decode(s.out);
  ASSERT_TRUE(d.valid && d.ended);
  const auto n = d.codes.size();
  ASSERT_EQ(d.codes[n - 3].first, 256u);
  EXPECT_EQ(d.codes[n - 3].second, 12);
  EXPECT_EQ(d.codes[n - 2].second, 9);
  EXPECT_LT(d.codes[n - 2].first, 256u);
  EXPECT_EQ(d.codes[n - 1], std::make_pair(257u, 9));
}

TEST(Lzw, EndWithFullTable) {
  const Strip s = EncodeStrip(Random(30000, 13), [] { return LZWcode == kFullCode; });
  const Decoded d = Decode(s.out);
  ASSERT_TRUE(d.valid && d.ended);
  const auto n = d.codes.size();
  EXPECT_EQ(n, 3839u); // Clear, data codes 1..3837, End-of-Information
  EXPECT_NE(d.codes[n - 2].first, 256u);
  EXPECT_EQ(d.codes[n - 2].second, 12);
  EXPECT_EQ(d.codes[n - 1], std::make_pair(257u, 12));
}

// The first n bytes of a de Bruijn sequence of pairs: no pair repeats, so every data code is one
// byte.
Bytes NoRepeatedPair(std::size_t n) {
  Bytes seq;
  unsigned a[3] = {};
  std::function<void(unsigned, unsigned)> step = [&](unsigned t, unsigned p) {
    if (t > 2) {
      if (2 % p == 0)
        for (unsigned j = 1; j <= p; ++j) seq.push_back(static_cast<unsigned char>(a[j]));
      return;
    }
    a[t] = a[t - p];
    step(t + 1, p);
    for (unsigned j = a[t - p] + 1; j < 256; ++j) {
      a[t] = j;
      step(t + 1, t);
    }
  };
  step(1, 1);
  seq.resize(n);
  return seq;
}

TEST(Lzw, EndOfInformationWidensAfterTheLastCode) {
  const struct {
    std::size_t lastCode;
    int width;
  } cases[] = {{253, 9}, {254, 10}, {766, 11}, {767, 11}, {1790, 12}};
  for (const auto &c : cases) {
    const Bytes in = NoRepeatedPair(c.lastCode);
    const Decoded d = Decode(EncodeStrip(in).out);
    ASSERT_TRUE(d.valid && d.ended);
    ASSERT_EQ(d.data, in);
    ASSERT_EQ(d.codes.size(), c.lastCode + 2);
    EXPECT_EQ(d.codes.back(), std::make_pair(257u, c.width)) << c.lastCode;
  }
}

TEST(Lzw, HomeSlotZeroProbesDownward) {
  // (0,0) takes slot 0; (32,1) also hashes to 0 and goes to 9000; the repeat finds it there.
  std::uint32_t slot0 = 0, slot9000 = 0; // read while the strip is open: it empties them at its end
  const Strip s = EncodeStrip({0, 0, 32, 1, 32, 1}, [&] {
    slot0 = LZWstr[0], slot9000 = LZWstr[9000];
    return false;
  });
  const Decoded d = Decode(s.out);
  ASSERT_TRUE(d.valid && d.ended);
  std::vector<unsigned> codes;
  for (const auto &c : d.codes) codes.push_back(c.first);
  EXPECT_EQ(codes, (std::vector<unsigned>{256, 0, 0, 32, 1, 260, 257}));
  EXPECT_EQ(slot0, ((0u << 8 | 0u) << 12) | 258u);
  EXPECT_EQ(slot9000, ((32u << 8 | 1u) << 12) | 260u);
}

// The writer hands the encoder whole rows or staged chunks; where the pieces break must not matter.
TEST(Lzw, PiecesEncodeAsTheWhole) {
  Bytes in = Random(20000, 21);
  for (std::size_t i = 5000; i < 12000; ++i) in[i] = i % 700 < 350 ? 189 : 0;
  const Bytes bytewise = EncodeStrip(in).out;
  file = std::tmpfile();
  fill = 0;
  BeginStrip();
  for (std::size_t at = 0, piece = 1; at < in.size(); at += piece, piece = piece * 3 % 1000 + 1)
    Encode(in.data() + at, in.data() + std::min(in.size(), at + piece));
  EndStrip();
  Flush();
  Bytes whole(static_cast<std::size_t>(std::ftell(file)));
  std::rewind(file);
  ASSERT_EQ(std::fread(whole.data(), 1, whole.size(), file), whole.size());
  std::fclose(file);
  EXPECT_EQ(whole, bytewise);
}

TEST(Lzw, StripsAreIndependent) {
  const Bytes b = {189, 189, 189, 0, 0, 189, 7, 7, 7, 7, 189};
  const Strip alone = EncodeStrip(b);
  EncodeStrip(Random(6000, 1),
              [] { return LZWcode == 3000; }); // leaves a half-full table and pending bits
  EXPECT_EQ(EncodeStrip(b).out, alone.out);
}

// A row is known by its number only once its bytes have been compared in full, and a strip is
// copied only for the very same row numbers: these cases make the hashes agree where nothing else
// does.
TEST(Memo, NothingIsTakenOnAHash) {
  constexpr std::uint64_t kHash = 0x5EED;
  const Bytes a = Random(729, 41);
  Bytes b = a;
  b[364] ^= 0x80;
  const std::uint32_t first = Intern(a.data(), a.size(), kHash);
  const std::uint32_t other = Intern(b.data(), b.size(), kHash);
  const std::uint32_t shorter = Intern(a.data(), a.size() - 1, kHash);
  ASSERT_NE(first, kNone);
  EXPECT_NE(other, first);
  EXPECT_NE(shorter, first);
  EXPECT_NE(shorter, other);
  EXPECT_EQ(Intern(b.data(), b.size(), kHash), other);
  EXPECT_EQ(Intern(a.data(), a.size(), kHash), first);

  const Bytes codes = {1, 2, 3};
  numbers[0] = first, numbers[1] = other;
  Remember(kHash, 2, codes.data(), codes.size());
  const Stored *s = Recall(kHash, 2);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Bytes(codePool + s->codes, codePool + s->codes + s->size), codes);
  EXPECT_EQ(Recall(kHash, 1), nullptr);
  numbers[1] = shorter;
  EXPECT_EQ(Recall(kHash, 2), nullptr);
}

TEST(Memo, CopiedStripsAreTheEncodedOnes) {
  std::memset(stripMemo, 0, sizeof stripMemo);
  idsPooled = codesPooled = stripsKept = 0;
  std::vector<Bytes> image(729, Bytes(729));
  std::vector<unsigned char *> rows;
  for (std::size_t y = 0; y < 729; ++y) {
    for (std::size_t x = 0; x < 729; ++x) image[y][x] = (x / 27 + y / 27) % 3 == 1 ? 0 : 189;
    rows.push_back(image[y].data());
  }
  const std::string path = "/tmp/travik-memo-" + std::to_string(::getpid()) + ".tif";
  const auto store = [&] {
    StoreImageFile(path.c_str(), 729, 729, 8, rows.data(), nullptr);
    std::FILE *f = std::fopen(path.c_str(), "rb");
    Bytes b(1 << 20);
    b.resize(std::fread(b.data(), 1, b.size(), f));
    std::fclose(f);
    return b;
  };
  const Bytes encoded = store();
  const std::size_t after = stripsKept;
  EXPECT_GT(after, 0u);
  EXPECT_LT(after, 67u); // rows repeat in blocks of 27, and so do many strips
  EXPECT_EQ(store(), encoded);
  EXPECT_EQ(stripsKept, after); // every strip came from the memo
  std::remove(path.c_str());
}

} // namespace
