// SPDX-License-Identifier: Apache-2.0
// The Butterworth sections and the filter over groups of traces.  Their
// agreement with SciPy is tested through kovbandpass (tests/app).
#include <kov/proc/bandpass.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

double gain_at(const std::vector<kovproc::Section> &sections, double f, double dt) {
  const std::complex<double> w = std::exp(std::complex<double>(0, -2 * std::numbers::pi * f * dt));
  std::complex<double> h = 1.0;
  for (const auto &s : sections)
    h *= (s.b0 + s.b1 * w + s.b2 * w * w) / (1.0 + s.a1 * w + s.a2 * w * w);
  return std::abs(h);
}

std::vector<float> noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<float> x(n);
  for (float &v : x) v = normal(gen);
  return x;
}

TEST(Butterworth, CornersPassbandAndOrder) {
  const double dt = 0.004;
  for (const int poles : {1, 2, 3, 6, 7}) {
    const auto low = kovproc::butterworth(0, 0, 60, poles, dt);
    EXPECT_EQ(low.size(), static_cast<std::size_t>((poles + 1) / 2));
    EXPECT_NEAR(gain_at(low, 60, dt), std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(gain_at(low, 0, dt), 1.0, 1e-12);
    const auto high = kovproc::butterworth(5, poles, 0, 0, dt);
    EXPECT_NEAR(gain_at(high, 5, dt), std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(gain_at(high, 125, dt), 1.0, 1e-12);
    EXPECT_NEAR(gain_at(high, 0, dt), 0.0, 1e-12);
    // Butterworth: |H|^2 = 1 / (1 + (tan(pi f dt) / tan(pi fc dt))^(2N)).
    const double r = std::tan(std::numbers::pi * 90 * dt) / std::tan(std::numbers::pi * 60 * dt);
    EXPECT_NEAR(gain_at(low, 90, dt), 1 / std::sqrt(1 + std::pow(r, 2 * poles)), 1e-12);
  }
}

TEST(Butterworth, RefusesCornersOutsideTheBand) {
  EXPECT_THROW(kovproc::butterworth(5, 6, 125, 6, 0.004), std::invalid_argument);
  EXPECT_THROW(kovproc::butterworth(0, 6, 60, 6, 0.004), std::invalid_argument);
  EXPECT_THROW(kovproc::butterworth(5, 6, 60, 6, 0.0), std::invalid_argument);
  try {
    kovproc::butterworth(5, 6, 300, 6, 0.004);
    FAIL();
  } catch (const std::invalid_argument &e) {
    EXPECT_EQ(std::string(e.what()), "fhi=300: at or above the Nyquist frequency 125");
  }
}

TEST(Filter, EveryPathAndGroupingGivesTheSameBits) {
  const auto sections = kovproc::butterworth(5, 3, 60, 3, 0.004);
  const std::size_t n = 301, traces = 13; // a group and a part of one
  const std::vector<float> input = noise(n * traces, 7);
  for (const auto phase : {kovproc::Phase::zero, kovproc::Phase::minimum}) {
    std::vector<float> together = input;
    kovproc::filter(sections, phase, together, n, kovproc::Simd::plain);
    for (std::size_t t = 0; t < traces; ++t) {
      std::vector<float> alone(input.begin() + t * n, input.begin() + (t + 1) * n);
      kovproc::filter(sections, phase, alone, n, kovproc::Simd::plain);
      EXPECT_EQ(std::memcmp(alone.data(), together.data() + t * n, n * 4), 0) << "trace " << t;
    }
    if (kovproc::best_simd() == kovproc::Simd::avx2) {
      std::vector<float> wide = input;
      kovproc::filter(sections, phase, wide, n, kovproc::Simd::avx2);
      EXPECT_EQ(std::memcmp(wide.data(), together.data(), wide.size() * 4), 0);
    }
  }
  std::string warning;
  EXPECT_EQ(kovproc::simd_for("plain", warning), kovproc::Simd::plain);
  EXPECT_TRUE(warning.empty());
  EXPECT_EQ(kovproc::simd_for("sse9", warning), kovproc::best_simd());
  EXPECT_NE(warning.find("KOV_SIMD=sse9"), std::string::npos);
}

TEST(Filter, ZeroPhaseKeepsAConstantAndShortTraces) {
  // A constant passes a low-pass unchanged from its first sample: the
  // sections start in its steady state.  Traces of 1 and 2 samples.
  const auto sections = kovproc::butterworth(0, 0, 20, 4, 0.004);
  std::vector<float> flat(200, 3.0f);
  kovproc::filter(sections, kovproc::Phase::zero, flat, 200);
  for (const float v : flat) EXPECT_NEAR(v, 3.0f, 1e-5f);
  EXPECT_EQ(kovproc::zero_phase_padding(sections, 200), 15u);
  for (const std::size_t n : {1u, 2u}) {
    std::vector<float> x(n, 2.0f);
    kovproc::filter(sections, kovproc::Phase::zero, x, n);
    for (const float v : x) EXPECT_TRUE(std::isfinite(v));
  }
}

} // namespace
