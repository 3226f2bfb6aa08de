// SPDX-License-Identifier: Apache-2.0
// The AGC of a block of traces on each path, single thread, per sample:
// 512 traces of 1000 samples (2 MiB, about a block of the trace driver) and
// 256 of 2048, a half-width of 63 samples (agc=0.5 at 4 ms) and of 5.
#include <kov/proc/gain.hpp>
#include <kov/proc/simd.hpp>

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

namespace {

void BM_AgcTraces(benchmark::State &state) {
  const auto simd = state.range(0) != 0 ? kovproc::Simd::avx2 : kovproc::Simd::plain;
  if (simd == kovproc::Simd::avx2 && kovproc::best_simd() != kovproc::Simd::avx2) {
    state.SkipWithError("no AVX2 on this processor");
    return;
  }
  const auto n = static_cast<std::size_t>(state.range(1));
  const auto traces = static_cast<std::size_t>(state.range(2));
  const double window = 2.0 * static_cast<double>(state.range(3)) * 0.004;
  std::mt19937 gen(1);
  std::normal_distribution<float> normal;
  std::vector<float> data(n * traces);
  for (float &v : data) v = normal(gen);
  std::vector<float> work(data.size());
  for (auto _ : state) {
    state.PauseTiming();
    work = data;
    state.ResumeTiming();
    kovproc::agc_traces(work, n, 0.004, window, simd);
    benchmark::DoNotOptimize(work.data());
  }
  const auto samples = static_cast<double>(data.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  // Seconds per sample (printed with its prefix: 2.1n is 2.1 ns).
  state.counters["per_sample"] = benchmark::Counter(
      samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// Arguments: path (0 plain, 1 AVX2), samples per trace, traces, half-width.
BENCHMARK(BM_AgcTraces)
    ->ArgNames({"avx2", "n1", "traces", "h"})
    ->Args({0, 1000, 512, 63})
    ->Args({1, 1000, 512, 63})
    ->Args({1, 2048, 256, 63})
    ->Args({1, 1000, 512, 5})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

} // namespace
