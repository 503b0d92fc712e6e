// SPDX-License-Identifier: MIT
#pragma once

// Safe replacement of files, the one thing that differs between systems. A new file is written to
// a temporary beside its name, NAME.partial. and 16 lowercase hex digits of fresh random bits,
// created exclusively and held (locked, or shared with no one who may delete it) from its creation
// to its publication, which puts it onto NAME in one atomic step: NAME holds its old entry or the
// whole new file, with the mode and ACL the folder gives a new file.
//
// One temporary at a time. A signal or a console event that ends the process may come in any
// state, and ends it as it would have once the temporary is gone:
//
//   none --OpenTemporary--> open --PublishTemporary--> kDone: the file is at NAME
//                             |                    |-> kTaken: gone before its publication, NAME
//                             |                    |   untouched, or replaced by another's file,
//                             |                    |   which NAME then holds; write it again
//                             |                    \-> kFailed: a step failed, NAME untouched
//                             +---DiscardTemporary---> discarded: NAME untouched
//
//   open: a named temporary is removed first; an unnamed one, and on Windows one created to be
//         deleted on close, goes with the process. Between a name's draw and its record, such
//         signals wait.
//   none, kDone, kTaken, kFailed, discarded: nothing of this run's to remove; the next temporary
//         starts again from none.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// argv with every argument in UTF-8 (a text that no UTF-8 can spell stays unusable as a name), and
// argc its count; null when there is no memory for it. Called first, before anything that a
// console event could interrupt.
char **Arguments(int &argc, char **argv);

// Writes a failure's one line, "NAME : why.", to standard error; in UTF-8 where names come from
// Arguments, which shows what it could not spell as U+FFFD there.
void Report(const char *name, const char *why);

// Takes name's folder for what follows, and false where it cannot be opened: it is opened once,
// and every later name with the same folder text means that folder, wherever the path leads
// meanwhile. At the first call, every signal whose default ends the process starts removing this
// run's temporary first (Windows' console handler starts with Arguments). A temporary that is
// never published then learns what the folder does with a new file. OpenTemporary and
// SweepFolder hold a name's folder themselves.
bool HoldFolder(const char *name);

// Queries about the held folder, false for a name in another. Whether the entry at name, if any,
// can be replaced by a file: not a folder, and not another's in a sticky folder.
bool CanReplace(const char *name);

// Whether the held folder took HoldFolder's temporary: created, named and removed as for a file.
bool CanStore(const char *name);

// A new temporary for name, as a binary seekable stream; null when none can be made. One that
// another process locks first is left to it, and another made, up to kContestedTemporaries times.
constexpr int kContestedTemporaries = 8;
std::FILE *OpenTemporary(const char *name);

enum class Published { kDone, kTaken, kFailed };

// Closes the stream and puts its file onto the name it was opened for. kTaken: the temporary, once
// named, was gone before its publication, as another host's sweep takes it where locks do not
// reach that host (or a network file system drops the lock with the stream), or another file was
// put at its name and published instead; the file may be written again.
Published PublishTemporary(std::FILE *file);

// Closes the stream, if any, and removes this run's temporary, if any.
void DiscardTemporary(std::FILE *file);

// Removes the temporaries that dead runs left in name's folder, and nothing else: no live run's
// temporary, and no entry of another shape. Nothing it meets fails the run.
void SweepFolder(const char *name);

// The voxel volume: size bytes of address space, reading as zeros, whose pages take memory only
// once they are written, never in huge pages that would bring unwritten rows along; null when the
// address space cannot be had.
unsigned char *ReserveVolume(std::size_t size);

// Makes length bytes from at writable, where a system charges memory only for what it was told
// will be written; false when the system cannot promise them.
bool CommitVolume(unsigned char *at, std::size_t length);

void ReleaseVolume(unsigned char *volume, std::size_t size);

// The unit in which memory becomes resident.
std::size_t PageSize();

// The most memory this process can hold, whatever the others do meanwhile: the machine's memory
// and swap, or what its memory limit (a cgroup's, a job's) leaves beside what its group holds.
// UINT64_MAX where no such limit can be read.
std::uint64_t MemoryRoom();

// The temporaries' shape. A temporary of leaf is leaf + kPartial + 16 lowercase hex digits of
// random bits; those that runs of this program leave are named for a slice: digits, ".tif".
constexpr char kPartial[] = ".partial.";
constexpr std::size_t kRandomDigits = 16;
// Fresh names drawn for one temporary, each taken already or taken away as it was made: 64
// random bits make a second collision a sign that something other than chance is at work.
constexpr int kNameDraws = 8;

// Writes name + kPartial + the hex digits of bits, and a zero, into to (room characters); false
// if it does not fit. name is a leaf, or a whole path.
template <typename Char>
bool PartialName(Char *to, std::size_t room, const Char *name, std::uint64_t bits) {
  std::size_t length = 0;
  while (name[length] != 0) ++length;
  if (length + sizeof kPartial + kRandomDigits > room) return false;
  Char *p = std::copy(name, name + length, to);
  for (const char *c = kPartial; *c != '\0';) *p++ = static_cast<Char>(*c++);
  for (std::size_t i = kRandomDigits; i-- > 0;)
    *p++ = static_cast<Char>("0123456789abcdef"[bits >> 4 * i & 15]);
  *p = 0;
  return true;
}

inline bool IsLeftover(const char *leaf) {
  const char *p = leaf;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == leaf || std::strncmp(p, ".tif", 4) != 0 ||
      std::strncmp(p += 4, kPartial, sizeof kPartial - 1) != 0)
    return false;
  p += sizeof kPartial - 1;
  std::size_t hex = 0;
  for (; (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'); ++p) ++hex;
  return *p == '\0' && hex == kRandomDigits;
}

// 2^64 divided by the golden ratio, made odd: multiplying by it spreads every input bit over the
// product's high bits, which hashes and scrambles take.
constexpr std::uint64_t kGoldenRatio = 0x9E3779B97F4A7C15u;

// Random bits for when the system has none to give. One run's draws differ in the counter, and
// runs of the same process number at the same instant (apart in containers) in where address
// space randomisation put their stacks.
inline std::uint64_t FallbackBits(std::uint64_t now, std::uint64_t process) {
  static std::uint64_t counter;
  const int here = 0;
  std::uint64_t h = ++counter;
  for (const std::uint64_t v :
       {static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&here)), now, process}) {
    h = (h ^ v) * kGoldenRatio;
    h ^= h >> 29;
  }
  return h;
}
