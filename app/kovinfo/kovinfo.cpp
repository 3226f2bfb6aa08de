// kovinfo: describe a dataset.
//
// Prints the axes, the element size and format, where the data are, how
// many bytes the header declares and how many there are, and, over all
// samples, the minimum and the maximum with their positions, the mean and
// the root mean square.  The data are read in blocks of a fixed size, so
// memory does not grow with the dataset.  Data that are missing, shorter
// or longer than the header says are fatal.
//
//   kovinfo < vel.H          velmodel | kovinfo          kovinfo a.H b.H
#include "kovhelp.hpp"
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <span>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

// Large enough that the kernel copies it at its best rate, small enough
// that it is still in the cache when the statistics read it.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// Minimum, maximum, sum and sum of squares of a block in one pass over
// sixteen lanes, which the compiler turns into vector instructions; sixteen
// lanes give the additions enough independent chains to keep the adders
// busy.  Each lane sums in double in a fixed order and the lanes are added
// in a fixed order, so the result depends on the data only, whichever
// instructions compute it.
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

// The samples from `i` on into lane 0, then the lanes added in order.
template <class T>
[[gnu::always_inline]] inline LaneTotals<T> finish(std::span<const T> values, std::size_t i,
                                                   Lanes<T> &l) {
  for (; i < values.size(); ++i) {
    const T v = values[i];
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

// Four and eight samples as one vector.
template <class T> struct Vectors;
template <> struct Vectors<float> {
  typedef float quad __attribute__((vector_size(16)));
  typedef float octet __attribute__((vector_size(32)));
};
template <> struct Vectors<std::int32_t> {
  typedef std::int32_t quad __attribute__((vector_size(16)));
  typedef std::int32_t octet __attribute__((vector_size(32)));
};

// Lane j takes the samples i + j: the sums in four vectors of four lanes,
// the extremes in two vectors of eight.
template <class T> LaneTotals<T> lane_totals_plain(std::span<const T> values) {
  using Quad = typename Vectors<T>::quad;
  using Octet = typename Vectors<T>::octet;
  using Wide = double __attribute__((vector_size(32)));
  Octet lo[2], hi[2];
  Wide sum[4] = {}, sumsq[4] = {};
  lo[0] = lo[1] = hi[0] = hi[1] = Octet{} + values[0];
  const T *v = values.data();
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
#pragma GCC unroll 2
    for (std::size_t h = 0; h < 2; ++h) {
      Octet x;
      std::memcpy(&x, v + i + 8 * h, sizeof x);
      lo[h] = x < lo[h] ? x : lo[h];
      hi[h] = x > hi[h] ? x : hi[h];
      const Wide d0 =
          __builtin_convertvector(Quad(__builtin_shufflevector(x, x, 0, 1, 2, 3)), Wide);
      const Wide d1 =
          __builtin_convertvector(Quad(__builtin_shufflevector(x, x, 4, 5, 6, 7)), Wide);
      sum[2 * h] += d0;
      sumsq[2 * h] += d0 * d0;
      sum[2 * h + 1] += d1;
      sumsq[2 * h + 1] += d1 * d1;
    }
  }
  Lanes<T> l;
  std::memcpy(l.lo, lo, sizeof l.lo);
  std::memcpy(l.hi, hi, sizeof l.hi);
  std::memcpy(l.sum, sum, sizeof l.sum);
  std::memcpy(l.sumsq, sumsq, sizeof l.sumsq);
  return finish(values, i, l);
}

#if defined(__x86_64__)
// The same lanes in AVX2 registers: one instruction widens four samples.
__attribute__((target("avx2"))) inline __m256 load8(const float *p) { return _mm256_loadu_ps(p); }
__attribute__((target("avx2"))) inline __m256i load8(const std::int32_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
__attribute__((target("avx2"))) inline __m256 splat(float x) { return _mm256_set1_ps(x); }
__attribute__((target("avx2"))) inline __m256i splat(std::int32_t x) {
  return _mm256_set1_epi32(x);
}
__attribute__((target("avx2"))) inline __m256 lower(__m256 x, __m256 lo) {
  return _mm256_min_ps(x, lo); // x < lo ? x : lo
}
__attribute__((target("avx2"))) inline __m256i lower(__m256i x, __m256i lo) {
  return _mm256_min_epi32(x, lo);
}
__attribute__((target("avx2"))) inline __m256 higher(__m256 x, __m256 hi) {
  return _mm256_max_ps(x, hi); // x > hi ? x : hi
}
__attribute__((target("avx2"))) inline __m256i higher(__m256i x, __m256i hi) {
  return _mm256_max_epi32(x, hi);
}
__attribute__((target("avx2"))) inline __m256d widen(const float *p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
__attribute__((target("avx2"))) inline __m256d widen(const std::int32_t *p) {
  return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

template <class T>
__attribute__((target("avx2"))) LaneTotals<T> lane_totals_avx2(std::span<const T> values) {
  const T *v = values.data();
  auto lo0 = splat(v[0]), lo1 = lo0, hi0 = lo0, hi1 = lo0;
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  __m256d q0 = s0, q1 = s0, q2 = s0, q3 = s0;
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
    const auto x0 = load8(v + i), x1 = load8(v + i + 8);
    lo0 = lower(x0, lo0);
    lo1 = lower(x1, lo1);
    hi0 = higher(x0, hi0);
    hi1 = higher(x1, hi1);
    const __m256d d0 = widen(v + i), d1 = widen(v + i + 4);
    const __m256d d2 = widen(v + i + 8), d3 = widen(v + i + 12);
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
  return finish(values, i, l);
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
// lanes in the same order.  With `Swap` the samples are stored big-endian
// and are turned around as they are loaded, which spares a pass over the
// block.  (Written with vector types rather than the AVX-512 intrinsics,
// whose headers do not compile cleanly with every compiler in use.)
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
  return finish(values, i, l);
}
#endif

// A 4-byte sample with its bytes in the other order.
template <class T> T turned(T v) {
  static_assert(sizeof(T) == 4);
  return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(v)));
}

// Whether lane_totals can take samples stored big-endian as they are.
bool swaps_as_it_loads() {
#if defined(__x86_64__)
  static const bool widest =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  return widest;
#else
  return false;
#endif
}

// The lanes of a block.  With `swapped`, the whole groups of sixteen are
// still stored big-endian (only where swaps_as_it_loads()); the samples
// after them are in the host's order.
template <class T> LaneTotals<T> lane_totals(std::span<const T> values, bool swapped) {
#if defined(__x86_64__)
  if (swapped) {
    T first = values[0];
    if (values.size() >= kLanes) first = turned(first);
    return lane_totals_avx512<T, true>(values, first);
  }
  if (swaps_as_it_loads()) return lane_totals_avx512<T, false>(values, values[0]);
  static const bool wide = __builtin_cpu_supports("avx2");
  if (wide) return lane_totals_avx2(values);
#endif
  (void)swapped;
  return lane_totals_plain(values);
}

// Big-endian samples to the host's order, in place.
template <class T> void to_host(std::span<T> values) {
  for (T &v : values) v = turned(v);
}

// Running statistics over the finite samples.
struct Statistics {
  std::int64_t count = 0, nonfinite = 0;
  double min = 0.0, max = 0.0, sum = 0.0, sumsq = 0.0;
  std::int64_t at_min = -1, at_max = -1;

  // `big_endian`: the samples are stored big-endian on a little-endian
  // host.  They are put in the host's order in place where needed.
  template <class T> void add(std::span<T> values, std::int64_t first, bool big_endian) {
    if (values.empty()) return;
    const std::size_t whole = values.size() / kLanes * kLanes;
    if (big_endian && !swaps_as_it_loads()) {
      to_host(values);
      big_endian = false;
    }
    if (big_endian) to_host(values.subspan(whole));
    const LaneTotals<T> t = lane_totals(std::span<const T>(values), big_endian);
    // What follows reads single samples.
    const bool new_min = at_min < 0 || static_cast<double>(t.min) < min;
    const bool new_max = at_max < 0 || static_cast<double>(t.max) > max;
    // Sums of finite 32-bit samples cannot overflow a double: a sum that
    // is not finite means a sample that is not.
    const bool finite = std::isfinite(t.sum) && std::isfinite(t.sumsq);
    if (big_endian && (new_min || new_max || !finite)) to_host(values.first(whole));
    if (!finite) {
      add_checked(std::span<const T>(values), first);
      return;
    }
    // The first sample equal to the block's extreme, as a sample-by-sample
    // scan with strict comparisons finds it (zeros of either sign included).
    if (new_min) {
      const auto i = static_cast<std::size_t>(std::ranges::find(values, t.min) - values.begin());
      min = static_cast<double>(values[i]);
      at_min = first + static_cast<std::int64_t>(i);
    }
    if (new_max) {
      const auto i = static_cast<std::size_t>(std::ranges::find(values, t.max) - values.begin());
      max = static_cast<double>(values[i]);
      at_max = first + static_cast<std::int64_t>(i);
    }
    count += static_cast<std::int64_t>(values.size());
    sum += t.sum;
    sumsq += t.sumsq;
  }

  // Sample by sample, leaving out the samples that are not finite.
  template <class T> void add_checked(std::span<const T> values, std::int64_t first) {
    double block_sum = 0.0, block_sumsq = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double v = static_cast<double>(values[i]);
      if (!std::isfinite(v)) {
        ++nonfinite;
        continue;
      }
      if (at_min < 0 || v < min) min = v, at_min = first + static_cast<std::int64_t>(i);
      if (at_max < 0 || v > max) max = v, at_max = first + static_cast<std::int64_t>(i);
      block_sum += v;
      block_sumsq += v * v;
      ++count;
    }
    sum += block_sum;
    sumsq += block_sumsq;
  }
};

enum class Kind { Float, Int, None };

Kind kind_of(const kovtool::Description &desc) {
  if (desc.esize != 4) return Kind::None;
  if (desc.format == "xdr_float" || desc.format == "native_float") return Kind::Float;
  if (desc.format == "xdr_int") return Kind::Int;
  return Kind::None;
}

// "sample (i1, i2, ...): label1=x1, label2=x2, ..." for a linear sample
// index; an axis without a label is named axisN.
std::string position(const kovtool::Description &desc, std::int64_t index) {
  std::string indices = "sample (", coordinates;
  for (std::size_t k = 0; k < desc.axes.size(); ++k) {
    const kovtool::Axis &a = desc.axes[k];
    const std::int64_t i = index % a.n;
    index /= a.n;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%lld", k ? ", " : "", static_cast<long long>(i + 1));
    indices += buf;
    const std::string name = a.label.empty() ? "axis" + std::to_string(k + 1) : a.label;
    std::snprintf(buf, sizeof buf, "%s%s=%.7g", k ? ", " : "", name.c_str(),
                  a.o + a.d * static_cast<double>(i));
    coordinates += buf;
  }
  return indices + "): " + coordinates;
}

void describe(const std::string &header) {
  const kovtool::Description desc = kovtool::describe_input();
  std::printf("header       %s\n", header.c_str());
  for (std::size_t k = 0; k < desc.axes.size(); ++k) {
    const kovtool::Axis &a = desc.axes[k];
    std::printf("axis %zu       n%zu=%d o%zu=%.7g d%zu=%.7g label%zu=\"%s\"\n", k + 1, k + 1, a.n,
                k + 1, a.o, k + 1, a.d, k + 1, a.label.c_str());
  }
  std::printf("esize        %d\n", desc.esize);
  std::printf("data_format  %s\n", desc.format.c_str());
  if (desc.files.empty()) std::printf("data         follow the header in the same stream\n");
  for (const std::string &f : desc.files) std::printf("data         %s\n", f.c_str());
  std::printf("samples      %lld\n", static_cast<long long>(desc.samples));
  std::printf("expected     %lld bytes\n", static_cast<long long>(desc.bytes));
  std::fflush(stdout);

  const Kind kind = kind_of(desc);
  // The bytes as stored: the statistics put big-endian samples in order
  // themselves, as they read them.
  const bool big_endian =
      std::endian::native == std::endian::little && desc.format.starts_with("xdr_");
  const kovtool::PageBlock block(kBlockBytes);
  kovtool::BlockReader reader(desc, true);
  Statistics stats;
  for (std::int64_t first = 0;;) {
    const std::size_t got = reader.next(block.span());
    if (got == 0) break;
    const std::size_t n = got / 4;
    if (kind == Kind::Float)
      stats.add(std::span<float>(reinterpret_cast<float *>(block.data()), n), first, big_endian);
    else if (kind == Kind::Int)
      stats.add(std::span<std::int32_t>(reinterpret_cast<std::int32_t *>(block.data()), n), first,
                big_endian);
    first += static_cast<std::int64_t>(n);
  }
  reader.expect_end();
  std::printf("actual       %lld bytes\n", static_cast<long long>(reader.done()));

  if (kind == Kind::None) {
    std::printf("statistics   not computed for data_format=%s esize=%d\n", desc.format.c_str(),
                desc.esize);
    return;
  }
  if (stats.nonfinite > 0)
    std::printf("non-finite   %lld samples (left out below)\n",
                static_cast<long long>(stats.nonfinite));
  if (stats.count == 0) {
    std::printf("statistics   no finite samples\n");
    return;
  }
  const double n = static_cast<double>(stats.count);
  std::printf("min          %.9g at %s\n", stats.min, position(desc, stats.at_min).c_str());
  std::printf("max          %.9g at %s\n", stats.max, position(desc, stats.at_max).c_str());
  std::printf("mean         %.9g\n", stats.sum / n);
  std::printf("rms          %.9g\n", std::sqrt(stats.sumsq / n));
}

// Several header files: one run of this program for each, in turn, with
// the other words of the command line.  The first failure's status.
int describe_each(int argc, char **argv, const std::vector<std::string> &headers) {
  int status = 0;
  for (const std::string &h : headers) {
    std::vector<std::string> words = {argv[0]};
    for (int i = 1; i < argc; ++i)
      if (std::strchr(argv[i], '=') != nullptr) words.emplace_back(argv[i]);
    words.push_back("stdin=" + h);
    std::vector<char *> args;
    for (std::string &w : words) args.push_back(w.data());
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, args.data(), environ) != 0)
      koverr("cannot run %s for %s\n", argv[0], h.c_str());
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    const int code = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (status == 0) status = code;
    if (&h != &headers.back()) std::printf("\n");
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::vector<std::string> headers = kovtool::plain_arguments(argc, argv);
  if (headers.size() > 1) return describe_each(argc, argv, headers);
  const std::string header = kovtool::start(argc, argv);
  kov_begin_prog();
  describe(header);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) koverr("cannot write the description\n");
  kov_end_prog();
  return 0;
}
