// SPDX-License-Identifier: Apache-2.0
// Samples to and from double precision.
#include "kov/proc/samples.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kovproc {

std::optional<Sample> sample_kind(std::string_view format, int esize) {
  if (format == "xdr_float" || format == "native_float" || format == "tmc_float")
    return esize == 4 ? std::optional(Sample::float32) : std::nullopt;
  if (format == "xdr_int") return esize == 4 ? std::optional(Sample::int32) : std::nullopt;
  if (format == "xdr_byte" || format == "native_byte" || format == "tmc_byte")
    return esize == 1 ? std::optional(Sample::uint8) : std::nullopt;
  return std::nullopt;
}

void to_double(Sample s, std::span<const std::byte> in, std::span<double> out) {
  const std::byte *p = in.data();
  switch (s) {
  case Sample::float32:
    for (std::size_t i = 0; i < out.size(); ++i) {
      float v;
      std::memcpy(&v, p + 4 * i, 4);
      out[i] = v;
    }
    break;
  case Sample::int32:
    for (std::size_t i = 0; i < out.size(); ++i) {
      std::int32_t v;
      std::memcpy(&v, p + 4 * i, 4);
      out[i] = v;
    }
    break;
  case Sample::uint8:
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<double>(std::to_integer<unsigned>(p[i]));
    break;
  }
}

std::size_t from_double(Sample s, std::span<const double> in, std::span<std::byte> out,
                        bool round) {
  std::byte *p = out.data();
  switch (s) {
  case Sample::float32:
    for (std::size_t i = 0; i < in.size(); ++i) {
      const float v = static_cast<float>(in[i]);
      if (!round && static_cast<double>(v) != in[i] && !std::isnan(in[i])) return i;
      std::memcpy(p + 4 * i, &v, 4);
    }
    break;
  case Sample::int32:
    for (std::size_t i = 0; i < in.size(); ++i) {
      const double x = in[i];
      if (!(x >= -2147483648.0 && x <= 2147483647.0) || std::trunc(x) != x) return i;
      const auto v = static_cast<std::int32_t>(x);
      std::memcpy(p + 4 * i, &v, 4);
    }
    break;
  case Sample::uint8:
    for (std::size_t i = 0; i < in.size(); ++i) {
      const double x = in[i];
      if (!(x >= 0.0 && x <= 255.0) || std::trunc(x) != x) return i;
      p[i] = static_cast<std::byte>(static_cast<unsigned>(x));
    }
    break;
  }
  return in.size();
}

void swap_bytes4(std::span<std::byte> bytes) {
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    std::uint32_t w;
    std::memcpy(&w, bytes.data() + i, 4);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
    std::memcpy(bytes.data() + i, &w, 4);
  }
}

} // namespace kovproc
