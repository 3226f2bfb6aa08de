// SPDX-License-Identifier: Apache-2.0
// Butterworth filters as cascades of second-order sections, designed in
// double precision and applied to many traces at once.
#ifndef KOV_PROC_BANDPASS_HPP
#define KOV_PROC_BANDPASS_HPP

#include <kov/proc/simd.hpp>

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace kovproc {

// One section, its leading denominator coefficient 1:
//   H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2).
// A first-order section has b2 = a2 = 0.
struct Section {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
};

// The sections of a Butterworth high-pass of `poles_low` poles with its
// corner at `flo` followed by a low-pass of `poles_high` poles at `fhi`
// (frequencies in cycles per unit of `dt`, the sampling interval; a filter
// of 0 poles is left out).  The analog prototype is mapped by the bilinear
// transform with the corners prewarped; each section has gain 1 where its
// filter passes (0 Hz for the low-pass, Nyquist for the high-pass).
// Throws std::invalid_argument unless 0 < f < 1/(2 dt) for every corner
// used, naming the value.
std::vector<Section> butterworth(double flo, int poles_low, double fhi, int poles_high, double dt);

enum class Phase { zero, minimum };

// Samples of padding at each end of a trace for phase=zero, for a trace of
// n samples: three times (2 sections + 1 - the first-order sections),
// at most n - 1.
std::size_t zero_phase_padding(std::span<const Section> sections, std::size_t n);

// The filter applied to `count` traces of `n` samples each, stored one
// after the other in `traces`, in place.
//   Phase::minimum: the sections in order, from rest.
//   Phase::zero: the trace extended at each end by zero_phase_padding()
//   samples, odd about its end samples (2 x[0] - x[k]); filtered forwards
//   with each section starting in the state of a constant input equal to
//   the first extended sample, then backwards the same way from the last
//   output; the extension cut off.
// Arithmetic in double; several traces go through the sections together,
// one per vector lane.
void filter(std::span<const Section> sections, Phase phase, std::span<float> traces, std::size_t n,
            Simd simd = best_simd());

} // namespace kovproc

#endif
