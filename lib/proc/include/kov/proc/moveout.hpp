// SPDX-License-Identifier: Apache-2.0
// Normal moveout of a trace at offset h with RMS velocities v(t0).
//
// Forward: the output sample at t0 = o + i*d takes the input at
//   t = sqrt(t0^2 + h^2 / v(t0)^2),
// zeroed where the stretch (t - t0) / t0 exceeds `stretch` (and at t0 <= 0
// for h != 0).  Inverse: the output sample at time t takes the input at
// the t0 whose forward time is t, found by linear interpolation in the
// table of forward times of the samples t0 (which must increase; past a
// sample where they stop increasing, and before the first one, the output
// is zero); no stretch mute.
//
// Between samples the input is read through an 8-point windowed sinc: at
// position x = (t - o) / d = i + f (0 <= f < 1) the value is
//   sum_{m=-3..4} s[i+m] * w(f - m) / sum_{m=-3..4} w(f - m),
//   w(u) = sinc(u) * 0.5 * (1 + cos(pi * u / 4)),  sinc(u) = sin(pi u)/(pi u),
// samples outside the trace being zero.  The weights are tabulated at 2048
// fractions f per sample and interpolated linearly between them (their
// error is below 1e-6); f = 0 gives the sample itself.
#ifndef KOV_PROC_MOVEOUT_HPP
#define KOV_PROC_MOVEOUT_HPP

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace kovproc {

// The windowed sinc of moveout: the weights of the 8 samples around a
// position between samples.
class SincInterpolator {
public:
  static constexpr int kPoints = 8;
  static constexpr int kTable = 2048;
  SincInterpolator();

  // The value of `trace` at fractional sample position `x`.
  double at(std::span<const float> trace, double x) const {
    const auto n = static_cast<double>(trace.size());
    if (!(x > -5.0 && x < n + 4.0)) return 0.0; // also NaN
    // The position in table steps, floored once: the sample below and the
    // row of the fraction.
    const double scaled = x * kTable;
    const double lower = std::floor(scaled);
    const auto step = static_cast<long>(lower);
    const long i = step >= 0 ? step / kTable : -((-step + kTable - 1) / kTable);
    const long row = step - i * kTable;
    const double a = scaled - lower;
    const double *w = weights_.data() + row * (2 * kPoints);
    if (i - 3 < 0 || i + 4 >= static_cast<long>(trace.size())) return edge(trace, i, w, a);
    const float *s = trace.data() + (i - 3);
    double p[kPoints];
    for (int m = 0; m < kPoints; ++m) p[m] = s[m] * (w[m] + a * w[kPoints + m]);
    // Summed as a tree, not as a chain of dependent additions.
    return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
  }

private:
  double edge(std::span<const float> trace, long i, const double *w, double a) const;
  // kTable rows: kPoints weights at fraction row / kTable, then kPoints
  // differences to the next row's.
  std::vector<double> weights_;
};

struct MoveoutAxis {
  std::size_t n = 0;
  double o = 0.0, d = 1.0; // seconds
};

// The velocities of a trace sampled on `from` (velocity.size() == from.n)
// at the times of `to`, into `out` (to.n values): linearly between the two
// samples around each time (in double precision, rounded once to float),
// the first and last values continued before and after the trace.  A trace
// on the times of `to` itself (the same n, o and d) is taken as it is.
void resample_velocity(std::span<const float> velocity, const MoveoutAxis &from,
                       const MoveoutAxis &to, std::span<float> out);

// Forward moveout of `in` (axis.n samples) into `out`; `velocity` holds
// v(t0) at the same times, finite and positive.
void nmo(const SincInterpolator &sinc, std::span<const float> in, std::span<float> out,
         const MoveoutAxis &axis, std::span<const float> velocity, double offset, double stretch);

// Inverse moveout; `work` is scratch of axis.n values.
void inverse_nmo(const SincInterpolator &sinc, std::span<const float> in, std::span<float> out,
                 const MoveoutAxis &axis, std::span<const float> velocity, double offset,
                 std::vector<double> &work);

} // namespace kovproc

#endif
