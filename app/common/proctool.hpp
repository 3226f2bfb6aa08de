// SPDX-License-Identifier: Apache-2.0
// proctool: what the processing programs (kovmath, kovcat, kovstack,
// kovtransp, kovsynth, kovnmo, kovmute, kovgain, kovbandpass, kovspectra)
// share on top of kovtool: their parameters, read one way and recorded in
// the output history; axis 1 as times in seconds; the output's axes in its
// history; samples of any element format read as doubles, the output's
// element format and its samples written from doubles.  Built as the
// library kov_proctool (app/common/proctool.cpp); the trace driver
// (kovtraces.hpp) sits on it.
#ifndef KOV_APP_PROCTOOL_HPP
#define KOV_APP_PROCTOOL_HPP

#include "kovtool.hpp"

#include <kov/proc/samples.hpp>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kovtool {

// The kind of samples of `desc`; fatal, naming the dataset, for a format
// the processing programs do not compute with (complex or wide samples).
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
  Bytes raw_;
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
  Bytes bytes_;
  std::int64_t written_ = 0;
};

// Every axis of `axes` into the output history (write_axis), and n=1 o=0 d=1 for the axes after
// them up to `clear_to` (axes the input had and the output no longer has); esize of the output
// format.
void write_axes(const std::vector<Axis> &axes, std::size_t clear_to, const OutputFormat &format);

// Whether two axes agree: the same n, o and d equal to within a relative
// 1e-6 (of the larger magnitude, or of d for o).
bool same_n(const Axis &a, const Axis &b);
bool same_o(const Axis &a, const Axis &b);
bool same_d(const Axis &a, const Axis &b);

// Axes 1 to `count` of `desc` (axes it does not have: n=1 o=0 d=1).
std::vector<Axis> axes_to(const Description &desc, std::size_t count);

// Parameters of the command line.  Each one read is checked (fatal, naming
// it and its text, when the whole text is not a value it takes) and written
// to the output history with the value used, its fallback when not given,
// unless `record` is Record::no (a value the program records itself).
enum class Record { yes, no };

// The header that the messages about parameters start with (a program's
// one input); none until it is set.
void name_in_messages(std::string file);

// A whole number (spaces around it and a leading + allowed), fatal outside
// [lo, hi].
int integer_param(const char *name, int fallback, int lo = std::numeric_limits<int>::min(),
                  int hi = std::numeric_limits<int>::max(), Record record = Record::yes);
std::optional<int> optional_integer(const char *name, int lo = std::numeric_limits<int>::min(),
                                    int hi = std::numeric_limits<int>::max());

// A finite real number.
double real_param(const char *name, double fallback);
std::optional<double> optional_real(const char *name);

// Yes (y, Y, yes, 1) or no (n, N, no, 0); recorded as y or n.
bool flag_param(const char *name, bool fallback);

// One word out of `choices`; the first one when not given.
std::string choice_param(const char *name, std::initializer_list<const char *> choices);
std::optional<std::string> optional_choice(const char *name,
                                           std::initializer_list<const char *> choices);

// Axis 1 as times in seconds: the origin and step as the header gives them,
// divided by 1000 when its unit is ms (so that 64.938 ms is 0.064938 s as
// typed).
struct TraceAxis {
  std::int64_t n = 1;
  double o = 0.0, d = 1.0; // in seconds
  std::string label, unit;
  bool milliseconds = false;
};
TraceAxis time_axis(const Axis &axis);
// The same, fatal naming `file` unless the time step is positive.
TraceAxis forward_time_axis(const Axis &axis, const std::string &file);

// One axis into the history of output `tag` as axis `index` (from 1): n,
// o, d, label and unit.
void write_axis(std::size_t index, const Axis &axis, const char *tag = "out");

// The directory of the datapath (where temporary files go), with its '/'.
std::string datapath_directory();

} // namespace kovtool

#endif
