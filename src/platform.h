// SPDX-License-Identifier: MIT
#pragma once

// Safe replacement of files, the one thing that differs between systems. A new file is written to
// a temporary beside its name, NAME.partial. and 16 lowercase hex digits of fresh random bits,
// created exclusively and held (locked, or shared with no one who may delete it) from its creation
// to its publication, which puts it onto NAME in one atomic step: NAME holds its old entry or the
// whole new file, with the mode and ACL the folder gives a new file. A folder is opened once, at
// the first name in it, and every later name with the same folder text means that folder, wherever
// the path leads meanwhile. Whatever ends the process as a signal or a console event removes the
// temporary first, then ends the process as it would have. One temporary at a time.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// argv with every argument in UTF-8 (a text that no UTF-8 can spell stays unusable as a name), and
// argc its count; null when there is no memory for it. Called first, before anything that a
// console event could interrupt.
char **Arguments(int &argc, char **argv);

// Whether the entry at name, if any, can be replaced by a file: not a folder, and not another's in
// a sticky folder. (Whether the folder takes files at all is CanStore's to find.)
bool CanReplace(const char *name);

// A new temporary for name, as a binary seekable stream; null when none can be made.
std::FILE *OpenTemporary(const char *name);

enum class Published { kDone, kTaken, kFailed };

// Closes the stream and puts its file onto name. kTaken: the temporary, once named, was gone before
// its publication, as another host's sweep takes it where locks do not reach that host (or a
// network file system drops the lock with the stream); the file may be written again.
Published PublishTemporary(std::FILE *file, const char *name);

// Closes the stream, if any, and removes this run's temporary, if any.
void DiscardTemporary(std::FILE *file);

// Whether name's folder can take the file: a temporary taken, named and removed as for a file.
bool CanStore(const char *name);

// Removes the temporaries that dead runs left in name's folder, and nothing else: no live run's
// temporary, and no entry of another shape. Nothing it meets fails the run.
void SweepFolder(const char *name);

// The temporaries' shape. A temporary of leaf is leaf + kPartial + 16 lowercase hex digits of
// random bits; those that runs of this program leave are named for a slice: digits, ".tif".
constexpr char kPartial[] = ".partial.";
constexpr std::size_t kRandomDigits = 16;
// Writes the temporary's leaf into to (room bytes); false if it does not fit.
inline bool PartialName(char *to, std::size_t room, const char *leaf, std::uint64_t bits) {
  const int n = std::snprintf(to, room, "%s%s%0*llx", leaf, kPartial, int{kRandomDigits},
                              static_cast<unsigned long long>(bits));
  return n > 0 && static_cast<std::size_t>(n) < room;
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
