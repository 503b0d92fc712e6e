// The program end to end: run the built binary in a fresh folder and read its files with libtiff.

#include "tiff_check.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out, err;
};

struct Limit {
  int resource;
  rlim_t value;
};

std::string Drain(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;
};

// Pipes rather than files carry its output, so a file-size limit does not swallow the message.
Child Start(const std::vector<std::string> &args, const std::string &cwd,
            std::optional<Limit> limit = {}) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    if (::chdir(cwd.c_str()) != 0) ::_exit(125);
    if (limit) {
      const rlimit r{limit->value, limit->value};
      ::setrlimit(limit->resource, &r);
    }
    for (int s : {SIGHUP, SIGINT, SIGTERM}) std::signal(s, SIG_DFL); // as from a terminal
    ::setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    std::vector<char *> argv{const_cast<char *>(TRAVIK_PATH)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TRAVIK_PATH, argv.data());
    ::_exit(126);
  }
  ::close(out[1]);
  ::close(err[1]);
  return {pid, out[0], err[0]};
}

// Status is the exit code, or 128 + the signal that ended it.
Result Finish(const Child &c) {
  Result r;
  r.out = Drain(c.out); // the program writes little, so reading one pipe after the other is safe
  r.err = Drain(c.err);
#ifdef TRAVIK_SANITIZED
  // The sanitizer's allocator announces each refused allocation; that line is not the program's.
  const std::string::size_type at = r.err.find("==WARNING: AddressSanitizer failed to allocate");
  if (r.err.rfind("==", 0) == 0 && at != std::string::npos && at < r.err.find('\n'))
    r.err.erase(0, r.err.find('\n') + 1);
#endif
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

Result Travik(const std::vector<std::string> &args, const std::string &cwd,
              std::optional<Limit> limit = {}) {
  return Finish(Start(args, cwd, limit));
}

// Solid exactly when no base-3 digit position holds a 1 in two or three of x, y, z.
bool Solid(unsigned x, unsigned y, unsigned z) {
  for (; x || y || z; x /= 3, y /= 3, z /= 3)
    if ((x % 3 == 1) + (y % 3 == 1) + (z % 3 == 1) >= 2) return false;
  return true;
}

std::string Name(unsigned z, int digits) {
  std::string n = std::to_string(z);
  return std::string(static_cast<std::size_t>(digits) - n.size(), '0') + n + ".tif";
}

// Checks one slice file against the sponge, pixel for pixel; returns its solid count.
std::uint64_t ExpectSlice(const std::string &path, unsigned edge, unsigned z) {
  const check::Image image = check::Read(path);
  EXPECT_TRUE(image.messages.empty())
      << path << ": " << (image.messages.empty() ? "" : image.messages.front());
  EXPECT_EQ(image.width, edge);
  EXPECT_EQ(image.height, edge);
  EXPECT_EQ(image.bits, 8);
  EXPECT_EQ(image.compression, COMPRESSION_LZW);
  EXPECT_FALSE(image.hasDescription);
  if (image.samples.size() != edge) {
    ADD_FAILURE() << path << " has " << image.samples.size() << " rows";
    return 0;
  }
  std::uint64_t solid = 0;
  for (unsigned y = 0; y < edge; ++y)
    for (unsigned x = 0; x < edge; ++x) {
      const unsigned v = image.samples[y][x];
      if (v != (Solid(x, y, z) ? 189u : 0u)) {
        ADD_FAILURE() << path << " at " << x << "," << y << " is " << v;
        return solid;
      }
      solid += v != 0;
    }
  return solid;
}

// Refusals before any file: misuse, and volumes too large to have.
TEST(Program, RefusedAtTheDoor) {
  struct Case {
    std::vector<std::string> args;
    const char *err;
  };
  std::vector<Case> cases = {
      {{}, "usage : travik iterations directory\n"},
      {{"2"}, "usage : travik iterations directory\n"},
      {{"2", ".", "x"}, "usage : travik iterations directory\n"},
      {{"-1", "."}, "bad number of iteration.\n"},
      {{" -3x", "."}, "bad number of iteration.\n"},
      {{"-99999999999999999999", "."}, "bad number of iteration.\n"},
  };
  const char *tooLarge[] = {"8", "13", "14", "20", "40", "2147483647", "99999999999999999999"};
  for (const char *n : tooLarge) cases.push_back({{n, "."}, "memory allocation error.\n"});
  for (const auto &c : cases) {
    check::TempDir dir;
    const Result r = Travik(c.args, dir.path);
    const std::string args = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.err, c.err) << args;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(dir.Files().empty());
  }
}

TEST(Program, FileNames) {
  const struct {
    const char *iterations;
    unsigned count;
    int digits;
  } cases[] = {{"0", 1, 1},   {"abc", 1, 1}, {"", 1, 1},   {"2", 9, 1},
               {" +2", 9, 1}, {"3x", 27, 2}, {"5", 243, 3}};
  for (const auto &c : cases) {
    check::TempDir dir;
    const Result r = Travik({c.iterations, "out"}, dir.path.string());
    EXPECT_EQ(r.status, 1) << c.iterations; // "out" does not exist yet
    EXPECT_EQ(r.err, "out/" + Name(0, c.digits) + " : file not stored.\n");
    fs::create_directory(dir / "out");
    const Result ok = Travik({c.iterations, "out"}, dir.path.string());
    EXPECT_EQ(ok.status, 0) << c.iterations << ": " << ok.err;
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ok.out, "");
    std::vector<std::string> expected;
    for (unsigned z = 0; z < c.count; ++z) expected.push_back(Name(z, c.digits));
    std::vector<std::string> got;
    for (const auto &e : fs::directory_iterator(dir / "out"))
      got.push_back(e.path().filename().string());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected) << c.iterations;
  }
}

TEST(Program, EverySliceIsTheSponge) {
  std::uint64_t power = 1;
  for (int n = 0; n <= 4; ++n, power *= 20) {
    check::TempDir dir;
    const Result r = Travik({std::to_string(n), dir.path.string()}, dir.path.string());
    ASSERT_EQ(r.status, 0) << r.err;
    unsigned edge = 1;
    for (int i = 0; i < n; ++i) edge *= 3;
    const int digits = edge > 10 ? (edge > 100 ? 3 : 2) : 1;
    std::uint64_t solid = 0;
    std::vector<std::uint64_t> perSlice;
    for (unsigned z = 0; z < edge; ++z) {
      perSlice.push_back(ExpectSlice(dir / Name(z, digits), edge, z));
      solid += perSlice.back();
    }
    EXPECT_EQ(solid, power) << "iterations " << n;
    const std::vector<std::vector<std::uint64_t>> pattern = {
        {1}, {8, 4, 8}, {64, 32, 64, 32, 16, 32, 64, 32, 64}};
    if (n < 3) {
      EXPECT_EQ(perSlice, pattern[std::size_t(n)]);
    }
  }
}

TEST(Program, DirectoryTextIsUsedLiterally) {
  check::TempDir dir;
  fs::create_directory(dir / "100%d%s%n");
  Result r = Travik({"1", "100%d%s%n"}, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  for (unsigned z = 0; z < 3; ++z) ExpectSlice(dir / ("100%d%s%n/" + Name(z, 1)), 3, z);

  r = Travik({"1", "gone/"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "gone//0.tif : file not stored.\n");
  fs::create_directory(dir / "gone");
  r = Travik({"1", "gone/"}, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(check::Read(dir / "gone/2.tif").samples.size(), 3u);
}

TEST(Program, EmptyDirectoryMeansTheRoot) {
  if (fs::exists("/0.tif")) GTEST_SKIP() << "/0.tif exists already";
  // A file-size limit of zero keeps anything from landing in / while the name is shown.
  check::TempDir dir;
  const Result r = Travik({"0", ""}, dir.path, Limit{RLIMIT_FSIZE, 0});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "/0.tif : file not stored.\n");
  EXPECT_FALSE(fs::exists("/0.tif"));
  fs::remove("/0.tif"); // it did not exist before; never leave it behind, even on failure
}

TEST(Program, LongDirectoryPaths) {
  check::TempDir dir;
  const std::string part(200, 'd');
  std::string path;
  while (path.size() < 3000) path += part + "/";
  fs::create_directories(dir / path);
  Result r = Travik({"1", path}, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  for (unsigned z = 0; z < 3; ++z) ExpectSlice(dir / (path + Name(z, 1)), 3, z);

  const std::string tooLong = std::string(5000, 'x');
  r = Travik({"1", tooLong}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, tooLong + "/0.tif : file not stored.\n");
}

#ifndef TRAVIK_SANITIZED // the sanitizers' shadow memory cannot live under an address-space limit
TEST(Program, VolumeUnderAddressSpaceLimit) {
  check::TempDir dir;
  const Result r = Travik({"6", "."}, dir.path, Limit{RLIMIT_AS, 256u << 20});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "memory allocation error.\n");
  EXPECT_TRUE(dir.Files().empty());
}
#endif

// Failures part-way through a stack: the message names the slice, the slices before it stay
// complete, and the failed name holds what it held before, with no temporary beside it.
TEST(Program, FailuresMidStack) {
  check::TempDir probe; // slice sizes of depth 4, to set a file-size limit between them
  ASSERT_EQ(Travik({"4", "."}, probe.path).status, 0);
  std::vector<std::uintmax_t> sizes;
  for (unsigned z = 0; z < 81; ++z) sizes.push_back(fs::file_size(probe / Name(z, 2)));
  ASSERT_LT(sizes[1], sizes[0]);
  const std::uintmax_t cap = (sizes[0] + sizes[1]) / 2;
  unsigned tooBig = 0;
  while (tooBig < 81 && sizes[tooBig] <= cap) ++tooBig;

  const struct {
    const char *what;
    int iterations, digits;
    unsigned failing;
    std::function<void(const check::TempDir &)> prepare;
    std::vector<std::string> kept; // entries that must survive as they were
    std::optional<Limit> limit;
  } cases[] = {
      {"slice name is a directory",
       2,
       1,
       4,
       [](const auto &d) {
         fs::create_directory(d / "4.tif");
         std::ofstream(d / "4.tif/inside") << "x";
       },
       {"4.tif"},
       {}},
      {"file-size limit mid-stack", 4, 2, tooBig, [](const auto &) {}, {}, Limit{RLIMIT_FSIZE, cap}},
      {"file-size limit below the first slice",
       4,
       2,
       0,
       [](const auto &) {},
       {},
       Limit{RLIMIT_FSIZE, 100}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    check::TempDir dir;
    c.prepare(dir);
    const Result r = Travik({std::to_string(c.iterations), "."}, dir.path, c.limit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "./" + Name(c.failing, c.digits) + " : file not stored.\n");
    EXPECT_EQ(r.out, "");
    unsigned edge = 1;
    for (int i = 0; i < c.iterations; ++i) edge *= 3;
    std::vector<std::string> expected = c.kept;
    for (unsigned z = 0; z < c.failing; ++z) {
      expected.push_back(Name(z, c.digits));
      ExpectSlice(dir / Name(z, c.digits), edge, z);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.Files(), expected);
  }
  if (::geteuid() != 0) { // root writes into read-only folders anyway
    check::TempDir dir;
    std::ofstream(dir / "0.tif") << "kept";
    fs::permissions(dir.path, fs::perms::owner_read | fs::perms::owner_exec);
    const Result r = Travik({"1", "."}, dir.path);
    fs::permissions(dir.path, fs::perms::owner_all);
    EXPECT_EQ(r.err, "./0.tif : file not stored.\n");
    const check::Bytes kept = check::ReadFile(dir / "0.tif");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "kept");
  }
}

// Whatever stands at a slice name is replaced whole, never written through, and a temporary
// left by a killed run goes; everything else in the folder stays as it was.
TEST(Program, ReplacesEntriesAtSliceNames) {
  check::TempDir dir;
  const std::string longer(5000, 'o');
  std::ofstream(dir / "0.tif") << longer;
  std::ofstream(dir / "target.txt") << "target";
  fs::create_symlink("target.txt", dir / "1.tif");
  fs::create_directory(dir / "elsewhere");
  fs::create_directory_symlink("elsewhere", dir / "2.tif");
  fs::create_symlink("gone/x.tif", dir / "3.tif");
  std::ofstream(dir / "4.tif.partial") << "left by a killed run";
  fs::create_symlink("target.txt", dir / "5.tif.partial");
  std::ofstream(dir / "notes.txt") << "keep";
  const Result r = Travik({"2", "."}, dir.path);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected = {"elsewhere", "notes.txt", "target.txt"};
  for (unsigned z = 0; z < 9; ++z) {
    expected.push_back(Name(z, 1));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / Name(z, 1)))) << z;
    ExpectSlice(dir / Name(z, 1), 9, z);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(dir.Files(), expected);
  const check::Bytes target = check::ReadFile(dir / "target.txt");
  EXPECT_EQ(std::string(target.begin(), target.end()), "target");
  const check::Bytes notes = check::ReadFile(dir / "notes.txt");
  EXPECT_EQ(std::string(notes.begin(), notes.end()), "keep");
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
}

// A small tmpfs in a mount namespace of this test process alone, so that a disk fills for real.
// Returns why it cannot be had, or nothing.
std::string PrivateDisk(const std::string &at, std::size_t bytes) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
    return std::string("no mount namespace: ") + std::strerror(errno);
  if (uid != 0) {
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("travik-test", at.c_str(), "tmpfs", 0,
              ("size=" + std::to_string(bytes)).c_str()) != 0)
    return std::string("no tmpfs: ") + std::strerror(errno);
  return "";
}

TEST(Program, FullDisk) {
  check::TempDir dir;
  const std::string small = dir / "small", full = dir / "full";
  fs::create_directory(small);
  fs::create_directory(full);
  // Each slice of depth 4 takes one 4 KiB page: the first disk fills mid-stack, the second
  // holds a whole stack and then nothing more.
  if (const std::string why = PrivateDisk(small, 20 * 4096); !why.empty()) GTEST_SKIP() << why;
  if (const std::string why = PrivateDisk(full, 90 * 4096); !why.empty()) GTEST_SKIP() << why;

  Result r = Travik({"4", "."}, small);
  EXPECT_EQ(r.status, 1);
  const std::string suffix = ".tif : file not stored.\n";
  ASSERT_TRUE(r.err.size() == 4 + suffix.size() && r.err.rfind("./", 0) == 0 &&
              r.err.substr(4) == suffix)
      << r.err;
  const auto failing = static_cast<unsigned>(std::stoul(r.err.substr(2, 2)));
  EXPECT_GT(failing, 0u);
  std::vector<std::string> expected;
  for (unsigned z = 0; z < failing; ++z) {
    expected.push_back(Name(z, 2));
    ExpectSlice(small + "/" + Name(z, 2), 81, z);
  }
  EXPECT_EQ(check::Files(small), expected);

  ASSERT_EQ(Travik({"4", "."}, full).status, 0);
  {
    std::ofstream filler(full + "/filler", std::ios::binary);
    const std::string page(4096, 'f');
    while (filler.write(page.data(), static_cast<std::streamsize>(page.size())) && filler.flush()) {
    }
  }
  r = Travik({"4", "."}, full);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "./00" + suffix);
  expected.clear();
  for (unsigned z = 0; z < 81; ++z) {
    expected.push_back(Name(z, 2));
    ExpectSlice(full + "/" + Name(z, 2), 81, z);
  }
  expected.push_back("filler");
  EXPECT_EQ(check::Files(full), expected);
  ::umount(small.c_str());
  ::umount(full.c_str());
}

// Signals the moment the count-th slice name is (re)written in dir; returns how it ended.
Result InterruptAt(const std::vector<std::string> &args, const std::string &dir, unsigned count,
                   int signal) {
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
    return {};
  const Child child = Start(args, dir);
  alignas(inotify_event) char events[1 << 14];
  for (unsigned seen = 0; seen < count;) {
    pollfd ready{watch, POLLIN, 0};
    if (::poll(&ready, 1, 100) == 0) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          info.si_pid != 0)
        break; // it ended before the count was reached
      continue;
    }
    const ssize_t n = ::read(watch, events, sizeof events);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto *e = reinterpret_cast<const inotify_event *>(events + at);
      if ((e->mask & IN_MOVED_TO) != 0 && ++seen == count) ::kill(child.pid, signal);
      at += static_cast<ssize_t>(sizeof *e + e->len);
    }
  }
  ::close(watch);
  return Finish(child);
}

// Killed or interrupted at any moment, each slice name holds its complete file or nothing.
TEST(Program, InterruptedRuns) {
  check::TempDir reference;
  ASSERT_EQ(Travik({"6", "."}, reference.path).status, 0);
  for (unsigned z : {0u, 364u, 728u}) ExpectSlice(reference / Name(z, 3), 729, z);
  const auto expectExact = [&](const check::TempDir &dir, const std::string &name) {
    EXPECT_TRUE(check::ReadFile(dir / name) == check::ReadFile(reference / name)) << name;
  };

  for (const int signal : {SIGKILL, SIGINT, SIGTERM})
    for (const unsigned count : {1u, 2u, 5u, 40u, 200u, 500u}) {
      SCOPED_TRACE(std::string(strsignal(signal)) + " at slice " + std::to_string(count));
      check::TempDir dir;
      const Result r = InterruptAt({"6", "."}, dir.path, count, signal);
      EXPECT_EQ(r.status, 128 + signal);
      EXPECT_EQ(r.err, "");
      unsigned slices = 0, partials = 0;
      for (const std::string &name : dir.Files()) {
        if (name.size() == 7 && name.substr(3) == ".tif") {
          ++slices;
          expectExact(dir, name);
        } else {
          EXPECT_EQ(name.substr(7), ".partial") << name;
          ++partials;
        }
      }
      EXPECT_GE(slices, count);
      if (signal != SIGKILL) {
        EXPECT_EQ(partials, 0u);
      }
      EXPECT_LE(partials, 1u);
    }

  // Killed while it rewrites a complete stack: every slice is still whole, old or new.
  check::TempDir dir;
  ASSERT_EQ(Travik({"6", "."}, dir.path).status, 0);
  const Result r = InterruptAt({"6", "."}, dir.path, 300, SIGKILL);
  EXPECT_EQ(r.status, 128 + SIGKILL);
  for (unsigned z = 0; z < 729; ++z) expectExact(dir, Name(z, 3));
}

} // namespace
