// The program end to end: the built binary runs in a fresh folder, and its files are held to the
// format and to the sponge's closed form.

#include "check.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1; // the exit code, or 128 + the signal that ended it
  std::string err; // standard output and error together
};

struct Limit {
  int resource = RLIMIT_AS;
  rlim_t value = RLIM_INFINITY;
};

// Runs travik in cwd. With a signal, sends it as the next temporary is created once `after`
// slice names have been (re)written.
Result Travik(std::vector<std::string> args, const std::string &cwd, Limit limit = {},
              int signal = 0, unsigned after = 0) {
  int out[2];
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (::pipe(out) != 0 ||
      (signal != 0 && ::inotify_add_watch(watch, cwd.c_str(), IN_MOVED_TO | IN_CREATE) < 0))
    return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1), ::dup2(out[1], 2), ::close(out[0]), ::close(out[1]);
    const rlimit r{limit.value, limit.value};
    if (::chdir(cwd.c_str()) != 0 || ::setrlimit(limit.resource, &r) != 0) _exit(125);
    for (int s : {SIGHUP, SIGINT, SIGTERM}) std::signal(s, SIG_DFL); // as from a terminal
    ::setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    args.insert(args.begin(), TRAVIK_PATH);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(TRAVIK_PATH, argv.data());
    _exit(126);
  }
  ::close(out[1]);
  alignas(inotify_event) char events[1 << 14];
  for (unsigned seen = 0; signal != 0 && seen <= after;) { // seen > after: signalled
    pollfd ready[2] = {{watch, POLLIN, 0}, {out[0], POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0 || ready[1].revents != 0) break; // it spoke or ended first
    const ssize_t n = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < n && seen <= after;) {
      const auto *e = reinterpret_cast<const inotify_event *>(events + at);
      if ((e->mask & IN_MOVED_TO) != 0)
        ++seen;
      else if (seen == after)
        ::kill(pid, signal), ++seen;
      at += ssize_t(sizeof *e + e->len);
    }
  }
  ::close(watch);
  Result r;
  char chunk[4096];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) r.err.append(chunk, size_t(n));
  ::close(out[0]);
#ifdef TRAVIK_SANITIZED // the sanitizer's allocator announces each allocation it refuses
  if (r.err.rfind("==", 0) == 0 && r.err.find("failed to allocate") < r.err.find('\n'))
    r.err.erase(0, r.err.find('\n') + 1);
#endif
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
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

// Every run, refused, complete or failed part-way: the message names the slice, the slices
// before it are complete against the closed form, and every other name holds what it held
// before, with no temporary left. Folders are taken as they stand.
TEST(Program, Runs) {
  using Prepare = std::function<void(const std::string &folder)>;
  const Prepare make = [](auto &f) { fs::create_directories(f); };
  const Prepare directory = [](auto &f) { fs::create_directories(f + "/4.tif/x"); };
  const Prepare stack = [](auto &f) { Travik({"4", "."}, f); };
  const Prepare entries = [](const std::string &f) {
    std::ofstream(f + "/0.tif") << std::string(5000, 'o');
    std::ofstream(f + "/target") << "target";
    fs::create_symlink("target", f + "/1.tif");
    fs::create_directory(f + "/elsewhere");
    fs::create_directory_symlink("elsewhere", f + "/2.tif");
    fs::create_symlink("gone/x.tif", f + "/3.tif");
    std::ofstream(f + "/4.tif.partial") << "left by a killed run";
    fs::create_symlink("target", f + "/5.tif.partial");
  };
  std::string deep, name(5000, 'x');
  while (deep.size() < 3000) deep += std::string(200, 'd') + "/";
  const std::string lost = " : file not stored.\n", usage = "usage : travik iterations directory\n";
  const std::string negative = "bad number of iteration.\n", memory = "memory allocation error.\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;        // no message: status 0, else 1
    unsigned edge, present; // slices complete afterwards
    Prepare prepare = {};
    std::vector<std::string> others = {};
    Limit limit = {};
  };
  std::vector<Case> cases = {
      {{}, usage, 0, 0},
      {{"2"}, usage, 0, 0},
      {{"2", ".", "x"}, usage, 0, 0},
      {{"-1", "."}, negative, 0, 0},
      {{" -3x", "."}, negative, 0, 0},
      {{"-99999999999999999999", "."}, negative, 0, 0},
      {{"0", "."}, "", 1, 1},
      {{"abc", "."}, "", 1, 1},
      {{"", "."}, "", 1, 1},
      {{" +2", "."}, "", 9, 9},
      {{"3x", "."}, "", 27, 27},
      {{"4", "."}, "", 81, 81},
      {{"1", "100%d%s%n"}, "", 3, 3, make},
      {{"1", deep}, "", 3, 3, make},
      {{"2", "."}, "", 9, 9, entries, {"elsewhere", "target"}},
      {{"2", "."}, "./4.tif" + lost, 9, 4, directory, {"4.tif"}},
      {{"4", "."}, "./00.tif" + lost, 81, 0, {}, {}, {RLIMIT_FSIZE, 100}},
      {{"4", "."}, "./00.tif" + lost, 81, 81, stack, {}, {RLIMIT_FSIZE, 100}},
      {{"1", name}, name + "/0.tif" + lost, 3, 0},
      {{"1", "gone/"}, "gone//0.tif" + lost, 3, 0},
  };
  // Volumes refused before any file, under an address-space limit so that none fits by chance;
  // the sanitizers' shadow memory cannot live under one, so there only the hopeless ones.
  for (const char *n : {"6", "7", "8", "12", "13", "14", "19", "20", "40", "2147483647",
                        "18446744073709551617", "99999999999999999999"})
#ifdef TRAVIK_SANITIZED
    if (std::strtod(n, nullptr) > 7) cases.push_back({{n, "."}, memory, 0, 0});
#else
    cases.push_back({{n, "."}, memory, 0, 0, {}, {}, {RLIMIT_AS, 64u << 20}});
#endif
  for (const Case &c : cases) {
    const std::string folder = c.args.size() > 1 ? c.args[1] : ".";
    SCOPED_TRACE("travik '" + (c.args.empty() ? "" : c.args[0]) + "' " + folder.substr(0, 20));
    check::TempDir dir;
    if (c.prepare) c.prepare(dir / folder);
    const Result r = Travik(c.args, dir.path, c.limit);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(r.err, c.err);
    std::error_code missing;
    ExpectStack(fs::exists(dir / folder, missing) ? dir / folder : dir.path.string(), c.edge,
                c.present, c.others);
    const check::Bytes target = {'t', 'a', 'r', 'g', 'e', 't'};
    EXPECT_TRUE(!fs::exists(dir / "target") || check::ReadFile(dir / "target") == target);
  }
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
      const Result r = Travik({"6", "."}, dir.path, {}, signal, count);
      EXPECT_EQ(r.status, 128 + signal);
      EXPECT_EQ(r.err, "");
      const auto [slices, partials] = expectExact(dir);
      EXPECT_GE(slices, count);
      EXPECT_TRUE(signal == SIGKILL || partials == 0);
    }
  // Killed while it rewrites a complete stack: every slice is still whole, old or new.
  check::TempDir dir;
  ASSERT_EQ(Travik({"6", "."}, dir.path).status, 0);
  EXPECT_EQ(Travik({"6", "."}, dir.path, {}, SIGKILL, 300).status, 128 + SIGKILL);
  EXPECT_EQ(expectExact(dir).first, 729u);
}

} // namespace
