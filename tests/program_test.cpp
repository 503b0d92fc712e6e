// The program end to end: the built binary runs in a fresh folder, and its files are held to the
// format and to the sponge's closed form.

#include "check.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1; // the exit code, or 128 + the signal that ended it
  std::string err;
};

struct Limit {
  int resource;
  rlim_t value;
};

std::string Drain(int fd) {
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, std::size_t(n));
  ::close(fd);
  return text;
}

// Standard output and error both go to one pipe, so anything on standard output shows.
std::pair<pid_t, int> Start(const std::vector<std::string> &args, const std::string &cwd,
                            std::optional<Limit> limit = {}) {
  int out[2];
  if (::pipe(out) != 0) return {-1, -1};
  const pid_t pid = fork();
  if (pid == 0) {
    ::dup2(out[1], 1), ::dup2(out[1], 2), ::close(out[0]), ::close(out[1]);
    const rlimit r{limit ? limit->value : RLIM_INFINITY, limit ? limit->value : RLIM_INFINITY};
    if (::chdir(cwd.c_str()) != 0 || (limit && ::setrlimit(limit->resource, &r) != 0)) _exit(125);
    for (int s : {SIGHUP, SIGINT, SIGTERM}) std::signal(s, SIG_DFL); // as from a terminal
    ::setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    std::vector<char *> argv{const_cast<char *>(TRAVIK_PATH)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(TRAVIK_PATH, argv.data());
    _exit(126);
  }
  ::close(out[1]);
  return {pid, out[0]};
}

Result Finish(std::pair<pid_t, int> child) {
  Result r{-1, Drain(child.second)};
#ifdef TRAVIK_SANITIZED // the sanitizer's allocator announces each allocation it refuses
  if (r.err.rfind("==", 0) == 0 && r.err.find("failed to allocate") < r.err.find('\n'))
    r.err.erase(0, r.err.find('\n') + 1);
#endif
  int status = 0;
  ::waitpid(child.first, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

Result Travik(const std::vector<std::string> &args, const std::string &cwd,
              std::optional<Limit> limit = {}) {
  return Finish(Start(args, cwd, limit));
}

std::string Name(unsigned z, unsigned edge) {
  const std::string n = std::to_string(z);
  return std::string(std::to_string(edge - 1).size() - n.size(), '0') + n + ".tif";
}

// Holds dir to the first count slices of the sponge of this edge, plus the other entries.
void ExpectStack(const std::string &dir, unsigned edge, unsigned count,
                 std::vector<std::string> others = {}) {
  for (unsigned z = 0; z < count; ++z) {
    others.push_back(Name(z, edge));
    check::Image slice{int(edge), int(edge), 8, {}, nullptr};
    for (unsigned y = 0; y < edge; ++y) {
      slice.rows.emplace_back(edge);
      for (unsigned x = 0; x < edge; ++x) {
        bool solid = true; // unless a base-3 digit position holds a 1 in two of x, y, z
        for (unsigned a = x, b = y, c = z; a + b + c > 0; a /= 3, b /= 3, c /= 3)
          solid = solid && (a % 3 == 1) + (b % 3 == 1) + (c % 3 == 1) < 2;
        slice.rows.back()[x] = solid ? 189 : 0;
      }
    }
    EXPECT_EQ(check::Verify(dir + "/" + Name(z, edge), slice), "") << Name(z, edge);
  }
  std::sort(others.begin(), others.end());
  EXPECT_EQ(check::Files(dir), others);
}

#ifdef TRAVIK_SANITIZED // the sanitizers' shadow memory cannot live under an address-space limit
constexpr rlim_t kMemory = RLIM_INFINITY;
#else
constexpr rlim_t kMemory = 64u << 20;
#endif

// Refusals before any file, under an address-space limit so that no volume fits by chance.
TEST(Program, Refusals) {
  const std::string usage = "usage : travik iterations directory\n";
  const std::string negative = "bad number of iteration.\n", memory = "memory allocation error.\n";
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, usage},
      {{"2"}, usage},
      {{"2", ".", "x"}, usage},
      {{"-1", "."}, negative},
      {{" -3x", "."}, negative},
      {{"-99999999999999999999", "."}, negative},
  };
  for (const char *n : {"6", "7", "8", "12", "13", "14", "19", "20", "40", "2147483647",
                        "18446744073709551617", "99999999999999999999"})
    if (kMemory != RLIM_INFINITY || std::atoi(n) > 7) cases.push_back({{n, "."}, memory});
  for (const auto &[args, err] : cases) {
    check::TempDir dir;
    const Result r = Travik(args, dir.path, Limit{RLIMIT_AS, kMemory});
    EXPECT_EQ(r.status, 1) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(r.err, err) << (args.empty() ? "" : args[0]);
    EXPECT_TRUE(check::Files(dir.path).empty());
  }
}

// Every stack: its names, its digits, and every slice against the closed form.
TEST(Program, Stacks) {
  const std::pair<const char *, unsigned> cases[] = {{"0", 1},   {"abc", 1}, {"", 1},  {"1", 3},
                                                     {" +2", 9}, {"3x", 27}, {"4", 81}};
  for (const auto &[iterations, edge] : cases) {
    check::TempDir dir;
    const Result r = Travik({iterations, "."}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ExpectStack(dir.path, edge, edge);
  }
  check::TempDir dir;
  ASSERT_EQ(Travik({"5", "."}, dir.path).status, 0);
  EXPECT_EQ(check::Files(dir.path).back(), "242.tif");
}

TEST(Program, DirectoryTextIsUsedLiterally) {
  check::TempDir dir;
  std::string deep;
  while (deep.size() < 3000) deep += std::string(200, 'd') + "/";
  for (const std::string &d : {std::string("100%d%s%n"), deep}) {
    fs::create_directories(dir / d);
    EXPECT_EQ(Travik({"1", d}, dir.path).status, 0);
    ExpectStack(dir / d, 3, 3);
  }
  EXPECT_EQ(Travik({"1", "gone/"}, dir.path).err, "gone//0.tif : file not stored.\n");
  fs::create_directory(dir / "gone");
  EXPECT_EQ(Travik({"1", "gone/"}, dir.path).status, 0);
  ExpectStack(dir / "gone", 3, 3);
  // The empty directory means the root, where a file-size limit of 0 keeps anything from landing.
  if (!fs::exists("/0.tif")) {
    EXPECT_EQ(Travik({"0", ""}, dir.path, Limit{RLIMIT_FSIZE, 0}).err,
              "/0.tif : file not stored.\n");
    EXPECT_FALSE(fs::exists("/0.tif") || fs::exists("/0.tif.partial"));
    fs::remove("/0.tif"), fs::remove("/0.tif.partial");
  }
}

// A small tmpfs in a mount namespace of this test process alone: a disk that really fills.
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
  fs::create_directories(at);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("travik", at.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) != 0)
    return std::string("no tmpfs: ") + std::strerror(errno);
  return "";
}

// Failures part-way: the message names the slice, the slices before it are complete, and every
// other name holds what it held before, with no temporary left.
TEST(Program, Failures) {
  check::TempDir probe; // slice sizes of depth 4, for a file-size limit between them
  ASSERT_EQ(Travik({"4", "."}, probe.path).status, 0);
  const auto size = [&](unsigned z) { return fs::file_size(probe / Name(z, 81)); };
  const std::uintmax_t cap = (size(0) + size(1)) / 2;
  unsigned tooBig = 0;
  while (size(tooBig) <= cap) ++tooBig;
  using Prepare = std::function<std::string(const check::TempDir &)>;
  const Prepare none = [](auto &) { return ""; };
  const Prepare directory = [](auto &d) { return fs::create_directories(d / "4.tif/x"), ""; };
  const Prepare entries = [](auto &d) {
    std::ofstream(d / "0.tif") << std::string(5000, 'o');
    std::ofstream(d / "target") << "target";
    fs::create_symlink("target", d / "1.tif");
    fs::create_directory(d / "elsewhere");
    fs::create_directory_symlink("elsewhere", d / "2.tif");
    fs::create_symlink("gone/x.tif", d / "3.tif");
    std::ofstream(d / "4.tif.partial") << "left by a killed run";
    fs::create_symlink("target", d / "5.tif.partial");
    return "";
  };
  const Prepare small = [](auto &d) { return PrivateDisk(d / "disk", 20 * 4096); };
  const Prepare full = [](auto &d) {
    if (std::string why = PrivateDisk(d / "full", 90 * 4096); !why.empty()) return why;
    Travik({"4", "full"}, d.path);
    std::ofstream filler(d / "full/filler", std::ios::binary);
    while (filler.write("f", 1) && filler.flush()) {
    }
    return std::string();
  };
  const Limit below{RLIMIT_FSIZE, 100}, between{RLIMIT_FSIZE, cap};
  const struct {
    const char *what;
    int depth, failing; // failing -1: none
    unsigned present;   // slices left complete
    Prepare prepare;
    std::vector<std::string> others;
    std::optional<Limit> limit;
    std::string folder;
  } cases[] = {
      {"directory at a slice name", 2, 4, 4, directory, {"4.tif"}, {}, "."},
      {"file-size limit mid-stack", 4, int(tooBig), tooBig, none, {}, between, "."},
      {"file-size limit below the first slice", 4, 0, 0, none, {}, below, "."},
      {"name too long", 1, 0, 0, none, {}, {}, std::string(5000, 'x')},
      {"existing entries at slice names", 2, -1, 9, entries, {"elsewhere", "target"}, {}, "."},
      {"full disk mid-stack", 4, 20, 20, small, {}, {}, "disk"},
      {"full disk over a complete stack", 4, 0, 81, full, {"filler"}, {}, "full"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    check::TempDir dir;
    if (const std::string why = c.prepare(dir); !why.empty()) {
      std::cout << "[  SKIPPED ] " << c.what << ": " << why << "\n";
      continue;
    }
    const Result r = Travik({std::to_string(c.depth), c.folder}, dir.path, c.limit);
    const unsigned edge = c.depth == 4 ? 81 : c.depth == 2 ? 9 : 3;
    EXPECT_EQ(r.status, c.failing < 0 ? 0 : 1);
    EXPECT_EQ(r.err, c.failing < 0 ? ""
                                   : c.folder + "/" + Name(unsigned(c.failing), edge) +
                                         " : file not stored.\n");
    std::error_code missing;
    ExpectStack(fs::exists(dir / c.folder, missing) ? dir / c.folder : dir.path.string(), edge,
                c.present, c.others);
    if (fs::exists(dir / "target")) {
      EXPECT_EQ(check::ReadFile(dir / "target"), check::Bytes({'t', 'a', 'r', 'g', 'e', 't'}));
    }
  }
}

// Signals as the next temporary is created once count slice names have been (re)written in dir.
Result InterruptAt(const std::string &dir, unsigned count, int signal) {
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (watch < 0 || ::inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO | IN_CREATE) < 0) return {};
  const auto child = Start({"6", "."}, dir);
  alignas(inotify_event) char events[1 << 14];
  for (unsigned seen = 0; seen <= count;) { // count + 1: signalled
    pollfd ready{watch, POLLIN, 0};
    siginfo_t ended{};
    if (::poll(&ready, 1, 100) == 0) {
      if (::waitid(P_PID, id_t(child.first), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          ended.si_pid != 0)
        break; // it ended before the count was reached
      continue;
    }
    const ssize_t n = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n && seen <= count;) {
      const auto *e = reinterpret_cast<const inotify_event *>(events + at);
      if ((e->mask & IN_MOVED_TO) != 0)
        ++seen;
      else if (seen == count)
        ::kill(child.first, signal), ++seen;
      at += ssize_t(sizeof *e + e->len);
    }
  }
  ::close(watch);
  return Finish(child);
}

// Killed or interrupted at any moment, each slice name holds its complete file or nothing.
TEST(Program, Interruptions) {
  check::TempDir reference;
  ASSERT_EQ(Travik({"6", "."}, reference.path).status, 0);
  const auto expectExact = [&](const check::TempDir &dir) {
    unsigned slices = 0, partials = 0;
    for (const std::string &name : check::Files(dir.path)) {
      const bool slice = name.size() == 7 && name.substr(3) == ".tif";
      slices += slice, partials += !slice;
      EXPECT_TRUE(slice ? check::ReadFile(dir / name) == check::ReadFile(reference / name)
                        : name.substr(7) == ".partial")
          << name;
    }
    EXPECT_LE(partials, 1u);
    return std::pair{slices, partials};
  };
  for (const int signal : {SIGKILL, SIGINT, SIGTERM})
    for (const unsigned count : {1u, 2u, 5u, 40u, 200u, 500u}) {
      SCOPED_TRACE(std::string(strsignal(signal)) + " at slice " + std::to_string(count));
      check::TempDir dir;
      const Result r = InterruptAt(dir.path, count, signal);
      EXPECT_EQ(r.status, 128 + signal);
      EXPECT_EQ(r.err, "");
      const auto [slices, partials] = expectExact(dir);
      EXPECT_GE(slices, count);
      if (signal != SIGKILL) {
        EXPECT_EQ(partials, 0u);
      }
    }
  // Killed while it rewrites a complete stack: every slice is still whole, old or new.
  check::TempDir dir;
  ASSERT_EQ(Travik({"6", "."}, dir.path).status, 0);
  EXPECT_EQ(InterruptAt(dir.path, 300, SIGKILL).status, 128 + SIGKILL);
  EXPECT_EQ(expectExact(dir).first, 729u);
}

} // namespace
