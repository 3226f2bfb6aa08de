// SPDX-License-Identifier: Apache-2.0
// segy2kov: read a SEG-Y file into a dataset.
//
// The traces become axis 2 (axis 2 and 3, crosslines fastest, when the
// file is a sorted 3-D volume of inlines and crosslines), their samples
// axis 1, as 4-byte floats, or 32-bit integers when the file holds those
// (segy_read.cpp reads every sample format, in either byte order).  The
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
#include "segy_read.hpp"

#include <kov/kovlib.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string source; // the SEG-Y file, as given

[[noreturn]] void refuse(const std::string &reason) {
  koverr("%s: %s\n", source.c_str(), reason.c_str());
}

void write_history(const segy::Layout &l) {
  for (std::size_t k = 0; k < l.axes.size(); ++k) {
    const segy::Axis &a = l.axes[k];
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

  segy::Options opts;
  opts.dscale = dscale;
  if (double d1 = 0.0; getch_n("d1", "g", &d1, 1) > 0) {
    if (!(d1 > 0.0) || !std::isfinite(d1)) koverr("d1=%g must be positive\n", d1);
    opts.d1 = d1;
  }
  opts.data_format = kovtool::text(getch_n, "data_format").value_or("");

  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) refuse(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) refuse(std::strerror(errno));
  if (!S_ISREG(st.st_mode))
    refuse("not a regular file: SEG-Y is read from a file that can be positioned, not a pipe");
  const segy::Source src{fd, static_cast<std::int64_t>(st.st_size)};
  segy::Layout l;
  try {
    l = segy::read_layout(src, opts);
  } catch (const segy::Error &e) {
    refuse(e.what());
  }
  for (const std::string &w : l.warnings)
    std::fprintf(stderr, "%s: warning: %s\n", source.c_str(), w.c_str());
  // 32-bit integers are written as such unless data_format= says otherwise.
  if (l.ints && opts.data_format.empty()) set_format("out", "xdr_int");

  // Output that fails on the way is removed (or, for a header on the
  // standard output, emptied) by the library's fatal path.
  write_history(l);

  std::vector<char> raw;
  std::vector<char> samples(static_cast<std::size_t>(l.samples) * 4);
  const int bytes = l.samples * 4;
  const segy::Axis &a2 = l.axes[1];
  double worst = 0.0;
  std::int64_t worst_trace = -1;
  for (std::int64_t i = 0; i < l.traces; ++i) {
    try {
      segy::read_trace(src, l, i, raw);
      segy::convert(l, raw, samples, i);
    } catch (const segy::Error &e) {
      refuse(e.what());
    }
    if (l.by_coordinate && i > 1) {
      // Positions that drift from the line through the first two are told.
      const double off = std::abs(segy::position(l, raw) - a2.o - a2.d * static_cast<double>(i));
      if (off > 1e-6 * std::max(1.0, std::abs(a2.d)) && off > worst) worst = off, worst_trace = i;
    }
    if (srite("out", samples.data(), bytes) != bytes)
      refuse("cannot write trace " + std::to_string(i + 1) + " of the dataset");
  }
  ::close(fd);
  if (worst_trace >= 0)
    std::fprintf(stderr,
                 "%s: warning: the traces are not evenly spaced (trace %lld lies %g from o2 + d2 * "
                 "%lld); o2 and d2 are from the first two traces\n",
                 source.c_str(), static_cast<long long>(worst_trace + 1), worst,
                 static_cast<long long>(worst_trace));
  kov_commit_outputs();
  kov_end_prog();
  return 0;
}
