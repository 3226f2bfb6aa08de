// SPDX-License-Identifier: Apache-2.0
// Mutes: samples above or below a line in time and offset set to zero.
//
// At offset h the line is at tm = tmute + |h| / vmute, or with a hyperbola
// tm = sqrt(tmute^2 + h^2 / vmute^2); vmute = infinity makes it flat.  A
// sample at time t lies s = (t - tm) / dt samples below the line.  Above
// mode keeps it with the weight
//   0 for s < 0,  0.5 * (1 - cos(pi * s / ntaper)) for 0 <= s < ntaper,  1 after;
// below mode with the same weight of -s (zero for s > 0).  With ntaper = 0
// the weight is a step: 0 on the muted side, 1 on the line and beyond.
// The sample is multiplied by its weight in double precision and rounded
// once to float.
#ifndef KOV_PROC_MUTE_HPP
#define KOV_PROC_MUTE_HPP

#include <cstddef>
#include <span>

namespace kovproc {

struct MuteLine {
  double tmute = 0.0;
  double vmute = 0.0; // infinity: a flat line
  bool hyperbola = false;
  bool below = false; // mute below the line instead of above it
  int ntaper = 0;     // samples
};

// The time of the line at offset h.
double mute_time(const MuteLine &line, double offset);

// Mutes one trace whose samples lie at o + i*d.
void mute(const MuteLine &line, double offset, double o, double d, std::span<float> trace);

} // namespace kovproc

#endif
