// SPDX-License-Identifier: MIT
// Safe replacement of files on Windows. Names arrive and travel in UTF-8 and meet the system as
// UTF-16, through the wide API alone, as full paths.
//
// The folder is opened once and shares no deletion, so that it is neither renamed nor removed while
// the run writes into it; every path below it is that folder's literal path and a leaf, so that
// nothing Win32 trims or resolves in a name can lead elsewhere. The temporary is deleted on close,
// so that a run that ends in any way takes it with it, and shares writing with no one, so that no
// sweep can take it. Where the name is free, a link there publishes it; else it is published
// through a second name of the swept shape, a link made just before one rename attempt and gone
// after it: renamed by its handle onto the name in one step, it keeps the file when the
// temporary's own name goes at close. The console handler removes that link, if any, and ends the
// process at once. Where the file system has no links (FAT, exFAT), the temporary itself is
// renamed by its handle, its deletion cancelled just before and restored if the rename fails: a
// run killed in between leaves a held temporary's name, which a later sweep takes.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00 // the flags of FILE_RENAME_INFO
#endif
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "platform.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// Windows 10 1607's class and flag, which not every SDK names.
constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kIgnoreReadOnly = 0x40;
constexpr DWORD kPatience = 10000; // ms to wait while another process holds the target

HANDLE folder = INVALID_HANDLE_VALUE;
char *folderText;     // the folder as named, with its separator
wchar_t *folderPath;  // its literal path, with its separator
wchar_t *folderFinal; // its final path, to which the sweep holds what it opens
HANDLE temporary = INVALID_HANDLE_VALUE;
wchar_t *partial;            // the temporary's full path
wchar_t *target;             // the name's full path
std::atomic<wchar_t *> link; // the second name while it may exist, for the console handler
bool probed, usable;         // the held folder was probed, and took a temporary
bool linkless;               // its file system links no files

// Whether Windows takes the path as it stands (\\?\...), with no '/' as a separator and no "."
// to resolve.
bool Literal(const char *text) {
  return std::strncmp(text, "\\\\?\\", 4) == 0;
}

// UTF-16 of a UTF-8 text, to be freed; null if the text is not UTF-8 or there is no memory. The
// slices' names are joined with '/', which a literal path gets as Windows' own separator.
wchar_t *Wide(const char *text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  auto *wide = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * unsigned(n))) : nullptr;
  if (wide != nullptr &&
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, n) != n) {
    std::free(wide);
    return nullptr;
  }
  if (wide != nullptr && Literal(text))
    for (wchar_t *c = wide; *c != L'\0'; ++c)
      if (*c == L'/') *c = L'\\';
  return wide;
}

// UTF-8 of UTF-16, where a lone surrogate becomes the byte 0xFF, which no UTF-8 holds: such a
// name is refused where it is used, and never becomes another path.
char *Narrow(const wchar_t *text) {
  const std::size_t length = std::wcslen(text);
  auto *out = static_cast<char *>(std::malloc(3 * length + 1));
  if (out == nullptr) return nullptr;
  char *p = out;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (unsigned(text[++i]) - 0xDC00);
    else if (c >= 0xD800 && c < 0xE000)
      c = 0x110000; // lone surrogate
    if (c < 0x80) {
      *p++ = char(c);
    } else if (c < 0x800) {
      *p++ = char(0xC0 | c >> 6), *p++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *p++ = char(0xE0 | c >> 12), *p++ = char(0x80 | (c >> 6 & 0x3F)),
      *p++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x110000) {
      *p++ = char(0xF0 | c >> 18), *p++ = char(0x80 | (c >> 12 & 0x3F));
      *p++ = char(0x80 | (c >> 6 & 0x3F)), *p++ = char(0x80 | (c & 0x3F));
    } else {
      *p++ = char(0xFF);
    }
  }
  *p = '\0';
  return out;
}

bool MarkForDeletion(HANDLE h, bool on) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = on;
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
}

// Ctrl-C, Ctrl-Break and a closed console end the run as Windows programs end then, at once:
// nothing the main thread holds can stop it, and the end closes the temporary, which goes.
BOOL WINAPI Interrupted(DWORD) {
  if (wchar_t *name = link.exchange(nullptr)) ::DeleteFileW(name);
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

std::uint64_t RandomBits() {
  std::uint64_t r = 0;
  if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&r), sizeof r,
                                       BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return r;
  LARGE_INTEGER t{};
  ::QueryPerformanceCounter(&t);
  return FallbackBits(static_cast<std::uint64_t>(t.QuadPart), ::GetCurrentProcessId());
}

// A fresh temporary's name for the target: its full path, kPartial and 16 hex digits. The file that
// is written is held: its name ends in '~', a shape that only sweeps here take, and only once no
// handle holds it, as a run on another system, which sees no handle, must not take it. It goes
// when its handle closes, unless the run ended where no handle closes (a power cut, the end of
// wine's server) or while its deletion was cancelled. Its link, which a run killed at the wrong
// instant leaves, has the shape that every sweep removes.
wchar_t *Partial(bool held = false) {
  const std::size_t room = std::wcslen(target) + sizeof kPartial + kRandomDigits + 1;
  auto *name = static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * room));
  if (name != nullptr && PartialName(name, room, target, RandomBits())) {
    if (held) std::wcscat(name, L"~");
    return name;
  }
  std::free(name);
  return nullptr;
}

// Where the leaf of a name starts: past its last separator.
const char *Leaf(const char *name) {
  const char *leaf = name + std::strlen(name);
  while (leaf > name && leaf[-1] != '/' && leaf[-1] != '\\') --leaf;
  return leaf;
}

// The literal path of a folder named with its separator, to be freed; null if there is none. The
// separator keeps Win32 from trimming trailing spaces and dots off the folder's own name. A device
// path (\\.\Q:\) becomes literal (\\?\Q:\) and a UNC path \\?\UNC\server\share\.
wchar_t *Literally(const char *folderName) {
  wchar_t *wide = Wide(folderName);
  if (wide == nullptr || Literal(folderName)) return wide;
  const DWORD n = ::GetFullPathNameW(wide, 0, nullptr, nullptr);
  auto *full = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * n)) : nullptr;
  const bool got = full != nullptr && ::GetFullPathNameW(wide, n, full, nullptr) + 1 == n;
  std::free(wide);
  const wchar_t *rest = !got                                     ? nullptr
                        : std::wcsncmp(full, L"\\\\.\\", 4) == 0 ? full + 4
                        : std::wcsncmp(full, L"\\\\", 2) == 0    ? full + 2
                                                                 : full;
  const wchar_t *prefix = rest == full + 2 ? L"\\\\?\\UNC\\" : L"\\\\?\\";
  const std::size_t room = got ? std::wcslen(prefix) + std::wcslen(rest) + 1 : 0;
  auto *path = room > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * room)) : nullptr;
  if (path != nullptr) std::wcscat(std::wcscpy(path, prefix), rest);
  std::free(full);
  return path;
}

// The final path of an open handle, to be freed.
wchar_t *Final(HANDLE h) {
  const DWORD n = ::GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
  auto *path = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * n)) : nullptr;
  if (path != nullptr && ::GetFinalPathNameByHandleW(h, path, n, FILE_NAME_NORMALIZED) >= n) {
    std::free(path);
    path = nullptr;
  }
  return path;
}

// Opens the folder of name once: a folder named as before is the one opened then.
bool EnterFolder(const char *name) {
  const char *end = Leaf(name); // past the first separator of its run, or name where there is none
  while (end - 1 > name && (end[-2] == '/' || end[-2] == '\\')) --end;
  const std::size_t length = std::size_t(end - name);
  if (folder != INVALID_HANDLE_VALUE && std::strlen(folderText) == length &&
      std::strncmp(folderText, name, length) == 0)
    return true;
  if (folder != INVALID_HANDLE_VALUE) ::CloseHandle(folder);
  std::free(folderText), std::free(folderPath), std::free(folderFinal);
  probed = false;
  folder = INVALID_HANDLE_VALUE, folderPath = folderFinal = nullptr;
  folderText = static_cast<char *>(std::malloc(length + 1));
  if (folderText == nullptr) return false;
  std::memcpy(folderText, name, length), folderText[length] = '\0';
  folderPath = Literally(length > 0 ? folderText : ".\\");
  if (folderPath != nullptr)
    folder = ::CreateFileW(folderPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder != INVALID_HANDLE_VALUE) folderFinal = Final(folder); // else the sweep keeps all
  // A root's final path ends in the separator that the sweep puts after it.
  const std::size_t n = folderFinal != nullptr ? std::wcslen(folderFinal) : 0;
  if (n > 0 && folderFinal[n - 1] == L'\\') folderFinal[n - 1] = L'\0';
  return folder != INVALID_HANDLE_VALUE;
}

// Makes the held folder's path and name's leaf the target, converting it to UTF-16 once for all
// the calls on one name.
bool Aim(const char *name) {
  static char *aimed; // the name whose target it is
  if (!EnterFolder(name)) return false;
  if (aimed != nullptr && std::strcmp(aimed, name) == 0) return target != nullptr;
  std::free(aimed), std::free(target);
  wchar_t *wide = Wide(Leaf(name));
  const std::size_t n = wide != nullptr ? std::wcslen(folderPath) + std::wcslen(wide) + 1 : 0;
  target = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * n)) : nullptr;
  if (target != nullptr) std::wcscat(std::wcscpy(target, folderPath), wide);
  std::free(wide);
  aimed = target != nullptr ? static_cast<char *>(std::malloc(std::strlen(name) + 1)) : nullptr;
  if (aimed != nullptr) std::strcpy(aimed, name);
  return target != nullptr;
}

// Whether another process holds the target, which it may let go of soon.
bool TargetBusy(DWORD error) {
  if (error == ERROR_SHARING_VIOLATION) return true;
  const DWORD attributes = ::GetFileAttributesW(target);
  return error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Renames the file at h onto the target, replacing what is there: with POSIX semantics where the
// system has them, so that readers holding the old file do not stand in the way.
bool Rename(HANDLE h) {
  const std::size_t bytes = std::wcslen(target) * sizeof(wchar_t);
  auto *info = static_cast<FILE_RENAME_INFO *>(std::calloc(1, sizeof(FILE_RENAME_INFO) + bytes));
  if (info == nullptr) return false;
  info->FileNameLength = DWORD(bytes);
  std::memcpy(info->FileName, target, bytes);
  const DWORD size = DWORD(sizeof(FILE_RENAME_INFO) + bytes);
  info->Flags =
      FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS | kIgnoreReadOnly;
  // A system without the class says so once; later slices skip the call, in the link's lifetime.
  static bool exSupported = true;
  bool renamed = exSupported && ::SetFileInformationByHandle(h, kRenameInfoEx, info, size);
  if (!renamed && ::GetLastError() == ERROR_INVALID_PARAMETER) exSupported = false;
  if (!renamed && ::GetLastError() != ERROR_ACCESS_DENIED &&
      ::GetLastError() != ERROR_SHARING_VIOLATION) {
    info->Flags = 0;
    info->ReplaceIfExists = TRUE;
    renamed = ::SetFileInformationByHandle(h, FileRenameInfo, info, size);
  }
  const DWORD error = ::GetLastError();
  std::free(info);
  ::SetLastError(error);
  return renamed;
}

// Whether two handles hold one file.
bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// One attempt: the link, its rename, and its removal if the rename failed; sets error. Without
// links, the temporary's own rename, its deletion cancelled for it.
Published Attempt(DWORD &error) {
  if (linkless) {
    const bool renamed = MarkForDeletion(temporary, false) && Rename(temporary);
    error = ::GetLastError();
    if (!renamed) MarkForDeletion(temporary, true);
    return renamed ? Published::kDone : Published::kFailed;
  }
  wchar_t *name = Partial();
  if (name == nullptr) return Published::kFailed;
  link.store(name);
  HANDLE h = INVALID_HANDLE_VALUE;
  if (::CreateHardLinkW(name, partial, nullptr))
    h = ::CreateFileW(name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  error = ::GetLastError();
  // Another file put at the link's name, in a folder others may write to, is theirs and stays.
  if (h != INVALID_HANDLE_VALUE && !SameFile(h, temporary)) {
    ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE, error = ERROR_FILE_NOT_FOUND;
  }
  bool renamed = false;
  if (h != INVALID_HANDLE_VALUE) {
    renamed = Rename(h);
    error = ::GetLastError();
    if (!renamed) MarkForDeletion(h, true);
    ::CloseHandle(h);
  }
  if (link.exchange(nullptr) == nullptr) ::Sleep(INFINITE); // the console handler ends the run
  std::free(name);
  return renamed ? Published::kDone : Published::kFailed;
}

// Whether the held folder's file system links files, tried on the temporary; its link goes at
// once.
bool Links() {
  wchar_t *name = Partial();
  if (name == nullptr) return false;
  link.store(name);
  const bool links = ::CreateHardLinkW(name, partial, nullptr);
  if (links) ::DeleteFileW(name);
  if (link.exchange(nullptr) == nullptr) ::Sleep(INFINITE); // the console handler ends the run
  std::free(name);
  return links;
}

} // namespace

// The count and the arguments come from one parse of the command line: the C runtime's own may
// count otherwise.
char **Arguments(int &argc, char **) {
  ::SetConsoleCtrlHandler(Interrupted, TRUE);
  int count = 0;
  wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  auto **args = wide != nullptr
                    ? static_cast<char **>(std::calloc(std::size_t(count) + 1, sizeof(char *)))
                    : nullptr;
  for (int i = 0; args != nullptr && i < count; ++i)
    if ((args[i] = Narrow(wide[i])) == nullptr) args = nullptr;
  if (wide != nullptr) ::LocalFree(wide);
  argc = count;
  return args;
}

// Arguments spells a lone surrogate as the byte 0xFF, which no UTF-8 holds, so that it names
// nothing; a message shows U+FFFD.
void Report(const char *name, const char *why) {
  for (const char *c = name; *c != '\0'; ++c)
    *c == '\xFF' ? std::fputs("\xEF\xBF\xBD", stderr) : std::fputc(*c, stderr);
  std::fprintf(stderr, " : %s.\n", why);
}

// A folder, or a link to one, cannot be replaced by a file.
bool CanReplace(const char *name) {
  const DWORD attributes = Aim(name) ? ::GetFileAttributesW(target) : INVALID_FILE_ATTRIBUTES;
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The probe's temporary, never published, is made as for a file and takes a byte, which a full
// FAT drive refuses; where it cannot be linked, a second one must let its deletion be cancelled
// and restored, as its publication will.
bool HoldFolder(const char *name) {
  if (!EnterFolder(name)) return false;
  if (!probed) {
    probed = true, linkless = false;
    std::FILE *file = OpenTemporary(name);
    usable = file != nullptr && std::fputc(0, file) != EOF && std::fflush(file) == 0;
    linkless = usable && !Links();
    DiscardTemporary(file);
    if (linkless) {
      file = OpenTemporary(name);
      usable =
          file != nullptr && MarkForDeletion(temporary, false) && MarkForDeletion(temporary, true);
      DiscardTemporary(file);
    }
  }
  return true;
}

std::FILE *OpenTemporary(const char *name) {
  const bool aimed = Aim(name);
  for (int attempt = 0; aimed && attempt < kNameDraws; ++attempt) {
    std::free(partial);
    partial = Partial(true);
    if (partial == nullptr) break;
    // Without links, the deletion must be one that can be cancelled.
    const DWORD onClose = linkless ? 0 : FILE_FLAG_DELETE_ON_CLOSE;
    temporary = ::CreateFileW(partial, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | onClose, nullptr);
    if (temporary != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (temporary != INVALID_HANDLE_VALUE && linkless && !MarkForDeletion(temporary, true)) {
    ::CloseHandle(temporary), ::DeleteFileW(partial);
    temporary = INVALID_HANDLE_VALUE;
  }
  if (temporary == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(temporary), _O_BINARY | _O_WRONLY);
  std::FILE *file = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
  if (file == nullptr) DiscardTemporary(nullptr);
  return file;
}

// Retries only while another process holds the target, and never waits with a link in place.
Published PublishTemporary(std::FILE *file) {
  Published published = Published::kFailed;
  // Where the name is free, a link there publishes the complete file in one step.
  const bool ready = std::fflush(file) == 0 && std::ferror(file) == 0;
  if (ready && !linkless && ::CreateHardLinkW(target, partial, nullptr))
    published = Published::kDone;
  else if (ready)
    for (DWORD waited = 0, pause = 1, error = 0, drawn = 0;; waited += pause) {
      published = Attempt(error);
      if (published == Published::kDone) break;
      // Swept away by a run on another system, which sees no handle: the temporary, or its link.
      if (::GetFileAttributesW(partial) == INVALID_FILE_ATTRIBUTES) {
        published = Published::kTaken;
        break;
      }
      const bool lost = error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_HANDLE;
      if ((lost || error == ERROR_ALREADY_EXISTS) && ++drawn < kNameDraws) continue; // another link
      if (!TargetBusy(error) || waited >= kPatience) break;
      ::Sleep(pause);
      pause = pause < 256 ? 2 * pause : pause;
    }
  DiscardTemporary(file);
  return published;
}

void DiscardTemporary(std::FILE *file) {
  if (file != nullptr)
    std::fclose(file); // closes the handle: the temporary goes
  else if (temporary != INVALID_HANDLE_VALUE)
    ::CloseHandle(temporary);
  temporary = INVALID_HANDLE_VALUE;
}

bool CanStore(const char *name) {
  return EnterFolder(name) && probed && usable;
}

// A leftover is opened with delete access, sharing nothing and not following links: a live run's
// temporary is refused, as its handle shares no writing. It goes only if what was opened is a plain
// file in the folder itself, whatever the entry's attributes claimed.
void SweepFolder(const char *name) {
  if (!EnterFolder(name) || folderFinal == nullptr) return;
  const std::size_t at = std::wcslen(folderPath); // ends in the separator
  auto *wide = static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * (at + 2)));
  if (wide != nullptr) std::wcscat(std::wcscpy(wide, folderPath), L"*");
  WIN32_FIND_DATAW entry;
  const HANDLE listing = wide != nullptr ? ::FindFirstFileExW(wide, FindExInfoBasic, &entry,
                                                              FindExSearchNameMatch, nullptr, 0)
                                         : INVALID_HANDLE_VALUE;
  const std::size_t within = std::wcslen(folderFinal);
  for (bool more = listing != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(listing, &entry)) {
    char *leaf = Narrow(entry.cFileName);
    const std::size_t length = leaf != nullptr ? std::strlen(leaf) : 0;
    if (length > 0 && leaf[length - 1] == '~') leaf[length - 1] = '\0'; // a held temporary's
    const bool leftover = leaf != nullptr && IsLeftover(leaf);
    std::free(leaf);
    const std::size_t n = std::wcslen(entry.cFileName) + 1;
    auto *full =
        leftover ? static_cast<wchar_t *>(std::realloc(wide, sizeof(wchar_t) * (at + n))) : nullptr;
    if (full == nullptr) continue;
    wide = full;
    std::memcpy(full + at, entry.cFileName, sizeof(wchar_t) * n);
    const HANDLE h = ::CreateFileW(full, DELETE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    BY_HANDLE_FILE_INFORMATION info;
    wchar_t *opened = Final(h);
    if (opened != nullptr && ::GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        _wcsnicmp(opened, folderFinal, within) == 0 && opened[within] == L'\\' &&
        _wcsicmp(opened + within + 1, entry.cFileName) == 0)
      MarkForDeletion(h, true);
    std::free(opened);
    ::CloseHandle(h);
  }
  if (listing != INVALID_HANDLE_VALUE) ::FindClose(listing);
  std::free(wide);
}

unsigned char *ReserveVolume(std::size_t size) {
  return static_cast<unsigned char *>(::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_READWRITE));
}

// Committed pages read as zeros and take memory only once written; the commit charge is what the
// system promises, so it is asked for no more than will be written.
bool CommitVolume(unsigned char *at, std::size_t length) {
  return ::VirtualAlloc(at, length, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void ReleaseVolume(unsigned char *volume, std::size_t) {
  ::VirtualFree(volume, 0, MEM_RELEASE);
}

std::size_t PageSize() {
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  return system.dwPageSize;
}

// The commit limit: memory and page files, beyond which no commit succeeds.
std::uint64_t MemoryRoom() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPageFile : UINT64_MAX;
}
