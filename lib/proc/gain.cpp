// SPDX-License-Identifier: Apache-2.0
// Gain of traces (kov/proc/gain.hpp).
#include <kov/proc/gain.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kovproc {

namespace avx2 {
void agc_traces(std::span<float> traces, std::size_t n, std::size_t h);
void balance_traces(std::span<float> traces, std::size_t n, bool rms);
} // namespace avx2

namespace plain {
namespace {
#include "gain_lanes.inc"
} // namespace
} // namespace plain

std::size_t agc_half_width(double d1, double window, std::size_t n) {
  if (!std::isfinite(d1) || d1 <= 0.0)
    throw std::invalid_argument("the sampling " + std::to_string(d1) + " is not a positive number");
  if (!std::isfinite(window) || window <= 0.0)
    throw std::invalid_argument("the window " + std::to_string(window) +
                                " is not a positive number");
  const double half = std::round(window / (2.0 * d1));
  // Compared as doubles first, so that a huge ratio never reaches the cast.
  if (!(half < static_cast<double>(n))) return n;
  return static_cast<std::size_t>(half);
}

void agc_stepwise(std::span<float> trace, double d1, double window, bool paired) {
  const std::size_t n = trace.size();
  const std::size_t h = agc_half_width(d1, window, n);
  if (n == 0) return;
  // The trace is cut into blocks of one window's length, so that every
  // window is the end of one block and the start of the next.  The energies
  // are summed forwards and backwards within each block: a window's energy
  // is one sum of each, with no subtraction, so that loud samples that have
  // left the window leave no rounding behind (a running sum would).  The
  // squares of floats are exact in double.
  const std::size_t block = std::min(n, 2 * h + 1);
  thread_local std::vector<double> energy, head, tail; // sums from the block's start, to its end
  thread_local std::vector<double> sums, counts;       // each sample's window
  thread_local std::vector<std::size_t> live;          // finite samples before each index
  energy.resize(n);
  head.resize(n);
  tail.resize(n);
  sums.resize(n);
  counts.resize(n);
  live.resize(n + 1);
  live[0] = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const float v = trace[j];
    const bool finite = std::isfinite(v);
    energy[j] = finite ? static_cast<double>(v) * v : 0.0;
    live[j + 1] = live[j] + (finite ? 1 : 0);
  }
  // The forward and the backward sums of a block side by side: two chains
  // of additions that do not wait for each other, each in its own order.
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t end = std::min(n, start + block);
    double forward = 0.0, backward = 0.0;
    for (std::size_t t = 0; t < end - start; ++t) {
      forward += energy[start + t];
      head[start + t] = forward;
      backward += energy[end - 1 - t];
      tail[end - 1 - t] = backward;
    }
  }
  // The window [lo, last] of each sample, with the block and the place in
  // it of both ends followed step by step.
  std::size_t lo = 0, last = std::min(n - 1, h);
  std::size_t lo_block = 0, lo_at = 0, last_block = last / block, last_at = last % block;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > h) {
      ++lo;
      if (++lo_at == block) {
        lo_at = 0;
        ++lo_block;
      }
    }
    if (i > 0 && i + h < n) {
      ++last;
      if (++last_at == block) {
        last_at = 0;
        ++last_block;
      }
    }
    double sum = 0.0;
    if (lo_block != last_block)
      sum = tail[lo] + head[last];
    else if (lo_at == 0)
      sum = head[last];
    else
      sum = tail[lo]; // the window ends where the block (the trace) ends
    sums[i] = sum;
    counts[i] = static_cast<double>(live[last + 1] - live[lo]);
  }
  std::size_t i = 0;
#if defined(__SSE2__)
  // Two samples at a time: the same correctly rounded operations.
  if (paired)
    for (; i + 2 <= n; i += 2) {
      const __m128d v = _mm_cvtps_pd(
          _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(trace.data() + i))));
      const __m128d sum = _mm_loadu_pd(sums.data() + i);
      const __m128d y =
          _mm_div_pd(v, _mm_sqrt_pd(_mm_div_pd(sum, _mm_loadu_pd(counts.data() + i))));
      alignas(16) std::array<float, 4> out;
      _mm_store_ps(out.data(), _mm_cvtpd_ps(_mm_and_pd(y, _mm_cmpgt_pd(sum, _mm_setzero_pd()))));
      for (std::size_t k = 0; k < 2; ++k)
        if (std::isfinite(trace[i + k])) trace[i + k] = out[k];
    }
#else
  (void)paired;
#endif
  for (; i < n; ++i) {
    const float v = trace[i];
    if (!std::isfinite(v)) continue;
    trace[i] = sums[i] > 0.0 ? static_cast<float>(v / std::sqrt(sums[i] / counts[i])) : 0.0f;
  }
}

void agc(std::span<float> trace, double d1, double window) {
  agc_stepwise(trace, d1, window, true);
}

void agc_traces(std::span<float> traces, std::size_t n, double d1, double window, Simd simd) {
  if (n == 0) return;
  if (traces.size() % n != 0)
    throw std::invalid_argument(std::to_string(traces.size()) + " samples are not traces of " +
                                std::to_string(n));
  const std::size_t h = agc_half_width(d1, window, n);
  if (simd == Simd::avx2)
    avx2::agc_traces(traces, n, h);
  else
    plain::agc_all(traces, n, h);
}

TimePower::TimePower(std::size_t n, double o1, double d1, double power) {
  if (power == 0.0) return;
  factor_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = std::fabs(o1 + static_cast<double>(i) * d1);
    if (t == 0.0) {
      if (power < 0.0)
        throw std::invalid_argument("sample " + std::to_string(i) +
                                    " lies at time 0, where a negative power is infinite");
      // The product with 0 in double, rounded to float, is the product in
      // float: a zero of the sample's sign, NaN for an infinity or a NaN.
      factor_[i] = 0.0;
      continue;
    }
    factor_[i] = std::pow(t, power);
  }
}

void TimePower::apply(std::span<float> trace) const {
  if (factor_.empty()) return;
  if (trace.size() != factor_.size())
    throw std::invalid_argument("a trace of " + std::to_string(trace.size()) +
                                " samples where the power of time was made for " +
                                std::to_string(factor_.size()));
  // Four samples at a time: each product correctly rounded in double, then
  // to float, as one at a time.
  using Floats = float __attribute__((vector_size(16)));
  using Doubles = double __attribute__((vector_size(32)));
  float *x = trace.data();
  const double *f = factor_.data();
  const std::size_t n = trace.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats v;
    Doubles g;
    std::memcpy(&v, x + i, sizeof v);
    std::memcpy(&g, f + i, sizeof g);
    v = __builtin_convertvector(__builtin_convertvector(v, Doubles) * g, Floats);
    std::memcpy(x + i, &v, sizeof v);
  }
  for (; i < n; ++i) x[i] = static_cast<float>(x[i] * f[i]);
}

void tpow(std::span<float> trace, double o1, double d1, double power) {
  TimePower(trace.size(), o1, d1, power).apply(trace);
}

namespace {

// The magnitude of a sample as the bits of a float with its sign cleared,
// NaN as an infinity: non-negative floats order as their bits do.
inline std::uint32_t magnitude_bits(float v) {
  return std::min(std::bit_cast<std::uint32_t>(v) & 0x7fffffffu, 0x7f800000u);
}

// The k-th smallest magnitude (from 0) of `trace` and, when `next`, the
// (k+1)-th (k + 1 < the trace's length), as bits.  The magnitudes are
// counted by their 10 highest bits (exponent and 2 bits of fraction), and
// only those of the bin that holds rank k are then put in order.
std::pair<std::uint32_t, std::uint32_t> ranked_magnitudes(std::span<const float> trace,
                                                          std::size_t k, bool next) {
  constexpr int kShift = 21;
  constexpr std::size_t kBins = (0x7f800000u >> kShift) + 1;
  thread_local std::vector<std::uint32_t> count, held;
  count.assign(kBins, 0);
  for (const float v : trace) ++count[magnitude_bits(v) >> kShift];
  std::size_t bin = 0, below = 0; // the bin of rank k, the magnitudes in the bins under it
  while (below + count[bin] <= k) below += count[bin++];
  // Every magnitude is stored, and the next one over it unless it is in
  // the bin (one place more than the bin holds, for the last one stored).
  held.resize(count[bin] + 1);
  std::size_t m = 0;
  for (const float v : trace) {
    const std::uint32_t bits = magnitude_bits(v);
    held[m] = bits;
    m += (bits >> kShift) == bin ? 1 : 0;
  }
  const auto end = held.begin() + static_cast<std::ptrdiff_t>(m);
  const auto at = held.begin() + static_cast<std::ptrdiff_t>(k - below);
  std::nth_element(held.begin(), at, end);
  if (!next) return {*at, 0};
  if (at + 1 != end) return {*at, *std::min_element(at + 1, end)};
  // Rank k + 1 is the smallest magnitude of the next bin that holds any.
  std::size_t after = bin + 1;
  while (count[after] == 0) ++after;
  std::uint32_t least = 0xffffffffu;
  for (const float v : trace) {
    const std::uint32_t bits = magnitude_bits(v);
    if ((bits >> kShift) == after) least = std::min(least, bits);
  }
  return {*at, least};
}

} // namespace

double percentile_abs(std::span<const float> trace, double percent) {
  if (trace.empty()) return 0.0;
  const double rank =
      std::clamp(percent, 0.0, 100.0) / 100.0 * static_cast<double>(trace.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(rank));
  const double fraction = rank - static_cast<double>(below);
  const bool between = fraction != 0.0 && below + 1 != trace.size();
  double a = 0.0, b = 0.0;
  if (trace.size() >= 256) {
    // Long traces: counted into bins, only the bin of the rank sorted.
    const auto [lo, hi] = ranked_magnitudes(trace, below, between);
    a = std::bit_cast<float>(lo);
    b = std::bit_cast<float>(hi);
  } else {
    thread_local std::vector<float> magnitude;
    magnitude.resize(trace.size());
    std::transform(trace.begin(), trace.end(), magnitude.begin(), [](float v) {
      return std::isnan(v) ? std::numeric_limits<float>::infinity() : std::fabs(v);
    });
    std::nth_element(magnitude.begin(), magnitude.begin() + static_cast<std::ptrdiff_t>(below),
                     magnitude.end());
    a = magnitude[below];
    if (between)
      b = *std::min_element(magnitude.begin() + static_cast<std::ptrdiff_t>(below) + 1,
                            magnitude.end());
  }
  if (!between) return a;
  if (a == b) return a;
  return a + (b - a) * fraction;
}

void clip(std::span<float> trace, double limit) {
  const float c = static_cast<float>(limit);
  // Four samples at a time with the same comparisons (NaN compares false
  // and stays as it is; a limit of 0 gives -0 below).
  using Floats = float __attribute__((vector_size(16)));
  const Floats high = {c, c, c, c}, low = {-c, -c, -c, -c};
  float *x = trace.data();
  const std::size_t n = trace.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats v;
    std::memcpy(&v, x + i, sizeof v);
    v = v > high ? high : v < low ? low : v;
    std::memcpy(x + i, &v, sizeof v);
  }
  for (; i < n; ++i)
    if (x[i] > c)
      x[i] = c;
    else if (x[i] < -c)
      x[i] = -c;
}

void balance(std::span<float> trace, Balance by) {
  const double measure = plain::measure_one(trace.data(), trace.size(), by == Balance::rms);
  if (measure == 0.0) return;
  plain::divide_one(trace.data(), trace.size(), measure);
}

void balance_traces(std::span<float> traces, std::size_t n, Balance by, Simd simd) {
  if (n == 0) return;
  if (traces.size() % n != 0)
    throw std::invalid_argument(std::to_string(traces.size()) + " samples are not traces of " +
                                std::to_string(n));
  if (simd == Simd::avx2)
    avx2::balance_traces(traces, n, by == Balance::rms);
  else
    plain::balance_all(traces, n, by == Balance::rms);
}

} // namespace kovproc
