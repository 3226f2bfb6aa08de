// SPDX-License-Identifier: Apache-2.0
// kovinfo's statistics on every path this processor can run, each against
// the plain path, bit for bit: blocks of many lengths, floats and ints,
// stored in either byte order, with samples that are not finite and with
// extremes in any lane and in the tail.  And the scan of a mapped file: the
// figures of one thread on any number of threads, and a file cut short or
// that cannot be mapped reported rather than signalled.
#include "scan.hpp"
#include "stats.hpp"
#include "test_util.h"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <random>
#include <string>
#include <unistd.h>
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

// A descriptor, closed when it goes.
struct Descriptor {
  explicit Descriptor(const std::string &path, int flags = O_RDONLY)
      : fd(::open(path.c_str(), flags)) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

TEST(MappedScan, FiguresOfOneThreadOnAnyNumberOfThreads) {
  // 17.25 MiB of samples behind 100 bytes of something else: more blocks
  // than a round of one thread takes, a short last block, windows that do
  // not start on a page.  Samples that are not finite in one block, the
  // extremes in others.
  using kovinfo::kBlockBytes;
  kovtest::TempDir dir;
  const std::size_t n = (17 * kBlockBytes + kBlockBytes / 4) / 4, skip = 100;
  std::mt19937 random(22);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<float> floats(n);
  for (float &x : floats) x = std::ldexp(unit(random), exponent(random));
  floats[3 * kBlockBytes / 4 + 5] = std::numeric_limits<float>::quiet_NaN();
  floats[9 * kBlockBytes / 4 + 1] = -4e9f;
  floats[n - 1] = 4e9f;
  std::vector<std::int32_t> ints(n);
  for (std::size_t i = 0; i < n; ++i) std::memcpy(&ints[i], &floats[i], 4);
  for (const auto &[sample, big_endian] :
       {std::pair{kovinfo::Sample::Float, true}, std::pair{kovinfo::Sample::Float, false},
        std::pair{kovinfo::Sample::Int, true}}) {
    const std::string what = std::string(sample == kovinfo::Sample::Float ? "floats" : "ints") +
                             (big_endian ? ", big-endian" : ", host order");
    std::vector<std::byte> data(skip + 4 * n, std::byte{7});
    if (sample == kovinfo::Sample::Float) {
      const std::vector<float> stored = big_endian ? ::big_endian(floats) : floats;
      std::memcpy(data.data() + skip, stored.data(), 4 * n);
    } else {
      std::memcpy(data.data() + skip, ::big_endian(ints).data(), 4 * n);
    }
    kovtest::write_file(dir / "data",
                        std::string(reinterpret_cast<const char *>(data.data()), data.size()));
    Statistics one;
    const std::span<const std::byte> all = std::span(data).subspan(skip);
    for (std::size_t at = 0; at < all.size(); at += kBlockBytes)
      one.add(all.subspan(at, std::min(kBlockBytes, all.size() - at)),
              static_cast<std::int64_t>(at / 4), sample, big_endian);
    EXPECT_EQ(one.nonfinite, sample == kovinfo::Sample::Float ? 1 : 0) << what;
    const Descriptor file(dir / "data");
    for (const int threads : {1, 2, 5}) {
      Statistics many;
      const kovinfo::MappedScan got = kovinfo::scan_mapped(
          file.fd, skip, static_cast<std::int64_t>(4 * n), sample, big_endian, threads, many);
      EXPECT_EQ(got.outcome, kovinfo::MappedScan::Done) << what;
      expect_same(many, one, what + " on " + std::to_string(threads) + " threads");
    }
  }
}

TEST(MappedScan, AFileCutShortOrUnmappableIsReportedNotSignalled) {
  kovtest::TempDir dir;
  kovtest::write_file(dir / "data", std::string(4 << 20, '\0'));
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGBUS, nullptr, &before), 0);
  {
    // Cut after the file was opened and found long enough: the pages past
    // its new end are bus errors when they are read.
    const Descriptor file(dir / "data");
    ASSERT_EQ(::truncate((dir / "data").c_str(), (1 << 20) + 10), 0);
    for (const int threads : {1, 2}) {
      Statistics s;
      const kovinfo::MappedScan got =
          kovinfo::scan_mapped(file.fd, 0, 4 << 20, kovinfo::Sample::Float, true, threads, s);
      EXPECT_EQ(got.outcome, kovinfo::MappedScan::Shrank) << threads << " threads";
    }
    // Bus errors are the program's own again.
    struct sigaction now {};
    ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
    EXPECT_EQ(now.sa_sigaction, before.sa_sigaction);
  }
  EXPECT_TRUE(kovinfo::mappable(Descriptor(dir / "data").fd));
  const Descriptor written(dir / "data", O_WRONLY);
  EXPECT_FALSE(kovinfo::mappable(written.fd));
  Statistics s;
  const kovinfo::MappedScan got =
      kovinfo::scan_mapped(written.fd, 0, 1 << 20, kovinfo::Sample::Float, true, 2, s);
  EXPECT_EQ(got.outcome, kovinfo::MappedScan::Unmapped);
  EXPECT_EQ(got.error, EACCES);
}

} // namespace
