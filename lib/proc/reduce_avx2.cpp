// SPDX-License-Identifier: Apache-2.0
// A stack's slices of floats built for AVX2 (this file alone is compiled
// with -mavx2), run only where the processor has it.
#include "kov/proc/reduce.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

namespace kovproc::avx2 {
namespace {
#include "reduce_slice.inc"
} // namespace

void add_floats(Mode mode, bool norm, std::int64_t slices, std::span<double> sums,
                std::span<std::uint32_t> live_counts, const float *x) {
  add_slice(mode, norm, slices, sums, live_counts, x);
}

void add_xdr_floats(Mode mode, bool norm, std::int64_t slices, std::span<double> sums,
                    std::span<std::uint32_t> live_counts, const std::byte *x) {
  add_slice(mode, norm, slices, sums, live_counts, reinterpret_cast<const XdrFloat *>(x));
}

void add_four_xdr_floats_to_mean(std::span<double> sums, std::span<std::uint32_t> live_counts,
                                 const std::byte *x, std::size_t stride) {
  add_four_to_mean(sums, live_counts, reinterpret_cast<const XdrFloat *>(x), stride);
}

} // namespace kovproc::avx2
