// kovinfo's statistics on every path this processor can run, each against
// the plain path, bit for bit: blocks of many lengths, floats and ints,
// stored in either byte order, with samples that are not finite and with
// extremes in any lane and in the tail.
#include "stats.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using kovinfo::Simd;
using kovinfo::Statistics;

// The fields of two results, the doubles compared as bits.
void expect_same(const Statistics &a, const Statistics &b, const std::string &what) {
  EXPECT_EQ(a.count, b.count) << what;
  EXPECT_EQ(a.nonfinite, b.nonfinite) << what;
  EXPECT_EQ(a.at_min, b.at_min) << what;
  EXPECT_EQ(a.at_max, b.at_max) << what;
  for (const auto &[x, y, name] :
       {std::tuple{a.min, b.min, "min"}, std::tuple{a.max, b.max, "max"},
        std::tuple{a.sum, b.sum, "sum"}, std::tuple{a.sumsq, b.sumsq, "sumsq"}})
    EXPECT_EQ(std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(y))
        << what << ": " << name << " " << x << " against " << y;
}

template <class T> std::vector<T> big_endian(std::vector<T> v) {
  for (T &x : v) x = std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(x)));
  return v;
}

// The statistics of `values` added in blocks of `block` samples on `path`,
// from samples stored in the host's order or big-endian.
template <class T>
Statistics run(Simd path, const std::vector<T> &values, std::size_t block, bool swapped) {
  std::vector<T> data = swapped ? big_endian(values) : values;
  Statistics s(path);
  for (std::size_t at = 0; at < data.size(); at += block) {
    const std::size_t n = std::min(block, data.size() - at);
    s.add(std::span<T>(data.data() + at, n), static_cast<std::int64_t>(at), swapped);
  }
  return s;
}

class KovinfoStats : public testing::TestWithParam<Simd> {
protected:
  void SetUp() override {
    if (!kovinfo::simd_available(GetParam()))
      GTEST_SKIP() << "this processor cannot run the " << kovinfo::simd_name(GetParam()) << " path";
  }

  template <class T> void check(const std::vector<T> &values, const std::string &what) {
    for (const std::size_t block : {values.size() + 1, std::size_t{16}, std::size_t{37},
                                    std::size_t{4096}, std::size_t{65537}})
      for (const bool swapped : {false, true}) {
        const std::string how = what + " in blocks of " + std::to_string(block) +
                                (swapped ? ", big-endian" : ", host order");
        expect_same(run(GetParam(), values, block, swapped),
                    run(Simd::Plain, values, block, swapped), how);
      }
  }
};

TEST_P(KovinfoStats, FloatsOfEveryMagnitudeMatchThePlainPathBitForBit) {
  std::mt19937 random(20);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-40, 40);
  for (const std::size_t n : {1, 15, 16, 17, 31, 33, 1000, 300001}) {
    std::vector<float> v(n);
    for (float &x : v) x = std::ldexp(unit(random), exponent(random));
    check(v, std::to_string(n) + " floats");
  }
  // Zeros of either sign, the extremes repeated, in the last lane and the tail.
  std::vector<float> zeros(70, 0.0f);
  zeros[3] = -0.0f;
  zeros[15] = 5.0f;
  zeros[47] = 5.0f;
  zeros[69] = -2.5f;
  zeros[68] = -2.5f;
  check(zeros, "zeros and repeated extremes");
}

TEST_P(KovinfoStats, IntsMatchThePlainPathBitForBit) {
  std::mt19937 random(21);
  std::uniform_int_distribution<std::int32_t> any(std::numeric_limits<std::int32_t>::min(),
                                                  std::numeric_limits<std::int32_t>::max());
  for (const std::size_t n : {1, 16, 17, 100, 300001}) {
    std::vector<std::int32_t> v(n);
    for (std::int32_t &x : v) x = any(random);
    check(v, std::to_string(n) + " ints");
  }
  std::vector<std::int32_t> edges(40, 7);
  edges[16] = std::numeric_limits<std::int32_t>::min();
  edges[31] = std::numeric_limits<std::int32_t>::max();
  edges[39] = std::numeric_limits<std::int32_t>::min();
  check(edges, "the ends of the range");
}

TEST_P(KovinfoStats, SamplesThatAreNotFiniteAreCountedApartOnEveryPath) {
  std::vector<float> v(5000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i % 97) - 40.0f;
  v[0] = std::numeric_limits<float>::quiet_NaN();
  v[17] = std::numeric_limits<float>::infinity();
  v[4099] = -std::numeric_limits<float>::infinity();
  v[4999] = -std::numeric_limits<float>::quiet_NaN();
  check(v, "floats with NaN and infinities");
  const Statistics s = run(GetParam(), v, 4096, true);
  EXPECT_EQ(s.nonfinite, 4);
  EXPECT_EQ(s.count, 4996);
}

INSTANTIATE_TEST_SUITE_P(Paths, KovinfoStats,
                         testing::Values(Simd::Plain, Simd::Avx2, Simd::Avx512),
                         [](const testing::TestParamInfo<Simd> &p) {
                           return std::string(kovinfo::simd_name(p.param));
                         });

TEST(KovinfoSimd, TheVariableForcesAPathTheProcessorHasAndOtherwiseWarns) {
  std::string warning;
  EXPECT_EQ(kovinfo::simd_for(nullptr, warning), kovinfo::widest_simd());
  EXPECT_EQ(warning, "");
  EXPECT_EQ(kovinfo::simd_for("", warning), kovinfo::widest_simd());
  EXPECT_EQ(kovinfo::simd_for("plain", warning), Simd::Plain);
  EXPECT_EQ(warning, "");
  EXPECT_EQ(kovinfo::simd_for("sse9", warning), kovinfo::widest_simd());
  EXPECT_NE(warning.find("KOV_SIMD=sse9 names no path (plain, avx2 or avx512)"), std::string::npos)
      << warning;
  for (const Simd path : {Simd::Avx2, Simd::Avx512}) {
    const Simd got = kovinfo::simd_for(kovinfo::simd_name(path), warning);
    if (kovinfo::simd_available(path)) {
      EXPECT_EQ(got, path);
      EXPECT_EQ(warning, "");
    } else {
      EXPECT_EQ(got, kovinfo::widest_simd());
      EXPECT_NE(warning.find("this processor cannot run the"), std::string::npos) << warning;
    }
  }
}

} // namespace
