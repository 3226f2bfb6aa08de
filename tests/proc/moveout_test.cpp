// SPDX-License-Identifier: Apache-2.0
// The windowed sinc and normal moveout, forward and back.
#include <kov/proc/moveout.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

std::vector<float> sine(std::size_t n, double cycles_per_sample) {
  std::vector<float> s(n);
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<float>(std::sin(2 * std::numbers::pi * cycles_per_sample * i + 0.3));
  return s;
}

TEST(Moveout, SincGivesSamplesOnTheGridAndBandLimitedValuesBetween) {
  const kovproc::SincInterpolator sinc;
  const std::vector<float> s = sine(64, 0.05);
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(sinc.at(s, static_cast<double>(i)), s[i]);
  for (double x = 8.0; x < 56.0; x += 0.173)
    EXPECT_NEAR(sinc.at(s, x), std::sin(2 * std::numbers::pi * 0.05 * x + 0.3), 3e-3) << x;
  // A constant stays constant (normalised weights); nothing beyond the ends.
  const std::vector<float> one(32, 1.0f);
  for (double x = 4.0; x < 27.0; x += 0.37) EXPECT_NEAR(sinc.at(one, x), 1.0, 1e-12);
  EXPECT_EQ(sinc.at(one, -4.5), 0.0);
  EXPECT_EQ(sinc.at(one, 36.0), 0.0);
  EXPECT_EQ(sinc.at(one, NAN), 0.0);
  EXPECT_EQ(sinc.at(one, 1e300), 0.0);
}

TEST(Moveout, ConstantVelocityMovesAnEventToItsZeroOffsetTimeAndBack) {
  const kovproc::SincInterpolator sinc;
  const kovproc::MoveoutAxis axis{400, 0.0, 0.004};
  const double v = 2000.0, h = 800.0, t0 = 0.8;
  const double th = std::sqrt(t0 * t0 + h * h / (v * v));
  std::vector<float> in(axis.n), out(axis.n), back(axis.n), vel(axis.n, static_cast<float>(v));
  for (std::size_t i = 0; i < axis.n; ++i) {
    const double a = std::pow(std::numbers::pi * 20 * (i * axis.d - th), 2);
    in[i] = static_cast<float>((1 - 2 * a) * std::exp(-a));
  }
  kovproc::nmo(sinc, in, out, axis, vel, h, 0.5);
  std::size_t peak = 0;
  for (std::size_t i = 0; i < axis.n; ++i)
    if (out[i] > out[peak]) peak = i;
  EXPECT_EQ(peak, 200u);
  // Stretched by more than half: zero (t0 = 0.4 s is stretched 0.41 at 800 m;
  // 0.2 s by 1.24).
  EXPECT_EQ(out[50], 0.0f);
  EXPECT_EQ(out[0], 0.0f);
  std::vector<double> work;
  kovproc::inverse_nmo(sinc, out, back, axis, vel, h, work);
  for (std::size_t i = 150; i < 350; ++i) EXPECT_NEAR(back[i], in[i], 2e-2) << i;
  // Before the first forward time (h / v = 0.4 s) the inverse is zero.
  for (std::size_t i = 0; i < 100; ++i) EXPECT_EQ(back[i], 0.0f);
  // Zero offset: the trace itself, also on an axis starting before zero.
  const kovproc::MoveoutAxis early{400, -0.1, 0.004};
  kovproc::nmo(sinc, in, out, early, vel, 0.0, 0.5);
  EXPECT_EQ(out, in);
}

TEST(Moveout, VelocitiesResampledLinearlyWithTheirEndValuesContinued) {
  // 4 samples every 0.01 s from 0.02 s, read every 0.004 s from 0.
  const std::vector<float> v{2000.0f, 2100.0f, 2400.0f, 2500.0f};
  std::vector<float> out(20);
  kovproc::resample_velocity(v, {4, 0.02, 0.01}, {20, 0.0, 0.004}, out);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double t = 0.004 * static_cast<double>(i);
    const double x = std::clamp((t - 0.02) / 0.01, 0.0, 3.0);
    const auto k = std::min<std::size_t>(static_cast<std::size_t>(x), 2);
    const double want = v[k] + (x - static_cast<double>(k)) * (v[k + 1] - v[k]);
    EXPECT_NEAR(out[i], want, 1e-3) << i;
  }
  EXPECT_EQ(out[0], 2000.0f);  // before the first sample
  EXPECT_EQ(out[19], 2500.0f); // after the last
  // The data's own times: the trace as it is, whatever the rounding of t.
  const std::vector<float> odd{1999.9f, 2000.3f, 2017.7f, 2100.1f, 2222.2f};
  std::vector<float> same(5);
  kovproc::resample_velocity(odd, {5, 0.1, 0.003}, {5, 0.1, 0.003}, same);
  EXPECT_EQ(same, odd);
  // One sample holds at every time.
  const std::vector<float> one{1800.0f};
  kovproc::resample_velocity(one, {1, 0.5, 1.0}, {20, 0.0, 0.004}, out);
  for (const float x : out) EXPECT_EQ(x, 1800.0f);
}

} // namespace
