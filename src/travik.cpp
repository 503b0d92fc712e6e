// SPDX-License-Identifier: MIT
// travik iterations directory
//
// Builds the Menger sponge of the given depth as a cube of voxels (0 empty, 189 solid) with
// edge 3^iterations and writes it as one 8-bit LZW TIFF per z-slice: directory/NN.tif.

#include "platform.h"
#include "sif.h"

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned char kSolid = 189;

unsigned char ***cell; // cell[z][y][x]

// A row (y, z) of the sponge is empty when y and z have a 1 at the same base-3 digit position;
// otherwise voxel x is solid unless x has a 1 where y or z has one. So every row is one of 2^n
// patterns, picked by the positions of the 1s of y and z, and carving copies whole rows: only
// the pages of solid rows are ever touched.
unsigned *ones;          // ones[v]: bit d set where base-3 digit d of v is 1
unsigned char *patterns; // pattern m: edge voxels, solid where x has no 1 at a position of m
std::size_t edge;

// The sub-squares of the (y, z) face are the sub-cubes' columns along x: a column is carved
// away whole exactly when its y and z offsets are both the middle third.
void Menger_Sponge(int y, int z, int size) {
  if (size == 1) {
    const auto row = static_cast<std::size_t>(y), slice = static_cast<std::size_t>(z);
    std::memcpy(cell[slice][row], patterns + (ones[row] | ones[slice]) * edge, edge);
    return;
  }
  const int third = size / 3;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (i != 1 || j != 1) Menger_Sponge(y + j * third, z + i * third, third);
}

[[noreturn]] void NoMemory() {
  std::fputs("memory allocation error.\n", stderr);
  std::exit(1);
}

// Memory that was asked for, or the end of the run.
template <typename T> T *Had(void *memory) {
  if (memory == nullptr) NoMemory();
  return static_cast<T *>(memory);
}

[[noreturn]] void NotStored(const char *name) {
  Report(name, "file not stored");
  std::exit(1);
}

// The slices' names: the folder, "/", the slice's number in `digits` digits, ".tif".
char *name;
std::size_t folderLength;
int digits;

char *SliceName(std::size_t z) {
  char *p = name + folderLength + 1 + digits;
  std::memcpy(p, ".tif", 5);
  for (int d = 0; d < digits; ++d, z /= 10) *--p = static_cast<char>('0' + z % 10);
  return name;
}

unsigned char **rowTable, *voxels; // the volume: edge^2 rows of edge voxels, and edge^3 voxels
std::size_t masks;                 // the row patterns, one for each set of digit positions
unsigned char **image;             // the rows handed to the writer for one slice
unsigned char *empty;              // a row of zeros

// Carving writes the solid rows alone, so the pages they lie on are all of the volume that ever
// takes memory. Their bytes, and given the volume, those pages committed, adjacent ones together.
std::uint64_t SolidPages(unsigned char *volume) {
  const std::size_t page = PageSize();
  std::uint64_t pages = 0;
  std::size_t from = 0, to = 0; // pages not yet counted
  const auto flush = [&] {
    if (volume != nullptr && to > from && !CommitVolume(volume + from * page, (to - from) * page))
      NoMemory();
    pages += to - from;
  };
  for (std::size_t z = 0, row = 0; z < edge; ++z)
    for (std::size_t y = 0; y < edge; ++y, row += edge) {
      if ((ones[y] & ones[z]) != 0) continue;
      const std::size_t first = row / page;
      if (first > to) flush(), from = first;
      to = (row + edge - 1) / page + 1;
    }
  flush();
  return pages * page;
}

// Every allocation is checked where it is made: an exception is no way to report that memory is
// gone, as there may be none left to throw it. What the run will hold is weighed first, against
// what the machine and its limits leave it, so that a depth too large is refused before anything
// is allocated or looked at, rather than ended by the kernel part-way.
void Allocate(long iterations, const char *folder) {
  // The edge is an image width, so it must fit an int; the volume must fit the address space,
  // which with a 32-bit size_t its row count alone can pass.
  edge = 1;
  for (long i = 0; i < iterations; ++i) {
    edge *= 3;
    if (edge > INT_MAX) NoMemory();
  }
  if (edge > SIZE_MAX / edge / edge) NoMemory();
  masks = std::size_t{1} << iterations; // iterations < 20 here
  ones = Had<unsigned>(std::calloc(edge, sizeof *ones));
  for (std::size_t v = 1; v < edge; ++v) ones[v] = ones[v / 3] << 1 | (v % 3 == 1 ? 1u : 0u);
  // Each base-3 digit pair of a row's (y, z) but (1, 1) leaves it solid: 8^n rows of the edge^2.
  // The row table is written whole; the program with its writer's tables holds 32 MiB at most.
  const std::uint64_t tables =
                          edge * edge * sizeof *rowTable + 2 * edge * sizeof *cell + masks * edge,
                      fixed = tables + (std::uint64_t{32} << 20), room = MemoryRoom();
  const std::uint64_t solid = edge * (masks * masks * masks); // no wider than edge^3
  if (solid > room || fixed > room - solid || SolidPages(nullptr) > room - fixed) NoMemory();
  digits = 1;
  for (std::size_t p = 10; edge > p; p *= 10) ++digits;
  folderLength = std::strlen(folder);
  name = Had<char>(std::malloc(folderLength + 16)); // "/", at most 10 digits, ".tif"
  cell = Had<unsigned char **>(std::malloc(edge * sizeof *cell));
  rowTable = Had<unsigned char *>(std::malloc(edge * edge * sizeof *rowTable));
  voxels = Had<unsigned char>(ReserveVolume(edge * edge * edge));
  patterns = Had<unsigned char>(std::malloc(masks * edge));
  image = Had<unsigned char *>(std::malloc(edge * sizeof *image));
  empty = Had<unsigned char>(std::calloc(edge, 1));
  SolidPages(voxels);
  std::memcpy(name, folder, folderLength);
  name[folderLength] = '/';
}

// An empty folder argument names no folder, though the slices' names would lead to the root.
void HoldSliceFolder() {
  SliceName(0);
  if (folderLength == 0 || !HoldFolder(name)) NotStored(name);
}

// Whatever can refuse a slice is looked at before the volume is carved: an entry at a slice's name
// that cannot be replaced, and a folder that cannot take the slices.
void CheckNames() {
  for (std::size_t z = 0; z < edge; ++z)
    if (!CanReplace(SliceName(z))) NotStored(name);
  if (!CanStore(SliceName(0))) NotStored(name);
}

void Carve() {
  for (std::size_t z = 0; z < edge; ++z) {
    cell[z] = rowTable + z * edge;
    for (std::size_t y = 0; y < edge; ++y) cell[z][y] = voxels + (z * edge + y) * edge;
  }
  for (std::size_t m = 0; m < masks; ++m)
    for (std::size_t x = 0; x < edge; ++x) patterns[m * edge + x] = (ones[x] & m) != 0 ? 0 : kSolid;
  Menger_Sponge(0, 0, static_cast<int>(edge));
}

// The rows that carving never wrote are all zeros; handing the writer one row of zeros for them
// instead keeps their pages untouched, as on some kernels reading them makes them resident.
void StoreSlices() {
  for (std::size_t z = 0; z < edge; ++z) {
    for (std::size_t y = 0; y < edge; ++y) image[y] = (ones[y] & ones[z]) != 0 ? empty : cell[z][y];
    const int size = static_cast<int>(edge);
    StoreImageFile(SliceName(z), size, size, 8, image, nullptr);
  }
}

void FreeVolume() {
  std::free(empty), std::free(image), std::free(patterns), std::free(ones);
  ReleaseVolume(voxels, edge * edge * edge), std::free(rowTable), std::free(cell), std::free(name);
}

} // namespace

int main(int argc, char **argv) {
  argv = Arguments(argc, argv);
  if (argv == nullptr) NoMemory();
  if (argc != 3) {
    std::fputs("usage : travik iterations directory\n", stderr);
    return 1;
  }
  // atoi's reading, but saturating where atoi is undefined: too large a depth fails on memory.
  const long iterations = std::strtol(argv[1], nullptr, 10);
  if (iterations < 0) {
    std::fputs("bad number of iteration.\n", stderr);
    return 1;
  }
#ifdef SIGXFSZ
  // Past a file-size limit, let the write fail and the writer clean up instead of dying mid-file.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  Allocate(iterations, argv[2]);
  HoldSliceFolder(); // from here on a signal removes the slice being written
  CheckNames();
  Carve();
  StoreSlices();
  SweepFolder(name); // every slice is complete: nothing the sweep meets fails the run
  FreeVolume();
  return 0;
}
