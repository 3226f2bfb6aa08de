// SPDX-License-Identifier: Apache-2.0
// Mutes above and below a line, with and without a taper.
#include <kov/proc/mute.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

TEST(Mute, LineHyperbolaAndTaperWeights) {
  kovproc::MuteLine line{0.1, 1000.0, false, false, 4};
  EXPECT_DOUBLE_EQ(kovproc::mute_time(line, -200.0), 0.3);
  line.hyperbola = true;
  EXPECT_DOUBLE_EQ(kovproc::mute_time(line, 200.0), std::hypot(0.1, 0.2));
  line.hyperbola = false;
  line.vmute = std::numeric_limits<double>::infinity();
  EXPECT_DOUBLE_EQ(kovproc::mute_time(line, 5000.0), 0.1);

  // Flat line at 0.1 s = sample 10 of 0.01 s: zero above, taper 0, .15, .5,
  // .85 on samples 10 to 13, untouched after.
  std::vector<float> trace(20, 2.0f);
  kovproc::mute(line, 0.0, 0.0, 0.01, trace);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(trace[i], 0.0f);
  for (int k = 0; k < 4; ++k)
    EXPECT_FLOAT_EQ(trace[10 + k], static_cast<float>(1.0 - std::cos(std::numbers::pi * k / 4)));
  for (int i = 14; i < 20; ++i) EXPECT_EQ(trace[i], 2.0f);

  // Below, no taper: the line's own sample is kept.
  line.below = true;
  line.ntaper = 0;
  std::vector<float> step(20, 1.0f);
  kovproc::mute(line, 0.0, 0.0, 0.01, step);
  for (int i = 0; i <= 10; ++i) EXPECT_EQ(step[i], 1.0f) << i;
  for (int i = 11; i < 20; ++i) EXPECT_EQ(step[i], 0.0f) << i;
}

} // namespace
