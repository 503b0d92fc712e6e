// travik iterations directory
//
// Builds the Menger sponge of the given depth as a cube of voxels (0 empty, 189 solid) with
// edge 3^iterations and writes it as one 8-bit LZW TIFF per z-slice: directory/NN.tif.

#include "sif.h"

#include <array>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

constexpr unsigned char kSolid = 189;

unsigned char ***cell; // cell[z][y][x]

constexpr int kRowCube = 27; // sub-cubes up to this edge are written row by row

// Digit positions (base 3) that hold a 1, for coordinates inside a small cube.
constexpr auto kOnes = [] {
  std::array<unsigned, kRowCube> ones{};
  for (int v = 0; v < kRowCube; ++v)
    for (int d = 0, t = v; t > 0; ++d, t /= 3)
      if (t % 3 == 1) ones[static_cast<std::size_t>(v)] |= 1u << d;
  return ones;
}();

// Row (y, z) of a small sponge is empty where y and z both have a 1 at the same digit position;
// otherwise x is solid unless it has a 1 where y or z has one. So there are 8 row patterns, one
// per set of such positions, and a narrower cube uses the start of each.
constexpr auto kRows = [] {
  std::array<std::array<unsigned char, kRowCube>, 8> rows{};
  for (unsigned taken = 0; taken < 8; ++taken)
    for (std::size_t x = 0; x < kRowCube; ++x)
      rows[taken][x] = (kOnes[x] & taken) != 0 ? 0 : kSolid;
  return rows;
}();

void CarveRows(int x, int y, int z, int size) {
  const auto n = static_cast<std::size_t>(size);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      if ((kOnes[i] & kOnes[j]) != 0) continue;
      std::memcpy(&cell[static_cast<std::size_t>(z) + i][static_cast<std::size_t>(y) + j][x],
                  kRows[kOnes[i] | kOnes[j]].data(), n);
    }
}

void Menger_Sponge(int x, int y, int z, int size) {
  if (size <= kRowCube) {
    CarveRows(x, y, z, size);
    return;
  }
  const int third = size / 3;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        if ((i == 1) + (j == 1) + (k == 1) <= 1)
          Menger_Sponge(x + k * third, y + j * third, z + i * third, third);
}

// atoi's rules, saturating where atoi would be undefined.
int Iterations(const char *s) {
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  const bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  constexpr long long kCap = static_cast<long long>(INT_MAX) + 1;
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > kCap) v = kCap;
  }
  if (negative) return static_cast<int>(-v);
  return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

// A volume of hundreds of megabytes costs more in 4 KiB page faults than in carving it;
// ask for huge pages where the system offers them on request. Only a hint: failure is harmless.
void PreferHugePages([[maybe_unused]] unsigned char *block, [[maybe_unused]] std::size_t size) {
#if defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (start + size) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

[[noreturn]] void NoMemory() {
  std::fputs("memory allocation error.\n", stderr);
  std::exit(1);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage : travik iterations directory\n", stderr);
    return 1;
  }
  const int iterations = Iterations(argv[1]);
  if (iterations < 0) {
    std::fputs("bad number of iteration.\n", stderr);
    return 1;
  }
#ifdef SIGXFSZ
  // Past a file-size limit, let the write fail and the writer clean up instead of dying mid-file.
  std::signal(SIGXFSZ, SIG_IGN);
#endif

  // The edge is an image width, so it must fit an int; the volume must fit the address space.
  std::size_t edge = 1;
  for (int i = 0; i < iterations; ++i) {
    edge *= 3;
    if (edge > INT_MAX) NoMemory();
  }
  if (edge > SIZE_MAX / edge / edge) NoMemory();
  const std::size_t rowCount = edge * edge;
  if (rowCount > SIZE_MAX / sizeof(unsigned char *)) NoMemory();

  cell = static_cast<unsigned char ***>(std::malloc(edge * sizeof *cell));
  if (cell == nullptr) NoMemory();
  cell[0] = static_cast<unsigned char **>(std::malloc(rowCount * sizeof **cell));
  if (cell[0] == nullptr) NoMemory();
  // calloc hands out the operating system's zeroed pages instead of clearing them again.
  cell[0][0] = static_cast<unsigned char *>(std::calloc(rowCount, edge));
  if (cell[0][0] == nullptr) NoMemory();
  PreferHugePages(cell[0][0], rowCount * edge);
  for (std::size_t z = 0; z < edge; ++z) {
    cell[z] = cell[0] + z * edge;
    for (std::size_t y = 0; y < edge; ++y) cell[z][y] = cell[0][0] + (z * edge + y) * edge;
  }

  const int size = static_cast<int>(edge);
  Menger_Sponge(0, 0, 0, size);

  int digits = 1;
  for (std::size_t p = 10; edge > p; p *= 10) ++digits;
  std::string name;
  for (int z = 0; z < size; ++z) {
    const std::string number = std::to_string(z);
    name.assign(argv[2]).append("/");
    name.append(static_cast<std::size_t>(digits) - number.size(), '0')
        .append(number)
        .append(".tif");
    StoreImageFile(name.c_str(), size, size, 8, cell[z], nullptr);
  }

  std::free(cell[0][0]);
  std::free(cell[0]);
  std::free(cell);
  return 0;
}
