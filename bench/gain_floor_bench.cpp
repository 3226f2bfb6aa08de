// SPDX-License-Identifier: Apache-2.0
// The least an AGC can cost per sample on this processor: the arithmetic of
// its last step alone, the window's mean energy (a division by the count of
// live samples), its square root, and the sample divided by that root, in
// the widest AVX2 lanes, on data that stay in the cache.  Everything else
// the AGC does (the energies, the window sums, reading and writing) comes
// on top.
//   double: kovgain's arithmetic (two divisions and a square root in
//           double precision, correctly rounded, then the float);
//   float:  the same in single precision, for comparison.
// Times 268,435,456 samples (1 GiB of floats) shared by two cores give the
// floor in seconds for bench/trace_programs_bench.py's kovgain figure.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>

namespace {

constexpr std::size_t kSamples = 1 << 18; // 1 MiB of floats: in the cache

struct Inputs {
  std::vector<float> x = std::vector<float>(kSamples);
  std::vector<double> sum = std::vector<double>(kSamples);
  std::vector<double> count = std::vector<double>(kSamples);
  std::vector<float> out = std::vector<float>(kSamples);
  Inputs() {
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> u(0.5f, 2.0f);
    for (std::size_t i = 0; i < kSamples; ++i) {
      x[i] = u(gen);
      sum[i] = 125.0 * u(gen);
      count[i] = 125.0;
    }
  }
};

bool has_avx2() { return __builtin_cpu_supports("avx2") != 0; }

[[gnu::target("avx2")]] void last_step_double(const Inputs &in, float *out) {
  for (std::size_t i = 0; i < kSamples; i += 4) {
    const __m256d mean = _mm256_div_pd(_mm256_loadu_pd(&in.sum[i]), _mm256_loadu_pd(&in.count[i]));
    const __m256d x = _mm256_cvtps_pd(_mm_loadu_ps(&in.x[i]));
    _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_div_pd(x, _mm256_sqrt_pd(mean))));
  }
}

[[gnu::target("avx2")]] void last_step_float(const Inputs &in, float *out) {
  for (std::size_t i = 0; i < kSamples; i += 8) {
    const __m256 sum = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(&in.sum[i + 4])),
                                       _mm256_cvtpd_ps(_mm256_loadu_pd(&in.sum[i])));
    const __m256 count = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(&in.count[i + 4])),
                                         _mm256_cvtpd_ps(_mm256_loadu_pd(&in.count[i])));
    const __m256 mean = _mm256_div_ps(sum, count);
    _mm256_storeu_ps(out + i, _mm256_div_ps(_mm256_loadu_ps(&in.x[i]), _mm256_sqrt_ps(mean)));
  }
}

void BM_AgcLastStep(benchmark::State &state) {
  if (!has_avx2()) {
    state.SkipWithError("no AVX2 on this processor");
    return;
  }
  static const Inputs in;
  std::vector<float> out(kSamples);
  const bool wide = state.range(0) != 0;
  for (auto _ : state) {
    if (wide)
      last_step_double(in, out.data());
    else
      last_step_float(in, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(wide ? "double" : "float");
  state.counters["per_sample"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSamples,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AgcLastStep)->Arg(1)->Arg(0);

} // namespace
#endif
