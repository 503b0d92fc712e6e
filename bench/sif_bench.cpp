// SPDX-License-Identifier: MIT
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

// fresh: one sample of every row changes between files, so no strip repeats an earlier one and
// every strip is encoded; otherwise the repeats come from the writer's memo of strips.
void Run(benchmark::State &state, std::vector<unsigned char> pixels, bool fresh) {
  std::vector<unsigned char *> rows;
  for (int y = 0; y < kEdge; ++y) rows.push_back(pixels.data() + y * kEdge);
  const std::string name = "/tmp/travik-sif-bench.tif";
  unsigned serial = 0;
  for (auto _ : state) {
    if (fresh) {
      ++serial;
      for (int y = 0; y < kEdge; ++y) rows[std::size_t(y)][serial % kEdge] ^= 1;
    }
    StoreImageFile(name.c_str(), kEdge, kEdge, 8, rows.data(), nullptr);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEdge * kEdge);
  std::remove(name.c_str());
}

std::vector<unsigned char> Sponge() {
  std::vector<unsigned char> pixels(kEdge * kEdge);
  for (int y = 0; y < kEdge; ++y)
    for (int x = 0; x < kEdge; ++x) pixels[std::size_t(y * kEdge + x)] = Solid(x, y, 0) ? 189 : 0;
  return pixels;
}

std::vector<unsigned char> Random() {
  std::mt19937 random(1);
  std::vector<unsigned char> pixels(kEdge * kEdge);
  for (auto &p : pixels) p = static_cast<unsigned char>(random());
  return pixels;
}

void SpongeSlice(benchmark::State &state) {
  Run(state, Sponge(), true);
}
void SpongeSliceRepeated(benchmark::State &state) {
  Run(state, Sponge(), false);
}
void RandomSlice(benchmark::State &state) {
  Run(state, Random(), true);
}
void RandomSliceRepeated(benchmark::State &state) {
  Run(state, Random(), false);
}

// The whole depth-6 stack in order, each slice in rows of its own as the program hands them: the
// work that guessing rows from the row above and from the last image saves.
void SpongeStack(benchmark::State &state) {
  std::vector<unsigned> ones(kEdge); // bit d set where base-3 digit d is 1
  for (std::size_t v = 0; v < kEdge; ++v)
    for (std::size_t t = v, d = 0; t > 0; t /= 3, ++d)
      if (t % 3 == 1) ones[v] |= 1u << d;
  std::vector<unsigned char> pixels(kEdge * kEdge);
  std::vector<unsigned char *> rows;
  for (int y = 0; y < kEdge; ++y) rows.push_back(pixels.data() + y * kEdge);
  const std::string name = "/tmp/travik-sif-bench.tif";
  for (auto _ : state)
    for (unsigned z = 0; z < kEdge; ++z) {
      state.PauseTiming();
      for (unsigned y = 0; y < kEdge; ++y)
        for (unsigned x = 0; x < kEdge; ++x)
          pixels[y * kEdge + x] =
              (ones[x] & ones[y]) | (ones[x] & ones[z]) | (ones[y] & ones[z]) ? 0 : 189;
      state.ResumeTiming();
      StoreImageFile(name.c_str(), kEdge, kEdge, 8, rows.data(), nullptr);
    }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kEdge * kEdge * kEdge);
  std::remove(name.c_str());
}

} // namespace

// The memo keeps the first rows and strips it meets until it is full, so the stack and the repeats
// run first.
BENCHMARK(SpongeStack)->Unit(benchmark::kMillisecond);
BENCHMARK(SpongeSliceRepeated)->Unit(benchmark::kMillisecond);
BENCHMARK(RandomSliceRepeated)->Unit(benchmark::kMillisecond);
BENCHMARK(SpongeSlice)->Unit(benchmark::kMillisecond);
BENCHMARK(RandomSlice)->Unit(benchmark::kMillisecond);
