// SPDX-License-Identifier: MIT
// Safe replacement of files on Windows. Names arrive and travel in UTF-8 and meet the system as
// UTF-16, through the wide API alone.
//
// The temporary is opened with delete access and shares none, so no sweep can take it while a
// run holds it, and is marked for deletion on close at once: a run that ends in any way takes its
// temporary with it. Publication clears the mark and renames the temporary by its handle onto the
// name, in one step, under a lock that the console handler takes too, so that Ctrl-C never comes
// between the two.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00 // the flags of FILE_RENAME_INFO
#endif
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr int kTries = 8;
// Windows 10 1607's class, which not every SDK names.
constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kPatience = 10000; // ms to wait while another process holds the target

HANDLE temporary = INVALID_HANDLE_VALUE;
SRWLOCK publishing = SRWLOCK_INIT;

// UTF-16 of a UTF-8 text, to be freed; null if the text is not UTF-8 or there is no memory.
wchar_t *Wide(const char *text) {
  const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  auto *wide = n > 0 ? static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * unsigned(n))) : nullptr;
  if (wide != nullptr &&
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, n) != n) {
    std::free(wide);
    return nullptr;
  }
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

// Ctrl-C, Ctrl-Break and a closed console end the run as Windows programs end then; a publication
// under way finishes first. Closing the handle takes the temporary with it.
BOOL WINAPI Interrupted(DWORD) {
  ::AcquireSRWLockExclusive(&publishing);
  if (temporary != INVALID_HANDLE_VALUE) ::CloseHandle(temporary);
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

std::uint64_t RandomBits() {
  std::uint64_t r = 0;
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&r), sizeof r,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    static std::uint64_t counter;
    LARGE_INTEGER t{};
    ::QueryPerformanceCounter(&t);
    const int here = 0;
    r = (++counter ^ std::uint64_t(reinterpret_cast<std::uintptr_t>(&here)) ^
         std::uint64_t(t.QuadPart) ^ (std::uint64_t(::GetCurrentProcessId()) << 32)) *
        0x9E3779B97F4A7C15u;
  }
  return r;
}

// Renames the temporary onto target (UTF-16), replacing what is there: with POSIX semantics where
// the system has them, so that readers holding the old file do not stand in the way.
bool Rename(const wchar_t *target) {
  const std::size_t bytes = std::wcslen(target) * sizeof(wchar_t);
  auto *info = static_cast<FILE_RENAME_INFO *>(std::calloc(1, sizeof(FILE_RENAME_INFO) + bytes));
  if (info == nullptr) return false;
  info->FileNameLength = DWORD(bytes);
  std::memcpy(info->FileName, target, bytes);
  const DWORD size = DWORD(sizeof(FILE_RENAME_INFO) + bytes);
  bool renamed = false;
  for (DWORD waited = 0, pause = 1;; waited += pause, pause = pause < 256 ? 2 * pause : pause) {
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    renamed = ::SetFileInformationByHandle(temporary, kRenameInfoEx, info, size);
    if (!renamed && ::GetLastError() != ERROR_ACCESS_DENIED &&
        ::GetLastError() != ERROR_SHARING_VIOLATION) {
      info->Flags = 0;
      info->ReplaceIfExists = TRUE;
      renamed = ::SetFileInformationByHandle(temporary, FileRenameInfo, info, size);
    }
    const DWORD error = ::GetLastError();
    // Another run or a virus scanner may hold the target for a moment.
    if (renamed || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        waited >= kPatience)
      break;
    ::Sleep(pause);
  }
  std::free(info);
  return renamed;
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

// A folder, or a link to one, cannot be replaced by a file.
bool CanReplace(const char *name) {
  wchar_t *wide = Wide(name);
  const DWORD attributes = wide != nullptr ? ::GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
  std::free(wide);
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::FILE *OpenTemporary(const char *name) {
  const std::size_t room = std::strlen(name) + sizeof kPartial + kRandomDigits;
  char *partial = static_cast<char *>(std::malloc(room));
  for (int attempt = 0; partial != nullptr && attempt < kTries; ++attempt) {
    PartialName(partial, room, name, RandomBits());
    wchar_t *wide = Wide(partial);
    if (wide == nullptr) break;
    ::AcquireSRWLockExclusive(&publishing);
    temporary = ::CreateFileW(wide, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temporary != INVALID_HANDLE_VALUE && !MarkForDeletion(temporary, true)) {
      ::CloseHandle(temporary); // cannot be left to go by itself, so never used
      ::DeleteFileW(wide);
      temporary = INVALID_HANDLE_VALUE;
    }
    ::ReleaseSRWLockExclusive(&publishing);
    const DWORD error = ::GetLastError();
    std::free(wide);
    if (temporary != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) break;
  }
  std::free(partial);
  if (temporary == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(temporary), _O_BINARY | _O_WRONLY);
  std::FILE *file = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
  if (file == nullptr) DiscardTemporary(nullptr);
  return file;
}

Published PublishTemporary(std::FILE *file, const char *name) {
  const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
  wchar_t *target = Wide(name);
  ::AcquireSRWLockExclusive(&publishing);
  bool renamed = false;
  if (written && target != nullptr && MarkForDeletion(temporary, false)) {
    renamed = Rename(target);
    if (!renamed) MarkForDeletion(temporary, true);
  }
  std::fclose(file); // closes the handle
  temporary = INVALID_HANDLE_VALUE;
  ::ReleaseSRWLockExclusive(&publishing);
  std::free(target);
  return renamed ? Published::kDone : Published::kFailed;
}

void DiscardTemporary(std::FILE *file) {
  ::AcquireSRWLockExclusive(&publishing);
  if (file != nullptr)
    std::fclose(file);
  else if (temporary != INVALID_HANDLE_VALUE)
    ::CloseHandle(temporary);
  temporary = INVALID_HANDLE_VALUE;
  ::ReleaseSRWLockExclusive(&publishing);
}

bool CanStore(const char *name) {
  std::FILE *file = OpenTemporary(name);
  DiscardTemporary(file);
  return file != nullptr;
}

// A leftover is opened with delete access, sharing nothing and not following links: a live run's
// temporary is refused, as its handle shares no delete access.
void SweepFolder(const char *name) {
  std::size_t length = std::strlen(name); // of the folder, with its separator
  while (length > 0 && name[length - 1] != '/' && name[length - 1] != '\\') --length;
  char *pattern = static_cast<char *>(std::malloc(length + 2));
  if (pattern != nullptr) std::memcpy(pattern, name, length), std::memcpy(pattern + length, "*", 2);
  wchar_t *wide = pattern != nullptr ? Wide(pattern) : nullptr;
  std::free(pattern);
  WIN32_FIND_DATAW entry;
  const HANDLE listing = wide != nullptr ? ::FindFirstFileExW(wide, FindExInfoBasic, &entry,
                                                              FindExSearchNameMatch, nullptr, 0)
                                         : INVALID_HANDLE_VALUE;
  const std::size_t folder = wide != nullptr ? std::wcslen(wide) - 1 : 0; // keeps the slash
  for (bool more = listing != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(listing, &entry)) {
    char *leaf = Narrow(entry.cFileName);
    const bool leftover = leaf != nullptr && IsLeftover(leaf);
    std::free(leaf);
    const std::size_t n = std::wcslen(entry.cFileName) + 1;
    auto *full = leftover
                     ? static_cast<wchar_t *>(std::realloc(wide, sizeof(wchar_t) * (folder + n)))
                     : nullptr;
    if (full == nullptr) continue;
    wide = full;
    std::memcpy(full + folder, entry.cFileName, sizeof(wchar_t) * n);
    const HANDLE h = ::CreateFileW(full, DELETE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
      MarkForDeletion(h, true);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
  if (listing != INVALID_HANDLE_VALUE) ::FindClose(listing);
  std::free(wide);
}
