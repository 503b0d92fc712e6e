// StoreImageFile alone, on a 729 x 729 slice of the depth-6 sponge and on random samples.

#include "sif.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kEdge = 729;

bool Solid(int x, int y, int z) {
  for (; x || y || z; x /= 3, y /= 3, z /= 3)
    if ((x % 3 == 1) + (y % 3 == 1) + (z % 3 == 1) >= 2) return false;
  return true;
}

void Run(benchmark::State &state, const std::vector<unsigned char> &pixels) {
  std::vector<unsigned char *> rows;
  for (int y = 0; y < kEdge; ++y)
    rows.push_back(const_cast<unsigned char *>(pixels.data()) + y * kEdge);
  const std::string name = "/tmp/travik-sif-bench.tif";
  for (auto _ : state) StoreImageFile(name.c_str(), kEdge, kEdge, 8, rows.data(), nullptr);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEdge * kEdge);
  std::remove(name.c_str());
}

void SpongeSlice(benchmark::State &state) {
  std::vector<unsigned char> pixels(kEdge * kEdge);
  for (int y = 0; y < kEdge; ++y)
    for (int x = 0; x < kEdge; ++x) pixels[std::size_t(y * kEdge + x)] = Solid(x, y, 0) ? 189 : 0;
  Run(state, pixels);
}

void RandomSlice(benchmark::State &state) {
  std::mt19937 random(1);
  std::vector<unsigned char> pixels(kEdge * kEdge);
  for (auto &p : pixels) p = static_cast<unsigned char>(random());
  Run(state, pixels);
}

} // namespace

BENCHMARK(SpongeSlice)->Unit(benchmark::kMillisecond);
BENCHMARK(RandomSlice)->Unit(benchmark::kMillisecond);
