// SPDX-License-Identifier: Apache-2.0
// Gain of traces: automatic gain control, a power of time, clipping at a
// percentile of the magnitudes and balancing.  A trace is the samples along
// axis 1, `d1` apart, the first at `o1`.
#ifndef KOV_PROC_GAIN_HPP
#define KOV_PROC_GAIN_HPP

#include <cstddef>
#include <span>
#include <vector>

#include <kov/proc/simd.hpp>

namespace kovproc {

// The half-width, in samples, of the centred window of `window` axis-1
// units: window / (2 d1) rounded, halves away from 0, at most `n` (a trace of `n` samples).
// Throws std::invalid_argument unless window and d1 are finite and positive.
std::size_t agc_half_width(double d1, double window, std::size_t n);

// Automatic gain control in place: every sample divided by the RMS of the
// samples in the centred window of `window` axis-1 units around it (its
// half-width as agc_half_width(); cut at the ends of the trace, where the
// mean is taken over the samples that are there).  Samples that are not
// finite stay as they are and count in no RMS; a sample whose window holds
// only zeros stays zero.  O(n) whatever the window.  Throws
// std::invalid_argument as agc_half_width().
void agc(std::span<float> trace, double d1, double window);

// agc() with its last step (a division and a square root per sample) done
// two samples at a time in vector registers (`paired`, where the processor
// has them: x86-64) or one at a time; the same bits either way.  agc() is
// the paired one.
void agc_stepwise(std::span<float> trace, double d1, double window, bool paired);

// agc() of every trace of `traces` (whole traces of `n` samples one after
// the other), four traces at a time in vector registers, on the `simd`
// path (kov/proc/simd.hpp): the bits of agc() on each trace.  Throws
// std::invalid_argument as agc_half_width() and for a part of a trace.
void agc_traces(std::span<float> traces, std::size_t n, double d1, double window, Simd simd);

// Multiply sample i by |o1 + i d1|^power (0 for a sample at time 0 when
// power > 0, 1 when power = 0).  Throws std::invalid_argument when power
// is negative and a sample lies at time 0.
void tpow(std::span<float> trace, double o1, double d1, double power);

// tpow() of every trace of `n` samples with the same axis: the factors
// |o1 + i d1|^power are computed once, by the same calls, and each sample
// multiplied by its own (the bits of tpow()).
class TimePower {
public:
  // Throws std::invalid_argument as tpow() does on a trace of `n` samples.
  TimePower(std::size_t n, double o1, double d1, double power);
  // `trace` has the `n` samples the factors were made for.
  void apply(std::span<float> trace) const;

private:
  std::vector<double> factor_; // empty for the power 0, which changes nothing
};

// The `percent` percentile (0 to 100) of |samples|, by linear
// interpolation between the closest ranks (NumPy's default); 0 for an
// empty span.  Non-finite magnitudes rank above every finite one.
double percentile_abs(std::span<const float> trace, double percent);

// Clip in place to [-limit, limit]; NaN stays NaN.
void clip(std::span<float> trace, double limit);

enum class Balance { rms, max };

// Divide the trace by its RMS or by its largest magnitude (over the finite
// samples); a trace of zeros stays as it is.
void balance(std::span<float> trace, Balance by);

// balance() of every trace of `traces` (whole traces of `n` samples one
// after the other), the measures of several traces at a time in vector
// registers, on the `simd` path: the bits of balance() on each trace.
// Throws std::invalid_argument for a part of a trace.
void balance_traces(std::span<float> traces, std::size_t n, Balance by, Simd simd);

} // namespace kovproc

#endif
