// SPDX-License-Identifier: Apache-2.0
// proctool: parameters, times, axes, samples as doubles, the output's format.
#include "proctool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kovtool {

namespace {

constexpr std::size_t kRawBlock = std::size_t{1} << 16; // samples converted at a time

} // namespace

kovproc::Sample sample_kind(const Description &desc) {
  const auto kind = kovproc::sample_kind(desc.format, desc.esize);
  if (!kind)
    koverr("%s: data_format=%s esize=%d: the samples must be real numbers: floats (xdr_float, "
           "native_float, tmc_float; esize=4), integers (xdr_int; esize=4) or bytes (xdr_byte, "
           "native_byte, tmc_byte; esize=1)\n",
           name_of(desc).c_str(), desc.format.c_str(), desc.esize);
  return *kind;
}

// XDR floats and integers arrive in the processor's byte order: the
// library swaps whole blocks at once.
SampleReader::SampleReader(const Description &desc)
    : kind_(sample_kind(desc)), reader_(desc, false), raw_(kRawBlock * 4) {}

std::size_t SampleReader::next(std::span<double> out) {
  const std::size_t size = kovproc::sample_size(kind_);
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want = std::min(out.size() - done, kRawBlock);
    const std::size_t got =
        reader_.next(std::span(reinterpret_cast<char *>(raw_.data()), want * size));
    if (got == 0) break;
    kovproc::to_double(kind_, std::span(raw_.data(), got), out.subspan(done, got / size));
    done += got / size;
  }
  return done;
}

std::size_t SampleReader::next_floats(std::span<float> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t want = std::min<std::size_t>(out.size() - done, std::size_t{1} << 28);
    const std::size_t got =
        reader_.next(std::span(reinterpret_cast<char *>(out.data() + done), want * 4));
    if (got == 0) break;
    done += got / 4;
  }
  return done;
}

OutputFormat output_format() {
  OutputFormat f;
  if (auto name = text(getch_n, "data_format")) f.name = *name;
  const auto kind = kovproc::sample_kind(f.name, f.name.find("byte") != std::string::npos ? 1 : 4);
  if (get_format_num(f.name.c_str()) < 0 || !kind)
    koverr("data_format=%s: the output is written as xdr_float, native_float, xdr_int, xdr_byte "
           "or native_byte\n",
           f.name.c_str());
  f.kind = *kind;
  set_format("out", f.name.c_str());
  return f;
}

SampleWriter::SampleWriter(const OutputFormat &format, bool round, std::string what)
    : format_(format), round_(round), what_(std::move(what)), bytes_(kRawBlock * 4) {}

void SampleWriter::write(std::span<const double> values) {
  const std::size_t size = kovproc::sample_size(format_.kind);
  while (!values.empty()) {
    const std::size_t n = std::min(values.size(), kRawBlock);
    const std::size_t bad = kovproc::from_double(format_.kind, values.first(n), bytes_, round_);
    if (bad < n)
      koverr("%s: sample %lld is %.17g, which data_format=%s cannot hold exactly\n", what_.c_str(),
             static_cast<long long>(written_ + static_cast<std::int64_t>(bad)), values[bad],
             format_.name.c_str());
    write_raw(std::span(bytes_.data(), n * size));
    values = values.subspan(n);
  }
}

void SampleWriter::write_raw(std::span<const std::byte> bytes) {
  const std::size_t size = kovproc::sample_size(format_.kind);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int n =
        static_cast<int>(std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30));
    if (srite("out", bytes.data() + done, n) != n) koverr("cannot write the output's data\n");
    done += static_cast<std::size_t>(n);
  }
  written_ += static_cast<std::int64_t>(bytes.size() / size);
}

void write_axis(std::size_t index, const Axis &axis, const char *tag) {
  const std::string i = std::to_string(index);
  auxputch(("n" + i).c_str(), "d", &axis.n, tag);
  auxputch(("o" + i).c_str(), "g", &axis.o, tag);
  auxputch(("d" + i).c_str(), "g", &axis.d, tag);
  auxputch(("label" + i).c_str(), "s", axis.label.c_str(), tag);
  auxputch(("unit" + i).c_str(), "s", axis.unit.c_str(), tag);
}

void write_axes(const std::vector<Axis> &axes, std::size_t clear_to, const OutputFormat &format) {
  for (std::size_t k = 0; k < std::max(axes.size(), clear_to); ++k)
    write_axis(k + 1, k < axes.size() ? axes[k] : Axis{});
  const int esize = static_cast<int>(kovproc::sample_size(format.kind));
  putch("esize", "d", &esize);
}

namespace {
bool close_to(double a, double b, double scale) {
  return a == b || std::fabs(a - b) <= 1e-6 * scale;
}
} // namespace

bool same_n(const Axis &a, const Axis &b) { return a.n == b.n; }
bool same_o(const Axis &a, const Axis &b) {
  return close_to(a.o, b.o,
                  std::max({std::fabs(a.o), std::fabs(b.o), std::fabs(a.d), std::fabs(b.d)}));
}
bool same_d(const Axis &a, const Axis &b) {
  return close_to(a.d, b.d, std::max(std::fabs(a.d), std::fabs(b.d)));
}

std::vector<Axis> axes_to(const Description &desc, std::size_t count) {
  std::vector<Axis> axes(count);
  for (std::size_t k = 0; k < count && k < desc.axes.size(); ++k) axes[k] = desc.axes[k];
  return axes;
}

namespace {

std::string &message_file() {
  static std::string file;
  return file;
}

// Fatal: parameter `name` of text `text` is refused for `why`.
[[noreturn]] void refuse(const char *name, const std::string &text, const std::string &why) {
  const std::string &file = message_file();
  koverr("%s%s%s=%s: %s\n", file.c_str(), file.empty() ? "" : ": ", name, text.c_str(),
         why.c_str());
}

// The text of a parameter without the blanks around it.
std::string trimmed(const std::string &text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  std::size_t first = 0, last = text.size();
  while (first < last && blank(text[first])) ++first;
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

int parse_integer(const char *name, const std::string &text, int lo, int hi) {
  const std::string t = trimmed(text);
  char *end = nullptr;
  errno = 0;
  const long long v = std::strtoll(t.c_str(), &end, 10);
  if (t.empty() || end != t.c_str() + t.size()) refuse(name, text, "not a whole number");
  if (errno == ERANGE || v < lo || v > hi)
    refuse(name, text, "must be from " + std::to_string(lo) + " to " + std::to_string(hi));
  return static_cast<int>(v);
}

double parse_real(const char *name, const std::string &text) {
  const std::string t = trimmed(text);
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (t.empty() || end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v))
    refuse(name, text, "not a finite number");
  return v;
}

std::string listed(std::initializer_list<const char *> choices) {
  std::string list;
  std::size_t k = 0;
  for (const char *c : choices) {
    if (k > 0) list += k + 1 == choices.size() ? " or " : ", ";
    list += c;
    ++k;
  }
  return list;
}

} // namespace

void name_in_messages(std::string file) { message_file() = std::move(file); }

int integer_param(const char *name, int fallback, int lo, int hi, Record record) {
  const auto given = text(getch_n, name);
  const int value = given ? parse_integer(name, *given, lo, hi) : fallback;
  if (record == Record::yes) putch(name, "d", &value);
  return value;
}

std::optional<int> optional_integer(const char *name, int lo, int hi) {
  if (!text(getch_n, name)) return std::nullopt;
  return integer_param(name, 0, lo, hi);
}

double real_param(const char *name, double fallback) {
  const auto given = text(getch_n, name);
  const double value = given ? parse_real(name, *given) : fallback;
  putch(name, "g", &value);
  return value;
}

std::optional<double> optional_real(const char *name) {
  if (!text(getch_n, name)) return std::nullopt;
  return real_param(name, 0.0);
}

bool flag_param(const char *name, bool fallback) {
  bool value = fallback;
  if (const auto given = text(getch_n, name)) {
    const std::string t = trimmed(*given);
    if (t == "y" || t == "Y" || t == "yes" || t == "1")
      value = true;
    else if (t == "n" || t == "N" || t == "no" || t == "0")
      value = false;
    else
      refuse(name, *given, "give y or n");
  }
  putch(name, "s", value ? "y" : "n");
  return value;
}

std::optional<std::string> optional_choice(const char *name,
                                           std::initializer_list<const char *> choices) {
  const auto given = text(getch_n, name);
  if (!given) return std::nullopt;
  if (std::none_of(choices.begin(), choices.end(), [&](const char *c) { return *given == c; }))
    refuse(name, *given, "give " + listed(choices));
  putch(name, "s", given->c_str());
  return given;
}

std::string choice_param(const char *name, std::initializer_list<const char *> choices) {
  if (auto given = optional_choice(name, choices)) return *given;
  putch(name, "s", *choices.begin());
  return *choices.begin();
}

TraceAxis time_axis(const Axis &axis) {
  TraceAxis t{axis.n, axis.o, axis.d, axis.label, axis.unit, axis.unit == "ms"};
  if (t.milliseconds) { // divided, so that 64.938 ms is 0.064938 s as typed
    t.o /= 1000.0;
    t.d /= 1000.0;
  }
  return t;
}

TraceAxis forward_time_axis(const Axis &axis, const std::string &file) {
  const TraceAxis t = time_axis(axis);
  if (!(t.d > 0.0)) koverr("%s: d1=%g: the time step must be positive\n", file.c_str(), axis.d);
  return t;
}

std::string datapath_directory() {
  std::array<char, 4096> buffer{};
  datapath(buffer.data());
  std::string path(buffer.data());
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

} // namespace kovtool
