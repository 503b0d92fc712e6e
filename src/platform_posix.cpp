// SPDX-License-Identifier: MIT
// Safe replacement of files on POSIX systems; what a system offers beyond POSIX (unnamed files,
// linking by descriptor, the kernel's random numbers) is found by feature tests.
//
// The temporary is created in its folder, opened once per file, so that the temporary, its name
// and the rename all happen in the same folder, however the path to it changes meanwhile. Where
// the file system can, it is created unnamed and named only once complete; elsewhere it is named
// from the start, readable by its owner alone. It is locked (flock) from its creation to its
// rename: that is how a sweep tells a live run's temporary from a dead one's. A lock refused is
// another's: nothing here ever waits on anything another user controls.

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <initializer_list>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if TRAVIK_HAVE_GETRANDOM || TRAVIK_HAVE_GETENTROPY
#include <sys/random.h>
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

constexpr int kTries = 8;

// Fixed storage, so that nothing here can fail to allocate, and the names outlive exit for the
// signal handler.
char folderPath[kPathRoom];
char leaf[kLeafRoom];
char partial[kLeafRoom];
int folder = -1; // the folder of the temporary
int fd = -1;     // the temporary
bool named;      // it has had its name since it was created
mode_t newMode;  // what a new file gets: 0666 less the umask

// partial names this run's temporary in folder: all that the failure paths may remove.
std::atomic<bool> unfinished{false};
static_assert(std::atomic<bool>::is_always_lock_free);
sigset_t interruptions, unmasked; // held back while a name is taken and recorded

void RemovePartial() { // async-signal-safe
  if (unfinished.load()) ::unlinkat(folder, partial, 0);
}

extern "C" void Interrupted(int signal) {
  RemovePartial();
  std::raise(signal); // the handler was reset on entry: the signal ends the process as it would
}

// Once per process; signals the user ignores stay ignored.
void Prepare() {
  static bool done = false;
  if (done) return;
  done = true;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  newMode = 0666 & ~mask;
  struct sigaction action {};
  struct sigaction old {};
  action.sa_handler = Interrupted;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  sigemptyset(&action.sa_mask);
  sigemptyset(&interruptions);
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    sigaddset(&interruptions, signal);
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
      ::sigaction(signal, &action, nullptr);
  }
}

std::uint64_t RandomBits() {
  std::uint64_t r = 0;
#if TRAVIK_HAVE_GETRANDOM
  if (::getrandom(&r, sizeof r, 0) == static_cast<ssize_t>(sizeof r)) return r;
#elif TRAVIK_HAVE_GETENTROPY
  if (::getentropy(&r, sizeof r) == 0) return r;
#endif
  const int source = ::open("/dev/urandom", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (source >= 0) {
    const ssize_t n = ::read(source, &r, sizeof r);
    ::close(source);
    if (n == static_cast<ssize_t>(sizeof r)) return r;
  }
  // Two runs with the same process number at the same instant still differ in where address
  // space randomisation put their stacks, and one run's draws in the counter.
  static std::uint64_t counter;
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  const int here = 0;
  std::uint64_t h = ++counter;
  for (const std::uint64_t v :
       {static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here)),
        static_cast<std::uint64_t>(t.tv_sec), static_cast<std::uint64_t>(t.tv_nsec),
        static_cast<std::uint64_t>(::getpid())}) {
    h = (h ^ v) * 0x9E3779B97F4A7C15u;
    h ^= h >> 29;
  }
  return h;
}

// Whether entry in the folder at is the regular file open at descriptor: the one test of "this is
// still the file I hold".
bool Holds(int at, const char *entry, int descriptor) {
  struct stat opened {};
  struct stat now {};
  return ::fstat(descriptor, &opened) == 0 && S_ISREG(opened.st_mode) &&
         ::fstatat(at, entry, &now, AT_SYMLINK_NOFOLLOW) == 0 && opened.st_ino == now.st_ino &&
         opened.st_dev == now.st_dev;
}

// Draws names until take(), which creates an entry at partial or fails with errno, finds one
// free, and records it before any signal can see it; an entry already there is another's and
// stays. Returns what take returned last.
template <typename Take> int TakeName(Take take) {
  int taken = -1;
  errno = EEXIST;
  for (int attempt = 0; attempt < kTries && taken < 0 && errno == EEXIST; ++attempt) {
    if (!PartialName(partial, sizeof partial, leaf, RandomBits())) {
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

// Gives the unnamed temporary its name. Linking by descriptor needs a capability; through /proc
// it does not, but needs /proc. A name already taken is the first link's to report.
bool NamePartial() {
#ifdef O_TMPFILE
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return TakeName([&self] {
           if (::linkat(fd, "", folder, partial, AT_EMPTY_PATH) == 0) return 0;
           if (errno == EEXIST) return -1;
           return ::linkat(AT_FDCWD, self, folder, partial, AT_SYMLINK_FOLLOW);
         }) == 0;
#else
  return false; // never unnamed
#endif
}

void CloseFolder() {
  unfinished.store(false);
  if (folder >= 0) ::close(folder);
  folder = -1;
}

// Splits name into its folder (opened) and leaf; false when the folder cannot be opened.
bool OpenFolder(const char *name) {
  const char *slash = std::strrchr(name, '/');
  const char *base = slash == nullptr ? name : slash + 1;
  const char *path = slash == nullptr ? "." : slash == name ? "/" : name;
  const std::size_t length = path == name ? std::size_t(slash - name) : 1;
  const std::size_t leafLength = std::strlen(base);
  if (length >= sizeof folderPath || leafLength >= sizeof leaf) return false;
  std::memcpy(folderPath, path, length);
  folderPath[length] = '\0';
  std::memcpy(leaf, base, leafLength + 1);
  folder = ::open(folderPath, kFolderAccess);
  return folder >= 0;
}

} // namespace

char **Arguments(int, char **argv) {
  return argv;
}

bool IsFolder(const char *name) {
  struct stat s {};
  return ::lstat(name, &s) == 0 && S_ISDIR(s.st_mode);
}

std::FILE *OpenTemporary(const char *name) {
  Prepare();
  if (!OpenFolder(name)) return nullptr;
  fd = -1;
#ifdef O_TMPFILE
  fd = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) ::flock(fd, LOCK_EX | LOCK_NB); // unnamed: no other process can lock it first
#endif
  named = fd < 0;
  for (int attempt = 0; named && attempt < kTries; ++attempt) {
    fd = TakeName([] {
      return ::openat(folder, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    // Without locks there is no sweep to fear; a lock refused, or a name that a sweep took
    // before the lock, leaves the entry to whoever has it now.
    if (fd < 0 || ((::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) &&
                   Holds(folder, partial, fd)))
      break;
    unfinished.store(false);
    ::close(fd);
    fd = -1;
  }
  std::FILE *file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
  if (file == nullptr) DiscardTemporary(nullptr);
  return file;
}

Published PublishTemporary(std::FILE *file, const char *) {
  bool ready = std::fflush(file) == 0 && std::ferror(file) == 0;
  if (ready) {
    ::fchmod(fd, newMode); // where a file system has no modes, the file has what it gives
    ready = named || NamePartial();
  }
  if (!ready) {
    DiscardTemporary(file);
    return Published::kFailed;
  }
  // A second descriptor keeps the lock while the stream closes, and close reports what a
  // network file system could not write.
  const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  fd = -1;
  if (std::fclose(file) != 0) {
    if (held >= 0) ::close(held);
    DiscardTemporary(nullptr);
    return Published::kFailed;
  }
  const bool renamed = ::renameat(folder, partial, folder, leaf) == 0;
  const bool taken = !renamed && errno == ENOENT;
  if (renamed || taken) unfinished.store(false);
  if (held >= 0) ::close(held);
  DiscardTemporary(nullptr);
  return renamed ? Published::kDone : taken ? Published::kTaken : Published::kFailed;
}

void DiscardTemporary(std::FILE *file) {
  if (file != nullptr)
    std::fclose(file);
  else if (fd >= 0)
    ::close(fd);
  fd = -1;
  RemovePartial();
  CloseFolder();
}

bool CanStore(const char *name) {
  std::FILE *file = OpenTemporary(name);
  const bool nameable = file != nullptr && (named || NamePartial());
  DiscardTemporary(file);
  return nameable;
}

// A leftover is removed only if it is a regular file, still the one opened, and its lock is free. A
// FIFO, device, socket or folder is never opened; the open neither follows a link nor makes a
// terminal the process's, and is for writing, which NFS asks of an exclusive lock.
void SweepFolder(const char *path) {
  DIR *d = ::opendir(*path != '\0' ? path : "/");
  if (d == nullptr) return;
  const int at = ::dirfd(d);
  while (const dirent *e = ::readdir(d)) {
    struct stat seen {};
    if (!IsLeftover(e->d_name) || ::fstatat(at, e->d_name, &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(seen.st_mode))
      continue;
    const int leftover =
        ::openat(at, e->d_name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (leftover < 0) continue;
    if (::flock(leftover, LOCK_EX | LOCK_NB) == 0 && Holds(at, e->d_name, leftover))
      ::unlinkat(at, e->d_name, 0);
    ::close(leftover);
  }
  ::closedir(d);
}
