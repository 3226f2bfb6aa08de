// SPDX-License-Identifier: Apache-2.0
// Reordering samples in memory: two axes of a block swapped.
#ifndef KOV_PROC_REORDER_HPP
#define KOV_PROC_REORDER_HPP

#include <cstddef>
#include <cstdint>
#include <span>

namespace kovproc {

// A block of samples of `esize` bytes seen as four merged axes, fastest
// first: `inner` samples, `p` indices of the first swapped axis, `mid`
// indices of the axes between, `q` indices of the second swapped axis.
// `out` receives the block with the two swapped: inner, q, mid, p.
struct SwapShape {
  std::int64_t inner = 1, p = 1, mid = 1, q = 1;
  std::int64_t samples() const { return inner * p * mid * q; }
};

void swap_axes(std::span<const std::byte> in, std::span<std::byte> out, std::size_t esize,
               const SwapShape &shape);

// Part of swap_axes' output: its indices [first, first + count) of p, that
// is count * mid * q * inner samples into `out`, from the same whole `in`.
// A block is so swapped in parts of any size, each written out in turn.
void swap_axes_part(std::span<const std::byte> in, std::span<std::byte> out, std::size_t esize,
                    const SwapShape &shape, std::int64_t first, std::int64_t count);

} // namespace kovproc

#endif
