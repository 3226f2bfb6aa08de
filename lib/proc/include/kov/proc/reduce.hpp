// SPDX-License-Identifier: Apache-2.0
// Stack reductions: the sum, mean, root mean square, maximum or minimum
// along one axis, computed in double precision in the order NumPy adds in
// float64, so that a stack equals NumPy's reduction of the same array cast
// to float64 (sum, mean, rms) and its maximum and minimum exactly.
//
// With `norm`, mean and rms divide by the number of live samples (finite
// and not zero) instead of the axis length; where no sample is live the
// divisor is 1, so a muted (all-zero) trace stacks to 0.
#ifndef KOV_PROC_REDUCE_HPP
#define KOV_PROC_REDUCE_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <kov/proc/simd.hpp>

namespace kovproc {

enum class Mode { mean, sum, rms, max, min };

// The mode of a name: "mean", "sum", "rms", "max" or "min".
std::optional<Mode> mode_named(std::string_view name);

// A reduction along an axis that is not the fastest one: slices of `width`
// samples (one index of the reduced axis each) are added one after the
// other, sample by sample, as NumPy adds along an axis it does not store
// contiguously.
class SliceStack {
public:
  SliceStack(Mode mode, bool norm, std::size_t width);

  // The next slice: width() samples.
  void add(std::span<const double> slice);
  // The same for samples that are floats (each taken exactly as a double),
  // without a copy of the slice in doubles; on the vector path of use()
  // (the best by default), the same bits on every path.
  void add_floats(std::span<const float> slice);
  // The same for floats stored big-endian (XDR), 4 bytes each, read where
  // they lie (a mapped file) without a copy in this machine's order.
  void add_xdr_floats(std::span<const std::byte> slice);
  // `count` such slices, each `stride` bytes after the one before in
  // `slices`: the same bits as adding them one by one, faster (the mean's
  // slices are taken four at a time).
  void add_xdr_floats(std::span<const std::byte> slices, std::size_t stride, std::size_t count);
  void use(Simd simd) { simd_ = simd; }

  // The result for every sample of a slice, then a fresh start.
  void finish(std::span<double> out);

  std::size_t width() const { return sum_.size(); }

private:
  Mode mode_;
  bool norm_;
  std::int64_t slices_ = 0;
  Simd simd_ = best_simd();
  std::vector<double> sum_;
  // The live samples of each sample of the slice: of the slices folded in,
  // and of the last ones in 32-bit counters (eight to a vector register),
  // folded in every kFold slices and at the finish.
  std::vector<std::int64_t> live_;
  std::vector<std::uint32_t> recent_;
  std::int64_t recent_slices_ = 0;
  std::span<std::uint32_t> counts(std::int64_t slices = 1);
  void fold();
};

// A reduction along the fastest axis: each run of samples is reduced in
// NumPy's pairwise order (blocks of up to 128 samples in eight partial
// sums, halves added recursively).  `next(block)` fills the next samples of
// the run, at most 128 at a time, so that a run longer than memory is
// reduced as it is read.
double reduce_run(Mode mode, bool norm, std::int64_t length,
                  const std::function<void(std::span<double>)> &next);

// The same over a run held in memory.
double reduce_run(Mode mode, bool norm, std::span<const double> run);

// NumPy's maximum and minimum of two values: a NaN wins; of two equal
// values, the second.
inline double numpy_max(double a, double b) { return a != a ? a : a > b ? a : b; }
inline double numpy_min(double a, double b) { return a != a ? a : a < b ? a : b; }

} // namespace kovproc

#endif
