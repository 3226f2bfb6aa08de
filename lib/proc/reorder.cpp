// SPDX-License-Identifier: Apache-2.0
// Two axes of a block swapped in memory.
#include "kov/proc/reorder.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace kovproc {

namespace {

// A q-by-p matrix of elements of `bytes` bytes (rows `from_row` apart)
// transposed into a p-by-q one (rows `to_row` apart), in tiles of 16 by 16
// staged in a local buffer: each tile reads 16 runs of the source and
// writes 16 runs of the output, so that rows a power of two apart (which
// share cache sets) are each touched once per tile.
template <std::size_t Bytes>
void transpose_tiles(const std::byte *from, std::byte *to, std::int64_t p, std::int64_t q,
                     std::int64_t from_row, std::int64_t to_row) {
  constexpr std::int64_t tile = 16;
  constexpr auto b = static_cast<std::int64_t>(Bytes);
  std::array<std::byte, tile * tile * Bytes> stage;
  for (std::int64_t q0 = 0; q0 < q; q0 += tile)
    for (std::int64_t p0 = 0; p0 < p; p0 += tile) {
      const std::int64_t nq = std::min(q - q0, tile), np = std::min(p - p0, tile);
      for (std::int64_t j = 0; j < nq; ++j)
        std::memcpy(stage.data() + j * tile * b, from + (q0 + j) * from_row + p0 * b,
                    static_cast<std::size_t>(np * b));
      for (std::int64_t i = 0; i < np; ++i) {
        std::byte *row = to + (p0 + i) * to_row + q0 * b;
        for (std::int64_t j = 0; j < nq; ++j)
          std::memcpy(row + j * b, stage.data() + (j * tile + i) * b, Bytes);
      }
    }
}

void transpose_any(const std::byte *from, std::byte *to, std::int64_t p, std::int64_t q,
                   std::int64_t unit, std::int64_t from_row, std::int64_t to_row) {
  switch (unit) {
  case 1:
    return transpose_tiles<1>(from, to, p, q, from_row, to_row);
  case 4:
    return transpose_tiles<4>(from, to, p, q, from_row, to_row);
  case 8:
    return transpose_tiles<8>(from, to, p, q, from_row, to_row);
  default:
    for (std::int64_t j = 0; j < q; ++j)
      for (std::int64_t i = 0; i < p; ++i)
        std::memcpy(to + i * to_row + j * unit, from + j * from_row + i * unit,
                    static_cast<std::size_t>(unit));
  }
}

} // namespace

void swap_axes(std::span<const std::byte> in, std::span<std::byte> out, std::size_t esize,
               const SwapShape &s) {
  const auto unit = static_cast<std::int64_t>(esize) * s.inner; // bytes of one inner run
  if (s.mid == 1) {
    // in: [q][p][inner] -> out: [p][q][inner]
    transpose_any(in.data(), out.data(), s.p, s.q, unit, s.p * unit, s.q * unit);
    return;
  }
  // in: [q][mid][p][inner] -> out: [p][mid][q][inner]
  for (std::int64_t m = 0; m < s.mid; ++m)
    transpose_any(in.data() + m * s.p * unit, out.data() + m * s.q * unit, s.p, s.q, unit,
                  s.mid * s.p * unit, s.mid * s.q * unit);
}

} // namespace kovproc
