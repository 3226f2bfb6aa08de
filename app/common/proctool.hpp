// SPDX-License-Identifier: Apache-2.0
// proctool: what the processing programs (kovmath, kovcat, kovstack,
// kovtransp) share on top of kovtool: samples of any element format read
// as doubles, the output's element format and its samples written from
// doubles, the output's axes in its history, and the parameters they
// take.  Built as the library kov_proctool (app/common/proctool.cpp).
#ifndef KOV_APP_PROCTOOL_HPP
#define KOV_APP_PROCTOOL_HPP

#include "kovtool.hpp"

#include <kov/proc/samples.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kovtool {

// The name under which the dataset `desc` is known in messages: its header
// file, or "standard input".
std::string name_of(const Description &desc);

// The kind of samples of `desc`; fatal, naming the dataset, for a format
// the processing programs do not compute with.
kovproc::Sample sample_kind(const Description &desc);

// The samples of a dataset as doubles, read in blocks; fatal when the data
// end before the header says or go on after it.
class SampleReader {
public:
  explicit SampleReader(const Description &desc);
  // The next out.size() samples (fewer at the end); returns how many.
  std::size_t next(std::span<double> out);
  // The same for samples that are floats (kind() float32), as floats.
  std::size_t next_floats(std::span<float> out);
  void expect_end() { reader_.expect_end(); }
  kovproc::Sample kind() const { return kind_; }

private:
  kovproc::Sample kind_;
  BlockReader reader_;
  std::vector<std::byte> raw_;
};

// The output's element format: data_format= on the command line, xdr_float
// when not given; fatal for a name the library does not know or the
// programs do not write.  Sets the format of `out`.
struct OutputFormat {
  std::string name = "xdr_float";
  kovproc::Sample kind = kovproc::Sample::float32;
};
OutputFormat output_format();

// Samples written to `out` from doubles: rounded once to a float output
// (`round`), or only values the output format holds exactly, else fatal
// naming the sample and `what` (the input it came from).
class SampleWriter {
public:
  SampleWriter(const OutputFormat &format, bool round, std::string what);
  void write(std::span<const double> values);
  // Samples already in the output's kind, as they are.
  void write_raw(std::span<const std::byte> bytes);
  std::int64_t written() const { return written_; }

private:
  OutputFormat format_;
  bool round_;
  std::string what_;
  std::vector<std::byte> bytes_;
  std::int64_t written_ = 0;
};

// n, o, d, label and unit of every axis of `axes` into the output history,
// and n=1 o=0 d=1 for the axes after them up to `clear_to` (axes the input
// had and the output no longer has); esize of the output format.
void write_axes(const std::vector<Axis> &axes, std::size_t clear_to, const OutputFormat &format);

// Whether two axes agree: the same n, o and d equal to within a relative
// 1e-6 (of the larger magnitude, or of d for o).
bool same_n(const Axis &a, const Axis &b);
bool same_o(const Axis &a, const Axis &b);
bool same_d(const Axis &a, const Axis &b);

// Axes 1 to `count` of `desc` (axes it does not have: n=1 o=0 d=1).
std::vector<Axis> axes_to(const Description &desc, std::size_t count);

// An integer parameter of the command line, bounded; `fallback` when not
// given.  Fatal, naming it, outside [lo, hi].
int int_param(const char *name, int fallback, int lo, int hi);

// A flag parameter (y/Y/1 yes, n/N/0 no); fatal for anything else.
bool flag_param(const char *name, bool fallback);

// The directory of the datapath (where temporary files go), with its '/'.
std::string datapath_directory();

} // namespace kovtool

#endif
