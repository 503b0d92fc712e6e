// SPDX-License-Identifier: MIT
// Safe replacement of files on POSIX systems; what a system offers beyond POSIX (unnamed files,
// linking by descriptor, the kernel's random numbers) is found by feature tests.
//
// A folder is opened once and kept: every temporary, its name, its rename, the checks of slice
// names and the sweep happen relative to it, however the path to it changes meanwhile. Where the
// file system can, the temporary is created unnamed, with the mode and ACL the folder gives a new
// file, and named only once complete; elsewhere it is named from the start, readable by its owner
// alone until publication gives it that mode. It is locked (flock) from its creation to its
// rename (where no open file can be renamed, to just before): that is how a sweep tells a live
// run's temporary from a dead one's. A lock refused is another's: nothing here waits on anything
// another user controls, but for a rename or removal that SMB refuses while another mount holds
// the file, for a second at most.

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if TRAVIK_HAVE_SYSINFO
#include <sys/sysinfo.h>
#endif
#if !defined(MAP_ANONYMOUS) && defined(MAP_ANON)
#define MAP_ANONYMOUS MAP_ANON
#endif
#if TRAVIK_HAVE_GETRANDOM || TRAVIK_HAVE_GETENTROPY
#include <sys/random.h>
#endif
#if __has_include(<linux/capability.h>)
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

namespace {

#ifdef PATH_MAX
constexpr std::size_t kPathRoom = PATH_MAX;
#else
constexpr std::size_t kPathRoom = 4096;
#endif
#ifdef NAME_MAX
constexpr std::size_t kLeafRoom = NAME_MAX + 1;
#else
constexpr std::size_t kLeafRoom = 256;
#endif

// A folder opened only to work in it needs no permission to read it, where the system can.
#ifdef O_PATH
constexpr int kFolderAccess = O_PATH | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kFolderAccess = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderAccess = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Fixed storage, so that nothing here can fail to allocate, and the names outlive exit for the
// signal handler.
char folderPath[kPathRoom]; // the folder as named, held open at `folder`
char leaf[kLeafRoom];
char partial[kLeafRoom];
int folder = -1;
int fd = -1;          // the temporary
bool namedAtCreation; // the temporary has had its name since it was created
// What the folder was found to do, once, with a temporary that is never published.
bool usable;        // it takes a temporary
bool unnamedWorks;  // its unnamed files can be named
mode_t newMode;     // the mode it gives a new file
mode_t namedMode;   // the mode a named temporary is created with
struct stat within; // the folder itself
timespec probed;    // when the probe's temporary was written, by the folder's file system's clock

// partial names this run's temporary in folder: all that the failure paths may remove.
std::atomic<bool> unfinished{false};
static_assert(std::atomic<bool>::is_always_lock_free);
sigset_t interruptions, unmasked; // held back while a name is taken and recorded

// SMB through smbnetfs neither renames nor removes a file that is open, and FUSE lets go of a file
// a moment after its close: such a step is tried again while it answers EBUSY, for about `most`
// milliseconds. Async-signal-safe where step is.
template <typename Step> int Patiently(Step step, long most = 1024) {
  int result = step();
  for (long ms = 1; result != 0 && errno == EBUSY && ms < most; ms *= 2) {
    const timespec pause{0, ms * 1000000};
    ::nanosleep(&pause, nullptr);
    result = step();
  }
  return result;
}

void RemovePartial() { // async-signal-safe
  if (unfinished.load()) Patiently([] { return ::unlinkat(folder, partial, 0); });
}

extern "C" void Interrupted(int signal) {
  if (fd >= 0) ::close(fd); // SMB removes no open file
  RemovePartial();
  // The action was reset on entry, so the signal raised again ends the process as it would have,
  // with a core where it dumps one, once let through. The first process of a PID namespace, as in
  // a container, ignores it then, and ends by itself.
  std::raise(signal);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, signal);
  ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
  ::_exit(128 + signal);
}

// Every signal that can be caught and whose default ends the process.
constexpr int kEnding[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

void Catch(int signal, const struct sigaction &action) {
  struct sigaction old {};
  sigaddset(&interruptions, signal);
  if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
    ::sigaction(signal, &action, nullptr);
}

// Once per process, at the first folder held. Every signal whose default ends the process removes
// the temporary first;
// those the user ignores stay ignored. Descriptors 0 to 2 are kept apart from the run's files, so
// that no message can land in one.
void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  for (int d = 0; d <= 2; ++d)
    if (::fcntl(d, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) != d) break;
  struct sigaction action {};
  action.sa_handler = Interrupted;
  action.sa_flags = static_cast<int>(SA_RESETHAND); // a fault in the handler ends the process
  sigemptyset(&action.sa_mask);
  sigemptyset(&interruptions);
  for (const int signal : kEnding) Catch(signal, action);
#ifdef SIGRTMIN
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) Catch(signal, action);
#endif
}

std::uint64_t RandomBits() {
  std::uint64_t r = 0;
#if TRAVIK_HAVE_GETRANDOM
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof r)) return r;
#elif TRAVIK_HAVE_GETENTROPY
  if (::getentropy(&r, sizeof r) == 0) return r;
#endif
  const int source = ::open("/dev/urandom", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (source >= 0) {
    const ssize_t n = ::read(source, &r, sizeof r);
    ::close(source);
    if (n == static_cast<ssize_t>(sizeof r)) return r;
  }
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return FallbackBits(static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
                          static_cast<std::uint64_t>(t.tv_nsec),
                      static_cast<std::uint64_t>(::getpid()));
}

// Whether entry in the folder at is the regular file that opened describes: the one test of "this
// is still the file I hold".
bool Holds(int at, const char *entry, const struct stat &opened) {
  struct stat now {};
  return S_ISREG(opened.st_mode) && ::fstatat(at, entry, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         opened.st_ino == now.st_ino && opened.st_dev == now.st_dev;
}

bool SameFile(int at, const char *entry, int descriptor) {
  struct stat opened {};
  return ::fstat(descriptor, &opened) == 0 && Holds(at, entry, opened);
}

// Draws names for a temporary of `of` until take(), which creates an entry at partial or fails
// with errno, finds one free, and records it before any signal can see it; an entry already there
// is another's and stays. A name taken away as it was made is drawn again: sshfs answers ENOENT
// where a sweep on another mount removes it. Returns what take returned last.
template <typename Take> int DrawName(const char *of, Take take) {
  int taken = -1;
  errno = EEXIST;
  for (int attempt = 0; attempt < kNameDraws && taken < 0 && (errno == EEXIST || errno == ENOENT);
       ++attempt) {
    // The handler removes partial while unfinished holds, so partial is written only while it
    // does not: every temporary before this one was dropped, or never had a name of its own.
    if (!PartialName(partial, sizeof partial, of, RandomBits())) {
      errno = ENAMETOOLONG;
      return -1;
    }
    ::sigprocmask(SIG_BLOCK, &interruptions, &unmasked);
    taken = take();
    const int error = errno;
    if (taken >= 0) unfinished.store(true);
    ::sigprocmask(SIG_SETMASK, &unmasked, nullptr);
    errno = error;
  }
  return taken;
}

// Links the unnamed temporary at entry in the folder. Linking by descriptor needs a capability;
// through /proc it does not, but needs /proc. A name already taken is the first link's to report.
int Link(const char *entry) {
#ifdef O_TMPFILE
  if (::linkat(fd, "", folder, entry, AT_EMPTY_PATH) == 0) return 0;
  if (errno == EEXIST) return -1;
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return ::linkat(AT_FDCWD, self, folder, entry, AT_SYMLINK_FOLLOW);
#else
  (void)entry;
  errno = EOPNOTSUPP;
  return -1; // never unnamed
#endif
}

// Gives the unnamed temporary its name.
bool NamePartial(const char *of) {
  return DrawName(of, [] { return Link(partial); }) == 0;
}

// Closes the temporary and removes its name, if it has one.
void Drop(int descriptor) {
  if (descriptor >= 0) ::close(descriptor);
  fd = -1;
  RemovePartial();
  unfinished.store(false);
}

timespec Modified(const struct stat &s) {
#if TRAVIK_HAVE_ST_MTIM
  return s.st_mtim;
#else
  return timespec{s.st_mtime, 0};
#endif
}

// Whether a leftover was written after this run probed its folder, so that it belongs to a run
// that writes now: on this host or, where locks do not reach across hosts, on another. Where the
// file system keeps whole seconds (FUSE), or FAT's two, a file written with the probe may show
// the probe's time or the tick before: what is not two seconds older is spared then, and left to
// a later run.
bool Recent(int leftover) {
  struct stat s {};
  if (::fstat(leftover, &s) != 0) return true;
  const timespec t = Modified(s);
  if (probed.tv_nsec == 0) return t.tv_sec + 2 >= probed.tv_sec;
  return t.tv_sec != probed.tv_sec ? t.tv_sec > probed.tv_sec : t.tv_nsec > probed.tv_nsec;
}

bool Duplicable(int descriptor) {
  const int second = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (second >= 0) ::close(second);
  return second >= 0;
}

// Learns, with a temporary created as any new file is and never published, what the folder gives
// a new file, whether its unnamed files can be named, and whether a file's mode can be set: where
// it cannot, a named temporary is created with the folder's mode from the start rather than kept
// to its owner. The temporary's second descriptor stands for the one that publication takes. The
// temporary is a slice's, whatever name came first: no name's length decides for the folder, and a
// sweep takes what a run killed here leaves.
void Probe() {
  constexpr char kSlice[] = "0.tif";
  struct stat s {};
  usable = unnamedWorks = false;
  namedMode = 0600;
#ifdef O_TMPFILE
  fd = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  usable = fd >= 0 && NamePartial(kSlice) && ::fstat(fd, &s) == 0 && Duplicable(fd);
  unnamedWorks = usable || (fd >= 0 && errno == EEXIST); // else every name drawn was taken
  Drop(fd);
#endif
  if (!unnamedWorks) {
    DrawName(kSlice, [] {
      return fd = ::openat(folder, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0666);
    });
    usable = fd >= 0 && ::fstat(fd, &s) == 0 && Duplicable(fd);
    if (usable && ::fchmod(fd, s.st_mode & 07777) != 0 &&
        (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP))
      namedMode = 0666;
    Drop(fd);
  }
  newMode = s.st_mode & 07777;
  probed = Modified(s);
}

// Splits off name's leaf; true when its folder is the one held. The folder's path goes to path,
// length characters of it. False too when the folder's path or the leaf does not fit.
bool InHeldFolder(const char *name, const char *&path, std::size_t &length) {
  const char *slash = std::strrchr(name, '/');
  const char *base = slash == nullptr ? name : slash + 1;
  path = slash == nullptr ? "." : slash == name ? "/" : name;
  length = path == name ? std::size_t(slash - name) : 1;
  const std::size_t leafLength = std::strlen(base);
  if (length >= sizeof folderPath || leafLength >= sizeof leaf) return (length = 0), false;
  std::memcpy(leaf, base, leafLength + 1);
  return folder >= 0 && std::strncmp(folderPath, path, length) == 0 && folderPath[length] == '\0';
}

bool InHeldFolder(const char *name) {
  const char *path = nullptr;
  std::size_t length = 0;
  return InHeldFolder(name, path, length);
}

// Sums and differences of byte counts, where a limit may be the largest number a file holds.
std::uint64_t Plus(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}
std::uint64_t Less(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : 0;
}

// The number that the file in folder at holds, or its line key holds; none when there is no such
// number, as with a cgroup's "max", which is how v2 says "no limit".
std::uint64_t Number(const char *at, const char *file, const char *key, std::uint64_t none) {
  char path[kPathRoom];
  if (std::snprintf(path, sizeof path, "%s/%s", at, file) >= int(sizeof path)) return none;
  std::FILE *f = std::fopen(path, "r");
  if (f == nullptr) return none;
  std::uint64_t value = none;
  char word[64];
  unsigned long long n = 0;
  if (key == nullptr && std::fscanf(f, "%llu", &n) == 1) value = n;
  while (key != nullptr && value == none && std::fscanf(f, "%63s %llu", word, &n) == 2)
    if (std::strcmp(word, key) == 0) value = n;
  std::fclose(f);
  return value;
}

// Whether this process may override the sticky bit's rule (CAP_FOWNER), as the kernel says.
bool MayOverride() {
#if defined(_LINUX_CAPABILITY_VERSION_3) && defined(SYS_capget)
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) == 0)
    return (data[CAP_FOWNER / 32].effective >> CAP_FOWNER % 32 & 1) != 0;
#endif
  return ::geteuid() == 0;
}

// Whether this process's user namespace maps id (kind "uid" or "gid"). The kernel shows an owner
// it cannot map as the overflow id, which is then a real owner only where the map covers every id:
// a map of ranges may cover the overflow id itself, and an owner shown so is taken as unmapped.
// Without /proc there is no telling, and the id is taken as mapped.
bool Mapped(unsigned id, const char *kind) {
  char path[40];
  std::snprintf(path, sizeof path, "overflow%s", kind);
  const std::uint64_t overflow = Number("/proc/sys/kernel", path, nullptr, UINT64_MAX);
  std::snprintf(path, sizeof path, "/proc/self/%s_map", kind);
  std::FILE *file = nullptr;
  if (id != overflow || (file = std::fopen(path, "r")) == nullptr) return true;
  unsigned long inside = 0, outside = 0, count = 0;
  const bool all = std::fscanf(file, "%lu %lu %lu", &inside, &outside, &count) == 3 &&
                   inside == 0 && count == 4294967295;
  std::fclose(file);
  return all;
}

// Opens an entry for its lock: for writing, which NFS asks of an exclusive lock, or else for
// reading, where a file system opens no existing file for writing (gvfs); flock takes either.
int OpenForLock(int at, const char *entry, int flags) {
  const int opened = ::openat(at, entry, O_WRONLY | flags);
  return opened >= 0 ? opened : ::openat(at, entry, O_RDONLY | flags);
}

// Opens a leftover for its lock, and never anything but a regular file: the type is read from the
// entry held by a path descriptor, which is then reopened through /proc; without O_PATH, the
// entry's type is read first and its open cannot block.
int OpenLeftover(int at, const char *entry) {
  struct stat s {};
#ifdef O_PATH
  const int path = ::openat(at, entry, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (path < 0) return -1;
  int opened = -1;
  if (::fstat(path, &s) == 0 && S_ISREG(s.st_mode)) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", path);
    opened = OpenForLock(AT_FDCWD, self, O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ::close(path);
  return opened;
#else
  if (::fstatat(at, entry, &s, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(s.st_mode)) return -1;
  return OpenForLock(at, entry, O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
#endif
}

// Whether a comma-separated list holds word.
bool Lists(const char *list, const char *word) {
  const std::size_t n = std::strlen(word);
  for (const char *p = list; p != nullptr; p = std::strchr(p, ','), p = p ? p + 1 : p)
    if (std::strncmp(p, word, n) == 0 && (p[n] == ',' || p[n] == '\0')) return true;
  return false;
}

// This process's memory cgroup as /proc/self/cgroup names it, into path; v1's memory hierarchy
// where it has one (unified false), else v2's. False where there is none.
bool GroupPath(char (&path)[kPathRoom], bool &unified) {
  char line[kPathRoom + 256];
  std::FILE *f = std::fopen("/proc/self/cgroup", "r");
  bool found = false;
  while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    line[std::strcspn(line, "\n")] = '\0';
    char *controllers = std::strchr(line, ':');
    char *group = controllers != nullptr ? std::strchr(++controllers, ':') : nullptr;
    if (group == nullptr) continue;
    *group++ = '\0';
    const bool v1 = Lists(controllers, "memory"), v2 = *controllers == '\0' && line[0] == '0';
    if ((v1 || (v2 && !found)) && std::strlen(group) < sizeof path) {
      std::strcpy(path, group);
      unified = !v1;
      found = true;
    }
  }
  if (f != nullptr) std::fclose(f);
  return found;
}

// Cuts the next word off a line of space-separated words; "" at its end.
char *Word(char *&line) {
  line += std::strspn(line, " ");
  char *word = line;
  line += std::strcspn(line, " \n");
  if (*line != '\0') *line++ = '\0';
  return word;
}

// The folder where the group at path is mounted, into to; the length of the mount's own folder in
// it, or 0 where its hierarchy is not mounted here.
std::size_t GroupFolder(char (&to)[kPathRoom], const char *path, bool unified) {
  char line[3 * kPathRoom];
  std::FILE *f = std::fopen("/proc/self/mountinfo", "r");
  std::size_t mount = 0;
  while (mount == 0 && f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
    char *p = line;
    for (int skipped = 0; skipped < 3; ++skipped) Word(p); // its id, its parent's, the device
    const char *root = Word(p), *at = Word(p);
    p = std::strstr(p, " - "); // after the optional fields
    if (p == nullptr) continue;
    p += 3;
    const char *type = Word(p);
    Word(p); // the source
    if (std::strcmp(type, unified ? "cgroup2" : "cgroup") != 0 ||
        (!unified && !Lists(Word(p), "memory")))
      continue;
    // The mount shows the hierarchy from its root on: the group lies below it, or is not here.
    const std::size_t r = std::strcmp(root, "/") == 0 ? 0 : std::strlen(root);
    if (std::strncmp(path, root, r) != 0 || (path[r] != '/' && path[r] != '\0')) continue;
    if (std::snprintf(to, sizeof to, "%s%s", at, path + r) < int(sizeof to))
      mount = std::strlen(at);
  }
  if (f != nullptr) std::fclose(f);
  return mount;
}

// The memory the group leaves this process: its limit, less what the group holds that cannot be
// dropped (the file cache can, but for shared memory), plus the swap it may use.
std::uint64_t Room(const char *group, bool unified, std::uint64_t swap) {
  const std::uint64_t limit =
      unified ? Number(group, "memory.max", nullptr, UINT64_MAX)
              : Number(group, "memory.stat", "hierarchical_memory_limit", UINT64_MAX);
  if (limit == UINT64_MAX) return UINT64_MAX;
  const std::uint64_t held = unified ? Number(group, "memory.current", nullptr, 0)
                                     : Number(group, "memory.usage_in_bytes", nullptr, 0);
  const std::uint64_t cache =
      Less(Number(group, "memory.stat", unified ? "file" : "total_cache", 0),
           Number(group, "memory.stat", unified ? "shmem" : "total_shmem", 0));
  const std::uint64_t swapRoom =
      unified ? Less(Number(group, "memory.swap.max", nullptr, UINT64_MAX),
                     Number(group, "memory.swap.current", nullptr, 0))
              : Less(Number(group, "memory.stat", "hierarchical_memsw_limit", UINT64_MAX), limit);
  return Plus(Less(limit, Less(held, cache)), std::min(swap, swapRoom));
}

// What the memory cgroup and, in v2, each group above it up to the mount leave this process.
std::uint64_t GroupRoom(std::uint64_t swap) {
  char path[kPathRoom], group[kPathRoom];
  bool unified = false;
  if (!GroupPath(path, unified)) return UINT64_MAX;
  const std::size_t mount = GroupFolder(group, path, unified);
  std::uint64_t room = UINT64_MAX;
  while (mount > 0) {
    room = std::min(room, Room(group, unified, swap));
    char *up = std::strrchr(group, '/');
    if (!unified || up == nullptr || std::size_t(up - group) < mount) break;
    *up = '\0';
  }
  return room;
}

} // namespace

char **Arguments(int &, char **argv) {
  return argv;
}

void Report(const char *name, const char *why) {
  std::fprintf(stderr, "%s : %s.\n", name, why);
}

bool HoldFolder(const char *name) {
  Prepare();
  const char *path = nullptr;
  std::size_t length = 0;
  if (InHeldFolder(name, path, length)) return true;
  if (length == 0) return false;
  if (folder >= 0) ::close(folder);
  std::memcpy(folderPath, path, length);
  folderPath[length] = '\0';
  folder = ::open(folderPath, kFolderAccess);
  if (folder < 0 || ::fstat(folder, &within) != 0) {
    if (folder >= 0) ::close(folder);
    folder = -1;
    return false;
  }
  Probe();
  return true;
}

// Whether the entry is a mount point, which no rename may replace (EBUSY).
bool MountedOn([[maybe_unused]] const char *entry, const struct stat &s) {
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx x {};
  if (::statx(folder, entry, AT_SYMLINK_NOFOLLOW, 0, &x) == 0 &&
      (x.stx_attributes_mask & x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
    return true;
#endif
  return s.st_dev != within.st_dev; // another file system's root, where statx cannot tell
}

bool CanReplace(const char *name) {
  struct stat s {};
  if (!InHeldFolder(name)) return false;
  if (::fstatat(folder, leaf, &s, AT_SYMLINK_NOFOLLOW) != 0) return true; // nothing there
  if (S_ISDIR(s.st_mode) || MountedOn(leaf, s)) return false;
  // In a sticky folder only the owner of the entry or of the folder may replace it, or a process
  // that may override the rule for an entry whose owner its user namespace maps.
  const uid_t me = ::geteuid();
  return (within.st_mode & S_ISVTX) == 0 || s.st_uid == me || within.st_uid == me ||
         (MayOverride() && Mapped(s.st_uid, "uid") && Mapped(s.st_gid, "gid"));
}

std::FILE *OpenTemporary(const char *name) {
  if (!HoldFolder(name) || !usable) return nullptr;
  fd = -1;
#ifdef O_TMPFILE
  if (unnamedWorks) fd = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) ::flock(fd, LOCK_EX | LOCK_NB); // unnamed: no other process can lock it first
#endif
  namedAtCreation = fd < 0;
  for (int attempt = 0; namedAtCreation && attempt < kContestedTemporaries; ++attempt) {
    // The descriptor is recorded with the name, for a signal's handler to close.
    DrawName(leaf, [] {
      return fd = ::openat(folder, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           namedMode);
    });
    // Without locks there is no sweep to fear; a lock refused, or a name that a sweep took
    // before the lock, leaves the entry to whoever has it now.
    if (fd < 0 || ((::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) &&
                   SameFile(folder, partial, fd)))
      break;
    unfinished.store(false);
    ::close(fd);
    fd = -1;
  }
  std::FILE *file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (file == nullptr) DiscardTemporary(nullptr);
  return file;
}

// Renames the temporary onto its name, what it is going into mine. Where an open file cannot be
// renamed, it is let go first, lock and all.
bool Rename(struct stat &mine) {
  const auto rename = [] { return ::renameat(folder, partial, folder, leaf); };
  if (::fstat(fd, &mine) != 0) return false;
  if (rename() == 0) return true;
  if (errno != EBUSY) return false;
  ::close(fd);
  fd = -1;
  return Patiently(rename) == 0;
}

Published PublishTemporary(std::FILE *file) {
  int failure = 0; // the error of the first step that failed
  const auto step = [&failure](bool done) {
    if (!done && failure == 0) failure = errno != 0 ? errno : EIO;
    return failure == 0;
  };
  step(std::fflush(file) == 0 && std::ferror(file) == 0);
  // A named temporary gets the folder's mode for a new file, unless its file system has no modes
  // (FAT through FUSE answers ENOSYS) or it was created with it.
  if (failure == 0 && namedAtCreation)
    step(::fchmod(fd, newMode) == 0 || errno == ENOSYS || namedMode != 0600);
  // A second descriptor keeps the file and its lock while the stream closes, and close reports
  // what a network file system could not write. Meanwhile signals wait: the handler closes one
  // descriptor, and SMB removes no file that the other holds open.
  ::sigprocmask(SIG_BLOCK, &interruptions, &unmasked);
  const int held = failure == 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  step(held >= 0);
  step(std::fclose(file) == 0);
  fd = held;
  ::sigprocmask(SIG_SETMASK, &unmasked, nullptr);
  // Where the name is free, the complete file takes it in one step; else it is named and renamed.
  const bool linked = failure == 0 && !namedAtCreation && Link(leaf) == 0;
  if (failure == 0 && !namedAtCreation && !linked) step(errno == EEXIST && NamePartial(leaf));
  struct stat mine {};
  const bool renamed = failure == 0 && !linked && step(Rename(mine));
  // A named temporary that any step finds gone was taken by a sweep that its lock did not reach;
  // in a folder that others may write to, another file may have been put at its name, and the
  // rename then gave NAME what this run did not write.
  const bool replaced = renamed && !Holds(folder, leaf, mine);
  const bool done = linked || (renamed && !replaced);
  const bool taken =
      !done && unfinished.load() && (failure == ENOENT || failure == ESTALE || replaced);
  if (done || taken) unfinished.store(false);
  Drop(fd);
  return done ? Published::kDone : taken ? Published::kTaken : Published::kFailed;
}

void DiscardTemporary(std::FILE *file) {
  if (file != nullptr) {
    std::fclose(file);
    fd = -1;
  }
  Drop(fd);
}

bool CanStore(const char *name) {
  return InHeldFolder(name) && usable;
}

// A leftover is removed only if it is a regular file, still the one opened, its lock is free, it
// was not written since the folder was probed, and, where SMB removes no open file, no one else
// holds it open.
void SweepFolder(const char *name) {
  if (!HoldFolder(name)) return;
  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *d = listing >= 0 ? ::fdopendir(listing) : nullptr;
  if (d == nullptr) {
    if (listing >= 0) ::close(listing);
    return;
  }
  while (const dirent *e = ::readdir(d)) {
    if (!IsLeftover(e->d_name)) continue;
    const int leftover = OpenLeftover(listing, e->d_name);
    if (leftover < 0) continue;
    // A recent one is not even locked: its run, which locks it just after creating it, would
    // take a lock it meets there for another's, and leave it.
    const bool dead = !Recent(leftover) && ::flock(leftover, LOCK_EX | LOCK_NB) == 0 &&
                      SameFile(listing, e->d_name, leftover);
    ::close(leftover); // SMB removes no open file
    // Long enough for this run to let go of it, too short to wait out a live run that holds it.
    if (dead) Patiently([&] { return ::unlinkat(listing, e->d_name, 0); }, 64);
  }
  ::closedir(d);
}

unsigned char *ReserveVolume(std::size_t size) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_NORESERVE
  flags |= MAP_NORESERVE; // the unwritten pages are no commitment, whatever the overcommit rule
#endif
  void *volume = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (volume == MAP_FAILED) return nullptr;
#ifdef MADV_NOHUGEPAGE
  ::madvise(volume, size, MADV_NOHUGEPAGE);
#endif
  return static_cast<unsigned char *>(volume);
}

bool CommitVolume(unsigned char *, std::size_t) {
  return true; // a page takes memory when it is first written
}

void ReleaseVolume(unsigned char *volume, std::size_t size) {
  ::munmap(volume, size);
}

std::size_t PageSize() {
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? std::size_t(page) : 4096;
}

std::uint64_t MemoryRoom() {
  std::uint64_t machine = UINT64_MAX, swap = UINT64_MAX;
#if TRAVIK_HAVE_SYSINFO
  struct sysinfo s {};
  if (::sysinfo(&s) == 0) {
    swap = std::uint64_t{s.totalswap} * s.mem_unit;
    machine = Plus(std::uint64_t{s.totalram} * s.mem_unit, swap);
  }
#endif
  return std::min(machine, GroupRoom(swap));
}
