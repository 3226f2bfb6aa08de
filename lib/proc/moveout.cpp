// SPDX-License-Identifier: Apache-2.0
// Normal moveout through a windowed sinc (see moveout.hpp for the formulas).
#include "kov/proc/moveout.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kovproc {

namespace {

double windowed_sinc(double u) {
  if (u == 0.0) return 1.0;
  if (u == std::round(u)) return 0.0; // sin(pi u) is not exactly zero in floating point
  const double pu = std::numbers::pi * u;
  return std::sin(pu) / pu * 0.5 * (1.0 + std::cos(pu / 4.0));
}

} // namespace

SincInterpolator::SincInterpolator() : weights_(kTable * 2 * kPoints) {
  std::vector<double> table((kTable + 1) * kPoints);
  for (int row = 0; row <= kTable; ++row) {
    const double f = static_cast<double>(row) / kTable;
    double sum = 0.0;
    for (int m = -3; m <= 4; ++m) sum += windowed_sinc(f - m);
    for (int m = -3; m <= 4; ++m) table[row * kPoints + (m + 3)] = windowed_sinc(f - m) / sum;
  }
  // Each row holds the weights at its fraction and their step to the next.
  for (int row = 0; row < kTable; ++row)
    for (int m = 0; m < kPoints; ++m) {
      weights_[(2 * row) * kPoints + m] = table[row * kPoints + m];
      weights_[(2 * row + 1) * kPoints + m] =
          table[(row + 1) * kPoints + m] - table[row * kPoints + m];
    }
}

double SincInterpolator::edge(std::span<const float> trace, long i, const double *w,
                              double a) const {
  double sum = 0.0;
  const long size = static_cast<long>(trace.size());
  for (int m = 0; m < kPoints; ++m) {
    const long j = i - 3 + m;
    if (j >= 0 && j < size) sum += trace[static_cast<std::size_t>(j)] * (w[m] + a * w[kPoints + m]);
  }
  return sum;
}

void resample_velocity(std::span<const float> velocity, const MoveoutAxis &from,
                       const MoveoutAxis &to, std::span<float> out) {
  if (from.n == to.n && from.o == to.o && from.d == to.d) {
    std::copy(velocity.begin(), velocity.end(), out.begin());
    return;
  }
  const auto last = static_cast<double>(from.n - 1);
  for (std::size_t i = 0; i < to.n; ++i) {
    const double t = to.o + to.d * static_cast<double>(i);
    const double x = (t - from.o) / from.d;
    if (x <= 0.0) {
      out[i] = velocity.front();
    } else if (x >= last) {
      out[i] = velocity.back();
    } else {
      const auto k = static_cast<std::size_t>(x);
      const double a = x - static_cast<double>(k);
      out[i] = static_cast<float>(velocity[k] +
                                  a * (static_cast<double>(velocity[k + 1]) - velocity[k]));
    }
  }
}

void nmo(const SincInterpolator &sinc, std::span<const float> in, std::span<float> out,
         const MoveoutAxis &axis, std::span<const float> velocity, double offset, double stretch) {
  const double h2 = offset * offset;
  for (std::size_t i = 0; i < axis.n; ++i) {
    const double t0 = axis.o + axis.d * static_cast<double>(i);
    const double v = velocity[i];
    const double t = h2 == 0.0 ? t0 : std::sqrt(t0 * t0 + h2 / (v * v));
    if (h2 != 0.0 && !(t0 > 0.0 && t - t0 <= stretch * t0)) {
      out[i] = 0.0f;
      continue;
    }
    out[i] = static_cast<float>(sinc.at(in, (t - axis.o) / axis.d));
  }
}

void inverse_nmo(const SincInterpolator &sinc, std::span<const float> in, std::span<float> out,
                 const MoveoutAxis &axis, std::span<const float> velocity, double offset,
                 std::vector<double> &work) {
  const double h2 = offset * offset;
  work.resize(axis.n);
  for (std::size_t i = 0; i < axis.n; ++i) {
    const double t0 = axis.o + axis.d * static_cast<double>(i);
    const double v = velocity[i];
    work[i] = std::sqrt(t0 * t0 + h2 / (v * v));
  }
  // The forward times increase up to `rising` samples.
  std::size_t rising = axis.n == 0 ? 0 : 1;
  while (rising < axis.n && work[rising] > work[rising - 1]) ++rising;
  std::size_t k = 0; // work[k] <= t < work[k+1]
  for (std::size_t j = 0; j < axis.n; ++j) {
    const double t = axis.o + axis.d * static_cast<double>(j);
    if (rising < 2 || t < work[0] || t > work[rising - 1]) {
      out[j] = 0.0f;
      continue;
    }
    while (k + 2 < rising && work[k + 1] <= t) ++k;
    const double x = static_cast<double>(k) + (t - work[k]) / (work[k + 1] - work[k]);
    out[j] = static_cast<float>(sinc.at(in, x));
  }
}

} // namespace kovproc
