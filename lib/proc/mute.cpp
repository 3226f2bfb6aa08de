// SPDX-License-Identifier: Apache-2.0
// Mutes along a line or a hyperbola (see mute.hpp for the formulas).
#include "kov/proc/mute.hpp"

#include <cmath>
#include <numbers>

namespace kovproc {

double mute_time(const MuteLine &line, double offset) {
  if (line.hyperbola)
    return std::sqrt(line.tmute * line.tmute + offset * offset / (line.vmute * line.vmute));
  return line.tmute + std::fabs(offset) / line.vmute;
}

void mute(const MuteLine &line, double offset, double o, double d, std::span<float> trace) {
  const double tm = mute_time(line, offset);
  const double taper = line.ntaper;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const double t = o + d * static_cast<double>(i);
    double s = (t - tm) / d;
    if (line.below) s = -s;
    if (s >= taper) continue;
    if (s < 0.0) {
      trace[i] = 0.0f;
      continue;
    }
    const double w = 0.5 * (1.0 - std::cos(std::numbers::pi * s / taper));
    trace[i] = static_cast<float>(static_cast<double>(trace[i]) * w);
  }
}

} // namespace kovproc
