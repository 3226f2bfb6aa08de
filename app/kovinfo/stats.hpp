// kovinfo's statistics: the minimum and the maximum with their positions,
// the sum and the sum of squares of the finite samples of a dataset, added
// block by block.
//
// A block is summed in sixteen lanes (lane j takes the samples 16k + j) in
// double, the lanes then added in order, and the blocks in order.  The
// same lanes are computed by three paths, plain C++, AVX2 and AVX-512, so
// every path gives the same bits; the environment variable KOV_SIMD
// (plain, avx2 or avx512) forces one of them, by default the widest the
// processor has.
#ifndef KOV_APP_KOVINFO_STATS_HPP
#define KOV_APP_KOVINFO_STATS_HPP

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

// Running statistics over the finite samples, computed on one path.
struct Statistics {
  explicit Statistics(Simd path = widest_simd()) : simd(path) {}

  Simd simd;
  std::int64_t count = 0, nonfinite = 0;
  double min = 0.0, max = 0.0, sum = 0.0, sumsq = 0.0;
  std::int64_t at_min = -1, at_max = -1; // -1 until a finite sample was seen

  // The next samples, the first of which is sample number `first` of the
  // dataset.  `big_endian`: the samples are stored big-endian on a
  // little-endian host; they may be put in the host's order in place.
  void add(std::span<float> values, std::int64_t first, bool big_endian);
  void add(std::span<std::int32_t> values, std::int64_t first, bool big_endian);
};

} // namespace kovinfo

#endif
