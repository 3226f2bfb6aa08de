// SPDX-License-Identifier: Apache-2.0
// The gain kernels against direct evaluations of their definitions.
#include <kov/proc/gain.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// AGC by its definition: the RMS of every window summed afresh.
std::vector<float> agc_direct(const std::vector<float> &x, std::size_t h) {
  std::vector<float> y = x;
  const std::size_t n = x.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i])) continue;
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t j = i > h ? i - h : 0; j < std::min(n, i + h + 1); ++j)
      if (std::isfinite(x[j])) {
        sum += static_cast<double>(x[j]) * x[j];
        ++count;
      }
    y[i] =
        sum > 0.0 ? static_cast<float>(x[i] / std::sqrt(sum / static_cast<double>(count))) : 0.0f;
  }
  return y;
}

std::vector<float> noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<float> x(n);
  for (float &v : x) v = normal(gen);
  return x;
}

void expect_close(const std::vector<float> &got, const std::vector<float> &want, double rel) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "sample " << i;
      continue;
    }
    if (std::isinf(want[i])) {
      EXPECT_EQ(got[i], want[i]) << "sample " << i;
      continue;
    }
    EXPECT_NEAR(got[i], want[i], rel * std::fabs(want[i]) + 1e-30) << "sample " << i;
  }
}

TEST(Agc, RunningSumsMatchTheDefinition) {
  // Windows from one sample to longer than the trace, traces shorter and
  // longer than the interval at which the sums are taken afresh.
  for (const std::size_t n : {1u, 2u, 7u, 1000u, 9000u})
    for (const double window : {0.001, 0.004, 0.02, 0.5, 100.0}) {
      std::vector<float> x = noise(n, static_cast<unsigned>(n));
      const std::size_t h = kovproc::agc_half_width(0.004, window, n);
      const std::vector<float> want = agc_direct(x, h);
      kovproc::agc(x, 0.004, window);
      expect_close(x, want, 1e-6);
    }
}

TEST(Agc, QuietSamplesAfterALoudBurstKeepTheirPrecision) {
  // Values 1e6 times louder pass through the window first; the running sum
  // must not keep their rounding once they have left.
  std::vector<float> x = noise(20000, 3);
  for (std::size_t i = 0; i < 500; ++i) x[i] *= 1e6f;
  const std::vector<float> want = agc_direct(x, 50);
  kovproc::agc(x, 1.0, 100.0);
  expect_close(x, want, 1e-5);
}

TEST(Agc, ZerosAndValuesThatAreNotFinite) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  std::vector<float> x = {0, 0, 0, 0, 0, 0, 3, inf, -4, nan, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<float> want = agc_direct(x, 2);
  kovproc::agc(x, 1.0, 4.0);
  expect_close(x, want, 1e-6);
  EXPECT_EQ(x[0], 0.0f);
  EXPECT_EQ(x[7], inf);
  EXPECT_FLOAT_EQ(x[6], 1.2f); // 3 / sqrt((0 + 0 + 9 + 16) / 4)
}

TEST(Agc, GroupsOfTracesOnEveryPathGiveTheBitsOfOneTraceAtATime) {
  // Groups full and partial (1 to 9 traces), traces with infinities, NaN
  // (a signalling one kept as it is), silent stretches and all zeros.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  const float signalling = std::numeric_limits<float>::signaling_NaN();
  std::vector<kovproc::Simd> paths{kovproc::Simd::plain};
  if (kovproc::best_simd() == kovproc::Simd::avx2) paths.push_back(kovproc::Simd::avx2);
  for (const std::size_t n : {1u, 2u, 7u, 300u, 1001u})
    for (const std::size_t traces : {1u, 4u, 9u}) {
      std::vector<float> x = noise(n * traces, static_cast<unsigned>(n + traces));
      for (std::size_t i = 0; i < x.size(); i += 13)
        x[i] = i % 39 == 0 ? inf : i % 26 == 0 ? nan : 0.0f;
      if (x.size() > 5) x[5] = signalling;
      if (traces > 2)
        for (std::size_t i = 0; i < n; ++i) x[2 * n + i] = 0.0f;
      for (const double window : {0.5, 4.0, 25.0, 1e6}) {
        std::vector<float> want = x;
        for (std::size_t t = 0; t < traces; ++t)
          kovproc::agc(std::span(want).subspan(t * n, n), 1.0, window);
        for (const kovproc::Simd simd : paths) {
          std::vector<float> got = x;
          kovproc::agc_traces(got, n, 1.0, window, simd);
          ASSERT_EQ(std::memcmp(got.data(), want.data(), x.size() * 4), 0)
              << n << " " << traces << " " << window << " " << static_cast<int>(simd);
        }
      }
    }
  std::vector<float> x(10);
  EXPECT_THROW(kovproc::agc_traces(x, 3, 1.0, 2.0, kovproc::Simd::plain), std::invalid_argument);
  EXPECT_THROW(kovproc::agc_traces(x, 5, 1.0, 0.0, kovproc::Simd::plain), std::invalid_argument);
}

TEST(Agc, GroupsGiveTheBitsOfOneTraceAtATimeAtEveryLengthAndWidth) {
  // Lengths around multiples of four and of the window, windows from one
  // sample to the whole trace; groups all finite next to groups with a
  // non-finite sample (the fifth trace's) and a last group of fewer traces.
  std::vector<kovproc::Simd> paths{kovproc::Simd::plain};
  if (kovproc::best_simd() == kovproc::Simd::avx2) paths.push_back(kovproc::Simd::avx2);
  const float nan = std::nanf("");
  for (std::size_t n = 1; n <= 140; n += n < 20 ? 1 : 11)
    for (const std::size_t h : {0u, 1u, 2u, 3u, 5u, 8u, 31u, 1000u}) {
      const std::size_t traces = 11;
      std::vector<float> x = noise(n * traces, static_cast<unsigned>(n * 7 + h));
      x[4 * n + n / 2] = nan;
      for (std::size_t i = 0; i < n; i += 3) x[6 * n + i] *= 1e20f; // large squares
      const double window = 2.0 * static_cast<double>(h);
      std::vector<float> want = x;
      for (std::size_t t = 0; t < traces; ++t)
        kovproc::agc(std::span(want).subspan(t * n, n), 1.0, h == 0 ? 0.5 : window);
      for (const kovproc::Simd simd : paths) {
        std::vector<float> got = x;
        kovproc::agc_traces(got, n, 1.0, h == 0 ? 0.5 : window, simd);
        ASSERT_EQ(std::memcmp(got.data(), want.data(), x.size() * 4), 0)
            << n << " " << h << " " << static_cast<int>(simd);
      }
    }
}

TEST(Agc, PairedAndStepwiseGiveTheSameBits) {
  // Windows of one sample, of a few, of more than the trace; traces of odd
  // and even lengths with zeros, infinities, NaN and a silent stretch.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  for (const std::size_t n : {1u, 2u, 7u, 300u, 1001u}) {
    std::vector<float> x = noise(n, static_cast<unsigned>(n));
    for (std::size_t i = 0; i < n; i += 13) x[i] = i % 39 == 0 ? inf : i % 26 == 0 ? nan : 0.0f;
    for (std::size_t i = n / 2; i < std::min(n, n / 2 + 40); ++i) x[i] = 0.0f;
    for (const double window : {0.5, 4.0, 25.0, 1e6}) {
      std::vector<float> plain = x, paired = x;
      kovproc::agc_stepwise(plain, 1.0, window, false);
      kovproc::agc_stepwise(paired, 1.0, window, true);
      ASSERT_EQ(std::memcmp(plain.data(), paired.data(), n * 4), 0) << n << " " << window;
      std::vector<float> again = x;
      kovproc::agc(again, 1.0, window);
      ASSERT_EQ(std::memcmp(again.data(), paired.data(), n * 4), 0) << n << " " << window;
    }
  }
}

TEST(Agc, RefusesWindowsAndSamplingsThatAreNotPositive) {
  std::vector<float> x(10, 1.0f);
  EXPECT_THROW(kovproc::agc(x, 1.0, 0.0), std::invalid_argument);
  EXPECT_THROW(kovproc::agc(x, 0.0, 1.0), std::invalid_argument);
  EXPECT_THROW(kovproc::agc(x, 1.0, std::nan("")), std::invalid_argument);
  EXPECT_EQ(kovproc::agc_half_width(1e-300, 1e300, 10), 10u);
  EXPECT_EQ(kovproc::agc_half_width(0.004, 0.5, 1000), 63u);
}

TEST(Gain, PowerOfTime) {
  std::vector<float> x = {1, 1, 1, 2};
  kovproc::tpow(x, 0.0, 0.5, 2.0);
  EXPECT_EQ(x, (std::vector<float>{0, 0.25f, 1, 4.5f}));
  std::vector<float> y = {1, 1};
  EXPECT_THROW(kovproc::tpow(y, -1.0, 1.0, -1.0), std::invalid_argument);
  kovproc::tpow(y, -1.0, 2.0, -1.0);
  EXPECT_EQ(y, (std::vector<float>{1, 1}));
}

TEST(Gain, PercentileClipAndBalance) {
  const std::vector<float> x = {-4, 1, 3, -2, 0};
  EXPECT_DOUBLE_EQ(kovproc::percentile_abs(x, 50), 2.0);
  EXPECT_DOUBLE_EQ(kovproc::percentile_abs(x, 90), 3.6);
  EXPECT_DOUBLE_EQ(kovproc::percentile_abs(x, 100), 4.0);
  EXPECT_DOUBLE_EQ(kovproc::percentile_abs(x, 0), 0.0);
  std::vector<float> y = x;
  kovproc::clip(y, 2.5);
  EXPECT_EQ(y, (std::vector<float>{-2.5f, 1, 2.5f, -2, 0}));
  kovproc::balance(y, kovproc::Balance::max);
  EXPECT_EQ(y, (std::vector<float>{-1, 0.4f, 1, -0.8f, 0}));
  std::vector<float> z(4, 0.0f);
  kovproc::balance(z, kovproc::Balance::rms);
  EXPECT_EQ(z, std::vector<float>(4, 0.0f));
  std::vector<float> w = {3, -4, std::nanf("")};
  kovproc::balance(w, kovproc::Balance::rms);
  EXPECT_FLOAT_EQ(w[0], 3.0f / std::sqrt(12.5f));
}

} // namespace

// ---- the other gains against their formulas, one sample at a time -----------

namespace {

// Traces that hold what a sample can be: noise, NaN (a signalling one
// too), infinities, zeros of both signs, subnormals, loud and quiet
// values, ties.
std::vector<float> awkward(std::size_t n, unsigned seed) {
  const float inf = std::numeric_limits<float>::infinity();
  const float special[] = {std::nanf(""),
                           -std::nanf(""),
                           std::numeric_limits<float>::signaling_NaN(),
                           inf,
                           -inf,
                           0.0f,
                           -0.0f,
                           std::numeric_limits<float>::denorm_min(),
                           -1e-40f,
                           1e30f,
                           -3e38f,
                           2.5f,
                           -2.5f};
  std::vector<float> x = noise(n, seed);
  std::mt19937 gen(seed);
  for (std::size_t i = 0; i < n; ++i)
    if (gen() % 5 == 0) x[i] = special[gen() % std::size(special)];
  return x;
}

// A set of traces of n samples each: awkward ones, all zeros, all NaN,
// subnormals only, integers (many ties) and noise.
std::vector<std::vector<float>> trace_set(std::size_t n) {
  std::vector<std::vector<float>> set;
  for (unsigned s = 0; s < 4; ++s) set.push_back(awkward(n, static_cast<unsigned>(n * 10 + s)));
  set.emplace_back(n, 0.0f);
  set.emplace_back(n, std::nanf(""));
  std::vector<float> tiny = noise(n, 5), ties = noise(n, 6);
  for (float &v : tiny) v *= 1e-39f;
  for (float &v : ties) v = std::round(v * 2.0f);
  set.push_back(tiny);
  set.push_back(ties);
  set.push_back(noise(n, 7));
  return set;
}

const std::size_t kLengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 255, 256, 257, 1001, 4099};

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

std::vector<kovproc::Simd> every_path() {
  std::vector<kovproc::Simd> paths{kovproc::Simd::plain};
  if (kovproc::best_simd() == kovproc::Simd::avx2) paths.push_back(kovproc::Simd::avx2);
  return paths;
}

void tpow_direct(std::span<float> trace, double o1, double d1, double power) {
  if (power == 0.0) return;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const double t = std::fabs(o1 + static_cast<double>(i) * d1);
    if (t == 0.0) {
      if (power < 0.0)
        throw std::invalid_argument("sample " + std::to_string(i) +
                                    " lies at time 0, where a negative power is infinite");
      trace[i] = 0.0f * trace[i];
      continue;
    }
    trace[i] = static_cast<float>(trace[i] * std::pow(t, power));
  }
}

double percentile_direct(std::span<const float> trace, double percent) {
  if (trace.empty()) return 0.0;
  std::vector<float> magnitude(trace.size());
  std::transform(trace.begin(), trace.end(), magnitude.begin(), [](float v) {
    return std::isnan(v) ? std::numeric_limits<float>::infinity() : std::fabs(v);
  });
  const double rank =
      std::clamp(percent, 0.0, 100.0) / 100.0 * static_cast<double>(trace.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(rank));
  const double fraction = rank - static_cast<double>(below);
  std::nth_element(magnitude.begin(), magnitude.begin() + static_cast<std::ptrdiff_t>(below),
                   magnitude.end());
  const double a = magnitude[below];
  if (fraction == 0.0 || below + 1 == magnitude.size()) return a;
  const double b = *std::min_element(magnitude.begin() + static_cast<std::ptrdiff_t>(below) + 1,
                                     magnitude.end());
  if (a == b) return a;
  return a + (b - a) * fraction;
}

void clip_direct(std::span<float> trace, double limit) {
  const float c = static_cast<float>(limit);
  for (float &v : trace)
    if (v > c)
      v = c;
    else if (v < -c)
      v = -c;
}

void balance_direct(std::span<float> trace, kovproc::Balance by) {
  double measure = 0.0;
  std::size_t count = 0;
  for (const float v : trace) {
    if (!std::isfinite(v)) continue;
    ++count;
    if (by == kovproc::Balance::rms)
      measure += static_cast<double>(v) * v;
    else
      measure = std::max(measure, static_cast<double>(std::fabs(v)));
  }
  if (by == kovproc::Balance::rms && count > 0)
    measure = std::sqrt(measure / static_cast<double>(count));
  if (measure == 0.0) return;
  for (float &v : trace) v = static_cast<float>(v / measure);
}

} // namespace

TEST(Gain, PowerOfTimeFromItsTableGivesTheBitsOfTheFormula) {
  // Axes with a sample at time 0 (the 3rd), before it and after it.
  for (const std::size_t n : kLengths)
    for (const double o1 : {-1.0, 0.25, -0.003})
      for (const double power : {0.0, 1.0, 2.0, 0.5, 3.7, -1.5})
        for (const std::vector<float> &x : trace_set(n)) {
          std::vector<float> want = x, got = x, one = x;
          std::string refused;
          try {
            tpow_direct(want, o1, 0.5, power);
          } catch (const std::invalid_argument &e) {
            refused = e.what();
          }
          if (!refused.empty()) {
            try {
              kovproc::TimePower(n, o1, 0.5, power);
              ADD_FAILURE() << "not refused: " << n << " " << o1 << " " << power;
            } catch (const std::invalid_argument &e) {
              EXPECT_EQ(e.what(), refused);
            }
            continue;
          }
          kovproc::TimePower(n, o1, 0.5, power).apply(got);
          kovproc::tpow(one, o1, 0.5, power);
          ASSERT_TRUE(same_bits(got, want)) << n << " " << o1 << " " << power;
          ASSERT_TRUE(same_bits(one, want)) << n << " " << o1 << " " << power;
        }
  std::vector<float> short_trace(3);
  EXPECT_THROW(kovproc::TimePower(4, 1.0, 1.0, 2.0).apply(short_trace), std::invalid_argument);
}

TEST(Gain, PercentilesByBinsGiveTheBitsOfAFullSelection) {
  // Percentiles at a rank, between two in one bin, between the last of a
  // bin and the first of the next, at both ends.
  for (const std::size_t n : kLengths)
    for (const std::vector<float> &x : trace_set(n))
      for (const double percent : {0.0, 0.1, 1.0, 33.3, 50.0, 90.0, 97.3, 99.0, 99.9, 100.0}) {
        const double want = percentile_direct(x, percent);
        const double got = kovproc::percentile_abs(x, percent);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << n << " " << percent;
      }
  // Two values an octave apart, half of each: the median lies between the
  // last of one bin and the first of another.
  std::vector<float> two(300, 1.0f);
  std::fill(two.begin() + 150, two.end(), -3.0f);
  EXPECT_EQ(kovproc::percentile_abs(two, 50.0), 2.0);
  EXPECT_EQ(kovproc::percentile_abs(two, 50.0), percentile_direct(two, 50.0));
}

TEST(Gain, ClipInFoursGivesTheBitsOfOneSampleAtATime) {
  const float inf = std::numeric_limits<float>::infinity();
  for (const std::size_t n : kLengths)
    for (const std::vector<float> &x : trace_set(n))
      for (const double limit : {0.0, 1e-40, 0.5, 2.5, 1e30, static_cast<double>(inf)}) {
        std::vector<float> want = x, got = x;
        clip_direct(want, limit);
        kovproc::clip(got, limit);
        ASSERT_TRUE(same_bits(got, want)) << n << " " << limit;
      }
}

TEST(Gain, BalanceOfGroupsOnEveryPathGivesTheBitsOfTheFormula) {
  // Full groups and a last one of fewer traces (1 to 9 traces).
  for (const std::size_t n : kLengths) {
    const std::vector<std::vector<float>> set = trace_set(n);
    std::vector<float> all;
    for (const std::vector<float> &x : set) all.insert(all.end(), x.begin(), x.end());
    for (const auto by : {kovproc::Balance::rms, kovproc::Balance::max})
      for (std::size_t traces = 1; traces <= set.size(); ++traces) {
        const std::vector<float> x(all.begin(),
                                   all.begin() + static_cast<std::ptrdiff_t>(traces * n));
        std::vector<float> want = x, one = x;
        for (std::size_t t = 0; t < traces; ++t) {
          balance_direct(std::span(want).subspan(t * n, n), by);
          kovproc::balance(std::span(one).subspan(t * n, n), by);
        }
        ASSERT_TRUE(same_bits(one, want)) << n << " " << traces;
        for (const kovproc::Simd simd : every_path()) {
          std::vector<float> got = x;
          kovproc::balance_traces(got, n, by, simd);
          ASSERT_TRUE(same_bits(got, want))
              << n << " " << traces << " " << static_cast<int>(by) << " " << static_cast<int>(simd);
        }
      }
  }
  std::vector<float> x(10);
  EXPECT_THROW(kovproc::balance_traces(x, 3, kovproc::Balance::rms, kovproc::Simd::plain),
               std::invalid_argument);
}
