// SPDX-License-Identifier: Apache-2.0
// The statistics of kovinfo on the plain, AVX2 and AVX-512 paths.
#include "stats.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kovinfo {

namespace {

// Minimum, maximum, sum and sum of squares of a block in one pass over
// sixteen lanes; sixteen lanes give the additions enough independent
// chains to keep the adders busy.  Each lane sums in double in a fixed
// order and the lanes are added in a fixed order, so the result depends on
// the data only, whichever instructions compute it.
template <class T> struct LaneTotals {
  T min, max;
  double sum = 0.0, sumsq = 0.0;
};

constexpr std::size_t kLanes = 16;

// Where the lanes stand after the whole groups of sixteen samples.
template <class T> struct Lanes {
  T lo[kLanes], hi[kLanes];
  double sum[kLanes], sumsq[kLanes];
};

// A 4-byte sample with its bytes in the other order.
template <class T> T turned(T v) {
  static_assert(sizeof(T) == 4);
  return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(v)));
}

// Sample `i` of samples stored big-endian (`Swap`) or in the host's order.
template <bool Swap, class T> T sample_at(std::span<const T> values, std::size_t i) {
  return Swap ? turned(values[i]) : values[i];
}

// The samples from `i` on into lane 0, then the lanes added in order.
template <class T, bool Swap>
[[gnu::always_inline]] inline LaneTotals<T> finish(std::span<const T> values, std::size_t i,
                                                   Lanes<T> &l) {
  for (; i < values.size(); ++i) {
    const T v = sample_at<Swap>(values, i);
    l.lo[0] = v < l.lo[0] ? v : l.lo[0];
    l.hi[0] = v > l.hi[0] ? v : l.hi[0];
    const double d = static_cast<double>(v);
    l.sum[0] += d;
    l.sumsq[0] += d * d;
  }
  LaneTotals<T> t{l.lo[0], l.hi[0]};
  for (std::size_t j = 0; j < kLanes; ++j) {
    t.min = l.lo[j] < t.min ? l.lo[j] : t.min;
    t.max = l.hi[j] > t.max ? l.hi[j] : t.max;
    t.sum += l.sum[j];
    t.sumsq += l.sumsq[j];
  }
  return t;
}

// Four samples as one vector.
template <class T> struct Vectors;
template <> struct Vectors<float> { typedef float quad __attribute__((vector_size(16))); };
template <> struct Vectors<std::int32_t> {
  typedef std::int32_t quad __attribute__((vector_size(16)));
};

// Lane j takes the samples i + j: the sums in four vectors of four lanes,
// the extremes in four vectors of four (the widest that every processor of
// the architecture compares in one instruction), in whatever instructions
// every processor of the architecture has.  With `Swap` the samples are
// stored big-endian and are turned around as they are loaded.
template <class T, bool Swap> LaneTotals<T> lane_totals_plain(std::span<const T> values, T first) {
  using Quad = typename Vectors<T>::quad;
  using Wide = double __attribute__((vector_size(32)));
  typedef std::uint32_t Words __attribute__((vector_size(16)));
  Quad lo[4], hi[4];
  Wide sum[4] = {}, sumsq[4] = {};
  lo[0] = lo[1] = lo[2] = lo[3] = hi[0] = hi[1] = hi[2] = hi[3] = Quad{} + first;
  const T *v = values.data();
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
#pragma GCC unroll 4
    for (std::size_t h = 0; h < 4; ++h) {
      Quad x;
      std::memcpy(&x, v + i + 4 * h, sizeof x);
      if constexpr (Swap) {
        Words w = reinterpret_cast<Words>(x);
        w = (w << 24) | ((w & 0xff00) << 8) | ((w >> 8) & 0xff00) | (w >> 24);
        x = reinterpret_cast<Quad>(w);
      }
      lo[h] = x < lo[h] ? x : lo[h];
      hi[h] = x > hi[h] ? x : hi[h];
      const Wide d = __builtin_convertvector(x, Wide);
      sum[h] += d;
      sumsq[h] += d * d;
    }
  }
  Lanes<T> l;
  std::memcpy(l.lo, lo, sizeof l.lo);
  std::memcpy(l.hi, hi, sizeof l.hi);
  std::memcpy(l.sum, sum, sizeof l.sum);
  std::memcpy(l.sumsq, sumsq, sizeof l.sumsq);
  return finish<T, Swap>(values, i, l);
}

#if defined(__x86_64__)
// The same lanes in AVX2 registers.
__attribute__((target("avx2"))) inline __m256i load8(const void *p) {
  return _mm256_loadu_si256(static_cast<const __m256i *>(p));
}
// The bytes of each 4-byte word turned around, as one shuffle.
__attribute__((target("avx2"))) inline __m256i turned8(__m256i x) {
  const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2,
                                         1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  return _mm256_shuffle_epi8(x, order);
}
__attribute__((target("avx2"))) inline __m256i lower(__m256i x, __m256i lo, float) {
  return _mm256_castps_si256(_mm256_min_ps(_mm256_castsi256_ps(x), _mm256_castsi256_ps(lo)));
}
__attribute__((target("avx2"))) inline __m256i lower(__m256i x, __m256i lo, std::int32_t) {
  return _mm256_min_epi32(x, lo);
}
__attribute__((target("avx2"))) inline __m256i higher(__m256i x, __m256i hi, float) {
  return _mm256_castps_si256(_mm256_max_ps(_mm256_castsi256_ps(x), _mm256_castsi256_ps(hi)));
}
__attribute__((target("avx2"))) inline __m256i higher(__m256i x, __m256i hi, std::int32_t) {
  return _mm256_max_epi32(x, hi);
}
// Four samples (the low or the high half of eight) as four doubles.
template <int Half> __attribute__((target("avx2"))) inline __m256d widen(__m256i x, float) {
  const __m128 q = Half == 0 ? _mm256_castps256_ps128(_mm256_castsi256_ps(x))
                             : _mm256_extractf128_ps(_mm256_castsi256_ps(x), 1);
  return _mm256_cvtps_pd(q);
}
template <int Half> __attribute__((target("avx2"))) inline __m256d widen(__m256i x, std::int32_t) {
  const __m128i q = Half == 0 ? _mm256_castsi256_si128(x) : _mm256_extracti128_si256(x, 1);
  return _mm256_cvtepi32_pd(q);
}

// _mm256_min_ps(x, lo) is x < lo ? x : lo and _mm256_max_ps(x, hi) is
// x > hi ? x : hi, as in the plain lanes.  With `Swap` the samples are
// stored big-endian and are turned around as they are loaded, which spares
// a pass over the block.
template <class T, bool Swap>
__attribute__((target("avx2"))) LaneTotals<T> lane_totals_avx2(std::span<const T> values, T first) {
  const T *v = values.data();
  const T tag{};
  __m256i lo0 = _mm256_set1_epi32(std::bit_cast<std::int32_t>(first)), lo1 = lo0, hi0 = lo0,
          hi1 = lo0;
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  __m256d q0 = s0, q1 = s0, q2 = s0, q3 = s0;
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
    __m256i x0 = load8(v + i), x1 = load8(v + i + 8);
    if constexpr (Swap) {
      x0 = turned8(x0);
      x1 = turned8(x1);
    }
    lo0 = lower(x0, lo0, tag);
    lo1 = lower(x1, lo1, tag);
    hi0 = higher(x0, hi0, tag);
    hi1 = higher(x1, hi1, tag);
    const __m256d d0 = widen<0>(x0, tag), d1 = widen<1>(x0, tag);
    const __m256d d2 = widen<0>(x1, tag), d3 = widen<1>(x1, tag);
    s0 = _mm256_add_pd(s0, d0);
    s1 = _mm256_add_pd(s1, d1);
    s2 = _mm256_add_pd(s2, d2);
    s3 = _mm256_add_pd(s3, d3);
    q0 = _mm256_add_pd(q0, _mm256_mul_pd(d0, d0));
    q1 = _mm256_add_pd(q1, _mm256_mul_pd(d1, d1));
    q2 = _mm256_add_pd(q2, _mm256_mul_pd(d2, d2));
    q3 = _mm256_add_pd(q3, _mm256_mul_pd(d3, d3));
  }
  Lanes<T> l;
  std::memcpy(l.lo, &lo0, 32);
  std::memcpy(l.lo + 8, &lo1, 32);
  std::memcpy(l.hi, &hi0, 32);
  std::memcpy(l.hi + 8, &hi1, 32);
  std::memcpy(l.sum, &s0, 32);
  std::memcpy(l.sum + 4, &s1, 32);
  std::memcpy(l.sum + 8, &s2, 32);
  std::memcpy(l.sum + 12, &s3, 32);
  std::memcpy(l.sumsq, &q0, 32);
  std::memcpy(l.sumsq + 4, &q1, 32);
  std::memcpy(l.sumsq + 8, &q2, 32);
  std::memcpy(l.sumsq + 12, &q3, 32);
  return finish<T, Swap>(values, i, l);
}

// Eight samples to eight doubles in one instruction.  GCC splits a
// conversion between vector types into two of 256 bits, so it is asked for
// the instruction by name; clang emits the one instruction by itself and
// does not know every one of GCC's names.
typedef double Wide8 __attribute__((vector_size(64)));
#if defined(__clang__)
template <class E> __attribute__((target("avx512f"))) inline Wide8 widen8(E x) {
  return __builtin_convertvector(x, Wide8);
}
#else
__attribute__((target("avx512f"))) inline Wide8 widen8(__v8sf x) {
  return __builtin_ia32_cvtps2pd512_mask(x, Wide8{}, 0xff, _MM_FROUND_CUR_DIRECTION);
}
__attribute__((target("avx512f"))) inline Wide8 widen8(__v8si x) {
  return __builtin_ia32_cvtdq2pd512_mask(x, Wide8{}, 0xff);
}
#endif

// The sixteen lanes in one 512-bit vector of samples and two of eight
// doubles for each sum: half the instructions of the AVX2 loop, the same
// lanes in the same order.  (Written with vector types rather than the
// AVX-512 intrinsics, whose headers do not compile cleanly with every
// compiler in use.)
template <class T, bool Swap>
__attribute__((target("avx512f,avx512bw"))) LaneTotals<T>
lane_totals_avx512(std::span<const T> values, T first) {
  typedef T Sixteen __attribute__((vector_size(64)));
  typedef T Eight __attribute__((vector_size(32)));
  typedef unsigned char Bytes __attribute__((vector_size(64)));
  const T *v = values.data();
  Sixteen lo = Sixteen{} + first, hi = lo;
  Wide8 s0 = {}, s1 = {}, q0 = {}, q1 = {};
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
    Sixteen x;
    std::memcpy(&x, v + i, sizeof x);
    if constexpr (Swap) {
      const Bytes b = reinterpret_cast<Bytes>(x);
      x = reinterpret_cast<Sixteen>(__builtin_shufflevector(
          b, b, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 19, 18, 17, 16, 23, 22, 21,
          20, 27, 26, 25, 24, 31, 30, 29, 28, 35, 34, 33, 32, 39, 38, 37, 36, 43, 42, 41, 40, 47,
          46, 45, 44, 51, 50, 49, 48, 55, 54, 53, 52, 59, 58, 57, 56, 63, 62, 61, 60));
    }
    lo = x < lo ? x : lo;
    hi = x > hi ? x : hi;
    const Eight e0 = __builtin_shufflevector(x, x, 0, 1, 2, 3, 4, 5, 6, 7);
    const Eight e1 = __builtin_shufflevector(x, x, 8, 9, 10, 11, 12, 13, 14, 15);
    const Wide8 d0 = widen8(e0), d1 = widen8(e1);
    s0 += d0;
    s1 += d1;
    q0 += d0 * d0;
    q1 += d1 * d1;
  }
  Lanes<T> l;
  std::memcpy(l.lo, &lo, sizeof lo);
  std::memcpy(l.hi, &hi, sizeof hi);
  std::memcpy(l.sum, &s0, sizeof s0);
  std::memcpy(l.sum + 8, &s1, sizeof s1);
  std::memcpy(l.sumsq, &q0, sizeof q0);
  std::memcpy(l.sumsq + 8, &q1, sizeof q1);
  return finish<T, Swap>(values, i, l);
}
#endif

// The lanes of a block on `path`, of samples stored big-endian when `swapped`.
template <class T> LaneTotals<T> lane_totals(Simd path, std::span<const T> values, bool swapped) {
  const T first = swapped ? turned(values[0]) : values[0];
#if defined(__x86_64__)
  if (path == Simd::Avx512)
    return swapped ? lane_totals_avx512<T, true>(values, first)
                   : lane_totals_avx512<T, false>(values, first);
  if (path == Simd::Avx2)
    return swapped ? lane_totals_avx2<T, true>(values, first)
                   : lane_totals_avx2<T, false>(values, first);
#endif
  (void)path;
  return swapped ? lane_totals_plain<T, true>(values, first)
                 : lane_totals_plain<T, false>(values, first);
}

// Sample by sample, leaving out the samples that are not finite.
template <class T, bool Swap> BlockTotals checked_totals(std::span<const T> values) {
  BlockTotals t;
  t.checked = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = static_cast<double>(sample_at<Swap>(values, i));
    if (!std::isfinite(v)) {
      ++t.nonfinite;
      continue;
    }
    if (t.at_min < 0 || v < t.min) t.min = v, t.at_min = static_cast<std::int64_t>(i);
    if (t.at_max < 0 || v > t.max) t.max = v, t.at_max = static_cast<std::int64_t>(i);
    t.sum += v;
    t.sumsq += v * v;
    ++t.count;
  }
  return t;
}

template <class T> BlockTotals block_totals(Simd path, std::span<const T> values, bool swapped) {
  if (values.empty()) return {};
  const LaneTotals<T> l = lane_totals(path, values, swapped);
  // Sums of finite 32-bit samples cannot overflow a double: a sum that is
  // not finite means a sample that is not.
  if (!std::isfinite(l.sum) || !std::isfinite(l.sumsq))
    return swapped ? checked_totals<T, true>(values) : checked_totals<T, false>(values);
  BlockTotals t;
  t.count = static_cast<std::int64_t>(values.size());
  t.min = static_cast<double>(l.min);
  t.max = static_cast<double>(l.max);
  t.sum = l.sum;
  t.sumsq = l.sumsq;
  return t;
}

// The first sample equal to `value`, as a sample-by-sample scan with strict
// comparisons finds it (zeros of either sign included), and its position.
template <class T>
std::pair<double, std::int64_t> first_equal(std::span<const T> values, bool swapped, double value) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = static_cast<double>(swapped ? turned(values[i]) : values[i]);
    if (v == value) return {v, static_cast<std::int64_t>(i)};
  }
  return {value, 0}; // not reached: the value came from these samples
}

template <class T> std::span<const T> samples_of(std::span<const std::byte> block) {
  return {reinterpret_cast<const T *>(block.data()), block.size() / sizeof(T)};
}

std::pair<double, std::int64_t> first_equal(std::span<const std::byte> block, Sample sample,
                                            bool swapped, double value) {
  return sample == Sample::Float ? first_equal(samples_of<float>(block), swapped, value)
                                 : first_equal(samples_of<std::int32_t>(block), swapped, value);
}

} // namespace

const char *simd_name(Simd path) {
  switch (path) {
  case Simd::Avx2:
    return "avx2";
  case Simd::Avx512:
    return "avx512";
  default:
    return "plain";
  }
}

std::optional<Simd> simd_named(std::string_view name) {
  for (const Simd path : {Simd::Plain, Simd::Avx2, Simd::Avx512})
    if (name == simd_name(path)) return path;
  return std::nullopt;
}

bool simd_available(Simd path) {
#if defined(__x86_64__)
  switch (path) {
  case Simd::Avx2:
    return __builtin_cpu_supports("avx2");
  case Simd::Avx512:
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  default:
    return true;
  }
#else
  return path == Simd::Plain;
#endif
}

Simd widest_simd() {
  static const Simd widest = simd_available(Simd::Avx512) ? Simd::Avx512
                             : simd_available(Simd::Avx2) ? Simd::Avx2
                                                          : Simd::Plain;
  return widest;
}

Simd simd_for(const char *request, std::string &warning) {
  warning.clear();
  if (request == nullptr || *request == '\0') return widest_simd();
  const std::optional<Simd> path = simd_named(request);
  const std::string widest = simd_name(widest_simd());
  if (!path) {
    warning = "KOV_SIMD=" + std::string(request) + " names no path (plain, avx2 or avx512); the " +
              widest + " path is taken";
    return widest_simd();
  }
  if (!simd_available(*path)) {
    warning = "KOV_SIMD=" + std::string(request) + ": this processor cannot run the " + request +
              " path; the " + widest + " path is taken";
    return widest_simd();
  }
  return *path;
}

BlockTotals Statistics::totals(std::span<const std::byte> block, Sample sample,
                               bool big_endian) const {
  return sample == Sample::Float ? block_totals(simd, samples_of<float>(block), big_endian)
                                 : block_totals(simd, samples_of<std::int32_t>(block), big_endian);
}

void Statistics::merge(const BlockTotals &t, std::span<const std::byte> block, std::int64_t first,
                       Sample sample, bool big_endian) {
  nonfinite += t.nonfinite;
  if (t.count == 0) return;
  if (at_min < 0 || t.min < min) {
    const auto [v, i] =
        t.checked ? std::pair{t.min, t.at_min} : first_equal(block, sample, big_endian, t.min);
    min = v;
    at_min = first + i;
  }
  if (at_max < 0 || t.max > max) {
    const auto [v, i] =
        t.checked ? std::pair{t.max, t.at_max} : first_equal(block, sample, big_endian, t.max);
    max = v;
    at_max = first + i;
  }
  count += t.count;
  sum += t.sum;
  sumsq += t.sumsq;
}

} // namespace kovinfo
