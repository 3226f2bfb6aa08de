// SPDX-License-Identifier: Apache-2.0
// Synthetic seismograms from a velocity model in depth.
//
// A model trace holds velocities v[k] at depths z0 + k*dz; each velocity
// fills the cell [z0 + k*dz, z0 + (k+1)*dz).  Two-way vertical time is
// counted from the first sample: the top of cell k lies at
//   t[k] = 2 * sum_{j<k} dz / v[j].
// The impedance of a cell is I = rho * v with rho = 1 (constant density)
// or rho = 0.31 * v^0.25 (Gardner).  Where the impedance of cell k differs
// from that of cell k-1, a reflection of coefficient
//   r = (I[k] - I[k-1]) / (I[k] + I[k-1])
// lies at t[k], with the RMS velocity (Dix) of the cells above it,
//   vrms[k]^2 = sum_{j<k} v[j]^2 * (2 dz / v[j]) / t[k].
// At offset h it arrives at sqrt(t[k]^2 + h^2 / vrms[k]^2).  A trace is the
// sum over reflections of r * w(t - arrival), with w the zero-phase Ricker
// wavelet w(s) = (1 - 2 pi^2 f^2 s^2) exp(-pi^2 f^2 s^2) evaluated at the
// exact time difference (never rounded to a sample), and taken as zero
// beyond |s| >= 3/f where it is below 1e-37.  All in double precision.
#ifndef KOV_PROC_SYNTH_HPP
#define KOV_PROC_SYNTH_HPP

#include <cstddef>
#include <span>
#include <vector>

namespace kovproc {

enum class Density { constant, gardner };

struct Reflection {
  double time;        // two-way vertical time (s)
  double coefficient; // (I2 - I1) / (I2 + I1)
  double vrms;        // RMS velocity over the cells above
};

// A regular time axis: n samples at o + i*d.
struct TimeAxis {
  std::size_t n = 0;
  double o = 0.0, d = 1.0;
};

// The index of the first velocity that is not a finite positive number, or
// v.size() when all are.
std::size_t first_bad_velocity(std::span<const float> v);

// The reflections of one model trace (velocities finite and positive).
std::vector<Reflection> reflections(std::span<const float> v, double dz, Density density);

// The Ricker wavelet of peak frequency `fpeak` at time `s`.
double ricker(double s, double fpeak);

// The trace at offset `offset` of the reflections, on `axis` (`trace` has
// axis.n samples).
void synthesize(std::span<const Reflection> refl, double offset, double fpeak, const TimeAxis &axis,
                std::span<float> trace);

// The RMS velocity at every time of `axis` for one model trace: at two-way
// time t, sqrt(integral_0^t v(s)^2 ds / t), the velocity below the last
// cell continuing the last one; v[0] at t = 0.
void rms_velocity(std::span<const float> v, double dz, const TimeAxis &axis, std::span<float> out);

} // namespace kovproc

#endif
