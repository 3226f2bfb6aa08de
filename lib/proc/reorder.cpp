// SPDX-License-Identifier: Apache-2.0
// Two axes of a block swapped in memory.
#include "kov/proc/reorder.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
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

// Four 4-byte words from `at` (any alignment) and back.
using Words = std::uint32_t __attribute__((vector_size(16)));
Words load_words(const std::byte *at) {
  Words w;
  std::memcpy(&w, at, sizeof w);
  return w;
}
void store_words(std::byte *at, Words w) { std::memcpy(at, &w, sizeof w); }

// The same for 4-byte elements, the common case, in tiles of 16 by 16:
// the tile's 16 runs of the source are staged as above, then moved out in
// blocks of 4 by 4 transposed in vector registers (four words a load and a
// store instead of one).  Tiles cut by the edges go out element by element
// from the stage.
void transpose_words(const std::byte *from, std::byte *to, std::int64_t p, std::int64_t q,
                     std::int64_t from_row, std::int64_t to_row) {
  constexpr std::int64_t tile = 16, b = 4;
  alignas(64) std::array<std::byte, tile * tile * b> stage;
  for (std::int64_t q0 = 0; q0 < q; q0 += tile)
    for (std::int64_t p0 = 0; p0 < p; p0 += tile) {
      const std::int64_t nq = std::min(q - q0, tile), np = std::min(p - p0, tile);
      if (nq < tile || np < tile) {
        // Staged too: rows a power of two apart would otherwise be read
        // again for every element.
        for (std::int64_t j = 0; j < nq; ++j)
          std::memcpy(stage.data() + j * tile * b, from + (q0 + j) * from_row + p0 * b,
                      static_cast<std::size_t>(np * b));
        for (std::int64_t i = 0; i < np; ++i) {
          std::byte *row = to + (p0 + i) * to_row + q0 * b;
          for (std::int64_t j = 0; j < nq; ++j)
            std::memcpy(row + j * b, stage.data() + (j * tile + i) * b, b);
        }
        continue;
      }
      for (std::int64_t j = 0; j < tile; ++j)
        std::memcpy(stage.data() + j * tile * b, from + (q0 + j) * from_row + p0 * b, tile * b);
      for (std::int64_t i = 0; i < tile; i += 4)
        for (std::int64_t j = 0; j < tile; j += 4) {
          const std::byte *s = stage.data() + (j * tile + i) * b;
          const Words r0 = load_words(s), r1 = load_words(s + tile * b),
                      r2 = load_words(s + 2 * tile * b), r3 = load_words(s + 3 * tile * b);
          const Words t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5),
                      t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7),
                      t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5),
                      t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
          std::byte *d = to + (p0 + i) * to_row + (q0 + j) * b;
          store_words(d, __builtin_shufflevector(t0, t2, 0, 1, 4, 5));
          store_words(d + to_row, __builtin_shufflevector(t0, t2, 2, 3, 6, 7));
          store_words(d + 2 * to_row, __builtin_shufflevector(t1, t3, 0, 1, 4, 5));
          store_words(d + 3 * to_row, __builtin_shufflevector(t1, t3, 2, 3, 6, 7));
        }
    }
}

void transpose_any(const std::byte *from, std::byte *to, std::int64_t p, std::int64_t q,
                   std::int64_t unit, std::int64_t from_row, std::int64_t to_row) {
  switch (unit) {
  case 1:
    return transpose_tiles<1>(from, to, p, q, from_row, to_row);
  case 4:
    return transpose_words(from, to, p, q, from_row, to_row);
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

void swap_axes_part(std::span<const std::byte> in, std::span<std::byte> out, std::size_t esize,
                    const SwapShape &s, std::int64_t first, std::int64_t count) {
  const auto unit = static_cast<std::int64_t>(esize) * s.inner; // bytes of one inner run
  // in: [q][mid][p][inner] -> out: [count][mid][q][inner], from index `first` of p on
  for (std::int64_t m = 0; m < s.mid; ++m)
    transpose_any(in.data() + (m * s.p + first) * unit, out.data() + m * s.q * unit, count, s.q,
                  unit, s.mid * s.p * unit, s.mid * s.q * unit);
}

void swap_axes(std::span<const std::byte> in, std::span<std::byte> out, std::size_t esize,
               const SwapShape &s) {
  swap_axes_part(in, out, esize, s, 0, s.p);
}

} // namespace kovproc
