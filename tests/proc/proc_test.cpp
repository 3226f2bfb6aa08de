// SPDX-License-Identifier: Apache-2.0
// The processing kernels directly: expressions (parsing, names, the
// functions' NumPy meaning, the grid), conversions to and from doubles,
// stack reductions read in pieces, and axes swapped in memory.  Their
// agreement with NumPy on random data is in test_proc_numpy.py.
#include <kov/proc/expr.hpp>
#include <kov/proc/reduce.hpp>
#include <kov/proc/reorder.hpp>
#include <kov/proc/samples.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using kovproc::Expression;
using kovproc::ExpressionError;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The expression of one input `a` over `values`.
std::vector<double> eval(const std::string &text, const std::vector<double> &values) {
  Expression e(text, values.size());
  for (std::size_t k = 0; k < e.names().size(); ++k)
    std::copy(values.begin(), values.end(), e.values(k).begin());
  std::vector<double> out(values.size());
  e.evaluate(out);
  return out;
}

TEST(Expression, RefusesWhatDoesNotParseWithItsPlace) {
  struct Case {
    const char *text;
    std::size_t position;
  };
  for (const Case c : {Case{"a*+", 4}, Case{"sin(a", 6}, Case{"a b", 3}, Case{"a=3", 2},
                       Case{"a,b", 1}, Case{"foo(a)", 1}, Case{"   ", 1}, Case{"a>=3 && b=2", 10},
                       Case{"sum(a,b)", 1}, Case{"a*/2", 3}, Case{"(a", 3}}) {
    try {
      Expression e(c.text);
      ADD_FAILURE() << c.text << " parsed";
    } catch (const ExpressionError &e) {
      EXPECT_EQ(e.position(), c.position) << c.text << ": " << e.what();
      EXPECT_STRNE(e.what(), "") << c.text;
    }
  }
  // Comparisons are not assignments.
  EXPECT_NO_THROW(Expression("a==b || a!=b || a<=b || a>=b"));
}

TEST(Expression, NamesItsInputsCoordinatesAndIndicesInOrderOfUse) {
  Expression e("vel*x2 + in - i1 + pi*e + vel + x10");
  std::vector<std::string> texts;
  for (const kovproc::Name &n : e.names()) texts.push_back(n.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"vel", "x2", "in", "i1", "x10"}));
  EXPECT_EQ(e.names()[0].kind, kovproc::Name::Kind::input);
  EXPECT_EQ(e.names()[1].kind, kovproc::Name::Kind::coordinate);
  EXPECT_EQ(e.names()[1].axis, 2);
  EXPECT_EQ(e.names()[3].kind, kovproc::Name::Kind::index);
  EXPECT_EQ(e.names()[4].kind, kovproc::Name::Kind::input); // only x1..x9 are coordinates
  EXPECT_EQ(e.names()[2].position, 10u);
}

TEST(Expression, FunctionsHaveNumPysMeaning) {
  const std::vector<double> x = {2.5, -2.5, 0.5, 3.5, -0.0, kNaN, -3.0, kInf};
  const auto rint = eval("rint(a)", x);
  EXPECT_EQ(rint[0], 2.0); // halves to even, not up
  EXPECT_EQ(rint[1], -2.0);
  EXPECT_EQ(rint[2], 0.0);
  EXPECT_EQ(rint[3], 4.0);
  const auto sign = eval("sign(a)", x);
  EXPECT_EQ(sign[1], -1.0);
  EXPECT_TRUE(std::isnan(sign[5]));
  EXPECT_EQ(sign[4], 0.0);
  EXPECT_FALSE(std::signbit(sign[4]));
  // A NaN wins in min and max, whichever side it is on; of equal values
  // the second is taken.
  Expression m("min(a,b) + 0*max(b,a)", 3);
  const double as[] = {kNaN, 1.0, -0.0}, bs[] = {1.0, kNaN, 0.0};
  for (std::size_t k = 0; k < 2; ++k)
    for (std::size_t i = 0; i < 3; ++i) m.values(k)[i] = (m.names()[k].text == "a" ? as : bs)[i];
  std::vector<double> out(3);
  m.evaluate(out);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(eval("min(a, 0*a)", {-0.0})[0], 0.0);
  EXPECT_FALSE(std::signbit(eval("min(-a, a)", {0.0})[0]));
  // Written as given: no folding of the constants.
  EXPECT_EQ(eval("a*0.1*3", {7.0})[0], 7.0 * 0.1 * 3);
  EXPECT_EQ(eval("2^3^a", {2.0})[0], 512.0);
  EXPECT_EQ(eval("-a^2", {3.0})[0], -9.0);
  EXPECT_EQ(eval("a > 1 ? a : 0", {0.5})[0], 0.0);
  EXPECT_EQ(eval("log(e) + atan2(a, a) * 4 / pi", {1.0})[0], 2.0);
}

TEST(Expression, EvaluatesInBlocksOfAnySize) {
  Expression e("a + 1", 8);
  std::vector<double> nine(9);
  EXPECT_THROW(e.evaluate(nine), std::length_error);
  std::vector<double> none;
  EXPECT_NO_THROW(e.evaluate(none));
}

TEST(Grid, GivesIndicesAndCoordinatesAcrossBlocks) {
  const kovproc::Grid g{{3, 2, 2}, {10.0, -1.0, 0.0}, {0.5, 2.0, 1.0}};
  std::vector<double> i1(12), i2(5), x2(7), i4(4);
  g.indices(1, 0, i1);
  EXPECT_EQ(i1, (std::vector<double>{0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}));
  g.indices(2, 4, i2); // samples 4..8
  EXPECT_EQ(i2, (std::vector<double>{1, 1, 0, 0, 0}));
  g.coordinates(2, 5, x2); // samples 5..11
  EXPECT_EQ(x2, (std::vector<double>{1, -1, -1, -1, 1, 1, 1}));
  g.indices(4, 3, i4);
  EXPECT_EQ(i4, (std::vector<double>(4, 0.0)));
}

TEST(Samples, ConvertExactlyOrSayWhichValueCannot) {
  using kovproc::Sample;
  EXPECT_EQ(kovproc::sample_kind("xdr_float", 4), Sample::float32);
  EXPECT_EQ(kovproc::sample_kind("xdr_int", 4), Sample::int32);
  EXPECT_EQ(kovproc::sample_kind("native_byte", 1), Sample::uint8);
  EXPECT_FALSE(kovproc::sample_kind("xdr_float", 8)); // complex
  EXPECT_FALSE(kovproc::sample_kind("drawl", 1));

  std::vector<std::byte> bytes(16);
  const std::vector<double> whole = {-2147483648.0, 2147483647.0, 0.0, 5.0};
  EXPECT_EQ(kovproc::from_double(Sample::int32, whole, bytes, false), 4u);
  std::vector<double> back(4);
  kovproc::to_double(Sample::int32, bytes, back);
  EXPECT_EQ(back, whole);
  EXPECT_EQ(kovproc::from_double(Sample::int32, std::vector<double>{1, 2147483648.0}, bytes, false),
            1u);
  EXPECT_EQ(kovproc::from_double(Sample::int32, std::vector<double>{0.5}, bytes, false), 0u);
  EXPECT_EQ(kovproc::from_double(Sample::int32, std::vector<double>{kNaN}, bytes, false), 0u);
  EXPECT_EQ(kovproc::from_double(Sample::uint8, std::vector<double>{255, 256}, bytes, false), 1u);
  EXPECT_EQ(kovproc::from_double(Sample::uint8, std::vector<double>{-1}, bytes, false), 0u);
  // Floats: exact unless rounding is asked for; NaN and infinities are floats.
  const std::vector<double> f = {16777216.0, kNaN, -kInf, 16777217.0};
  EXPECT_EQ(kovproc::from_double(Sample::float32, f, bytes, false), 3u);
  EXPECT_EQ(kovproc::from_double(Sample::float32, f, bytes, true), 4u);
  float last;
  std::memcpy(&last, bytes.data() + 12, 4);
  EXPECT_EQ(last, 16777216.0f);
}

TEST(Reduce, ARunReadInPiecesIsTheRunInMemory) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1e6, 1e6);
  for (const std::size_t n : {0, 1, 7, 8, 129, 1000, 4099}) {
    std::vector<double> run(n);
    for (double &v : run) v = u(rng) * (rng() % 3 == 0 ? 0.0 : 1.0);
    for (const auto mode :
         {kovproc::Mode::sum, kovproc::Mode::mean, kovproc::Mode::rms, kovproc::Mode::max}) {
      std::size_t at = 0, largest = 0;
      const double pieces =
          kovproc::reduce_run(mode, true, static_cast<std::int64_t>(n), [&](std::span<double> b) {
            largest = std::max(largest, b.size());
            std::copy_n(run.begin() + static_cast<std::ptrdiff_t>(at), b.size(), b.begin());
            at += b.size();
          });
      EXPECT_EQ(at, n);
      EXPECT_LE(largest, 128u);
      EXPECT_EQ(pieces, kovproc::reduce_run(mode, true, run)) << n;
    }
  }
}

TEST(Reduce, LiveSamplesDivideAndMutedTracesStackToZero) {
  using kovproc::Mode;
  const std::vector<double> trace = {0.0, 2.0, 0.0, 4.0, 0.0};
  EXPECT_EQ(kovproc::reduce_run(Mode::mean, true, trace), 3.0);
  EXPECT_EQ(kovproc::reduce_run(Mode::mean, false, trace), 6.0 / 5);
  EXPECT_EQ(kovproc::reduce_run(Mode::rms, true, std::vector<double>{0, 3, 4, 0}), std::sqrt(12.5));
  EXPECT_EQ(kovproc::reduce_run(Mode::mean, true, std::vector<double>(9, 0.0)), 0.0);
  EXPECT_TRUE(std::isnan(kovproc::reduce_run(Mode::max, true, std::vector<double>{1, kNaN, 3})));
  EXPECT_EQ(kovproc::reduce_run(Mode::min, true, std::vector<double>{1, -kInf, 3}), -kInf);

  kovproc::SliceStack s(Mode::mean, true, 3);
  s.add(std::vector<double>{0, 1, kNaN});
  s.add(std::vector<double>{0, 3, 1});
  std::vector<double> out(3);
  s.finish(out);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1], 2.0);
  EXPECT_TRUE(std::isnan(out[2]));
  // A fresh start after finish().
  s.add(std::vector<double>{4, 4, 4});
  s.finish(out);
  EXPECT_EQ(out, (std::vector<double>{4, 4, 4}));
}

TEST(Reduce, LiveCountsHoldOverManySlicesAndStartAfresh) {
  // More slices than the narrow counters take before they are folded into
  // wider ones (2^16), twice over: every mean divides by all its live
  // samples, on every path and after a finish.
  // The strided stack takes one slice, then all the others at once (in
  // fours that straddle the folds).
  constexpr std::size_t slices = (std::size_t{1} << 17) + 5;
  std::vector<std::byte> all(slices * 12);
  for (std::size_t k = 0; k < slices; ++k) {
    const std::vector<float> row = {1.0f, k % 2 ? 2.0f : 0.0f, k % 1000 == 0 ? 3.0f : 0.0f};
    std::memcpy(all.data() + k * 12, row.data(), 12);
  }
  kovproc::swap_bytes4(all);
  for (const kovproc::Simd simd : {kovproc::Simd::plain, kovproc::best_simd()}) {
    kovproc::SliceStack doubles(kovproc::Mode::mean, true, 3), floats(kovproc::Mode::mean, true, 3),
        xdrs(kovproc::Mode::mean, true, 3), strided(kovproc::Mode::mean, true, 3);
    floats.use(simd);
    xdrs.use(simd);
    strided.use(simd);
    for (int run = 0; run < 2; ++run) {
      for (std::size_t k = 0; k < slices; ++k) {
        const std::vector<float> row = {1.0f, k % 2 ? 2.0f : 0.0f, k % 1000 == 0 ? 3.0f : 0.0f};
        doubles.add(std::vector<double>(row.begin(), row.end()));
        floats.add_floats(row);
        xdrs.add_xdr_floats(std::span<const std::byte>(all).subspan(k * 12, 12));
      }
      strided.add_xdr_floats(std::span<const std::byte>(all).first(12));
      strided.add_xdr_floats(std::span<const std::byte>(all).subspan(12), 12, slices - 1);
      for (kovproc::SliceStack *stack : {&doubles, &floats, &xdrs, &strided}) {
        std::vector<double> out(3);
        stack->finish(out);
        EXPECT_EQ(out, (std::vector<double>{1.0, 2.0, 3.0})) << run;
      }
    }
  }
}

TEST(Reduce, StridedXdrSlicesGiveTheBitsOfOneByOne) {
  // Every mode, with and without norm: slices 41 samples apart (37 of them
  // stacked), added one by one, all at once, and in runs of 3 and 8 (the
  // mean's fours straddling the calls), on the plain path and the best.
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> specials = {0.0f, -0.0f, 1e-45f, inf, -inf, std::nanf("")};
  std::mt19937 random(13);
  std::normal_distribution<float> normal;
  constexpr std::size_t width = 37, stride = 41, slices = 11;
  std::vector<float> data(stride * slices);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = i % 7 == 0 ? specials[(i / 7) % specials.size()] : normal(random);
  std::vector<std::byte> xdr(data.size() * 4);
  std::memcpy(xdr.data(), data.data(), xdr.size());
  kovproc::swap_bytes4(xdr);
  const std::span<const std::byte> all(xdr);
  for (const kovproc::Simd simd : {kovproc::Simd::plain, kovproc::best_simd()})
    for (const auto mode : {kovproc::Mode::mean, kovproc::Mode::sum, kovproc::Mode::rms,
                            kovproc::Mode::max, kovproc::Mode::min})
      for (const bool norm : {true, false}) {
        kovproc::SliceStack single(mode, norm, width), whole(mode, norm, width),
            runs(mode, norm, width);
        for (kovproc::SliceStack *stack : {&single, &whole, &runs}) stack->use(simd);
        for (std::size_t k = 0; k < slices; ++k)
          single.add_xdr_floats(all.subspan(k * stride * 4, width * 4));
        whole.add_xdr_floats(all, stride * 4, slices);
        runs.add_xdr_floats(all, stride * 4, 3);
        runs.add_xdr_floats(all.subspan(3 * stride * 4), stride * 4, 8);
        std::vector<double> a(width), b(width), c(width);
        single.finish(a);
        whole.finish(b);
        runs.finish(c);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), width * sizeof(double)), 0)
            << static_cast<int>(mode) << " " << norm;
        EXPECT_EQ(std::memcmp(a.data(), c.data(), width * sizeof(double)), 0)
            << static_cast<int>(mode) << " " << norm;
      }
}

TEST(Reduce, FloatSlicesStackAsTheirDoubles) {
  // Every mode, with and without norm, on slices with zeros, denormals,
  // the largest floats, infinities and NaN: add_floats(), and
  // add_xdr_floats() of the same floats stored big-endian, give add()'s
  // bits (and live counts) on the plain path and on the best this processor
  // has (AVX2 where it has it).
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf(""),
              big = std::numeric_limits<float>::max();
  const std::vector<float> specials = {0.0f, -0.0f, 1e-45f, -1e-45f, inf,   -inf,
                                       nan,  big,   -big,   3.5f,    -2.25f};
  std::mt19937 random(11);
  std::normal_distribution<float> normal;
  constexpr std::size_t width = 37, slices = 9;
  std::vector<float> data(width * slices);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = i % 5 == 0 ? specials[(i / 5) % specials.size()] : normal(random);
  std::vector<std::byte> xdr(data.size() * 4);
  std::memcpy(xdr.data(), data.data(), xdr.size());
  kovproc::swap_bytes4(xdr);
  for (const auto mode : {kovproc::Mode::mean, kovproc::Mode::sum, kovproc::Mode::rms,
                          kovproc::Mode::max, kovproc::Mode::min})
    for (const bool norm : {true, false}) {
      kovproc::SliceStack doubles(mode, norm, width), plain(mode, norm, width),
          best(mode, norm, width), plain_xdr(mode, norm, width), best_xdr(mode, norm, width);
      plain.use(kovproc::Simd::plain);
      best.use(kovproc::best_simd());
      plain_xdr.use(kovproc::Simd::plain);
      best_xdr.use(kovproc::best_simd());
      for (std::size_t k = 0; k < slices; ++k) {
        const std::span<const float> slice(data.data() + k * width, width);
        const std::vector<double> wide(slice.begin(), slice.end());
        doubles.add(wide);
        plain.add_floats(slice);
        best.add_floats(slice);
        const auto stored = std::span<const std::byte>(xdr).subspan(k * width * 4, width * 4);
        plain_xdr.add_xdr_floats(stored);
        best_xdr.add_xdr_floats(stored);
      }
      std::vector<double> a(width), b(width), c(width), d(width), e(width);
      doubles.finish(a);
      plain.finish(b);
      best.finish(c);
      plain_xdr.finish(d);
      best_xdr.finish(e);
      EXPECT_EQ(std::memcmp(a.data(), d.data(), width * sizeof(double)), 0)
          << static_cast<int>(mode) << " " << norm;
      EXPECT_EQ(std::memcmp(a.data(), e.data(), width * sizeof(double)), 0)
          << static_cast<int>(mode) << " " << norm;
      EXPECT_EQ(std::memcmp(a.data(), b.data(), width * sizeof(double)), 0)
          << static_cast<int>(mode) << " " << norm;
      EXPECT_EQ(std::memcmp(a.data(), c.data(), width * sizeof(double)), 0)
          << static_cast<int>(mode) << " " << norm;
    }
  // Each special alone in its column over a slice of ones: whether it
  // counts as live shows in the mean (a half of the sum, or all of it).
  const std::vector<float> ones(specials.size(), 1.0f);
  std::vector<std::byte> xdr_specials(specials.size() * 4), xdr_ones(ones.size() * 4);
  std::memcpy(xdr_specials.data(), specials.data(), xdr_specials.size());
  std::memcpy(xdr_ones.data(), ones.data(), xdr_ones.size());
  kovproc::swap_bytes4(xdr_specials);
  kovproc::swap_bytes4(xdr_ones);
  std::vector<double> want(specials.size());
  for (std::size_t k = 0; k < specials.size(); ++k) {
    const double v = specials[k];
    want[k] = v != 0.0 && std::isfinite(v) ? (v + 1.0) / 2.0 : v + 1.0;
  }
  for (const kovproc::Simd simd : {kovproc::Simd::plain, kovproc::best_simd()}) {
    kovproc::SliceStack floats(kovproc::Mode::mean, true, specials.size()),
        xdrs(kovproc::Mode::mean, true, specials.size());
    floats.use(simd);
    xdrs.use(simd);
    floats.add_floats(specials);
    floats.add_floats(ones);
    xdrs.add_xdr_floats(xdr_specials);
    xdrs.add_xdr_floats(xdr_ones);
    std::vector<double> f(specials.size()), x(specials.size());
    floats.finish(f);
    xdrs.finish(x);
    EXPECT_EQ(std::memcmp(want.data(), f.data(), f.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(want.data(), x.data(), x.size() * sizeof(double)), 0);
  }
}

TEST(Reorder, SwapsAnyTwoAxesOfABlock) {
  for (const std::size_t esize : {1, 4, 8, 3})
    for (const kovproc::SwapShape s :
         {kovproc::SwapShape{1, 37, 1, 45}, kovproc::SwapShape{3, 5, 1, 70},
          kovproc::SwapShape{1, 33, 4, 2}, kovproc::SwapShape{2, 1, 3, 9}}) {
      const auto count = static_cast<std::size_t>(s.samples());
      std::vector<std::byte> in(count * esize), out(in.size());
      for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::byte>(i * 7 + i / 251);
      kovproc::swap_axes(in, out, esize, s);
      for (std::int64_t q = 0; q < s.q; ++q)
        for (std::int64_t m = 0; m < s.mid; ++m)
          for (std::int64_t p = 0; p < s.p; ++p)
            for (std::int64_t i = 0; i < s.inner; ++i) {
              const auto from = static_cast<std::size_t>(((q * s.mid + m) * s.p + p) * s.inner + i);
              const auto to = static_cast<std::size_t>(((p * s.mid + m) * s.q + q) * s.inner + i);
              ASSERT_EQ(0, std::memcmp(&in[from * esize], &out[to * esize], esize))
                  << esize << " " << p << " " << m << " " << q;
            }
    }
}

TEST(Reorder, PartsOfTheOutputMakeTheWhole) {
  // Tiles of 16 by 16 whole and cut by the edges, for 4-byte elements and
  // the others; parts of every size, the last one shorter.
  for (const std::size_t esize : {4, 1, 8})
    for (const kovproc::SwapShape s :
         {kovproc::SwapShape{1, 67, 1, 53}, kovproc::SwapShape{1, 32, 3, 48},
          kovproc::SwapShape{2, 40, 2, 17}}) {
      const auto count = static_cast<std::size_t>(s.samples());
      std::vector<std::byte> in(count * esize), whole(in.size()), parts(in.size(), std::byte{0});
      for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::byte>(i * 13 + i / 97);
      kovproc::swap_axes(in, whole, esize, s);
      const auto slab = static_cast<std::size_t>(s.inner * s.mid * s.q) * esize;
      for (const std::int64_t part : {std::int64_t{1}, std::int64_t{7}, std::int64_t{16}, s.p}) {
        for (std::int64_t p0 = 0; p0 < s.p; p0 += part) {
          const std::int64_t n = std::min(part, s.p - p0);
          kovproc::swap_axes_part(in,
                                  std::span(parts).subspan(static_cast<std::size_t>(p0) * slab,
                                                           static_cast<std::size_t>(n) * slab),
                                  esize, s, p0, n);
        }
        ASSERT_EQ(parts, whole) << esize << " " << s.p << " " << part;
      }
    }
}

} // namespace
