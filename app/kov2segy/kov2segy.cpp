// SPDX-License-Identifier: Apache-2.0
// kov2segy: write a two-dimensional dataset as a SEG-Y file.
//
// One trace per position along axis 2, the samples of axis 1 as 4-byte
// IEEE floats (format 5).  The sample interval fields hold d1 * dscale
// (default 1000: a depth step in metres is recorded in millimetres, as a
// time step in milliseconds would be in microseconds), the delay field
// o1 * dscale / 1000.  Each trace's position along axis 2 goes to its
// source, group and CDP x coordinates, with the coordinate scalar that
// keeps them exact (down to 1/10000).  The file is one line: inline 1,
// the trace number as crossline, so readers find its geometry; the
// measurement system says metres or feet (`unit=`).  The textual header
// says all this.
//
//   velmodel | kov2segy out=vel.sgy
#include "kovhelp.hpp"
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <segyio/segy.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr long kTrace0 = SEGY_TEXT_HEADER_SIZE + SEGY_BINARY_HEADER_SIZE;

struct FileCloser {
  void operator()(segy_file *f) const { segy_close(f); }
};
using SegyFile = std::unique_ptr<segy_file, FileCloser>;

// The coordinate scalar (SEG-Y convention: negative divides, positive
// multiplies) for the positions o + d * i of axis `a`, and the factor that
// makes a position the integer stored.  Found from the origin and the step
// alone (the positions are exact when both are, and the extremes are the
// ends of the axis), so the work does not grow with the number of traces.
struct Coordinates {
  int scalar = 1;
  double factor = 1.0;
  std::int32_t stored(const kovtool::Axis &a, int i) const {
    return static_cast<std::int32_t>(std::lround((a.o + a.d * i) * factor));
  }
};

Coordinates coordinates(const char *program, const kovtool::Axis &a) {
  const double last = a.o + a.d * (a.n - 1);
  const auto in_range = [&](double factor) {
    return std::abs(a.o * factor) <= 2147483647.0 && std::abs(last * factor) <= 2147483647.0;
  };
  const auto whole = [](double x) {
    return std::abs(x - std::round(x)) <= 1e-6 * std::max(1.0, std::abs(x));
  };
  const auto exact = [&](double factor) {
    return whole(a.o * factor) && (a.n == 1 || whole(a.d * factor)) && in_range(factor);
  };
  // The coarsest factor 1, 10, ..., 10000 that keeps every position exact;
  // otherwise the finest one whose values still fit.
  double factor = 0.0;
  for (double f = 1.0; f <= 1e4 && factor == 0.0; f *= 10.0)
    if (exact(f)) factor = f;
  bool inexact = false;
  if (factor == 0.0) {
    inexact = true;
    for (factor = 1e4; factor > 1e-4 && !in_range(factor);) factor /= 10.0;
    if (!in_range(factor))
      koverr("o2=%g d2=%g n2=%d: the trace positions do not fit the SEG-Y coordinate fields\n", a.o,
             a.d, a.n);
  }
  Coordinates c;
  c.factor = factor;
  c.scalar = factor >= 1.0 ? (factor == 1.0 ? 1 : -static_cast<int>(std::lround(factor)))
                           : static_cast<int>(std::lround(1.0 / factor));
  if (inexact) {
    // The first value the fields cannot keep: the origin, else the step.
    const bool origin = !whole(a.o * factor);
    const double value = origin ? a.o : a.d;
    const double kept =
        origin ? c.stored(a, 0) / factor : (c.stored(a, 1) - c.stored(a, 0)) / factor;
    std::fprintf(stderr,
                 "%s: warning: %s = %.10g is not kept exactly by the coordinate scalar %d; the "
                 "coordinate fields hold %.10g\n",
                 program, origin ? "o2" : "d2", value, c.scalar, kept);
  }
  return c;
}

// 40 lines of 80 characters.
std::string textual_header(const std::string &header, const kovtool::Axis &a1,
                           const kovtool::Axis &a2, double dscale, int interval, int delay,
                           int scalar, int system) {
  std::vector<std::string> lines(40);
  char buf[256];
  std::snprintf(buf, sizeof buf, "kov2segy from %s", header.c_str());
  lines[0] = buf;
  std::snprintf(buf, sizeof buf, "axis 1 (samples): n1=%d o1=%g d1=%g label1=%s", a1.n, a1.o, a1.d,
                a1.label.c_str());
  lines[1] = buf;
  std::snprintf(buf, sizeof buf, "axis 2 (traces):  n2=%d o2=%g d2=%g label2=%s", a2.n, a2.o, a2.d,
                a2.label.c_str());
  lines[2] = buf;
  std::snprintf(buf, sizeof buf, "sample interval (bytes 3217, 117) = d1 * %g = %d", dscale,
                interval);
  lines[3] = buf;
  std::snprintf(buf, sizeof buf, "delay (byte 109) = o1 * %g / 1000 = %d", dscale, delay);
  lines[4] = buf;
  std::snprintf(buf, sizeof buf, "dscale=%g%s", dscale,
                dscale == 1000.0 ? ": a depth step in metres is recorded in millimetres" : "");
  lines[5] = buf;
  std::snprintf(buf, sizeof buf, "axis 2 position in bytes 73, 81, 181 (x), scalar %d in byte 71",
                scalar);
  lines[6] = buf;
  lines[7] = "trace number in bytes 1, 5, 21 (CDP); samples: IEEE float, format 5";
  lines[8] = "inline (byte 189) 1, crossline (byte 193) the trace number";
  std::snprintf(buf, sizeof buf, "measurement system (byte 3255) %d: %s", system,
                system == 2 ? "feet" : "metres");
  lines[9] = buf;
  lines[38] = "SEG-Y REV1";
  lines[39] = "END TEXTUAL HEADER";
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::snprintf(buf, sizeof buf, "C%2zu %-76.76s", i + 1, lines[i].c_str());
    text += buf;
  }
  return text;
}

void set(char *header, int field, std::int32_t value, bool binary) {
  const int err =
      binary ? segy_set_bfield(header, field, value) : segy_set_field(header, field, value);
  if (err != SEGY_OK) koverr("value %d does not fit SEG-Y header byte %d\n", value, field);
}

// The measurement system of the binary header: 1 for metres, 2 for feet.
int measurement_system() {
  const std::string unit = kovtool::text(getch_n, "unit").value_or("m");
  for (const char *m : {"m", "metre", "metres", "meter", "meters"})
    if (unit == m) return 1;
  for (const char *ft : {"ft", "foot", "feet"})
    if (unit == ft) return 2;
  koverr("unit=%s: give m (metres) or ft (feet)\n", unit.c_str());
}

// `value` rounded for an integer field; a value that was not whole is
// reported with the one written.
double whole(const char *program, const char *what, double value, const char *field) {
  const double rounded = std::round(value);
  if (std::abs(value - rounded) > 1e-9 * std::max(1.0, std::abs(value)))
    std::fprintf(stderr, "%s: warning: %s = %.10g is not a whole number; %s %.0f\n", program, what,
                 value, field, rounded);
  return rounded;
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string header = kovtool::start(argc, argv);
  kov_begin_prog();
  const std::string out_name = kovtool::text(getch_n, "out").value_or("kov.sgy");
  double dscale = 1000.0;
  kovtool::number(getch_n, "dscale", dscale);
  if (!(dscale > 0.0) || !std::isfinite(dscale)) koverr("dscale=%g must be positive\n", dscale);

  const int system = measurement_system();

  const kovtool::Description desc = kovtool::describe_input();
  kovtool::require_axes(desc, 2, 1);
  kovtool::require_floats(desc);
  // A single trace has no axis 2, or one of length 1.
  const kovtool::Axis a1 = desc.axes[0], a2 = desc.axes.size() > 1 ? desc.axes[1] : kovtool::Axis{};
  if (a1.n > 32767) koverr("n1=%d: SEG-Y traces hold at most 32767 samples\n", a1.n);
  // Nothing is written of values that are not numbers.
  for (const auto &[name, value] :
       {std::pair{"o1", a1.o}, {"d1", a1.d}, {"o2", a2.o}, {"d2", a2.d}})
    if (!std::isfinite(value)) koverr("%s=%g is not a finite number\n", name, value);
  const double interval =
      whole(argv[0], "d1 * dscale", a1.d * dscale, "the sample interval fields hold");
  if (interval < 1.0 || interval > 32767.0)
    koverr("d1 * dscale = %g does not fit the SEG-Y sample interval (1 to 32767)\n", interval);
  const double delay =
      whole(argv[0], "o1 * dscale / 1000", a1.o * dscale / 1000.0, "the delay field holds");
  if (std::abs(delay) > 32767.0) koverr("o1 * dscale / 1000 = %g does not fit byte 109\n", delay);
  const Coordinates xs = coordinates(argv[0], a2);

  std::array<char, SEGY_BINARY_HEADER_SIZE> bin{};
  for (auto [field, value] : std::initializer_list<std::pair<int, std::int32_t>>{
           {SEGY_BIN_JOB_ID, 1},
           {SEGY_BIN_LINE_NUMBER, 1},
           {SEGY_BIN_REEL_NUMBER, 1},
           {SEGY_BIN_TRACES, 1},
           {SEGY_BIN_INTERVAL, static_cast<std::int32_t>(interval)},
           {SEGY_BIN_INTERVAL_ORIG, static_cast<std::int32_t>(interval)},
           {SEGY_BIN_SAMPLES, a1.n},
           {SEGY_BIN_SAMPLES_ORIG, a1.n},
           {SEGY_BIN_FORMAT, SEGY_IEEE_FLOAT_4_BYTE},
           {SEGY_BIN_ENSEMBLE_FOLD, 1},
           {SEGY_BIN_SORTING_CODE, 1},
           {SEGY_BIN_SEGY_REVISION, 0x0100},
           {SEGY_BIN_TRACE_FLAG, 1},
           {SEGY_BIN_EXT_HEADERS, 0},
           {SEGY_BIN_MEASUREMENT_SYSTEM, system}})
    set(bin.data(), field, value, true);
  const std::string text = textual_header(header, a1, a2, dscale, static_cast<int>(interval),
                                          static_cast<int>(delay), xs.scalar, system);

  kovtool::OutputFile out(out_name);
  // A failed step of the writing: the system's reason when there is one.
  const auto fail = [&](const char *what) {
    const int saved = errno;
    out.discard();
    koverr("cannot write %s: %s\n", out_name.c_str(), saved != 0 ? std::strerror(saved) : what);
  };
  const auto check = [&](const char *what, auto step) {
    errno = 0;
    if (step() != SEGY_OK) fail(what);
  };
  errno = 0;
  SegyFile f(segy_open(out.path().c_str(), "w+b"));
  if (!f) fail("cannot open");
  check("textual header", [&] { return segy_write_textheader(f.get(), 0, text.c_str()); });
  check("binary header", [&] { return segy_write_binheader(f.get(), bin.data()); });

  const int bsize = segy_trsize(SEGY_IEEE_FLOAT_4_BYTE, a1.n);
  std::vector<float> trace(static_cast<std::size_t>(a1.n));
  const std::span<char> bytes(reinterpret_cast<char *>(trace.data()), trace.size() * 4);
  kovtool::BlockReader reader(desc);
  for (int i = 0; i < a2.n; ++i) {
    reader.next(bytes);
    std::array<char, SEGY_TRACE_HEADER_SIZE> th{};
    for (auto [field, value] : std::initializer_list<std::pair<int, std::int32_t>>{
             {SEGY_TR_SEQ_LINE, i + 1},
             {SEGY_TR_SEQ_FILE, i + 1},
             {SEGY_TR_FIELD_RECORD, 1},
             {SEGY_TR_NUMBER_ORIG_FIELD, i + 1},
             {SEGY_TR_ENSEMBLE, i + 1},
             {SEGY_TR_NUM_IN_ENSEMBLE, 1},
             {SEGY_TR_TRACE_ID, 1},
             {SEGY_TR_DATA_USE, 1},
             {SEGY_TR_SOURCE_GROUP_SCALAR, xs.scalar},
             {SEGY_TR_SOURCE_X, xs.stored(a2, i)},
             {SEGY_TR_GROUP_X, xs.stored(a2, i)},
             {SEGY_TR_CDP_X, xs.stored(a2, i)},
             {SEGY_TR_COORD_UNITS, 1},
             {SEGY_TR_DELAY_REC_TIME, static_cast<std::int32_t>(delay)},
             {SEGY_TR_SAMPLE_COUNT, a1.n},
             {SEGY_TR_SAMPLE_INTER, static_cast<std::int32_t>(interval)},
             {SEGY_TR_INLINE, 1},
             {SEGY_TR_CROSSLINE, i + 1}})
      set(th.data(), field, value, false);
    check("sample conversion",
          [&] { return segy_from_native(SEGY_IEEE_FLOAT_4_BYTE, a1.n, trace.data()); });
    check("trace header",
          [&] { return segy_write_traceheader(f.get(), i, th.data(), kTrace0, bsize); });
    check("trace", [&] { return segy_writetrace(f.get(), i, trace.data(), kTrace0, bsize); });
  }
  reader.expect_end();
  check("flush", [&] { return segy_flush(f.get(), false); });
  // The SEG-Y library's close drops what the system says: an error that a
  // file system reports only at close (network file systems flush a file's
  // writes when any of its writable descriptors is closed; quotas) is asked
  // for here, on a descriptor of our own, before the file is handed over.
  errno = 0;
  if (const int fd = ::open(out.path().c_str(), O_WRONLY | O_CLOEXEC); fd < 0 || ::close(fd) != 0)
    fail("close");
  check("close", [&] { return segy_close(f.release()); });
  out.commit();
  kov_end_prog();
  return 0;
}
