// SPDX-License-Identifier: Apache-2.0
// The kinds of samples the processing kernels read and write, and their
// conversion to and from double precision.
#ifndef KOV_PROC_SAMPLES_HPP
#define KOV_PROC_SAMPLES_HPP

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace kovproc {

// Samples as the library hands them over after its format conversion.
enum class Sample { float32, int32, uint8 };

// The kind of samples of a data format with elements of `esize` bytes;
// nothing for a pairing the kernels do not compute with (complex samples,
// a byte format with wider elements).
std::optional<Sample> sample_kind(std::string_view format, int esize);

inline std::size_t sample_size(Sample s) { return s == Sample::uint8 ? 1 : 4; }

// `out.size()` samples of kind `s` from `in` as doubles (exact).
void to_double(Sample s, std::span<const std::byte> in, std::span<double> out);

// The doubles of `in` as samples of kind `s` into `out`.  With `round`, a
// float32 is the double rounded once to nearest; without it, and always
// for the integer kinds, every value must be representable: the index of
// the first one that is not (a fraction, out of range, NaN for an
// integer), or in.size() when all are.  NaN and infinities are floats.
std::size_t from_double(Sample s, std::span<const double> in, std::span<std::byte> out, bool round);

// The byte order of every 4-byte element of `bytes` reversed (big-endian
// storage to and from this machine's order).
void swap_bytes4(std::span<std::byte> bytes);

} // namespace kovproc

#endif
