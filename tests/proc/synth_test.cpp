// SPDX-License-Identifier: Apache-2.0
// Reflections, RMS velocities and synthetic traces of a layered model.
#include <kov/proc/synth.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(Synth, ReflectionsOfTwoInterfacesWithTheirTimesCoefficientsAndDix) {
  // 2000 m/s for 4 cells of 10 m, 3000 m/s for 2, then 3000 again (no
  // reflection), then 1000 m/s.
  const std::vector<float> v{2000, 2000, 2000, 2000, 3000, 3000, 3000, 1000};
  const auto refl = kovproc::reflections(v, 10.0, kovproc::Density::constant);
  ASSERT_EQ(refl.size(), 2u);
  EXPECT_DOUBLE_EQ(refl[0].time, 0.04);
  EXPECT_DOUBLE_EQ(refl[0].coefficient, 0.2);
  EXPECT_DOUBLE_EQ(refl[0].vrms, 2000.0);
  const double t1 = 0.04 + 3 * 20.0 / 3000.0;
  EXPECT_NEAR(refl[1].time, t1, 1e-15);
  EXPECT_DOUBLE_EQ(refl[1].coefficient, -0.5);
  EXPECT_NEAR(refl[1].vrms, std::sqrt((2000.0 * 2000.0 * 0.04 + 3000.0 * 3000.0 * 0.02) / t1),
              1e-9);

  const auto gardner = kovproc::reflections(v, 10.0, kovproc::Density::gardner);
  ASSERT_EQ(gardner.size(), 2u);
  const double i1 = 0.31 * std::pow(2000.0, 0.25) * 2000, i2 = 0.31 * std::pow(3000.0, 0.25) * 3000;
  EXPECT_NEAR(gardner[0].coefficient, (i2 - i1) / (i2 + i1), 1e-15);

  EXPECT_EQ(kovproc::first_bad_velocity(v), v.size());
  for (float bad : {0.0f, -1.0f, NAN, INFINITY}) {
    std::vector<float> w = v;
    w[5] = bad;
    EXPECT_EQ(kovproc::first_bad_velocity(w), 5u);
  }
}

TEST(Synth, RmsVelocityInTimeAgreesWithTheReflectionsAndContinuesBelow) {
  const std::vector<float> v{2000, 2000, 3000, 3000};
  const kovproc::TimeAxis axis{60, 0.0, 0.001};
  std::vector<float> out(axis.n);
  kovproc::rms_velocity(v, 10.0, axis, out);
  EXPECT_EQ(out[0], 2000.0f);
  EXPECT_EQ(out[20], 2000.0f); // the interface, at 0.02 s
  const auto refl = kovproc::reflections(v, 10.0, kovproc::Density::constant);
  EXPECT_FLOAT_EQ(out[20], static_cast<float>(refl[0].vrms));
  // 0.02 s of 2000 and 0.0133 s of 3000, then 3000 continued to 0.059 s.
  EXPECT_FLOAT_EQ(out[59], static_cast<float>(std::sqrt((4e6 * 0.02 + 9e6 * 0.039) / 0.059)));
}

TEST(Synth, ARickerWaveletAtTheExactTimeOfAReflectionBetweenSamples) {
  const std::vector<kovproc::Reflection> refl{{0.0105, 0.5, 2000.0}};
  const kovproc::TimeAxis axis{40, 0.0, 0.001};
  std::vector<float> trace(axis.n);
  kovproc::synthesize(refl, 0.0, 50.0, axis, trace);
  for (std::size_t i = 0; i < axis.n; ++i)
    EXPECT_FLOAT_EQ(trace[i], static_cast<float>(0.5 * kovproc::ricker(i * 0.001 - 0.0105, 50.0)));
  EXPECT_EQ(trace[10], trace[11]);
  // At an offset: sqrt(t0^2 + h^2 / vrms^2) = sqrt(0.0105^2 + 0.02^2).
  kovproc::synthesize(refl, 40.0, 50.0, axis, trace);
  const double th = std::hypot(0.0105, 0.02);
  EXPECT_FLOAT_EQ(trace[22], static_cast<float>(0.5 * kovproc::ricker(0.022 - th, 50.0)));
  // A reflection far outside the axis leaves zeros.
  kovproc::synthesize(std::vector<kovproc::Reflection>{{5.0, 1.0, 2000.0}}, 0.0, 50.0, axis, trace);
  for (float s : trace) EXPECT_EQ(s, 0.0f);
  EXPECT_DOUBLE_EQ(kovproc::ricker(0.0, 25.0), 1.0);
  EXPECT_LT(std::fabs(kovproc::ricker(3.0 / 25.0, 25.0)), 1e-36);
}

} // namespace
