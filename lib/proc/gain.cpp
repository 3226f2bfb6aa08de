// SPDX-License-Identifier: Apache-2.0
// Gain of traces (kov/proc/gain.hpp).
#include <kov/proc/gain.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovproc {

std::size_t agc_half_width(double d1, double window, std::size_t n) {
  if (!std::isfinite(d1) || d1 <= 0.0)
    throw std::invalid_argument("the sampling " + std::to_string(d1) + " is not a positive number");
  if (!std::isfinite(window) || window <= 0.0)
    throw std::invalid_argument("the window " + std::to_string(window) +
                                " is not a positive number");
  const double half = std::round(window / (2.0 * d1));
  // Compared as doubles first, so that a huge ratio never reaches the cast.
  if (!(half < static_cast<double>(n))) return n;
  return static_cast<std::size_t>(half);
}

void agc(std::span<float> trace, double d1, double window) {
  const std::size_t n = trace.size();
  const std::size_t h = agc_half_width(d1, window, n);
  if (n == 0) return;
  // The trace is cut into blocks of one window's length, so that every
  // window is the end of one block and the start of the next.  The energies
  // are summed forwards and backwards within each block: a window's energy
  // is one sum of each, with no subtraction, so that loud samples that have
  // left the window leave no rounding behind (a running sum would).  The
  // squares of floats are exact in double.
  const std::size_t block = std::min(n, 2 * h + 1);
  thread_local std::vector<double> head, tail; // sums from the block's start, to its end
  thread_local std::vector<std::size_t> live;  // finite samples before each index
  head.resize(n);
  tail.resize(n);
  live.resize(n + 1);
  live[0] = 0;
  const auto energy = [&](std::size_t j) {
    const float v = trace[j];
    return std::isfinite(v) ? static_cast<double>(v) * v : 0.0;
  };
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t end = std::min(n, start + block);
    double sum = 0.0;
    for (std::size_t j = start; j < end; ++j) {
      sum += energy(j);
      head[j] = sum;
      live[j + 1] = live[j] + (std::isfinite(trace[j]) ? 1 : 0);
    }
    sum = 0.0;
    for (std::size_t j = end; j-- > start;) {
      sum += energy(j);
      tail[j] = sum;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t lo = i > h ? i - h : 0, last = std::min(n - 1, i + h);
    double sum = 0.0;
    if (lo / block != last / block)
      sum = tail[lo] + head[last];
    else if (lo % block == 0)
      sum = head[last];
    else
      sum = tail[lo]; // the window ends where the block (the trace) ends
    const float v = trace[i];
    if (!std::isfinite(v)) continue;
    const auto count = static_cast<double>(live[last + 1] - live[lo]);
    trace[i] = sum > 0.0 ? static_cast<float>(v / std::sqrt(sum / count)) : 0.0f;
  }
}

void tpow(std::span<float> trace, double o1, double d1, double power) {
  if (power == 0.0) return;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const double t = std::fabs(o1 + static_cast<double>(i) * d1);
    if (t == 0.0) {
      if (power < 0.0)
        throw std::invalid_argument("sample " + std::to_string(i) +
                                    " lies at time 0, where a negative power is infinite");
      trace[i] = 0.0f * trace[i];
      continue;
    }
    trace[i] = static_cast<float>(trace[i] * std::pow(t, power));
  }
}

double percentile_abs(std::span<const float> trace, double percent) {
  if (trace.empty()) return 0.0;
  thread_local std::vector<float> magnitude;
  magnitude.resize(trace.size());
  std::transform(trace.begin(), trace.end(), magnitude.begin(), [](float v) {
    return std::isnan(v) ? std::numeric_limits<float>::infinity() : std::fabs(v);
  });
  const double rank =
      std::clamp(percent, 0.0, 100.0) / 100.0 * static_cast<double>(trace.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(rank));
  const double fraction = rank - static_cast<double>(below);
  std::nth_element(magnitude.begin(), magnitude.begin() + static_cast<std::ptrdiff_t>(below),
                   magnitude.end());
  const double a = magnitude[below];
  if (fraction == 0.0 || below + 1 == magnitude.size()) return a;
  const double b = *std::min_element(magnitude.begin() + static_cast<std::ptrdiff_t>(below) + 1,
                                     magnitude.end());
  if (a == b) return a;
  return a + (b - a) * fraction;
}

void clip(std::span<float> trace, double limit) {
  const float c = static_cast<float>(limit);
  for (float &v : trace)
    if (v > c)
      v = c;
    else if (v < -c)
      v = -c;
}

void balance(std::span<float> trace, Balance by) {
  double measure = 0.0;
  std::size_t count = 0;
  for (const float v : trace) {
    if (!std::isfinite(v)) continue;
    ++count;
    if (by == Balance::rms)
      measure += static_cast<double>(v) * v;
    else
      measure = std::max(measure, static_cast<double>(std::fabs(v)));
  }
  if (by == Balance::rms && count > 0) measure = std::sqrt(measure / static_cast<double>(count));
  if (measure == 0.0) return;
  for (float &v : trace) v = static_cast<float>(v / measure);
}

} // namespace kovproc
