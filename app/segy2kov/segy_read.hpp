// SPDX-License-Identifier: Apache-2.0
// segy_read: what segy2kov reads of a SEG-Y file: the layout its headers
// describe (sample format, byte order, sample count and interval, where the
// traces start, the axes the traces make) and the samples of one trace,
// converted to 4-byte floats or 32-bit integers.
//
// The reading refuses through segy::Error, whose text is the reason, and
// collects warnings in the layout; it does not print and does not end the
// program, so the fuzz target calls it as segy2kov does.
#ifndef KOV_APP_SEGY_READ_HPP
#define KOV_APP_SEGY_READ_HPP

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace segy {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

constexpr int kTextBytes = 3200, kBinaryBytes = 400, kTraceHeaderBytes = 240;

// The sample formats of SEG-Y revision 2.1 (format 4, obsolete fixed
// point with gain, is refused).
enum class Sample { ibm, ieee4, ieee8, i8, u8, i16, u16, i24, u24, i32, u32, i64, u64 };

struct Axis {
  int n = 1;
  double o = 0.0, d = 1.0;
  std::string label;
};

struct Options {
  double dscale = 1000.0;
  std::optional<double> d1; // the sample interval of axis 1, given by the user
  std::string data_format;  // as given on the command line; empty when not given
};

struct Layout {
  bool little = false; // little-endian fields and samples
  int code = 5;        // the format code of the binary header
  Sample kind = Sample::ieee4;
  int width = 4; // bytes of one sample in the file
  int samples = 0;
  std::int64_t traces = 0;
  std::int64_t trace0 = kTextBytes + kBinaryBytes; // the first trace header
  std::int64_t trace_bytes = 0;                    // one trace with its header
  std::vector<Axis> axes;                          // axis 1 first
  bool ints = false;                               // samples go out as 32-bit integers (xdr_int)
  bool by_coordinate = false;                      // axis 2 positions are CDP coordinates
  int coordinate_byte = 181;                       // CDP x (181) or y (185)
  std::vector<std::string> warnings;
};

// A SEG-Y file open for reading: `fd` is read with pread, `size` bytes.
struct Source {
  int fd = -1;
  std::int64_t size = 0;
};

// The layout of the file; refuses a file it cannot read in full.
Layout read_layout(const Source &src, const Options &opts);

// Trace `i` (from 0) as stored: its header and its samples.
void read_trace(const Source &src, const Layout &l, std::int64_t i, std::vector<char> &raw);

// The samples of a trace read by read_trace, as host floats or (l.ints)
// host 32-bit integers, 4 bytes each in `out` (l.samples * 4 bytes).
// Refuses an unsigned 32-bit value that an integer sample cannot hold.
void convert(const Layout &l, std::span<const char> raw, std::span<char> out, std::int64_t trace);

// The position of a trace along axis 2 when l.by_coordinate: its CDP
// coordinate with the coordinate scalar applied.
double position(const Layout &l, std::span<const char> raw);

} // namespace segy

#endif
