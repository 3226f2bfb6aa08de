// SPDX-License-Identifier: Apache-2.0
// kovgather: what the programs that work on traces in time share (kovsynth,
// kovnmo, kovmute): parameters read with bounded lookups and recorded in
// the output history, the axes of a dataset with their units, a time axis
// in seconds (converted from milliseconds where the history says so), the
// offsets of a gather's traces, and datasets read one trace at a time.
// Header only, on top of kov_tool.
#ifndef KOV_APP_KOVGATHER_HPP
#define KOV_APP_KOVGATHER_HPP

#include "kovtool.hpp"
#include "kovtraces.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kovgather {

// A real parameter from the command line, `fallback` when absent; fatal
// when its whole text is not a finite number.  Recorded in the output
// history.
inline double real(const char *name, double fallback) {
  double value = fallback;
  if (auto given = kovtool::text(getch_n, name)) {
    const char *begin = given->c_str();
    char *end = nullptr;
    errno = 0;
    value = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || errno == ERANGE || !std::isfinite(value))
      koverr("%s=%s: not a finite number\n", name, begin);
  }
  putch(name, "g", &value);
  return value;
}

// An optional real parameter, recorded when given.
inline std::optional<double> optional_real(const char *name) {
  if (!kovtool::text(getch_n, name)) return std::nullopt;
  return real(name, 0.0);
}

// An integer parameter, `fallback` when absent; recorded.
inline int integer(const char *name, int fallback) {
  int value = fallback;
  if (auto given = kovtool::text(getch_n, name)) {
    const char *begin = given->c_str();
    char *end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(begin, &end, 10);
    if (end == begin || *end != '\0' || errno == ERANGE ||
        parsed < std::numeric_limits<int>::min() || parsed > std::numeric_limits<int>::max())
      koverr("%s=%s: not a whole number from %d to %d\n", name, begin,
             std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    value = static_cast<int>(parsed);
  }
  putch(name, "d", &value);
  return value;
}

// A yes/no parameter (y, yes, 1, n, no, 0); recorded.
inline bool flag(const char *name, bool fallback) {
  bool value = fallback;
  if (auto given = kovtool::text(getch_n, name)) {
    const std::string &s = *given;
    if (s == "y" || s == "yes" || s == "1")
      value = true;
    else if (s == "n" || s == "no" || s == "0")
      value = false;
    else
      koverr("%s=%s: give y or n\n", name, s.c_str());
  }
  const char *text = value ? "y" : "n";
  putch(name, "s", text);
  return value;
}

// A word out of `choices`, the first by default; recorded.
inline std::string choice(const char *name, std::initializer_list<const char *> choices) {
  std::string value = *choices.begin();
  if (auto given = kovtool::text(getch_n, name)) {
    bool known = false;
    for (const char *c : choices) known = known || *given == c;
    if (!known) {
      std::string list;
      for (const char *c : choices) list += (list.empty() ? "" : "|") + std::string(c);
      koverr("%s=%s: give %s\n", name, given->c_str(), list.c_str());
    }
    value = *given;
  }
  putch(name, "s", value.c_str());
  return value;
}

// The axes of dataset `tag` (whose header is `file`) with labels and units.
inline std::vector<kov_axis> axes_of(const char *tag, const std::string &file) {
  std::vector<kov_axis> axes(KOV_MAX_AXES);
  char why[512];
  const int count = kov_header_axes(tag, KOV_MAX_AXES, axes.data(), why, sizeof why);
  if (count < 0) koverr("%s: %s\n", file.c_str(), why);
  axes.resize(static_cast<std::size_t>(count));
  return axes;
}

// Axis 1 as times in seconds.
struct Time {
  std::size_t n = 0;
  double o = 0.0, d = 1.0;
  bool milliseconds = false;
};

inline Time time_axis(const kov_axis &axis, const std::string &file) {
  Time t{static_cast<std::size_t>(axis.n), axis.o, axis.d, std::string(axis.unit) == "ms"};
  if (t.milliseconds) { // divided, so that 64.938 ms is 0.064938 s as typed
    t.o /= 1000.0;
    t.d /= 1000.0;
  }
  if (!(t.d > 0.0)) koverr("%s: d1=%g: the time step must be positive\n", file.c_str(), axis.d);
  return t;
}

// The number of traces after the first `skip` axes.
inline std::int64_t count_after(const std::vector<kov_axis> &axes, std::size_t skip) {
  std::int64_t count = 1;
  for (std::size_t k = skip; k < axes.size(); ++k) count *= axes[k].n;
  return count;
}

// One axis written to the output history as axis `index` (1-based).
inline void write_axis(int index, int n, double o, double d, const char *label, const char *unit,
                       const char *tag = "out") {
  const std::string i = std::to_string(index);
  auxputch(("n" + i).c_str(), "d", &n, tag);
  auxputch(("o" + i).c_str(), "g", &o, tag);
  auxputch(("d" + i).c_str(), "g", &d, tag);
  auxputch(("label" + i).c_str(), "s", label, tag);
  auxputch(("unit" + i).c_str(), "s", unit, tag);
}

// Reads float traces of `n` samples from dataset `tag` in order.
class TraceReader {
public:
  TraceReader(const char *tag, std::string file, std::size_t n)
      : tag_(tag), file_(std::move(file)), trace_(n) {}

  std::span<float> next() {
    const auto bytes = static_cast<int>(trace_.size() * sizeof(float));
    if (sreed(tag_, trace_.data(), bytes) != bytes)
      koverr("%s: the data are short: trace %lld could not be read\n", file_.c_str(),
             static_cast<long long>(done_ + 1));
    ++done_;
    return trace_;
  }

private:
  const char *tag_;
  std::string file_;
  std::vector<float> trace_;
  std::int64_t done_ = 0;
};

// Fatal unless dataset `tag` holds 4-byte float samples.
inline void require_float_tag(const char *tag, const std::string &file) {
  int esize = 4;
  auxpar_n("esize", "d", &esize, 1, tag);
  std::string format = "xdr_float";
  std::vector<char> room(64, '\0');
  if (auxpar_n("data_format", "s", room.data(), room.size(), tag) > 0) format = room.data();
  if (esize != 4 || (format != "xdr_float" && format != "native_float"))
    koverr("%s: needs 4-byte float samples, not data_format=%s esize=%d\n", file.c_str(),
           format.c_str(), esize);
}

// The traces of `in`, read and written in blocks of whole traces of about
// a megabyte: `work(first, block)` is called with the index of the block's
// first trace and its samples as floats (whatever the input's real element
// format), changed in place, which are then written to `out` as xdr_float.
// The amount of data is checked against the header.
template <class Work>
void each_block(const kovtool::Description &desc, const std::string &name, std::size_t n1,
                Work work) {
  kovtool::TraceInput input(name, desc, std::int64_t{1} << 20);
  set_format("out", "xdr_float");
  std::vector<float> block;
  std::int64_t first = 0;
  while (input.next(block)) {
    work(first, std::span<float>(block));
    const auto bytes = static_cast<int>(block.size() * sizeof(float));
    if (srite("out", block.data(), bytes) != bytes) koverr("cannot write the output data\n");
    first += static_cast<std::int64_t>(block.size() / n1);
  }
  input.finish();
}

} // namespace kovgather

#endif
