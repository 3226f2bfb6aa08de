// SPDX-License-Identifier: Apache-2.0
// Fuzz target: segy2kov's reading of a SEG-Y file (segy_read.cpp).
//
// The input is the file.  Its layout is read as segy2kov reads it, twice:
// with the default options and with data_format=xdr_float and d1= given,
// which take the other paths of the sample formats and the interval.  When
// the file is accepted, every trace is read and converted, and the layout
// is checked against the file.
#include "segy_read.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) __builtin_trap();                                                                 \
  } while (0)

int file_fd = -1;

void read_file(const segy::Source &src, const segy::Options &opts) {
  segy::Layout l;
  try {
    l = segy::read_layout(src, opts);
  } catch (const segy::Error &e) {
    CHECK(e.what()[0] != '\0');
    return;
  }
  CHECK(l.samples > 0 && l.traces > 0 && l.trace0 >= 3600);
  CHECK(l.trace_bytes == 240 + std::int64_t{l.samples} * l.width);
  CHECK(l.trace0 + l.traces * l.trace_bytes == src.size);
  CHECK(l.axes.size() == 2 || l.axes.size() == 3);
  std::int64_t traces = 1;
  for (std::size_t k = 1; k < l.axes.size(); ++k) {
    CHECK(l.axes[k].n > 0 && std::isfinite(l.axes[k].o) && std::isfinite(l.axes[k].d));
    traces *= l.axes[k].n;
  }
  CHECK(l.axes[0].n == l.samples && traces == l.traces);
  CHECK(!l.ints || opts.data_format.empty() || opts.data_format == "xdr_int");
  std::vector<char> raw;
  std::vector<char> out(static_cast<std::size_t>(l.samples) * 4);
  for (std::int64_t i = 0; i < l.traces; ++i) {
    try {
      segy::read_trace(src, l, i, raw);
      CHECK(raw.size() == static_cast<std::size_t>(l.trace_bytes));
      segy::convert(l, raw, out, i);
    } catch (const segy::Error &) {
      return; // an unsigned 32-bit sample beyond xdr_int
    }
    if (l.by_coordinate) CHECK(!std::isnan(segy::position(l, raw)));
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  file_fd = ::memfd_create("segy", 0);
  if (file_fd < 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (::ftruncate(file_fd, 0) != 0 ||
      (size > 0 && ::pwrite(file_fd, data, size, 0) != static_cast<ssize_t>(size)))
    std::abort();
  const segy::Source src{file_fd, static_cast<std::int64_t>(size)};
  read_file(src, segy::Options{});
  segy::Options other;
  other.data_format = "xdr_float";
  other.d1 = 0.5;
  read_file(src, other);
  return 0;
}
