// SPDX-License-Identifier: MIT
// The program end to end: the built binary runs in a fresh folder, alone or beside other runs,
// and its files are held to the format and to the sponge's closed form.

#include "check.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <map>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A system call that the run's kernel refuses, as a file system or a sandbox may: the call, the
// argument that holds its flags, the flag, and the error; none when the flag is 0.
using Refusal = std::array<unsigned, 4>;
const Refusal kNoUnnamedFiles = {__NR_openat, 2, 020000000, EOPNOTSUPP};                // O_TMPFILE
const Refusal kNoLinking = {__NR_linkat, 4, AT_EMPTY_PATH | AT_SYMLINK_FOLLOW, ENOENT}; // no /proc
const Refusal kNoFolderReading = {__NR_openat, 2, O_DIRECTORY, EACCES}; // and no unnamed files
const Refusal kNoNewFiles = {__NR_openat, 2, O_CREAT | 020000000, EACCES};

// What a run meets besides its arguments.
struct Setting {
  Refusal refuse = {};
  int resource = RLIMIT_AS;
  rlim_t limit = RLIM_INFINITY;
  int signal = 0;     // sent once slice `present` has its name (see Runs)
  bool apart = false; // PID 1 of a PID namespace of its own, as in a container
  bool nohup = false; // started with SIGHUP ignored
  // Without the kernel's randomness (no getrandom, an empty /dev/urandom) and, where libfaketime
  // is, with the clock stopped; apart runs then differ in nothing else but their memory layout.
  bool unrandom = false;
  bool swap = false;  // stopped, its folder is renamed and a link to a new one put in its place
  bool fowner = true; // it may override the sticky bit, as root may
  const char *idmap = nullptr; // the map of a user namespace of its own (Rootless)
  bool overlaid = false;       // in a root of its own, whose writes land in ./upper
  bool mounted = false; // in a mount namespace of its own, where its slice 30.tif is a mount point
  mode_t mask = 027;    // the umask
  const char *group = nullptr;  // the memory cgroup it joins
  uid_t user = 0;               // another user than root it runs as
  const char *groups = nullptr; // a script that makes the memory cgroups it sees
};

struct Started {
  pid_t pid;
  int out; // standard output and error together
};

constexpr uid_t kRootless = 4242; // a user with no entry anywhere
constexpr uid_t kNobody = 65534;  // another user

// Becomes root of a user namespace of its own, as a rootless container starts, with kRootless
// as its root and the map written from outside by root, as newuidmap writes it: every owner but
// kRootless is one the namespace cannot map, though its ranges may cover the overflow id.
bool Rootless(const char *map) {
  int go[2] = {-1, -1}, status = 1;
  const std::string at = "/proc/" + std::to_string(::getpid());
  const auto put = [](auto to, auto t) { return bool(std::ofstream(to) << t << std::flush); };
  // The writer maps the namespace once it is made, each map in one write, or ends with the pipe.
  if (::pipe(go) == 0 && ::fork() == 0)
    _exit(::close(go[1]) != 0 || ::read(go[0], go, 1) != 1 || !put(at + "/uid_map", map) ||
          !put(at + "/gid_map", map));
  return ::setgroups(0, nullptr) == 0 && ::setgid(kRootless) == 0 && ::setuid(kRootless) == 0 &&
         ::unshare(CLONE_NEWUSER) == 0 && ::write(go[1], "", 1) == 1 && ::wait(&status) > 0 &&
         status == 0;
}
constexpr char kOne[] = "0 4242 1", kSubIds[] = "0 4242 1\n1 100000 65536"; // and subordinate ids

// Whether a child can do what a setting asks here.
bool Can(bool (*what)()) {
  const pid_t child = ::fork();
  if (child == 0) _exit(what() ? 0 : 1);
  int status = 1;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A mount namespace of its own, whose mounts stay in it; "/" is no mount point in a chroot.
bool OwnMounts() {
  const auto keep = [](const char *at) {
    return ::mount(nullptr, at, nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  };
  return ::unshare(CLONE_NEWNS) == 0 && (keep("/") || keep("/dev"));
}

// Changes root to the machine's own root seen through an overlay whose writes land in ./upper, so
// that a run that writes into / changes nothing but that folder.
bool Overlay() {
  const std::string here = fs::current_path();
  const std::string options = "lowerdir=/,upperdir=" + here + "/upper,workdir=" + here + "/work";
  const auto bind = [&](std::string what) {
    return ::mount(what.c_str(), ("merged" + what).c_str(), nullptr, MS_BIND | MS_REC, 0) == 0;
  };
  return OwnMounts() && ::mount("overlay", "merged", "overlay", 0, options.c_str()) == 0 &&
         bind("/proc") && bind("/dev") && ::chroot("merged") == 0 && ::chdir("/") == 0;
}

// Shows the run a memory cgroup hierarchy of the test's making, in a mount namespace of its own:
// the script makes it in /mnt, with the .cgroup and .mountinfo tables that /proc shows the run.
bool FakeGroups(const std::string &script) {
  return OwnMounts() && ::mount("none", "/mnt", "tmpfs", 0, nullptr) == 0 &&
         std::system(("cd /mnt && p() { mkdir -p $(dirname $1) && printf \"$2\\n\" >$1; } && " +
                      script + " && mount --bind .cgroup /proc/$PPID/cgroup &&" +
                      " mount --bind .mountinfo /proc/$PPID/mountinfo")
                         .c_str()) == 0;
}

Started Start(std::vector<std::string> args, const std::string &cwd, const Setting &s = {}) {
  int out[2];
  if (::pipe(out) != 0) return {-1, -1};
  const auto pid = pid_t(
      ::syscall(SYS_clone, SIGCHLD | (s.apart ? CLONE_NEWPID : 0), nullptr, nullptr, nullptr, 0));
  if (pid == 0) {
    ::dup2(out[1], 1), ::dup2(out[1], 2), ::close(out[0]), ::close(out[1]);
    ::close(0); // nothing to read, and the run's first file gets descriptor 0
    const rlimit r{s.limit, s.limit};
    // Under a descriptor limit, the run holds 0 to 2, as from a shell, and nothing else below it.
    for (int d = 3; s.resource == RLIMIT_NOFILE && rlim_t(d) < s.limit; ++d) ::close(d);
    if (s.resource == RLIMIT_NOFILE) ::dup2(2, 0);
    // A run to be signalled yields to the test, which must see its progress before it ends.
    if (::chdir(cwd.c_str()) != 0 || ::setrlimit(s.resource, &r) != 0 ||
        (s.signal != 0 && ::setpriority(PRIO_PROCESS, 0, 19) != 0) ||
        !check::Refuse(s.refuse[0], s.refuse[1], s.refuse[2], s.refuse[3]))
      _exit(125);
    if (s.unrandom &&
        (!OwnMounts() || ::mount("/dev/null", "/dev/urandom", nullptr, MS_BIND, nullptr) != 0 ||
         !check::Refuse(__NR_getrandom, 1, ~0u, ENOSYS)))
      _exit(125);
    if (s.unrandom && *TRAVIK_FAKETIME != '\0' && !TRAVIK_SANITIZED)
      ::setenv("LD_PRELOAD", TRAVIK_FAKETIME, 1), ::setenv("FAKETIME", "2026-12-08 12:00:00", 1);
    // The leak checker reads the process's threads from a folder as it ends, with descriptors of
    // its own; that read is not the run's, so it may not meet the refusal or the limit.
    if (TRAVIK_SANITIZED && (s.refuse == kNoFolderReading || s.resource == RLIMIT_NOFILE))
      ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    if (s.overlaid && !Overlay()) _exit(125);
    if (s.group && !(std::ofstream(s.group + std::string("/cgroup.procs")) << 0 << std::flush))
      _exit(125);
    if ((s.groups && !FakeGroups(s.groups)) ||
        (s.mounted && !(OwnMounts() && ::mount("30.tif", "30.tif", nullptr, MS_BIND, 0) == 0)))
      _exit(125);
    const rlimit none{0, 0}; // SIGQUIT dumps no core into the folder
    if (::setrlimit(RLIMIT_CORE, &none) != 0 ||
        (!s.fowner && ::prctl(PR_CAPBSET_DROP, CAP_FOWNER, 0, 0, 0) != 0))
      _exit(125);
    ::umask(s.mask), ::alarm(60); // a run that hangs fails, unless it is PID 1 of a namespace
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) std::signal(signal, SIG_DFL); // as from a shell
    if (s.nohup) std::signal(SIGHUP, SIG_IGN);
    if (s.user && (::setgroups(0, nullptr) || ::setgid(s.user) || ::setuid(s.user))) _exit(125);
    if (s.idmap && !Rootless(s.idmap)) _exit(125);
    std::vector<char *> argv = {const_cast<char *>(TRAVIK_PATH)};
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(TRAVIK_PATH, argv.data());
    _exit(126);
  }
  ::close(out[1]);
  return {pid, out[0]};
}

// The run's status (its exit code, or 256 + the signal that ended it) and what it said.
std::pair<int, std::string> Finish(Started run) {
  std::string said;
  char chunk[4096];
  for (ssize_t n; (n = ::read(run.out, chunk, sizeof chunk)) > 0;) said.append(chunk, size_t(n));
  ::close(run.out);
  int status = 0;
  ::waitpid(run.pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status), said};
}

std::string Name(unsigned z, unsigned edge) {
  const std::string n = std::to_string(z);
  return std::string(std::to_string(edge - 1).size() - n.size(), '0') + n + ".tif";
}

// Whether file, read at name, is slice z of the sponge of this edge. Slices whose numbers have
// their 1s at the same base-3 digits are one: the first is held to the closed form, the others to
// it.
bool IsSlice(const std::string &name, const check::Bytes &file, unsigned edge, unsigned z) {
  static std::map<std::pair<unsigned, unsigned>, check::Bytes> passed;
  unsigned ones = 0;
  for (unsigned v = z, bit = 1; v > 0; v /= 3, bit *= 2) ones |= v % 3 == 1 ? bit : 0;
  check::Bytes &good = passed[{edge, ones}];
  if (!good.empty()) return file == good;
  check::Image slice{int(edge), int(edge), 8, std::vector(edge, check::Bytes(edge)), nullptr};
  for (unsigned y = 0; y < edge; ++y)
    for (unsigned x = 0; x < edge; ++x) {
      bool solid = true; // unless a base-3 digit position holds a 1 in two of x, y, z
      for (unsigned a = x, b = y, c = z; a + b + c > 0; a /= 3, b /= 3, c /= 3)
        solid = solid && (a % 3 == 1) + (b % 3 == 1) + (c % 3 == 1) < 2;
      slice.rows[y][x] = solid ? 189 : 0;
    }
  if (!file.empty() && check::Verify(name, slice).empty()) good = file;
  return !good.empty();
}

// The entries of dir that are not the complete slice of their name of the sponge of one of these
// edges, the process number of run in a name as "PID"; slices counts up the others.
std::vector<std::string> Strays(const std::string &dir, const std::vector<unsigned> &edges,
                                unsigned &slices) {
  std::vector<std::string> strays;
  const fs::path back = fs::current_path();
  fs::current_path(dir); // its entries' paths may be too long to name
  for (const auto &entry : fs::directory_iterator(".")) {
    const std::string name = entry.path().filename();
    const auto z = unsigned(std::atoi(name.c_str()));
    // Complete, with the mode of a new file under the runs' umask of 027.
    const check::Bytes file = check::ReadFile(name);
    bool slice = false;
    for (const unsigned edge : edges)
      slice = slice ||
              (z < edge && name == Name(z, edge) && !file.empty() &&
               fs::status(name).permissions() == fs::perms(0640) && IsSlice(name, file, edge, z));
    slices += slice;
    if (!slice) strays.push_back(name);
  }
  fs::current_path(back);
  std::sort(strays.begin(), strays.end());
  return strays;
}

// What a case's folder holds before its run.
using Prepare = void (*)(const std::string &folder);
const Prepare kMake = [](auto &f) { fs::create_directories(f); };
const Prepare kStack = [](auto &f) { Finish(Start({"4", "."}, f)); };
const Prepare kDead = [](auto &f) { // more leftovers of dead runs than descriptors
  for (int n = 10; n < 30; ++n)
    std::ofstream(f + "/1.tif.partial.0123456789abcd" + std::to_string(n));
};
const Prepare kFifo = [](auto &f) { ::mkfifo(f.c_str(), 0666); };
const Prepare kFile30 = [](auto &f) { std::ofstream(f + "/30.tif") << "mounted"; };
template <const char *kName> void At(const std::string &f) { // at a path too long to name
  fs::create_directories(f);
  const int folder = ::open(f.c_str(), O_RDONLY | O_DIRECTORY);
  ::mkdirat(folder, kName, 0755), ::close(folder);
}
constexpr char k0[] = "0.tif", k8[] = "8.tif", k9[] = "9.tif", k40[] = "40.tif";
// Another user's sticky folder, where that user owns a slice's name.
const Prepare kSticky = [](auto &f) {
  fs::create_directory(f), fs::permissions(f, fs::perms(01777));
  std::ofstream(f + "/30.tif") << "another's";
  (void)!(::chown((f + "/30.tif").c_str(), 65534, 65534) + ::chown(f.c_str(), 65534, 65534));
};
const Prepare kStickyToAll = [](auto &f) { kSticky(f), fs::permissions(".", fs::perms(0755)); };
// Root's sticky folder, as /tmp is, where the run's own user owns a slice's name.
const Prepare kStickyMine = [](auto &f) { kStickyToAll(f), (void)!::chown(f.c_str(), 0, 0); };
const Prepare kOverlay = [](auto &) {
  for (const char *d : {"upper", "work", "merged"}) fs::create_directory(d);
};
// Longer than a slice; temporaries of dead runs, one of another depth, and names that only look
// like one (a process number, 15 digits, capitals, a FIFO with a reader waiting, a link); slices
// linked to another slice, a folder, nothing.
pid_t reader; // must still wait at the end: nothing opened the FIFO
const Prepare kEntries = [](const std::string &f) {
  for (const char *n : {"0.tif", "4.tif.partial.999999999", "7.tif.partial.0123456789abcdef",
                        "000.tif.partial.fedcba9876543210", "8.tif.partial.0123456789abcde",
                        "9.tif.partial.0123456789ABCDEF"})
    std::ofstream(f + "/" + n) << std::string(5000, 'o');
  const std::string fifo = f + "/5.tif.partial.aaaaaaaaaaaaaaaa";
  ::mkfifo(fifo.c_str(), 0666);
  if ((reader = ::fork()) == 0) _exit(::open(fifo.c_str(), O_RDONLY)); // returns on a writer
  fs::create_directory(f + "/folder");
  fs::create_symlink("0.tif", f + "/1.tif");
  fs::create_symlink("folder", f + "/2.tif");
  fs::create_symlink("gone/x.tif", f + "/3.tif");
  fs::create_symlink("0.tif", f + "/6.tif.partial.bbbbbbbbbbbbbbbb");
};

// A run in a folder as it stands, alone or started together with runs of other depths, every
// other one of those in a PID namespace of its own; the first perhaps signalled once slice
// `present` has its name. Stopped, it goes on only after the others. The first run's message
// names the slice it failed on; the others succeed. Every name holds a complete slice of one of
// the runs' sponges, every other entry what it held before, and no temporary is left but one of
// a run killed outright. Each case runs twice: the first run, and every other one, lacking
// unnamed files once, the others the other time. Paths are relative to the case's folder.
struct Case {
  std::string name;
  std::vector<std::string> args;
  std::string err;        // no message: status 0, else 1
  unsigned edge, present; // slices complete afterwards, or at least, when signalled
  Setting setting = {};
  Prepare prepare = {};
  std::vector<std::string> others = {};
  std::vector<unsigned> with = {}; // depths of the runs started together with it
};
const auto kCaseName = [](const ::testing::TestParamInfo<Case> &info) { return info.param.name; };

// Folders whose slices' paths fit PATH_MAX, but not their temporaries' paths.
const std::string kDeep = [] {
  std::string deep;
  while (deep.size() < 4070)
    deep += std::string(std::min<std::size_t>(200, 4069 - deep.size()), 'd') + "/";
  return deep.substr(0, deep.size() - 1);
}();
const std::string kDeeper = kDeep + "/" + std::string(19, 'e'); // its slices' paths do not fit
const std::string kTooLong(4096, 'x');                          // one byte past what a path may be
const std::string kLost = " : file not stored.\n", kMemory = "memory allocation error.\n";

class Runs : public ::testing::TestWithParam<Case> {};
TEST_P(Runs, Case) {
  Case c = GetParam();
  Setting &s = c.setting; // namespaces, mounts and other users need root
  if ((s.apart || !s.fowner || s.idmap || s.overlaid || s.mounted || s.user || !c.with.empty()) &&
      ::geteuid())
    GTEST_SKIP() << "needs root, for namespaces, mounts or other users";
  if (s.idmap && !Can([] { return Rootless(kOne) && ::access(TRAVIK_PATH, X_OK) == 0; }))
    GTEST_SKIP() << "the kernel gives this user no user namespace of its own";
  if (s.user && !Can([] { return ::setuid(kNobody) == 0 && ::access(TRAVIK_PATH, X_OK) == 0; }))
    GTEST_SKIP() << "the program lies out of another user's reach";
  const fs::path home = fs::current_path();
  // The sanitizers' shadow memory cannot live under an address-space limit: the hopeless volumes
  // go without one.
  if (TRAVIK_SANITIZED && s.resource == RLIMIT_AS && s.limit != RLIM_INFINITY) {
    if (std::strtod(c.args[0].c_str(), nullptr) < 14) GTEST_SKIP() << "no address-space limit";
    s.limit = RLIM_INFINITY;
  }
  for (const bool named : {false, true}) {
    const std::string folder = c.args.size() > 1 ? c.args[1] : ".";
    SCOPED_TRACE(named ? "named temporaries" : "unnamed temporaries");
    check::TempDir dir;
    fs::current_path(dir.path);
    if (c.prepare) c.prepare(folder);
    if (s.overlaid && !Can(Overlay)) { // tried in the case's own folder
      fs::current_path(home);
      GTEST_SKIP() << "no overlay of the root here";
    }
    Setting setting = c.setting;
    if (named && s.refuse == Refusal{}) setting.refuse = kNoUnnamedFiles;
    // A run to be signalled is stopped once slice `present` has its temporary's name or its own,
    // and started again if it ended first; stopped, it takes the signal, then goes on. The test
    // sleeps between looks, so that the run, which yields to it, gets on.
    const int signal = s.signal;
    const std::string slice = Name(c.present, c.edge);
    const auto ofSlice = [&](auto &e) { return e.path().filename().string().starts_with(slice); };
    std::vector<Started> runs = {Start(c.args, ".", setting)};
    for (siginfo_t run{}; signal != 0 && run.si_code != CLD_STOPPED;) {
      for (pollfd ended = {runs[0].out, POLLIN, 0}; ::poll(&ended, 1, 1) == 0;)
        if (std::any_of(fs::directory_iterator(folder), {}, ofSlice)) break;
      ::kill(runs[0].pid, SIGSTOP);
      if (::waitid(P_PID, id_t(runs[0].pid), &run, WSTOPPED | WEXITED | WNOWAIT) != 0 ||
          run.si_code != CLD_STOPPED) {
        Finish(runs[0]);
        for (const auto &e : fs::directory_iterator(folder)) fs::remove_all(e);
        runs[0] = Start(c.args, ".", setting);
      }
    }
    if (signal != 0 && signal != SIGSTOP) ::kill(runs[0].pid, signal), ::kill(runs[0].pid, SIGCONT);
    if (s.swap)
      fs::rename(folder, "b"), fs::create_directory("c"), fs::create_directory_symlink("c", folder);
    std::vector<unsigned> edges = {c.edge};
    for (const unsigned depth : c.with) { // on the other kind of file system, unless unrandom
      const Setting other = {.refuse = named != s.unrandom ? Refusal{} : kNoUnnamedFiles,
                             .apart = runs.size() % 2 == 1,
                             .unrandom = s.unrandom};
      runs.push_back(Start({std::to_string(depth), "."}, ".", other));
      edges.push_back(unsigned(std::pow(3, depth)));
    }
    for (std::size_t i = 1; i < runs.size(); ++i)
      EXPECT_EQ(Finish(runs[i]), std::pair(0, std::string()));
    if (signal == SIGSTOP) ::kill(runs[0].pid, SIGCONT);
    const bool survives = signal == SIGSTOP || s.nohup;
    const int ended = (s.apart && signal != SIGKILL ? 128 : 256) + signal; // PID 1 exits itself
    const int status = signal != 0 && !survives ? ended : c.err.empty() ? 0 : 1;
    EXPECT_EQ(Finish(runs[0]), std::pair(status, c.err));
    if (signal == SIGKILL) { // a later run sweeps what a run killed outright may leave
      EXPECT_EQ(Finish(Start(c.args, ".", setting)), std::pair(0, std::string()));
    }
    EXPECT_TRUE(!s.overlaid || fs::is_empty("upper")); // nothing written at the root
    EXPECT_TRUE(reader == 0 || ::waitpid(reader, nullptr, WNOHANG) == 0);
    if (reader != 0) ::kill(reader, SIGKILL), ::waitpid(reader, nullptr, 0), reader = 0;
    unsigned slices = 0; // counted by Strays
    std::error_code missing;
    const std::string at = fs::is_directory(folder, missing) ? folder : ".";
    if (s.swap) { // every slice went to the folder the run started in
      EXPECT_EQ(Strays("b", edges, slices), std::vector<std::string>());
      EXPECT_TRUE(fs::is_empty("c"));
    }
    EXPECT_EQ(Strays(at, edges, slices), c.others);
    const unsigned least = survives ? c.edge : c.present;
    EXPECT_TRUE(signal != 0 && !survives ? slices >= least : slices == least) << slices;
    rusage used{}; // refused before any work: no refused run's cube pages became resident
    EXPECT_TRUE(c.err.empty() || TRAVIK_SANITIZED ||
                (::getrusage(RUSAGE_CHILDREN, &used) == 0 && used.ru_maxrss < 64 << 10));
    fs::current_path(home);
  }
}

const Setting kFileSize = {.resource = RLIMIT_FSIZE, .limit = 100};
const Setting kFiveFiles = {.resource = RLIMIT_NOFILE, .limit = 5}; // too few to publish a slice

// Arguments and folders that no slice can be written from, each refused before any file.
const std::vector<Case> kRefusals = {
    {"no_arguments", {}, "usage : travik iterations directory\n", 0, 0},
    {"negative", {" -99999999999999999999x", "."}, "bad number of iteration.\n", 0, 0},
    {"too_deep", {"4", kDeeper}, kDeeper + "/40.tif" + kLost, 81, 0, {}, At<k40>, {"40.tif"}},
    {"sticky", {"4", "s"}, "s/30.tif" + kLost, 81, 0, {.fowner = false}, kSticky, {"30.tif"}},
    {"folder_at_first", {"2", "."}, "./0.tif" + kLost, 9, 0, {}, At<k0>, {"0.tif"}},
    {"folder_at_last", {"2", "."}, "./8.tif" + kLost, 9, 0, {}, At<k8>, {"8.tif"}},
    {"file_size", {"4", "."}, "./00.tif" + kLost, 81, 0, kFileSize},
    {"file_size_kept", {"4", "."}, "./00.tif" + kLost, 81, 81, kFileSize, kStack},
    {"name_too_long", {"1", kTooLong}, kTooLong + "/0.tif" + kLost, 3, 0},
    {"missing_folder", {"6", "gone/"}, "gone//000.tif" + kLost, 0, 0},
    {"no_new_files", {"6", "."}, "./000.tif" + kLost, 729, 0, {.refuse = kNoNewFiles}},
    {"fifo", {"1", "p"}, "p/0.tif" + kLost, 0, 0, {}, kFifo, {"p"}}, // no open may wait on it
    {"five_descriptors", {"6", "."}, "./000.tif" + kLost, 729, 0, kFiveFiles},
    {"mount_point", {"4", "."}, "./30.tif" + kLost, 81, 0, {.mounted = true}, kFile30, {"30.tif"}},
};
INSTANTIATE_TEST_SUITE_P(Refusals, Runs, ::testing::ValuesIn(kRefusals), kCaseName);

// Stacks written whole, whatever the folder's name and whatever the system leaves out.
const std::vector<Case> kStacks = {
    {"unreadable_folder", {"abc", "."}, "", 1, 1, {.refuse = kNoFolderReading}},
    {"no_linking", {" +3x", "."}, "", 27, 27, {.refuse = kNoLinking}},
    {"few_descriptors", {"4", "."}, "", 81, 81, {.resource = RLIMIT_NOFILE, .limit = 10}, kDead},
    {"six_descriptors", {"4", "."}, "", 81, 81, {.resource = RLIMIT_NOFILE, .limit = 6}}, // enough
    {"folder_past_last", {"2", "."}, "", 9, 9, {}, At<k9>, {"9.tif"}},
    {"format_in_folder_name", {"1", "100%d%s%n"}, "", 3, 3, {}, kMake},
    {"deep_folder", {"4", kDeep}, "", 81, 81, {}, kMake},
    {"sticky_as_root", {"4", "s"}, "", 81, 81, {}, kSticky}, // another's file replaced
    {"sticky_own", {"4", "s"}, "", 81, 81, {.fowner = false, .user = kNobody}, kStickyMine},
};
INSTANTIATE_TEST_SUITE_P(Stacks, Runs, ::testing::ValuesIn(kStacks), kCaseName);

// The entries a run meets, and the sweep that takes dead runs' temporaries and nothing else.
const std::vector<std::string> kLookalikes = {
    "4.tif.partial.999999999",        "5.tif.partial.aaaaaaaaaaaaaaaa",
    "6.tif.partial.bbbbbbbbbbbbbbbb", "8.tif.partial.0123456789abcde",
    "9.tif.partial.0123456789ABCDEF", "folder"};
const std::vector<Case> kSweep = {
    {"lookalikes", {"2", "."}, "", 9, 9, {}, kEntries, kLookalikes},
};
INSTANTIATE_TEST_SUITE_P(EntriesAndSweep, Runs, ::testing::ValuesIn(kSweep), kCaseName);

// Whatever signal ends a run, no name holds a partial file; a signal ignored ends nothing.
const std::vector<Case> kSignals = {
    {"INT", {"4", "."}, "", 81, 0, {.signal = SIGINT}},
    {"TERM", {"4", "."}, "", 81, 40, {.signal = SIGTERM}},
    {"QUIT", {"4", "."}, "", 81, 40, {.signal = SIGQUIT}},
    {"SEGV", {"4", "."}, "", 81, 30, {.signal = SIGSEGV}},
    {"USR1", {"4", "."}, "", 81, 30, {.signal = SIGUSR1}},
    {"RTMAX", {"4", "."}, "", 81, 30, {.signal = SIGRTMAX}},
    {"HUP", {"4", "."}, "", 81, 7, {.signal = SIGHUP}},
    {"HUP_ignored", {"4", "."}, "", 81, 7, {.signal = SIGHUP, .nohup = true}},
};
INSTANTIATE_TEST_SUITE_P(Signals, Runs, ::testing::ValuesIn(kSignals), kCaseName);

// Runs side by side in one folder, stopped meanwhile, or with the folder moved away under them.
const std::vector<Case> kOverlapping = {
    {"stopped", {"5", "."}, "", 243, 120, {.signal = SIGSTOP}, {}, {}, {5, 5}},
    {"folder_swapped", {"5", "a"}, "", 243, 120, {.signal = SIGSTOP, .swap = true}, kMake},
    {"four", {"4", "."}, "", 81, 81, {}, {}, {}, {4, 4, 4}},
};
INSTANTIATE_TEST_SUITE_P(Overlapping, Runs, ::testing::ValuesIn(kOverlapping), kCaseName);

const std::vector<std::string> kLayers = {"merged", "upper", "work"}; // of kOverlay
// As in containers: PID 1 of a namespace, a user namespace, no randomness, a root of its own.
const std::vector<Case> kContainers = {
    {"killed", {"5", "."}, "", 243, 120, {.signal = SIGKILL, .apart = true}},
    {"pid_1_TERM", {"5", "."}, "", 243, 30, {.signal = SIGTERM, .apart = true}}, // ignored there
    {"unrandom", {"4", "."}, "", 81, 81, {.apart = true, .unrandom = true}, {}, {}, {4}},
    {"rootless", {"4", "s"}, "s/30.tif" + kLost, 81, 0, {.idmap = kOne}, kStickyToAll, {"30.tif"}},
    {"subids", {"4", "s"}, "s/30.tif" + kLost, 81, 0, {.idmap = kSubIds}, kStickyToAll, {"30.tif"}},
    {"empty_folder", {"0", ""}, "/0.tif" + kLost, 0, 0, {.overlaid = true}, kOverlay, kLayers},
};
INSTANTIATE_TEST_SUITE_P(Containers, Runs, ::testing::ValuesIn(kContainers), kCaseName);

// Volumes refused before any file, under an address-space limit so that none fits by chance; the
// volume before the names, so that no missing folder is looked for in vain first.
const std::vector<Case> kMemoryFirst = {
    {"depth_7", {"7", "."}, kMemory, 0, 0, {.limit = 64 << 20}},
    {"depth_14", {"14", "."}, kMemory, 0, 0, {.limit = 64 << 20}},
    {"int_max", {"2147483647", "."}, kMemory, 0, 0, {.limit = 64 << 20}},
    {"past_long", {"99999999999999999999", "."}, kMemory, 0, 0, {.limit = 64 << 20}},
    {"before_names", {"9", "gone"}, kMemory, 0, 0, {.limit = 64 << 20}},
};
INSTANTIATE_TEST_SUITE_P(Memory, Runs, ::testing::ValuesIn(kMemoryFirst), kCaseName);

// A memory cgroup beside the test's own, of the version the machine mounts, that lets its
// processes hold limit bytes and no swap; "" where none can be made here.
std::string MemoryGroup(std::uint64_t limit) {
  std::stringstream text;
  text << std::ifstream("/proc/self/cgroup").rdbuf();
  const std::string all = text.str(), v2 = "/sys/fs/cgroup";
  const bool v1 = all.find(":memory:") != std::string::npos;
  const auto at = v1 ? all.find(":memory:") + 8 : all.find("0::") + 3;
  if (!v1 && (at == std::string::npos + 3 || !fs::exists(v2 + "/cgroup.controllers"))) return "";
  const std::string parent = (v1 ? v2 + "/memory" : v2) + all.substr(at, all.find('\n', at) - at);
  const std::string group = parent + "/travik-test-" + std::to_string(::getpid());
  if (!v1) std::ofstream(parent + "/cgroup.subtree_control") << "+memory";
  const auto set = [&](const char *file, std::uint64_t value) {
    std::ofstream(group + file) << value << std::flush;
    std::uint64_t now = 0;
    return bool(std::ifstream(group + file) >> now) && now == value;
  };
  const bool made = ::mkdir(group.c_str(), 0755) == 0 &&
                    (v1 ? set("/memory.limit_in_bytes", limit)
                        : set("/memory.max", limit) && set("/memory.swap.max", 0));
  if (made && v1) set("/memory.memsw.limit_in_bytes", limit); // where swap is counted
  if (!made) ::rmdir(group.c_str());
  return made ? group : "";
}

// Whether the stack in dir is, byte for byte, the one of this depth that the repository records.
bool Golden(const fs::path &dir, int depth) {
  const std::string sum = "cd " + dir.string() +
                          " && cat -- *.tif | sha256sum | grep -qx \"$(sed -n 's/^" +
                          std::to_string(depth) + " //p' " TRAVIK_STACKS ")  -\"";
  return std::system(sum.c_str()) == 0;
}

// Under a memory limit, a depth whose solid rows cannot fit is refused before any work, with no
// file written, and one that fits is written whole, however much address space its cube spans.
// The limit is the cgroup's as the kernel shows it, here or in tables and files of the test's
// making, which need 32 MiB and more for a fit; where the run sees none, the machine's memory.
TEST(MemoryLimit, Cases) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to make a memory cgroup and mounts";
  const std::string v2 = "p .mountinfo '1 0 0:1 / /mnt rw - cgroup2 none rw' && p .cgroup 0::/",
                    held = " && p a/memory.max 67108864 && p a/memory.current 62914560 && "
                           "p a/memory.stat 'file 52428800"; // of 64 MiB, 60 held, 50 cache
  // Depth 0 needs its tables (three pointers and a byte), the 32 MiB kept for the program and its
  // writer, and the page that its one voxel lies on: not a byte less.
  const auto need = (32u << 20) + 3 * sizeof(void *) + 1 + std::size_t(::sysconf(_SC_PAGESIZE));
  const std::string exactly = v2 + "a && p a/memory.swap.max 0 && p a/memory.max ";
  const struct {
    const char *name;
    int mib, depth;
    bool fits;
    std::string groups = {};
  } cases[] = {
      {"depth_6", 200, 6, false},
      {"depth_0_a_byte_short", 200, 0, false, exactly + std::to_string(need - 1)},
      {"depth_0_exactly", 200, 0, true, exactly + std::to_string(need)},
      {"no_group", 200, 9, false, "p .mountinfo '' && p .cgroup 0::/"},
      {"v2_above", 200, 4, false, v2 + "a/b && p a/memory.max 16777216 && p a/b/memory.max max"},
      {"v2_shared_held", 200, 4, false, v2 + "a" + held + "\\nshmem 41943040'"}, // 40 shared
      {"v1_below_its_mount", 200, 4, false,
       "p .mountinfo '1 0 0:1 /c /mnt rw - cgroup x rw,cpu,memory' && p .cgroup "
       "'4:cpu,memory:/c/d\\n0::/' && p d/memory.stat 'hierarchical_memory_limit 16777216'"},
      {"v2_cache_dropped", 200, 4, true, v2 + "a" + held + "'"},
      {"not_mounted_here", 200, 4, true,
       "p .mountinfo '1 0 0:1 /b /mnt rw - cgroup2 x' && p .cgroup 0::/a && p memory.max 1"},
      {"depth_6_fits", 360, 6, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string group = MemoryGroup(std::uint64_t(c.mib) << 20);
    if (group.empty()) GTEST_SKIP() << "no memory cgroup can be made here";
    {
      check::TempDir dir;
      const Setting s = {.group = group.c_str(),
                         .groups = c.groups.empty() ? nullptr : c.groups.c_str()};
      EXPECT_EQ(Finish(Start({std::to_string(c.depth), "."}, dir.path, s)),
                std::pair(c.fits ? 0 : 1, c.fits ? "" : kMemory));
      rusage used{}; // the refusal comes first, before any of the cube's pages are resident
      EXPECT_TRUE(c.fits ? Golden(dir.path, c.depth)
                         : fs::is_empty(dir.path) && ::getrusage(RUSAGE_CHILDREN, &used) == 0 &&
                               used.ru_maxrss < 64 << 10);
    }
    EXPECT_EQ(::rmdir(group.c_str()), 0);
  }
}

// Each slice gets the mode and ACL that its folder gives a file that anything else creates, under
// any umask, with no default ACL, a restrictive one with a named user, and one open to all.
TEST(Program, Modes) {
  const auto seen = [](const std::string &path) {
    struct stat s {};
    char acl[256];
    const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    return std::pair(::stat(path.c_str(), &s) == 0 ? s.st_mode : 0,
                     std::string(acl, std::size_t(n > 0 ? n : 0)));
  };
  for (const mode_t mask : {0u, 022u, 077u})
    for (const std::string acl : {"", "u::rw,g::r,o::-,u:nobody:rw,m::rw", "u::rwx,g::rwx,o::rwx"})
      for (const bool named : {false, true}) {
        SCOPED_TRACE(std::to_string(mask) + " " + acl + (named ? " named" : ""));
        check::TempDir dir;
        const std::string set = "setfacl -dm " + acl + " " + dir.path.string();
        ASSERT_EQ(acl.empty() ? 0 : std::system(set.c_str()), 0);
        const mode_t was = ::umask(mask);
        ::close(::open((dir / "touched").c_str(), O_CREAT | O_WRONLY, 0666)), ::umask(was);
        const Setting setting = {.refuse = named ? kNoUnnamedFiles : Refusal{}, .mask = mask};
        EXPECT_EQ(Finish(Start({"1", "."}, dir.path, setting)), std::pair(0, std::string()));
        for (unsigned z = 0; z < 3; ++z) EXPECT_EQ(seen(dir / Name(z, 3)), seen(dir / "touched"));
      }
}

} // namespace
