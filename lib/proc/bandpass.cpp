// SPDX-License-Identifier: Apache-2.0
// Butterworth filters (kov/proc/bandpass.hpp).
#include <kov/proc/bandpass.hpp>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovproc {

namespace avx2 {
void filter(std::span<const Section> sections, bool zero_phase, std::size_t pad,
            std::span<float> traces, std::size_t n);
}

namespace plain {
namespace {
#include "bandpass_lanes.inc"
} // namespace
} // namespace plain

namespace {

std::string number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

// The sections of one Butterworth filter of `poles` poles with its corner at
// tan(pi f dt) after prewarping: the analog prototype's poles
// -exp(i pi m / 2N), m = -N+1, -N+3, ..., N-1, scaled (low-pass) or
// inverted (high-pass) and mapped by z = (1 + s) / (1 - s).  Zeros at
// z = -1 (low-pass) or z = 1 (high-pass).
void add_filter(std::vector<Section> &sections, int poles, double warped, bool high) {
  const double sign = high ? -1.0 : 1.0; // the zeros at z = -sign
  for (int m = poles - 1; m >= 0; m -= 2) {
    const std::complex<double> prototype =
        -std::exp(std::complex<double>(0.0, std::numbers::pi * m / (2.0 * poles)));
    const std::complex<double> s = high ? warped / prototype : warped * prototype;
    const std::complex<double> z = (1.0 + s) / (1.0 - s);
    Section sec;
    if (m == 0) { // the real pole of an odd number of poles
      sec.a1 = -z.real();
      // Unit gain where the filter passes: at z = sign.
      const double g = (1.0 + sec.a1 * sign) / 2.0;
      sec.b0 = g;
      sec.b1 = g * sign;
    } else {
      sec.a1 = -2.0 * z.real();
      sec.a2 = std::norm(z);
      const double g = (1.0 + sec.a1 * sign + sec.a2) / 4.0;
      sec.b0 = g;
      sec.b1 = 2.0 * g * sign;
      sec.b2 = g;
    }
    sections.push_back(sec);
  }
}

} // namespace

std::vector<Section> butterworth(double flo, int poles_low, double fhi, int poles_high, double dt) {
  if (!std::isfinite(dt) || dt <= 0.0)
    throw std::invalid_argument("the sampling interval " + number(dt) + " is not positive");
  const double nyquist = 0.5 / dt;
  std::vector<Section> sections;
  const auto corner = [&](double f, int poles, bool high, const char *name) {
    if (poles <= 0) return;
    if (!std::isfinite(f) || f <= 0.0)
      throw std::invalid_argument(std::string(name) + "=" + number(f) +
                                  ": a corner frequency must be above 0");
    if (f >= nyquist)
      throw std::invalid_argument(std::string(name) + "=" + number(f) +
                                  ": at or above the Nyquist frequency " + number(nyquist));
    add_filter(sections, poles, std::tan(std::numbers::pi * f * dt), high);
  };
  corner(flo, poles_low, true, "flo");
  corner(fhi, poles_high, false, "fhi");
  return sections;
}

Simd best_simd() { return __builtin_cpu_supports("avx2") ? Simd::avx2 : Simd::plain; }

Simd simd_for(const char *request, std::string &warning) {
  warning.clear();
  if (request == nullptr || *request == '\0') return best_simd();
  const std::string name = request;
  if (name == "plain") return Simd::plain;
  if (name == "avx2") {
    if (best_simd() == Simd::avx2) return Simd::avx2;
    warning = "KOV_SIMD=avx2: this processor cannot run the avx2 path; the plain one is used";
    return Simd::plain;
  }
  warning = "KOV_SIMD=" + name + " names no path (plain or avx2); the best one is used";
  return best_simd();
}

std::size_t zero_phase_padding(std::span<const Section> sections, std::size_t n) {
  std::size_t first_order_b = 0, first_order_a = 0;
  for (const Section &s : sections) {
    first_order_b += s.b2 == 0.0;
    first_order_a += s.a2 == 0.0;
  }
  const std::size_t taps = 2 * sections.size() + 1 - std::min(first_order_b, first_order_a);
  return n == 0 ? 0 : std::min(3 * taps, n - 1);
}

void filter(std::span<const Section> sections, Phase phase, std::span<float> traces, std::size_t n,
            Simd simd) {
  const bool zero = phase == Phase::zero;
  const std::size_t pad = zero ? zero_phase_padding(sections, n) : 0;
  if (simd == Simd::avx2)
    avx2::filter(sections, zero, pad, traces, n);
  else
    plain::filter_all(sections, zero, pad, traces, n);
}

} // namespace kovproc
