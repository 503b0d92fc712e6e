// SPDX-License-Identifier: MIT
// The image writer, judged by the bytes it writes and by what readers make of them.

#include "sif.cpp" // the memo's state is private to this file

#include "check.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <tuple>

// The next call of the function named `failing` fails, as a file system, a full disk or a name the
// run may not replace makes it; "hijack": the next rename finds another file at its temporary's
// name, as a user of a folder open to all may put there.
std::string failing;
const auto Fails = [](const char *call) { return failing == call && (failing.clear(), true); };

// The next `swept` renames find their temporary gone, as when a sweep on another host takes it in
// the instant between its close and its rename, where a network file system drops the lock.
// Once `busy` is set, a rename is refused while this process holds the file open, as SMB refuses
// it, and `busy` times more, as FUSE lets go of a file a moment after its close.
int swept = 0, busy = 0;
bool HeldOpen(int at, const char *entry) {
  struct stat named {
  }, open{};
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
    if (::fstatat(at, entry, &named, 0) == 0 && ::stat(e.path().c_str(), &open) == 0 &&
        open.st_ino == named.st_ino && open.st_dev == named.st_dev)
      return true;
  return false;
}
std::string published; // the temporary's name at the last rename
bool unheld = false;   // a temporary came to its rename with no lock, which a sweep takes
extern "C" int __real_renameat(int at, const char *from, int to_at, const char *to);
extern "C" int __wrap_renameat(int at, const char *from, int to_at, const char *to) {
  published = from;
  const int other = ::openat(at, from, O_RDONLY | O_CLOEXEC); // as a sweep opens it
  unheld = unheld || (other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) == 0);
  if (other >= 0) ::close(other);
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(at)) / from;
  if (Fails("hijack"))
    std::ofstream(path.string() + "~") << "evil",
        std::rename((path.string() + "~").c_str(), path.c_str());
  return busy > 0            ? (HeldOpen(at, from) || --busy, errno = EBUSY, -1)
         : swept > 0         ? (--swept, ::unlinkat(at, from, 0), errno = ENOENT, -1)
         : Fails("renameat") ? (errno = EACCES, -1)
                             : __real_renameat(at, from, to_at, to);
}

// The next `vanished` fchmods find their temporary gone, as a sweep on a host whose locks do not
// reach this one takes it (ENOENT, and ESTALE as NFS answers, by turns); the next `modeless` ones
// answer as FAT through FUSE, which has no modes. Before them, the next `unsettable` ones are
// refused, as by file systems that have modes but let no one set them.
int vanished = 0, modeless = 0, unsettable = 0;
extern "C" int __real_fchmod(int fd, mode_t mode);
extern "C" int __wrap_fchmod(int fd, mode_t mode) {
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
  return unsettable > 0 ? (--unsettable, errno = EPERM, -1)
         : vanished > 0
             ? (std::filesystem::remove(path), errno = --vanished % 2 ? ENOENT : ESTALE, -1)
         : modeless > 0 ? (--modeless, errno = ENOSYS, -1)
                        : __real_fchmod(fd, mode);
}

// The next `contested` locks are refused, as when another process locks a new temporary first. At
// the `swapped`th lock from now, the file's name is first given to a new file, as a rename may.
int contested = 0, swapped = 0;
extern "C" int __real_flock(int fd, int operation);
extern "C" int __wrap_flock(int fd, int operation) {
  const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
  if (swapped > 0 && --swapped == 0) std::filesystem::remove(path), std::ofstream(path) << "new";
  return contested > 0 ? (--contested, errno = EWOULDBLOCK, -1) : __real_flock(fd, operation);
}

// The next `raced` named temporaries are taken away as they are made, as sshfs answers a sweep on
// another mount.
int raced = 0;
extern "C" int __real_openat64(int at, const char *p, int f, mode_t m);
extern "C" int __wrap_openat64(int at, const char *p, int f, mode_t m) {
  return f & O_EXCL && raced > 0 ? (--raced, errno = ENOENT, -1) : __real_openat64(at, p, f, m);
}
extern "C" int __real_fclose(std::FILE *stream);
extern "C" int __wrap_fclose(std::FILE *stream) { // as a network file system's may, at close
  return Fails("fclose") ? (__real_fclose(stream), errno = EIO, EOF) : __real_fclose(stream);
}
extern "C" int __real_fseek(std::FILE *stream, long offset, int whence);
extern "C" int __wrap_fseek(std::FILE *stream, long offset, int whence) {
  return Fails("fseek") ? (errno = EIO, -1) : __real_fseek(stream, offset, whence);
}
extern "C" std::FILE *__real_fdopen(int fd, const char *mode);
extern "C" std::FILE *__wrap_fdopen(int fd, const char *mode) {
  return Fails("fdopen") ? (errno = ENOMEM, nullptr) : __real_fdopen(fd, mode);
}

// The next `drawn` random numbers are `fixed`, each `stride` above the one before, so that a test
// knows the names they give. Below `entropy` 2 the kernel has no getrandom, and below 1 reading
// /dev/urandom gives nothing; then the numbers are read.
std::uint64_t fixed, stride;
int drawn = 0, entropy = 2;
ssize_t Draw(void *to, std::size_t n) {
  return --drawn, std::memcpy(to, &fixed, n), fixed += stride, ssize_t(n);
}
extern "C" ssize_t __real_getrandom(void *to, std::size_t n, unsigned flags);
extern "C" ssize_t __wrap_getrandom(void *to, std::size_t n, unsigned flags) {
  return entropy < 2 ? (errno = ENOSYS, -1)
         : drawn > 0 ? Draw(to, n)
                     : __real_getrandom(to, n, flags);
}
extern "C" ssize_t __real_read(int fd, void *to, std::size_t n);
extern "C" ssize_t __wrap_read(int fd, void *to, std::size_t n) {
  return entropy == 0 ? 0 : entropy == 1 ? Draw(to, n) : __real_read(fd, to, n);
}

namespace {

namespace fs = std::filesystem;
using check::Bytes;

Bytes Hex(const char *text) {
  Bytes b;
  for (char *end; *text != '\0'; text = end)
    b.push_back(static_cast<unsigned char>(std::strtoul(text, &end, 16)));
  return b;
}

// Writes the image, over an older file if asked, holds the file to the oracle and returns its
// bytes.
Bytes Store(const check::Image &im, bool over = false) {
  const check::TempDir dir;
  const std::string path = dir / "i.tif";
  if (over) std::ofstream(path) << "old";
  std::vector<unsigned char *> rows;
  for (const Bytes &r : im.rows) rows.push_back(const_cast<unsigned char *>(r.data()));
  StoreImageFile(path.c_str(), im.width, im.height, im.bits, rows.data(), im.description);
  EXPECT_EQ(check::Verify(path, im), "") << im.width << " x " << im.height << " x " << im.bits;
  std::ofstream(dir / "touched"); // the mode that the folder gives any new file
  EXPECT_EQ(fs::status(path).permissions(), fs::status(dir / "touched").permissions());
  return check::ReadFile(path);
}

template <typename F> check::Image Make(int width, int height, int bits, F f) {
  check::Image im{width, height, bits, {}, nullptr};
  for (int y = 0; y < height; ++y) {
    Bytes &row = im.rows.emplace_back(std::size_t(width));
    for (int x = 0; x < width; ++x) row[std::size_t(x)] = std::uint8_t(f(x, y));
  }
  return im;
}

// Rows and strips are taken from the memo only on equal bytes, never on an equal hash.
TEST(Memo, NothingIsTakenOnAHash) {
  constexpr std::uint64_t kHash = 0x5EED;
  Bytes a(729, 189), b = a;
  b[364] = 0;
  const std::uint32_t first = Intern(a.data(), 729, kHash), other = Intern(b.data(), 729, kHash);
  const std::uint32_t shorter = Intern(a.data(), a.size() - 1, kHash);
  ASSERT_TRUE(first != kNone && first != other && first != shorter && other != shorter);
  EXPECT_EQ(Intern(b.data(), b.size(), kHash), other);
  stripRows[0] = first, stripRows[1] = other;
  Remember(kHash, 2, a.data(), 3);
  ASSERT_TRUE(Recall(kHash, 2) != nullptr && Recall(kHash, 1) == nullptr);
  stripRows[1] = shorter;
  EXPECT_EQ(Recall(kHash, 2), nullptr);
  // Two strips for the last slot: the second wraps round to the first slot.
  Remember(kStripSlots - 1, 1, a.data(), 1), Remember(2 * kStripSlots - 1, 1, a.data(), 2);
  const WrittenStrip *wrapped = Recall(2 * kStripSlots - 1, 1);
  EXPECT_TRUE(wrapped != nullptr && wrapped->size == 2);
  // More strips than the strip table has slots: it must stop taking strips before it is full, or
  // a lookup never ends.
  for (std::uint64_t h = 1; h < 2 * kStripSlots + 9; h += 2) Remember(h, 1, a.data(), 1);
  EXPECT_TRUE(Recall(1, 1) != nullptr && Recall(2 * kStripSlots + 9, 1) == nullptr);
  // More rows than the row table has slots, while the pool still has room: it must stop taking
  // rows before it is full, or a lookup never ends.
  Store(Make(16, 17000, 8, [](int x, int y) { return x < 2 ? y >> 8 * x : x; }));
}

// Where the file system has no unnamed files, so that every temporary has a name from the start.
void NoUnnamedFiles() {
  if (!check::Refuse(__NR_openat, 2, 020000000, EOPNOTSUPP)) std::abort(); // O_TMPFILE
}

// Where the format fixes the bytes: whole small files, code streams, and rows as files store them.
TEST(Writer, ExactBytes) {
  const check::Image solid = Make(1, 1, 8, [](int, int) { return 189; });
  const Bytes one =
      Hex("49 49 2A 00 0C 00 00 00 80 2F 60 20 0A 00 00 01 03 00 01 00 00 00 01 00 00 00 "
          "01 01 03 00 01 00 00 00 01 00 00 00 02 01 03 00 01 00 00 00 08 00 00 00 03 01 "
          "03 00 01 00 00 00 05 00 00 00 06 01 03 00 01 00 00 00 01 00 00 00 11 01 04 00 "
          "01 00 00 00 08 00 00 00 15 01 03 00 01 00 00 00 01 00 00 00 16 01 04 00 01 00 "
          "00 00 00 20 00 00 17 01 04 00 01 00 00 00 04 00 00 00 1C 01 03 00 01 00 00 00 "
          "01 00 00 00 00 00 00 00");
  swept = kPublishTries - 1; // written again each time, and stored at the last try
  EXPECT_TRUE(Store(solid, true) == one && swept == 0);
  failing = "hijack"; // and written again where another file took its temporary's name
  EXPECT_TRUE(Store(solid, true) == one && failing.empty());
  // The same for a named temporary gone before its rename, and stored as it is where there are
  // no modes; created with the folder's mode where modes cannot be set.
  const auto named = [&] {
    NoUnnamedFiles(), unsettable = 1, vanished = kPublishTries - 1, modeless = kPublishTries;
    raced = kNameDraws - 1; // every name the probe draws but the last
    const bool stored = Store(solid, true) == one && vanished == 0 && raced == 0;
    busy = 3; // and where renames of open files are refused
    std::exit(stored && Store(solid, true) == one && busy == 0 ? 0 : 1);
  };
  EXPECT_EXIT(named(), ::testing::ExitedWithCode(0), "");

  // clang-format off
  const std::pair<const char *, const char *> streams[] = {
      {"00", "80 00 20 20"}, {"BD BD BD BD", "80 2F 60 4B D8 08"}, {"BD 00 BD", "80 2F 40 0B D8 08"},
      {"00 00 00 00 00 00 00 00", "80 00 20 50 38 14 04"},
      {"BD BD BD BD 00 BD BD BD BD", "80 2F 60 4B D0 04 0D 7B 01"},
      {"61 62 63 61 62 63 61 62 63", "80 18 4C 46 38 14 12 07 01"}};
  // clang-format on
  for (const auto &[in, out] : streams) EXPECT_EQ(check::Compress(Hex(in)), Hex(out)) << in;

  // Bits, samples, and the row's stored bytes.
  // clang-format off
  const std::tuple<int, const char *, const char *> rows[] = {
      {1, "1 0 1 1 0 0 1 1 1 1", "B3 C0"}, {4, "1 2 3", "12 30"}, {12, "AB CD", "0A B0 CD"},
      {24, "AB", "00 00 AB"}, {16, "AB", "AB 00"}, {32, "AB", "AB 00 00 00"}};
  // clang-format on
  for (const auto &[bits, samples, row] : rows)
    EXPECT_EQ(check::Serialize(Hex(samples), bits), Hex(row)) << bits;
}

// Depths 1 to 32; rows around and past the strip limit; no, short and long descriptions;
// constant, structured and random samples, some images twice so that the memo serves them.
TEST(Writer, GeneratedImages) {
  std::mt19937 random(2024);
  const auto noise = [&](int, int) { return random(); };
  const std::string big(sizeof buffer + 4000, 'd'), words(5000, 'l'); // big: past the buffer
  const char *texts[] = {nullptr, "", "abc", "abcd", "abcde", words.c_str()};
  for (int bits = 1; bits <= 32; ++bits) {
    const int limit = 8192 * 8 / bits; // samples of a row of 8192 bytes
    // clang-format off
    const int shapes[][2] = {{1, 1}, {3, 0}, {limit, 2}, {limit + 1, 2}, {limit / 2, 5},
                             {1 + int(random() % 700), 1 + int(random() % 90)}};
    // clang-format on
    const unsigned top = bits < 8 ? (1u << bits) - 1 : 255;
    for (const auto &[w, h] : shapes)
      for (int kind = 0; kind < 3; ++kind) {
        check::Image im = Make(w, h, bits, [&](int x, int y) {
          return (kind == 0 ? top : kind == 1 ? unsigned(x / 3 + y * 7) % 5 * 61 : random()) & top;
        });
        im.description = texts[random() % 6];
        Store(im);
        if (kind == 1) Store(im);
      }
  }
  for (const auto &[w, h] : {std::pair{65535, 1}, {65536, 1}, {1, 65535}, {1, 65536}})
    Store(Make(w, h, 8, [](int x, int y) { return (x + y) % 7; }));
  Store(Make(1431655765, 0, 24, noise)); // rows of 2^32 - 1 bytes, the longest there may be
  Store({700, 90, 8, Make(700, 90, 8, noise).rows, big.c_str()});
  // Descriptions that bring a strip's first or last bytes to the end of the output buffer: a
  // row longer than a strip, which is coded afresh, and one that is copied from the memo.
  // A strip starts at an even offset, so its last byte lands just past the buffer only if its
  // count is odd and the End code took two bytes before it, which one bit left shows, as codes
  // have 10 bits or more at the end of rows this random. An odd count with no bit left puts the
  // End code's two bytes across the buffer's end. A rest of 8 takes any.
  for (const auto &[width, odd, rest] :
       {std::tuple{9000, 1u, 1u}, {9000, 1u, 0u}, {9000, 0u, 8u}, {5000, 1u, 1u}}) {
    check::Image im;
    std::size_t tail = 0, size = 0;
    do im = Make(width, 2, 8, noise), size = check::Compress(im.rows[0], &tail).size();
    while (size % 2 != odd || (rest < 8 && tail != rest));
    im.rows[1] = im.rows[0];
    const long end = long(sizeof buffer) - 8;
    for (const long edge : {end, end - long(size), end - 2 * long(size)})
      for (long length = edge - 4; length <= edge + 4; ++length) {
        const std::string text(std::size_t(length - 1), 't');
        im.description = text.c_str(), Store(im);
      }
  }
  // Images that fill the memo's pools: the code pool with strips that never repeat, of rows that
  // do; the row pool with long rows.
  const check::Image few = Make(1000, 64, 8, noise);
  check::Image mixed = Make(1000, 7000, 8, [](int, int) { return 0; });
  for (Bytes &row : mixed.rows) row = few.rows[random() % 64];
  Store(mixed);
  Store(Make(8192, 600, 8, noise));
  EXPECT_EXIT((failing = "fseek", Store(Make(8192, 100, 8, noise))), // past the buffer: patched
              ::testing::ExitedWithCode(1), "file not stored");
}

// A name that is taken, by a file or by a link to nowhere, stays as it is and another is drawn,
// but only so often; names come from the kernel's random bits while there are any, and else from
// a mix that differs at every draw. Each file goes to its own folder, whatever came before.
TEST(WriterDeath, TakenNames) {
  const check::TempDir dir;
  const std::string name = dir / "i.tif", partial = "i.tif.partial.00000000000000";
  unsigned char row[1] = {189}, *rows[1] = {row};
  const auto pixel = [](int v) { return Make(1, 1, 8, [v](int, int) { return v; }); };
  const auto store = [&](bool named) {
    if (named) NoUnnamedFiles();
    StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr); // the folder is known from here on
    std::ofstream(dir / (partial + "ab")) << "x";
    (void)::symlink((dir / "nowhere").c_str(), (dir / (partial + "ac")).c_str());
    fixed = 0xAB, stride = 1, drawn = kNameDraws - 1;
    StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr);
    if (check::Verify(name, pixel(189)) == "" &&
        check::ReadFile(dir / (partial + "ab")) == Bytes{'x'} &&
        fs::is_symlink(dir / (partial + "ac")) && !fs::exists(dir / "nowhere") && !unheld)
      std::exit(0);
  };
  for (const bool named : {false, true})
    EXPECT_EXIT(store(named), ::testing::ExitedWithCode(0), "");
  // A new temporary that another process locked first is left to it, and its descriptor closed.
  const auto open = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  const auto contest = [&] { // descriptors counted once the folder is held
    NoUnnamedFiles(), StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr);
    const auto before = open();
    contested = kContestedTemporaries - 1, StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr);
    std::exit(open() == before && !contested && check::Verify(name, pixel(189)).empty() ? 0 : 2);
  };
  EXPECT_EXIT(contest(), ::testing::ExitedWithCode(0), "");
  const auto lost = [&] { // every one locked first: it gives up, and writes to no other descriptor
    NoUnnamedFiles(), ::dup2(::open((dir / "in").c_str(), O_RDWR | O_CREAT, 0600), 0);
    contested = kContestedTemporaries, StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr);
  };
  EXPECT_EXIT(lost(), ::testing::ExitedWithCode(1), "file not stored");
  EXPECT_EQ(fs::file_size(dir / "in"), 0u);
  // A name with no room for its temporary's name, met first, fails alone, not its whole folder.
  const std::string first = dir / std::string(240, 'n');
  EXPECT_TRUE(HoldFolder(first.c_str()) && CanStore(first.c_str()));
  fixed = 0xAB, stride = 0, drawn = kNameDraws;
  EXPECT_EXIT(StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr), ::testing::ExitedWithCode(1),
              "file not stored");
  std::vector<std::string> names;
  for (const int level : {1, 1, 0, 0}) {
    entropy = level, fixed = 0xCD, stride = 0;
    StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr), names.push_back(published);
  }
  entropy = 2;
  EXPECT_TRUE(!unheld && names[0] == partial + "cd" && names[1] == names[0] &&
              names[2] != names[3]);
  const std::string deeper = dir / "folder/i.tif";
  fs::create_directory(dir / "folder");
  published.clear();        // a free name is taken in one step, with no rename
  const auto held = open(); // and a folder left behind is let go of
  row[0] = 0, StoreImageFile(deeper.c_str(), 1, 1, 8, rows, nullptr);
  EXPECT_EQ(published, "");
  row[0] = 7, StoreImageFile(name.c_str(), 1, 1, 8, rows, nullptr);
  EXPECT_EQ(open(), held);
  EXPECT_EQ(check::Verify(name, pixel(7)) + check::Verify(deeper, pixel(0)), "");
  const auto home = fs::current_path(); // and a name without a folder
  fs::current_path(dir.path), StoreImageFile("bare.tif", 1, 1, 8, rows, nullptr);
  fs::current_path(home);
  EXPECT_EQ(check::Verify(dir / "bare.tif", pixel(7)), "");
  // The sweep takes a dead run's leftover, but not one written since the folder was probed: a run
  // on another host, whose lock this one cannot see, may be writing it.
  const std::string dead = dir / "1.tif.partial.0123456789abcdef",
                    live = dir / "2.tif.partial.0123456789abcdef";
  for (const auto &[path, hours] : {std::pair{dead, -1}, {live, 1}}) {
    std::ofstream(path) << "x";
    fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::hours(hours));
  }
  const auto sweep = [&] { // where files open for writing no more, as through gvfs
    HoldFolder(name.c_str()), check::Refuse(__NR_openat, 2, O_WRONLY, EOPNOTSUPP);
    std::exit((SweepFolder(name.c_str()), !fs::exists(dead) && fs::exists(live)) ? 0 : 1);
  };
  EXPECT_EXIT(sweep(), ::testing::ExitedWithCode(0), "");
  // Nor one whose name went to another file after it was opened: that file is no leftover.
  std::ofstream(dead) << "x", swapped = 1;
  fs::last_write_time(dead, fs::file_time_type::clock::now() - std::chrono::hours(1));
  SweepFolder(name.c_str());
  EXPECT_EQ(check::ReadFile(dead), (Bytes{'n', 'e', 'w'}));
}

// Refusals: one message, status 1, and no file.
TEST(WriterDeath, Refusals) {
  check::TempDir dir;
  Bytes row(8193, 1);
  row[2] = 2; // wider than 1 bit
  unsigned char *rows[1] = {row.data()};
  const struct {
    int width, height, bits;
    const char *why;
    rlim_t memory = RLIM_INFINITY;
    const char *description = nullptr;
    int sweeps = 0;
    const char *fails = ""; // the call that fails
    bool unrowed = false;
  } cases[] = {
      // clang-format off
      {0, 1, 8, "bad image format"}, {3, 1, 1, "bad image format"}, {4, -1, 8, "bad image format"},
      {4, 1, 0, "bad image format"}, {4, 1, 33, "bad image format"},
      {1, 1, 8, "bad image format", RLIM_INFINITY, nullptr, 0, "", true},
      // clang-format on
      {1 << 30, 1, 32, "bad image format"},    // 4 GiB rows
      {8193, 536870896, 8, "file not stored"}, // its tables alone would pass 4 GiB
      {8193, 536870895, 8, "file not stored"}, // its first strip does; only row 0 is read
      {8193, 536870895, 8, "no allocatable memory", 512u << 20},           // the largest that fits
      {8193, 536870893, 8, "file not stored", 512u << 20, "abcd"},         // 4 GiB exactly
      {1, 1, 8, "file not stored", RLIM_INFINITY, nullptr, kPublishTries}, // swept at every try
      {1, 1, 8, "file not stored", RLIM_INFINITY, nullptr, 0, "fdopen"},
      {1, 1, 8, "file not stored", RLIM_INFINITY, nullptr, 0, "fclose"},
      {1, 1, 8, "file not stored", RLIM_INFINITY, nullptr, 0, "renameat"},
  };
  // Once as written, once with no unnamed files, so that a failure must remove a named temporary.
  for (const bool named : {false, true})
    for (const auto &c : cases) {
      // The sanitizers' shadow memory cannot live under an address-space limit.
      if (TRAVIK_SANITIZED && c.memory != RLIM_INFINITY) continue;
      const std::string name = dir / (std::to_string(c.width) + "x" + std::to_string(c.height));
      const auto store = [&] {
        const rlimit limit{c.memory, c.memory};
        ::setrlimit(RLIMIT_AS, &limit);
        swept = c.sweeps, failing = c.fails;
        if (named) NoUnnamedFiles();
        StoreImageFile(name.c_str(), c.width, c.height, c.bits, c.unrowed ? nullptr : rows,
                       c.description);
      };
      // A sweep or a refusal meets only a rename onto an older file, which stays as it was.
      const bool over = c.sweeps > 0 || std::string(c.fails) == "renameat";
      if (over) std::ofstream(name) << "old";
      EXPECT_EXIT(store(), ::testing::ExitedWithCode(1), "^" + name + " : " + c.why + "\\.\n$");
      EXPECT_EQ((over ? check::ReadFile(name) : Bytes{'o', 'l', 'd'}), (Bytes{'o', 'l', 'd'}));
      fs::remove(name);
      EXPECT_TRUE(fs::is_empty(dir.path));
    }
}

} // namespace
