// SPDX-License-Identifier: Apache-2.0
// Synthetic seismograms from a velocity model (see synth.hpp for the formulas).
#include "kov/proc/synth.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kovproc {

namespace {

double impedance(double v, Density density) {
  return density == Density::gardner ? 0.31 * std::pow(v, 0.25) * v : v;
}

} // namespace

std::size_t first_bad_velocity(std::span<const float> v) {
  for (std::size_t k = 0; k < v.size(); ++k)
    if (!(std::isfinite(v[k]) && v[k] > 0.0f)) return k;
  return v.size();
}

std::vector<Reflection> reflections(std::span<const float> v, double dz, Density density) {
  std::vector<Reflection> out;
  double t = 0.0, v2t = 0.0; // two-way time and the integral of v^2 dt down to cell k
  for (std::size_t k = 1; k < v.size(); ++k) {
    const double above = v[k - 1], below = v[k];
    const double dt = 2.0 * dz / above;
    t += dt;
    v2t += 2.0 * dz * above;
    const double i1 = impedance(above, density), i2 = impedance(below, density);
    if (i1 != i2) out.push_back({t, (i2 - i1) / (i2 + i1), std::sqrt(v2t / t)});
  }
  return out;
}

double ricker(double s, double fpeak) {
  const double a = std::numbers::pi * std::numbers::pi * fpeak * fpeak * s * s;
  return (1.0 - 2.0 * a) * std::exp(-a);
}

void synthesize(std::span<const Reflection> refl, double offset, double fpeak, const TimeAxis &axis,
                std::span<float> trace) {
  std::vector<double> sum(axis.n, 0.0);
  const double reach = 3.0 / fpeak;
  const double h2 = offset * offset;
  for (const Reflection &r : refl) {
    const double arrival = std::sqrt(r.time * r.time + h2 / (r.vrms * r.vrms));
    // The samples within reach of the arrival.
    const double first = std::ceil((arrival - reach - axis.o) / axis.d);
    const double last = std::floor((arrival + reach - axis.o) / axis.d);
    if (last < 0.0 || first > static_cast<double>(axis.n) - 1.0) continue;
    const auto i0 = static_cast<std::size_t>(std::max(first, 0.0));
    const auto i1 = static_cast<std::size_t>(std::min(last, static_cast<double>(axis.n) - 1.0));
    for (std::size_t i = i0; i <= i1; ++i)
      sum[i] += r.coefficient * ricker(axis.o + axis.d * static_cast<double>(i) - arrival, fpeak);
  }
  for (std::size_t i = 0; i < axis.n; ++i) trace[i] = static_cast<float>(sum[i]);
}

void rms_velocity(std::span<const float> v, double dz, const TimeAxis &axis, std::span<float> out) {
  // Cell k spans two-way times [top, top + 2 dz / v[k]); v2t is the integral
  // of v^2 over the cells above it.
  std::size_t k = 0;
  double top = 0.0, v2t = 0.0;
  for (std::size_t i = 0; i < axis.n; ++i) {
    const double t = axis.o + axis.d * static_cast<double>(i);
    if (t <= 0.0 || v.empty()) {
      out[i] = v.empty() ? 0.0f : v[0];
      continue;
    }
    while (k + 1 < v.size() && top + 2.0 * dz / v[k] <= t) {
      top += 2.0 * dz / v[k];
      v2t += 2.0 * dz * static_cast<double>(v[k]);
      ++k;
    }
    const double vk = v[k];
    out[i] = static_cast<float>(std::sqrt((v2t + vk * vk * (t - top)) / t));
  }
}

} // namespace kovproc
