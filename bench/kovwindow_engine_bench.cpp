// SPDX-License-Identifier: Apache-2.0
// Windowed reads of a 1 GiB cube from the page cache: a strided window
// (every 4th sample of a trace, every 2nd trace) next to reading the whole
// cube with one sreed.  The cube is 262144 traces of 1024 native floats.
#include <kov/kovlib.h>

#include "bench_util.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSamples = 1024;
constexpr int kTraces = 262144;
constexpr long kCubeBytes = 4L * kSamples * kTraces; // 1 GiB
constexpr const char *kTag = "wcube";

// Write the cube once (it stays in the page cache) and name its header as
// the parameter of the tag.
void setup() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string &dir = kovbench::scratch_dir();
  const std::string data = dir + "/cube.dat", header = dir + "/cube.H";
  const int fd = ::open(data.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<float> trace(kSamples);
  for (int t = 0; t < kTraces; ++t) {
    for (int i = 0; i < kSamples; ++i) trace[i] = static_cast<float>(t) + 0.001f * i;
    if (::write(fd, trace.data(), sizeof(float) * kSamples) != sizeof(float) * kSamples) {
      std::perror("kovwindow_engine_bench: writing the cube");
      std::exit(1);
    }
  }
  ::close(fd);
  if (std::FILE *f = std::fopen(header.c_str(), "w")) {
    std::fprintf(f, "n1=%d n2=%d esize=4 in=%s data_format=native_float\n", kSamples, kTraces,
                 data.c_str());
    std::fclose(f);
  }
  kovbench::ensure_command_line();
  getch_add_string((std::string(kTag) + "=" + header).c_str());
  auxin(kTag);
}

void BM_SreedWholeCube(benchmark::State &state) {
  setup();
  std::vector<char> cube(kCubeBytes);
  for (auto _ : state) {
    sseek_l_l(kTag, 0, 0);
    if (sreed(kTag, cube.data(), static_cast<int>(kCubeBytes)) != kCubeBytes)
      state.SkipWithError("short read");
    benchmark::DoNotOptimize(cube.data());
  }
  state.SetBytesProcessed(state.iterations() * kCubeBytes);
}
BENCHMARK(BM_SreedWholeCube)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SreedWindowStrided(benchmark::State &state) {
  setup();
  const int ndim = 2;
  const int ng[2] = {kSamples, kTraces}, nw[2] = {kSamples / 4, kTraces / 2}, fw[2] = {0, 0},
            jw[2] = {4, 2};
  std::vector<float> window(static_cast<std::size_t>(nw[0]) * nw[1]);
  for (auto _ : state) {
    if (sreed_window(kTag, &ndim, ng, nw, fw, jw, 4, window.data()) != 0)
      state.SkipWithError("window read failed");
    benchmark::DoNotOptimize(window.data());
  }
  state.counters["window_MiB"] = static_cast<double>(window.size() * 4) / (1 << 20);
}
BENCHMARK(BM_SreedWindowStrided)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
