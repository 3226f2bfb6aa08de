// segy2kov: read a SEG-Y file into a dataset.
//
// The traces become axis 2 (axis 2 and 3, crosslines fastest, when the
// file is a sorted 3-D volume of inlines and crosslines), their samples
// axis 1, as 4-byte floats whether the file holds IBM or IEEE floats.  The
// sample interval and the delay become d1 and o1, divided by `dscale`
// (default 1000, as kov2segy multiplies); trace positions come from the
// CDP coordinates with their scalar, else from the line numbers of a
// volume or the trace numbers.  The file is checked before anything is
// written and then read one trace at a time, so memory does not grow with
// the file.
//
//   segy2kov vel.sgy > vel.H          segy2kov segy=vel.sgy | kovinfo
#include "kovhelp.hpp"
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <segyio/segy.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct FileCloser {
  void operator()(segy_file *f) const { segy_close(f); }
};
using SegyFile = std::unique_ptr<segy_file, FileCloser>;

std::string source; // the SEG-Y file, as given

[[noreturn]] void refuse(const std::string &reason) {
  koverr("%s: %s\n", source.c_str(), reason.c_str());
}

std::string segy_reason(int err) {
  switch (err) {
  case SEGY_FSEEK_ERROR:
    return "cannot seek";
  case SEGY_FREAD_ERROR:
    return errno != 0 ? std::strerror(errno) : "read error (the file ends early)";
  case SEGY_TRACE_SIZE_MISMATCH:
    return "truncated: the bytes after the headers are not a whole number of traces";
  default:
    return "not readable as SEG-Y (segyio error " + std::to_string(err) + ")";
  }
}

// Everything learnt from the headers before any output is written.
struct Layout {
  int format = SEGY_IEEE_FLOAT_4_BYTE;
  int samples = 0;
  int traces = 0;
  long trace0 = 0;
  int trace_bytes = 0;
  std::vector<kovtool::Axis> axes; // axis 1 first
  bool by_coordinate = false;      // axis 2 positions from the CDP x (or y) coordinates
  int coordinate_field = SEGY_TR_CDP_X;
};

std::int32_t field(const char *header, int which) {
  std::int32_t value = 0;
  segy_get_field(header, which, &value);
  return value;
}

// A trace's CDP coordinate (x or y) in the units of the file.
double coordinate(const char *header, int which) {
  const std::int32_t scalar = field(header, SEGY_TR_SOURCE_GROUP_SCALAR);
  const double raw = field(header, which);
  if (scalar > 0) return raw * scalar;
  if (scalar < 0) return raw / -static_cast<double>(scalar);
  return raw;
}

// The word after "key=" in the textual header, as kov2segy writes its
// axes ("label1=z", "d2=20").
std::string word_from_text(const std::string &text, const std::string &name) {
  const std::string key = " " + name + "=";
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return {};
  const std::size_t begin = at + key.size();
  const std::size_t end = text.find_first_of(" \n", begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::vector<char> trace_header(segy_file *f, int i, const Layout &l) {
  std::vector<char> h(SEGY_TRACE_HEADER_SIZE);
  const int err = segy_traceheader(f, i, h.data(), l.trace0, l.trace_bytes);
  if (err != SEGY_OK) refuse("trace header " + std::to_string(i + 1) + ": " + segy_reason(err));
  return h;
}

// The line axes of a sorted 3-D volume; false when the file is not one.
bool volume_axes(segy_file *f, Layout &l) {
  int sorting = SEGY_UNKNOWN_SORTING, offsets = 0;
  if (l.traces < 4 ||
      segy_sorting(f, SEGY_TR_INLINE, SEGY_TR_CROSSLINE, SEGY_TR_OFFSET, &sorting, l.trace0,
                   l.trace_bytes) != SEGY_OK ||
      sorting == SEGY_UNKNOWN_SORTING)
    return false;
  if (segy_offsets(f, SEGY_TR_INLINE, SEGY_TR_CROSSLINE, l.traces, &offsets, l.trace0,
                   l.trace_bytes) != SEGY_OK ||
      offsets != 1)
    return false;
  int ilines = 0, xlines = 0;
  if (segy_lines_count(f, SEGY_TR_INLINE, SEGY_TR_CROSSLINE, sorting, offsets, &ilines, &xlines,
                       l.trace0, l.trace_bytes) != SEGY_OK)
    return false;
  if (ilines < 2 || xlines < 2 || static_cast<long>(ilines) * xlines != l.traces) return false;
  std::vector<int> il(static_cast<std::size_t>(ilines)), xl(static_cast<std::size_t>(xlines));
  if (segy_inline_indices(f, SEGY_TR_INLINE, sorting, ilines, xlines, offsets, il.data(), l.trace0,
                          l.trace_bytes) != SEGY_OK ||
      segy_crossline_indices(f, SEGY_TR_CROSSLINE, sorting, ilines, xlines, offsets, xl.data(),
                             l.trace0, l.trace_bytes) != SEGY_OK)
    return false;
  kovtool::Axis inl{ilines, static_cast<double>(il[0]), static_cast<double>(il[1] - il[0]),
                    "inline"};
  kovtool::Axis xln{xlines, static_cast<double>(xl[0]), static_cast<double>(xl[1] - xl[0]),
                    "crossline"};
  // The traces of a line sorted by inline run along the crosslines.
  if (sorting == SEGY_INLINE_SORTING) {
    l.axes.push_back(xln);
    l.axes.push_back(inl);
  } else {
    l.axes.push_back(inl);
    l.axes.push_back(xln);
  }
  return true;
}

// Axis 2 of a line of traces: the CDP x coordinates when they vary, else
// the y coordinates, else the trace numbers from 1.
kovtool::Axis line_axis(segy_file *f, Layout &l) {
  kovtool::Axis a{l.traces, 1.0, 1.0, "trace"};
  const std::vector<char> h0 = trace_header(f, 0, l);
  if (l.traces < 2) {
    const double x = coordinate(h0.data(), SEGY_TR_CDP_X);
    if (x != 0.0) a = {1, x, 1.0, "cdp_x"};
    l.by_coordinate = x != 0.0;
    return a;
  }
  const std::vector<char> h1 = trace_header(f, 1, l);
  for (const auto &[which, label] : {std::pair{SEGY_TR_CDP_X, "cdp_x"}, {SEGY_TR_CDP_Y, "cdp_y"}}) {
    const double x0 = coordinate(h0.data(), which), x1 = coordinate(h1.data(), which);
    if (x0 != x1) {
      a = {l.traces, x0, x1 - x0, label};
      l.by_coordinate = true;
      l.coordinate_field = which;
      break;
    }
  }
  return a;
}

Layout read_layout(segy_file *f, const struct stat &st, double dscale) {
  const long headers = SEGY_TEXT_HEADER_SIZE + SEGY_BINARY_HEADER_SIZE;
  if (st.st_size < headers)
    refuse("not a SEG-Y file: " + std::to_string(st.st_size) +
           " bytes, fewer than its textual and binary headers take (3600)");

  std::array<char, SEGY_BINARY_HEADER_SIZE> bin{};
  if (const int err = segy_binheader(f, bin.data()); err != SEGY_OK) refuse(segy_reason(err));
  Layout l;
  l.format = segy_format(bin.data());
  if (l.format != SEGY_IBM_FLOAT_4_BYTE && l.format != SEGY_IEEE_FLOAT_4_BYTE) {
    std::int32_t code = 0;
    segy_get_bfield(bin.data(), SEGY_BIN_FORMAT, &code);
    refuse("unknown or unsupported sample format code " + std::to_string(code) +
           " (binary header bytes 3225-3226; 1 IBM and 5 IEEE floats are read)");
  }
  segy_set_format(f, l.format);
  l.trace0 = segy_trace0(bin.data());
  if (l.trace0 < headers || l.trace0 > st.st_size)
    refuse("the extended textual headers the binary header announces are not there");

  // The samples per trace from the binary header, else the first trace's;
  // both are unsigned 2-byte fields (up to 65535).
  std::int32_t samples = 0;
  segy_get_bfield(bin.data(), SEGY_BIN_SAMPLES, &samples);
  samples &= 0xffff;
  if (samples == 0) {
    std::array<char, SEGY_TRACE_HEADER_SIZE> h{};
    if (segy_traceheader(f, 0, h.data(), l.trace0, 0) == SEGY_OK)
      segy_get_field(h.data(), SEGY_TR_SAMPLE_COUNT, &samples);
    samples &= 0xffff;
  }
  if (samples <= 0) refuse("not a SEG-Y file: neither header gives a sample count");
  l.samples = samples;
  l.trace_bytes = segy_trsize(l.format, l.samples);
  if (l.trace_bytes <= 0) refuse("no trace size for format " + std::to_string(l.format));
  if (st.st_size == l.trace0) refuse("holds no traces");
  if (const int err = segy_traces(f, &l.traces, l.trace0, l.trace_bytes); err != SEGY_OK) {
    const long long body = st.st_size - l.trace0;
    const long long whole = SEGY_TRACE_HEADER_SIZE + static_cast<long long>(l.trace_bytes);
    refuse("truncated: " + std::to_string(body) + " bytes of traces are not a whole number of " +
           std::to_string(whole) + "-byte traces of " + std::to_string(l.samples) + " samples");
  }

  float interval = 0.0f;
  if (segy_sample_interval(f, 0.0f, &interval) != SEGY_OK || !(interval > 0.0f))
    refuse("no sample interval in the binary header or the first trace header");
  const std::vector<char> h0 = trace_header(f, 0, l);
  const double delay = field(h0.data(), SEGY_TR_DELAY_REC_TIME);

  std::array<char, SEGY_TEXT_HEADER_SIZE + 1> text{};
  std::string textual;
  if (segy_read_textheader(f, text.data()) == SEGY_OK) textual = text.data();
  std::string label1 = word_from_text(textual, "label1");
  l.axes.push_back({l.samples, delay * 1000.0 / dscale, static_cast<double>(interval) / dscale,
                    label1.empty() ? "time" : label1});
  if (!volume_axes(f, l)) {
    kovtool::Axis a2 = line_axis(f, l);
    if (const std::string label2 = word_from_text(textual, "label2");
        !label2.empty() && l.coordinate_field == SEGY_TR_CDP_X && l.by_coordinate)
      a2.label = label2;
    // One trace has no spacing of its own: the step kov2segy recorded.
    if (const std::string d2 = word_from_text(textual, "d2"); a2.n == 1 && !d2.empty()) {
      char *end = nullptr;
      const double step = std::strtod(d2.c_str(), &end);
      if (end != d2.c_str() && *end == '\0' && std::isfinite(step) && step != 0.0) a2.d = step;
    }
    l.axes.push_back(a2);
  }
  return l;
}

// Partial output is undone when the run fails after writing began: the
// header, when it went to a file, is emptied so that it describes nothing
// (through a pipe the reader finds the data short).
int header_fd = -1;

void discard_partial_output() {
  if (header_fd < 0) return;
  struct stat st {};
  if (::fstat(header_fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::fflush(nullptr);
    if (::ftruncate(header_fd, 0) == 0) ::lseek(header_fd, 0, SEEK_SET);
  }
  header_fd = -1;
}

[[noreturn]] void fail_while_writing(const std::string &reason) {
  discard_partial_output();
  refuse(reason);
}

void write_history(const Layout &l) {
  for (std::size_t k = 0; k < l.axes.size(); ++k) {
    const kovtool::Axis &a = l.axes[k];
    const std::string i = std::to_string(k + 1);
    putch(("n" + i).c_str(), "d", &a.n);
    putch(("o" + i).c_str(), "g", &a.o);
    putch(("d" + i).c_str(), "g", &a.d);
    putch(("label" + i).c_str(), "s", a.label.c_str());
  }
  const int esize = 4;
  putch("esize", "d", &esize);
  std::array<char, 4096> full{};
  const std::string path = ::realpath(source.c_str(), full.data()) ? full.data() : source;
  putch("segy", "s", path.c_str());
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  initpar(argc, argv);
  const std::vector<std::string> words = kovtool::plain_arguments(argc, argv);
  std::array<char, 4096> buf{};
  if (words.size() > 1) koverr("give one SEG-Y file\n");
  if (!words.empty())
    source = words.front();
  else if (getch_n("segy", "s", buf.data(), buf.size()) > 0)
    source = buf.data();
  else
    koverr("no input: give a SEG-Y file (segy2kov file.sgy, or segy=file.sgy)\n");
  kov_begin_prog();
  double dscale = 1000.0;
  getch_n("dscale", "g", &dscale, 1);
  if (!(dscale > 0.0) || !std::isfinite(dscale)) koverr("dscale=%g must be positive\n", dscale);

  struct stat st {};
  if (::stat(source.c_str(), &st) != 0) refuse(std::strerror(errno));
  if (!S_ISREG(st.st_mode))
    refuse("not a regular file: SEG-Y is read from a file that can be positioned, not a pipe");
  errno = 0;
  SegyFile f(segy_open(source.c_str(), "rb"));
  if (!f) refuse(errno != 0 ? std::strerror(errno) : "cannot open");
  const Layout l = read_layout(f.get(), st, dscale);

  write_history(l);
  std::array<char, 8> probe{};
  if (getch_n("stdout", "s", probe.data(), probe.size()) == 0 &&
      getch_n("head", "s", probe.data(), probe.size()) == 0)
    header_fd = STDOUT_FILENO;
  else if (std::FILE *h = output(); h != nullptr)
    header_fd = ::fileno(h);
  std::atexit(discard_partial_output);

  std::vector<float> trace(static_cast<std::size_t>(l.samples));
  std::vector<char> header(SEGY_TRACE_HEADER_SIZE);
  const int bytes = l.samples * 4;
  const kovtool::Axis &a2 = l.axes[1];
  double worst = 0.0;
  int worst_trace = -1;
  for (int i = 0; i < l.traces; ++i) {
    errno = 0;
    int err = segy_readtrace(f.get(), i, trace.data(), l.trace0, l.trace_bytes);
    if (err == SEGY_OK) err = segy_to_native(l.format, l.samples, trace.data());
    if (err != SEGY_OK)
      fail_while_writing("trace " + std::to_string(i + 1) + ": " + segy_reason(err));
    if (l.by_coordinate && i > 1) {
      // Positions that drift from the line through the first two are told.
      if (segy_traceheader(f.get(), i, header.data(), l.trace0, l.trace_bytes) != SEGY_OK)
        fail_while_writing("trace header " + std::to_string(i + 1) + ": " +
                           segy_reason(SEGY_FREAD_ERROR));
      const double off = std::abs(coordinate(header.data(), l.coordinate_field) - a2.o -
                                  a2.d * static_cast<double>(i));
      if (off > 1e-6 * std::max(1.0, std::abs(a2.d)) && off > worst) worst = off, worst_trace = i;
    }
    if (srite("out", trace.data(), bytes) != bytes)
      fail_while_writing("cannot write trace " + std::to_string(i + 1) + " of the dataset");
  }
  if (worst_trace >= 0)
    std::fprintf(stderr,
                 "%s: warning: the traces are not evenly spaced (trace %d lies %g from o2 + d2 * "
                 "%d); o2 and d2 are from the first two traces\n",
                 source.c_str(), worst_trace + 1, worst, worst_trace);
  header_fd = -1;
  kov_end_prog();
  return 0;
}
