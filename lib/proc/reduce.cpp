// SPDX-License-Identifier: Apache-2.0
// Stack reductions along an axis.
#include "kov/proc/reduce.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <type_traits>

namespace kovproc {

namespace avx2 {
void add_floats(Mode mode, bool norm, std::int64_t slices, std::span<double> sums,
                std::span<std::uint32_t> live_counts, const float *x);
void add_xdr_floats(Mode mode, bool norm, std::int64_t slices, std::span<double> sums,
                    std::span<std::uint32_t> live_counts, const std::byte *x);
void add_four_xdr_floats_to_mean(std::span<double> sums, std::span<std::uint32_t> live_counts,
                                 const std::byte *x, std::size_t stride);
} // namespace avx2

namespace {

bool live(double x) { return x != 0.0 && std::isfinite(x); }

double finish_one(Mode mode, bool norm, double total, std::int64_t live_count,
                  std::int64_t length) {
  const double divisor = norm ? static_cast<double>(std::max<std::int64_t>(live_count, 1))
                              : static_cast<double>(length);
  switch (mode) {
  case Mode::mean:
    return total / divisor;
  case Mode::rms:
    return std::sqrt(total / divisor);
  default:
    return total;
  }
}

constexpr std::int64_t kBlock = 128; // NumPy's block of pairwise summation

// The pairwise sum of the next `n` values (squared for rms), as NumPy sums
// a contiguous run in float64; the live samples are counted on the way.
double pairwise(bool square, std::int64_t n, const std::function<void(std::span<double>)> &next,
                std::int64_t &live_count) {
  if (n <= kBlock) {
    std::array<double, kBlock> a{};
    const std::span<double> block(a.data(), static_cast<std::size_t>(n));
    next(block);
    for (double &x : block) {
      live_count += live(x) ? 1 : 0;
      if (square) x = x * x;
    }
    if (n < 8) {
      double res = 0.0;
      for (const double x : block) res += x;
      return res;
    }
    std::array<double, 8> r{};
    std::copy_n(a.begin(), 8, r.begin());
    std::int64_t i = 8;
    for (; i < n - (n % 8); i += 8)
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[static_cast<std::size_t>(i) + j];
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[static_cast<std::size_t>(i)];
    return res;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  const double left = pairwise(square, n2, next, live_count);
  return left + pairwise(square, n - n2, next, live_count);
}

} // namespace

std::optional<Mode> mode_named(std::string_view name) {
  if (name == "mean") return Mode::mean;
  if (name == "sum") return Mode::sum;
  if (name == "rms") return Mode::rms;
  if (name == "max") return Mode::max;
  if (name == "min") return Mode::min;
  return std::nullopt;
}

SliceStack::SliceStack(Mode mode, bool norm, std::size_t width)
    : mode_(mode), norm_(norm), sum_(width, 0.0), live_(norm ? width : 0, 0),
      recent_(norm ? width : 0, 0) {}

namespace {

// Slices counted in 32 bits before the counts are folded into 64: far
// fewer than overflow them, and often enough that the folding is tested.
constexpr std::int64_t kFold = std::int64_t{1} << 16;

} // namespace

// The counters for the live samples of the next `slices` slices.
std::span<std::uint32_t> SliceStack::counts(std::int64_t slices) {
  if (recent_slices_ + slices > kFold) fold();
  recent_slices_ += slices;
  return recent_;
}

void SliceStack::fold() {
  for (std::size_t i = 0; i < recent_.size(); ++i) live_[i] += recent_[i];
  std::fill(recent_.begin(), recent_.end(), 0);
  recent_slices_ = 0;
}

namespace {

#include "reduce_slice.inc"

} // namespace

void SliceStack::add(std::span<const double> slice) {
  add_slice(mode_, norm_, slices_, sum_, counts(), slice.data());
  ++slices_;
}

void SliceStack::add_floats(std::span<const float> slice) {
  if (simd_ == Simd::avx2)
    avx2::add_floats(mode_, norm_, slices_, sum_, counts(), slice.data());
  else
    add_slice(mode_, norm_, slices_, sum_, counts(), slice.data());
  ++slices_;
}

void SliceStack::add_xdr_floats(std::span<const std::byte> slice) {
  if (simd_ == Simd::avx2)
    avx2::add_xdr_floats(mode_, norm_, slices_, sum_, counts(), slice.data());
  else
    add_slice(mode_, norm_, slices_, sum_, counts(),
              reinterpret_cast<const XdrFloat *>(slice.data()));
  ++slices_;
}

void SliceStack::add_xdr_floats(std::span<const std::byte> slices, std::size_t stride,
                                std::size_t count) {
  const std::size_t bytes = width() * 4;
  std::size_t k = 0;
  if (norm_ && mode_ == Mode::mean && stride % 4 == 0)
    for (; k + 4 <= count; k += 4) {
      const std::span<const std::byte> four = slices.subspan(k * stride, 3 * stride + bytes);
      if (simd_ == Simd::avx2)
        avx2::add_four_xdr_floats_to_mean(sum_, counts(4), four.data(), stride / 4);
      else
        add_four_to_mean(sum_, counts(4), reinterpret_cast<const XdrFloat *>(four.data()),
                         stride / 4);
      slices_ += 4;
    }
  for (; k < count; ++k) add_xdr_floats(slices.subspan(k * stride, bytes));
}

void SliceStack::finish(std::span<double> out) {
  fold();
  for (std::size_t i = 0; i < sum_.size(); ++i)
    out[i] = finish_one(mode_, norm_, sum_[i], norm_ ? live_[i] : 0, slices_);
  std::fill(sum_.begin(), sum_.end(), 0.0);
  std::fill(live_.begin(), live_.end(), 0);
  slices_ = 0;
}

double reduce_run(Mode mode, bool norm, std::int64_t length,
                  const std::function<void(std::span<double>)> &next) {
  if (mode == Mode::max || mode == Mode::min) {
    std::array<double, kBlock> a{};
    double best = 0.0;
    for (std::int64_t done = 0; done < length;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, length - done));
      next(std::span(a.data(), n));
      for (std::size_t i = 0; i < n; ++i)
        best = done == 0 && i == 0 ? a[0]
               : mode == Mode::max ? numpy_max(best, a[i])
                                   : numpy_min(best, a[i]);
      done += static_cast<std::int64_t>(n);
    }
    return best;
  }
  std::int64_t live_count = 0;
  const double total =
      length == 0 ? 0.0 : 0.0 + pairwise(mode == Mode::rms, length, next, live_count);
  return finish_one(mode, norm, total, live_count, length);
}

double reduce_run(Mode mode, bool norm, std::span<const double> run) {
  std::size_t at = 0;
  return reduce_run(
      mode, norm, static_cast<std::int64_t>(run.size()), [&](std::span<double> block) {
        std::copy_n(run.begin() + static_cast<std::ptrdiff_t>(at), block.size(), block.begin());
        at += block.size();
      });
}

} // namespace kovproc
