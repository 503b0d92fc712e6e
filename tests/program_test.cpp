// SPDX-License-Identifier: MIT
// The program end to end: the built binary runs in a fresh folder, and its files are held to the
// format and to the sponge's closed form.

#include "check.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdlib>
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

// Starts travik in cwd, its output and error into one pipe; stale: a slice name whose temporary
// is left there as by a killed process of the same number.
Started Start(std::vector<std::string> args, const std::string &cwd, Limit limit = {},
              Refusal refuse = {}, const char *stale = nullptr) {
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
    if (stale) std::ofstream(std::string(stale) + ".partial." + std::to_string(::getpid())) << 0;
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
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string Name(unsigned z, unsigned edge) {
  const std::string n = std::to_string(z);
  return std::string(std::to_string(edge - 1).size() - n.size(), '0') + n + ".tif";
}

// The file that slice z of the sponge of this edge must be, by the closed form.
const check::Bytes &Slice(unsigned edge, unsigned z) {
  static std::map<std::pair<unsigned, unsigned>, check::Bytes> made;
  check::Bytes &file = made[{edge, z}];
  check::Image slice{int(edge), int(edge), 8, {}, nullptr};
  for (unsigned y = 0; file.empty() && y < edge; ++y) {
    slice.rows.emplace_back(edge);
    for (unsigned x = 0; x < edge; ++x) {
      bool solid = true; // unless a base-3 digit position holds a 1 in two of x, y, z
      for (unsigned a = x, b = y, c = z; a + b + c > 0; a /= 3, b /= 3, c /= 3)
        solid = solid && (a % 3 == 1) + (b % 3 == 1) + (c % 3 == 1) < 2;
      slice.rows.back()[x] = solid ? 189 : 0;
    }
  }
  return file.empty() ? file = check::Expected(slice) : file;
}

// Holds dir to the first count slices of the sponge of this edge, plus the other entries.
void ExpectStack(const std::string &dir, unsigned edge, unsigned count,
                 std::vector<std::string> others = {}) {
  for (unsigned z = 0; z < count; ++z) {
    others.push_back(Name(z, edge));
    EXPECT_TRUE(check::ReadFile(dir + "/" + Name(z, edge)) == Slice(edge, z)) << Name(z, edge);
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
    std::ofstream(f + "/7.tif.partial.999999998") << "listed before the live one in some order";
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
    const char *stale = nullptr;
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
      {{"2", "."}, "", 9, 9, {}, {}, {}, {}, "5.tif"},
      {{"2", "."}, "", 9, 9, {}, {}, {}, kNoUnnamedFiles, "5.tif"},
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
    const Result r = Finish(Start(c.args, dir.path, c.limit, c.refuse, c.stale));
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(r.err, c.err);
    std::error_code missing;
    ExpectStack(fs::exists(dir / folder, missing) ? dir / folder : dir.path.string(), c.edge,
                c.present, c.others);
    const check::Bytes target = {'t', 'a', 'r', 'g', 'e', 't'};
    EXPECT_TRUE(!fs::exists(dir / "target") || check::ReadFile(dir / "target") == target);
  }
}

// Each name in dir holds the complete slice of that name of the sponge of one of these edges;
// returns the count of the other entries, which must be temporaries.
unsigned ExpectSlices(const check::TempDir &dir, const std::vector<unsigned> &edges) {
  unsigned others = 0;
  for (const std::string &name : check::Files(dir.path)) {
    const auto z = unsigned(std::atoi(name.c_str()));
    bool found = false;
    for (const unsigned edge : edges)
      found = found ||
              (z < edge && name == Name(z, edge) && check::ReadFile(dir / name) == Slice(edge, z));
    others += !found;
    EXPECT_TRUE(found || name.find(".tif.partial.") != std::string::npos) << name;
  }
  return others;
}

// Runs in one folder disturbed by a signal or by each other: the runs not signalled succeed, each
// name holds one run's complete slice, and only SIGKILL may leave a temporary, which the next
// complete run removes. TRAVIK_DEEP_OVERLAP set: four runs at depth 6, and 5 with 6, ten rounds.
TEST(Program, DisturbedRuns) {
  const bool deep = std::getenv("TRAVIK_DEEP_OVERLAP") != nullptr;
  struct Case {
    std::vector<unsigned> depths; // started together, every other one without unnamed files
    int signal = 0;               // to the first, as slice `after` gets its name
    unsigned after = 0;
    bool named = false; // the first without unnamed files
  };
  std::vector<Case> cases;
  for (unsigned round = 0; round < (deep ? 10u : 3u); ++round)
    cases.insert(cases.end(), {{{5u + deep, 5u + deep, 5u + deep, 5u + deep}},
                               {{3u + 2 * deep, 4u + 2 * deep}}});
  unsigned point = 0;
  for (const int signal : {SIGKILL, SIGINT, SIGTERM, SIGHUP})
    for (const bool named : {false, true})
      cases.push_back(
          {{5}, signal, std::vector{1u, 120u, 150u, 0u, 7u, 200u, 90u, 3u}[point++], named});
  for (const Case &c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases.data())); // depths, signal, point
    check::TempDir dir;
    const int watch = ::inotify_init1(IN_CLOEXEC); // a listing would wait behind the renames
    ASSERT_GE(::inotify_add_watch(watch, dir.path.c_str(), IN_CREATE), 0);
    std::vector<Started> runs;
    std::vector<unsigned> edges;
    for (std::size_t i = 0; i < c.depths.size(); ++i) {
      runs.push_back(Start({std::to_string(c.depths[i]), "."}, dir.path, {},
                           (i % 2 != 0) != c.named ? kNoUnnamedFiles : Refusal{}));
      edges.push_back(unsigned(std::pow(3, c.depths[i])));
    }
    if (c.signal != 0) { // at the (after + 1)th name made in the folder: one for each slice
      alignas(inotify_event) char events[1 << 14];
      for (unsigned made = 0; made <= c.after;) {
        pollfd ready[2] = {{watch, POLLIN, 0}, {runs[0].out, POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0 || ready[1].revents != 0) break; // it spoke or ended first
        const ssize_t got = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got; ++made)
          at +=
              ssize_t(sizeof(inotify_event) + reinterpret_cast<inotify_event *>(events + at)->len);
      }
      ::kill(runs[0].pid, c.signal);
    }
    ::close(watch);
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const Result r = Finish(runs[i]);
      EXPECT_EQ(r.status, i == 0 && c.signal != 0 ? 128 + c.signal : 0);
      EXPECT_EQ(r.err, "");
    }
    EXPECT_LE(ExpectSlices(dir, edges), c.signal == SIGKILL ? 1u : 0u);
    if (c.signal == SIGKILL) {
      EXPECT_EQ(Finish(Start({"5", "."}, dir.path)).status, 0);
      EXPECT_EQ(ExpectSlices(dir, edges), 0u);
    }
    const bool whole = c.signal == 0 || c.signal == SIGKILL;
    EXPECT_GE(check::Files(dir.path).size(), whole ? edges.back() : c.after);
  }
}

} // namespace
