// SPDX-License-Identifier: Apache-2.0
// proctool: samples as doubles, the output's format and axes, parameters.
#include "proctool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace kovtool {

namespace {

constexpr std::size_t kRawBlock = std::size_t{1} << 16; // samples converted at a time

} // namespace

std::string name_of(const Description &desc) {
  if (desc.tag == "in") {
    if (auto name = text(getch_n, "stdin")) return *name;
    return "standard input";
  }
  return text(getch_n, desc.tag.c_str()).value_or(desc.tag);
}

kovproc::Sample sample_kind(const Description &desc) {
  const auto kind = kovproc::sample_kind(desc.format, desc.esize);
  if (!kind)
    koverr("%s: data_format=%s esize=%d: samples of this kind cannot be computed with (real "
           "floats, xdr_int or bytes only)\n",
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

void write_axes(const std::vector<Axis> &axes, std::size_t clear_to, const OutputFormat &format) {
  for (std::size_t k = 0; k < std::max(axes.size(), clear_to); ++k) {
    const Axis a = k < axes.size() ? axes[k] : Axis{};
    const std::string i = std::to_string(k + 1);
    putch(("n" + i).c_str(), "d", &a.n);
    putch(("o" + i).c_str(), "g", &a.o);
    putch(("d" + i).c_str(), "g", &a.d);
    putch(("label" + i).c_str(), "s", a.label.c_str());
    putch(("unit" + i).c_str(), "s", a.unit.c_str());
  }
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

int int_param(const char *name, int fallback, int lo, int hi) {
  const auto value = text(getch_n, name);
  if (!value) return fallback;
  std::string_view t = *value;
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  long long v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || ec != std::errc{} || end != t.data() + t.size())
    koverr("%s=%s: not a whole number\n", name, value->c_str());
  if (v < lo || v > hi) koverr("%s=%s: must be from %d to %d\n", name, value->c_str(), lo, hi);
  return static_cast<int>(v);
}

bool flag_param(const char *name, bool fallback) {
  const auto value = text(getch_n, name);
  if (!value) return fallback;
  if (*value == "y" || *value == "Y" || *value == "1" || *value == "yes") return true;
  if (*value == "n" || *value == "N" || *value == "0" || *value == "no") return false;
  koverr("%s=%s: give y or n\n", name, value->c_str());
}

std::string datapath_directory() {
  std::array<char, 4096> buffer{};
  datapath(buffer.data());
  std::string path(buffer.data());
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

} // namespace kovtool
