// SPDX-License-Identifier: MIT
// The program end to end: the built binary runs in a fresh folder, and its files are held to the
// format and to the sponge's closed form.

#include "check.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

// A system call that the run's kernel refuses, as a file system or a sandbox may: the call, the
// argument that holds its flags, the flag, and the error.
struct Refusal {
  int call = -1;
  unsigned arg = 0, flag = 0;
  int error = 0;
};
const Refusal kNoUnnamedFiles = {__NR_openat, 2, 020000000, EOPNOTSUPP}; // O_TMPFILE
const Refusal kNoLinkByDescriptor = {__NR_linkat, 4, AT_EMPTY_PATH, ENOENT};

struct Started {
  pid_t pid;
  int out;
};

// Starts travik in cwd, its output and error into one pipe.
Started Start(std::vector<std::string> args, const std::string &cwd, Limit limit = {},
              Refusal refuse = {}) {
  int out[2];
  if (::pipe(out) != 0) return {-1, -1};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1), ::dup2(out[1], 2), ::close(out[0]), ::close(out[1]);
    const rlimit r{limit.value, limit.value};
    sock_filter rules[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, unsigned(refuse.call), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, unsigned(offsetof(seccomp_data, args) + 8 * refuse.arg)),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, refuse.flag, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | unsigned(refuse.error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    const sock_fprog filter{std::size(rules), rules};
    if (::chdir(cwd.c_str()) != 0 || ::setrlimit(limit.resource, &r) != 0 ||
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
      _exit(125);
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
  return {pid, out[0]};
}

Result Finish(Started run) {
  Result r;
  char chunk[4096];
  for (ssize_t n; (n = ::read(run.out, chunk, sizeof chunk)) > 0;) r.err.append(chunk, size_t(n));
  ::close(run.out);
#ifdef TRAVIK_SANITIZED // the sanitizer's allocator announces each allocation it refuses
  if (r.err.rfind("==", 0) == 0 && r.err.find("failed to allocate") < r.err.find('\n'))
    r.err.erase(0, r.err.find('\n') + 1);
#endif
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// Runs travik at depth n in cwd and sends it the signal as the next temporary gets a name once
// `after` slice names have been (re)written.
Result Interrupt(unsigned n, const std::string &cwd, int signal, unsigned after, Refusal refuse) {
  const int watch = ::inotify_init1(IN_CLOEXEC);
  if (::inotify_add_watch(watch, cwd.c_str(), IN_MOVED_TO | IN_CREATE) < 0) return {};
  const Started run = Start({std::to_string(n), "."}, cwd, {}, refuse);
  alignas(inotify_event) char events[1 << 14];
  for (unsigned seen = 0; seen <= after;) { // seen > after: signalled
    pollfd ready[2] = {{watch, POLLIN, 0}, {run.out, POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0 || ready[1].revents != 0) break; // it spoke or ended first
    const ssize_t got = ::read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got && seen <= after;) {
      const auto *e = reinterpret_cast<const inotify_event *>(events + at);
      if ((e->mask & IN_MOVED_TO) != 0)
        ++seen;
      else if (seen == after)
        ::kill(run.pid, signal), ++seen;
      at += ssize_t(sizeof *e + e->len);
    }
  }
  ::close(watch);
  return Finish(run);
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
  const Prepare stack = [](auto &f) { Finish(Start({"4", "."}, f)); };
  const Prepare entries = [](const std::string &f) {
    std::ofstream(f + "/0.tif") << std::string(5000, 'o');
    std::ofstream(f + "/target") << "target";
    fs::create_symlink("target", f + "/1.tif");
    fs::create_directory(f + "/elsewhere");
    fs::create_directory_symlink("elsewhere", f + "/2.tif");
    fs::create_symlink("gone/x.tif", f + "/3.tif");
    std::ofstream(f + "/4.tif.partial.999999999") << "left by a killed run"; // no such process
    std::ofstream(f + "/5.tif.partial.1") << "a live run's";
    fs::create_symlink("target", f + "/6.tif.partial");
  };
  const std::vector<std::string> kept = {"5.tif.partial.1", "6.tif.partial", "elsewhere", "target"};
  std::string deep, name(5000, 'x');
  while (deep.size() < 3000) deep += std::string(200, 'd') + "/";
  const std::string lost = " : file not stored.\n", usage = "usage : travik iterations directory\n";
  const std::string negative = "bad number of iteration.\n", memory = "memory allocation error.\n";
  const Limit small = {RLIMIT_FSIZE, 100};
  struct Case {
    std::vector<std::string> args;
    std::string err;        // no message: status 0, else 1
    unsigned edge, present; // slices complete afterwards
    Prepare prepare = {};
    std::vector<std::string> others = {};
    Limit limit = {};
    Refusal refuse = {};
  };
  std::vector<Case> cases = {
      {{}, usage, 0, 0},
      {{"2", ".", "x"}, usage, 0, 0},
      {{" -3x", "."}, negative, 0, 0},
      {{"-99999999999999999999", "."}, negative, 0, 0},
      {{"abc", "."}, "", 1, 1},
      {{" +2", "."}, "", 9, 9, {}, {}, {}, kNoLinkByDescriptor},
      {{"3x", "."}, "", 27, 27},
      {{"4", "."}, "", 81, 81, {}, {}, {}, kNoUnnamedFiles},
      {{"1", "100%d%s%n"}, "", 3, 3, make},
      {{"1", deep}, "", 3, 3, make},
      {{"2", "."}, "", 9, 9, entries, kept},
      {{"2", "."}, "", 9, 9, entries, kept, {}, kNoUnnamedFiles},
      {{"2", "."}, "./4.tif" + lost, 9, 4, directory, {"4.tif"}},
      {{"4", "."}, "./00.tif" + lost, 81, 0, {}, {}, small},
      {{"4", "."}, "./00.tif" + lost, 81, 81, stack, {}, small, kNoUnnamedFiles},
      {{"1", name}, name + "/0.tif" + lost, 3, 0},
      {{"1", "gone/"}, "gone//0.tif" + lost, 3, 0},
  };
  // Volumes refused before any file, under an address-space limit so that none fits by chance;
  // the sanitizers' shadow memory cannot live under one, so there only the hopeless ones.
  for (const char *n : {"7", "14", "20", "2147483647", "99999999999999999999"})
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
    const Result r = Finish(Start(c.args, dir.path, c.limit, c.refuse));
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(r.err, c.err);
    std::error_code missing;
    ExpectStack(fs::exists(dir / folder, missing) ? dir / folder : dir.path.string(), c.edge,
                c.present, c.others);
    const check::Bytes target = {'t', 'a', 'r', 'g', 'e', 't'};
    EXPECT_TRUE(!fs::exists(dir / "target") || check::ReadFile(dir / "target") == target);
  }
}

// The stack of depth n written alone, the reference for runs disturbed or overlapping.
const fs::path &Reference(unsigned n) {
  static std::map<unsigned, check::TempDir> made;
  if (!made.count(n)) {
    EXPECT_EQ(Finish(Start({std::to_string(n), "."}, made[n].path)).status, 0);
  }
  return made[n].path;
}

// Each name of dir holds one of the references' complete slice of that name; returns the count
// of the other entries, which must be temporaries.
unsigned ExpectSlices(const check::TempDir &dir, const std::vector<unsigned> &depths) {
  unsigned others = 0;
  for (const std::string &name : check::Files(dir.path)) {
    bool found = false;
    for (const unsigned n : depths)
      found = found || (fs::exists(Reference(n) / name) &&
                        check::ReadFile(dir / name) == check::ReadFile(Reference(n) / name));
    others += !found;
    EXPECT_TRUE(found || name.find(".tif.partial.") != std::string::npos) << name;
  }
  return others;
}

// Killed or interrupted at any moment, each slice name holds its complete file or nothing, and
// only SIGKILL may leave a temporary, which the next complete run removes.
TEST(Program, Interruptions) {
  unsigned point = 0;
  for (const int signal : {SIGKILL, SIGINT, SIGTERM, SIGHUP})
    for (const Refusal refuse : {Refusal{}, kNoUnnamedFiles}) {
      const unsigned after = std::vector{1u, 120u, 150u, 0u, 7u, 200u, 90u, 3u}[point++];
      SCOPED_TRACE(std::string(strsignal(signal)) + " after " + std::to_string(after));
      check::TempDir dir;
      const Result r = Interrupt(5, dir.path, signal, after, refuse);
      EXPECT_EQ(r.status, 128 + signal);
      EXPECT_EQ(r.err, "");
      EXPECT_LE(ExpectSlices(dir, {5}), signal == SIGKILL ? 1u : 0u);
      EXPECT_GE(check::Files(dir.path).size(), after);
      if (signal != SIGKILL) continue;
      ASSERT_EQ(Finish(Start({"5", "."}, dir.path)).status, 0);
      EXPECT_EQ(ExpectSlices(dir, {5}), 0u);
      EXPECT_EQ(check::Files(dir.path).size(), 243u);
    }
  // Killed while it rewrites a complete stack: every slice is still whole, old or new.
  check::TempDir dir;
  ASSERT_EQ(Finish(Start({"5", "."}, dir.path)).status, 0);
  EXPECT_EQ(Interrupt(5, dir.path, SIGKILL, 100, {}).status, 128 + SIGKILL);
  EXPECT_LE(ExpectSlices(dir, {5}), 1u);
  EXPECT_GE(check::Files(dir.path).size(), 243u);
}

// Runs started together on one folder all succeed, and each name ends with one run's complete
// slice: four of one depth, and two depths whose names collide. TRAVIK_DEEP_OVERLAP set: depth 6,
// and 5 with 6, ten rounds.
TEST(Program, OverlappingRuns) {
  const bool deep = std::getenv("TRAVIK_DEEP_OVERLAP") != nullptr;
  const unsigned n = deep ? 6 : 5, rounds = deep ? 10 : 3;
  const std::vector<std::vector<unsigned>> groups = {{n, n, n, n}, {n - 2 + deep, n - 1 + deep}};
  for (unsigned round = 0; round < rounds; ++round)
    for (const auto &depths : groups) {
      SCOPED_TRACE("round " + std::to_string(round) + " of depth " + std::to_string(depths[1]));
      check::TempDir dir;
      std::vector<Started> runs;
      for (std::size_t i = 0; i < depths.size(); ++i)
        runs.push_back(Start({std::to_string(depths[i]), "."}, dir.path, {},
                             i % 2 ? kNoUnnamedFiles : Refusal{}));
      for (const Started &run : runs) EXPECT_EQ(Finish(run).status, 0);
      EXPECT_EQ(ExpectSlices(dir, depths), 0u);
      EXPECT_EQ(check::Files(dir.path), check::Files(Reference(depths.back())));
    }
}

} // namespace
