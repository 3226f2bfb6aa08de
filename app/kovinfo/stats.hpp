// SPDX-License-Identifier: Apache-2.0
// kovinfo's statistics: the minimum and the maximum with their positions,
// the sum and the sum of squares of the finite samples of a dataset, added
// block by block.
//
// A block is summed in sixteen lanes (lane j takes the samples 16k + j) in
// double, the lanes then added in order, and the blocks in order.  A
// block's totals depend on its samples only, so blocks can be summed on
// several threads at once (totals()) and added in order afterwards
// (merge()) with the bits of a scan on one thread.  The
// same lanes are computed by three paths, plain C++, AVX2 and AVX-512, so
// every path gives the same bits; the environment variable KOV_SIMD
// (plain, avx2 or avx512) forces one of them, by default the widest the
// processor has.
#ifndef KOV_APP_KOVINFO_STATS_HPP
#define KOV_APP_KOVINFO_STATS_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kovinfo {

enum class Simd { Plain, Avx2, Avx512 };

// "plain", "avx2", "avx512".
const char *simd_name(Simd path);
// The path named by `name` (as simd_name gives it); nothing for another name.
std::optional<Simd> simd_named(std::string_view name);
// Whether this processor can run `path`.
bool simd_available(Simd path);
// The widest path this processor can run.
Simd widest_simd();

// The path to take when KOV_SIMD has the value `request` (null when it is
// not set): the path it names, or, when it names none or one this
// processor lacks, the widest available, with `warning` set to say so.
Simd simd_for(const char *request, std::string &warning);

// The statistics are added in blocks of this many bytes from the first
// byte of the data (the last block may be shorter): the sums, and so the
// printed figures, depend on it.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// The kinds of 4-byte samples the statistics read.
enum class Sample { Float, Int };

// What one block adds to the statistics.
struct BlockTotals {
  std::int64_t count = 0, nonfinite = 0;
  double min = 0.0, max = 0.0, sum = 0.0, sumsq = 0.0;
  // `checked`: the block holds samples that are not finite and was summed
  // sample by sample; at_min and at_max are then the positions in the block
  // of its first minimum and maximum (-1 without a finite sample).  Those
  // of the other blocks are looked up by merge(), and only for a block whose
  // extreme is the dataset's so far.
  bool checked = false;
  std::int64_t at_min = -1, at_max = -1;
};

// Running statistics over the finite samples, computed on one path.
struct Statistics {
  explicit Statistics(Simd path = widest_simd()) : simd(path) {}

  Simd simd;
  std::int64_t count = 0, nonfinite = 0;
  double min = 0.0, max = 0.0, sum = 0.0, sumsq = 0.0;
  std::int64_t at_min = -1, at_max = -1; // -1 until a finite sample was seen

  // The totals of the samples of `block` as stored: big-endian when
  // `big_endian` (on a little-endian host).  Reads the block only, so any
  // thread may call it.
  BlockTotals totals(std::span<const std::byte> block, Sample sample, bool big_endian) const;

  // Adds the totals `t` of `block` (the samples of which it was computed),
  // whose first sample is sample number `first` of the dataset.
  void merge(const BlockTotals &t, std::span<const std::byte> block, std::int64_t first,
             Sample sample, bool big_endian);

  // totals() and merge() of the next block.
  void add(std::span<const std::byte> block, std::int64_t first, Sample sample, bool big_endian) {
    merge(totals(block, sample, big_endian), block, first, sample, big_endian);
  }
  void add(std::span<const float> values, std::int64_t first, bool big_endian) {
    add(std::as_bytes(values), first, Sample::Float, big_endian);
  }
  void add(std::span<const std::int32_t> values, std::int64_t first, bool big_endian) {
    add(std::as_bytes(values), first, Sample::Int, big_endian);
  }
};

} // namespace kovinfo

#endif
