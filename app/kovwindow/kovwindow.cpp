// SPDX-License-Identifier: Apache-2.0
// kovwindow: a window of a dataset of up to five axes.
//
// On axis k the window takes nk samples from index fk (counting from 0)
// in steps of jk; by default the whole axis (fk=0, jk=1 and nk as many as
// fit).  The output dataset has the window's samples, in the input's
// format, and its axes' origins and steps moved to match: ok + fk * dk and
// dk * jk.  The samples are read through the library's windowed transfer
// in pieces of about a megabyte, one piece in memory at a time, from files
// and from pipes alike.
//
//   kovwindow f2=100 n2=50 j1=2 < in.H > out.H
//   velmodel | kovwindow j2=2 | kovinfo
#include "kovhelp.hpp"
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr int kAxes = 5;
constexpr std::int64_t kPieceBytes = std::int64_t{1} << 20;
constexpr std::int64_t kGapBytes = std::int64_t{64} << 10;

struct Window {
  std::array<int, kAxes> ng{}, nw{}, fw{}, jw{};
};

int parameter(const char *name, int axis, int fallback) {
  const std::string key = name + std::to_string(axis + 1);
  int value = fallback;
  getch_n(key.c_str(), "d", &value, 1);
  return value;
}

// The window the command line asks for, checked against the cube.
Window window_of(const kovtool::Description &desc) {
  for (std::size_t k = kAxes; k < desc.axes.size(); ++k)
    if (desc.axes[k].n != 1)
      koverr("n%zu=%d: only the first %d axes can be windowed\n", k + 1, desc.axes[k].n, kAxes);
  Window w;
  for (int k = 0; k < kAxes; ++k) {
    const int ng = static_cast<std::size_t>(k) < desc.axes.size() ? desc.axes[k].n : 1;
    const int f = parameter("f", k, 0), j = parameter("j", k, 1);
    if (j < 1) koverr("j%d=%d: the step must be at least 1\n", k + 1, j);
    if (f < 0 || f >= ng)
      koverr("f%d=%d: the window starts outside the data (n%d=%d: indices 0 to %d)\n", k + 1, f,
             k + 1, ng, ng - 1);
    const int fits = (ng - 1 - f) / j + 1;
    const int n = parameter("n", k, fits);
    if (n < 1) koverr("n%d=%d: the window needs at least one sample\n", k + 1, n);
    if (n > fits)
      koverr("n%d=%d f%d=%d j%d=%d: the window ends at index %lld, outside the data (n%d=%d: "
             "indices 0 to %d)\n",
             k + 1, n, k + 1, f, k + 1, j, static_cast<long long>(f) + std::int64_t{n - 1} * j,
             k + 1, ng, ng - 1);
    w.ng[k] = ng;
    w.nw[k] = n;
    w.fw[k] = f;
    w.jw[k] = j;
  }
  return w;
}

// The output's axes: as many as the input has (at most five), each with
// its origin and step moved to the window.
void write_axes(const kovtool::Description &desc, const Window &w) {
  const std::size_t axes = std::min<std::size_t>(desc.axes.size(), kAxes);
  for (std::size_t k = 0; k < axes; ++k) {
    const kovtool::Axis &a = desc.axes[k];
    const std::string i = std::to_string(k + 1);
    const double o = a.o + a.d * w.fw[k], d = a.d * w.jw[k];
    putch(("n" + i).c_str(), "d", &w.nw[k]);
    putch(("o" + i).c_str(), "g", &o);
    putch(("d" + i).c_str(), "g", &d);
  }
}

// The samples kept of a piece read with every thinned axis taken whole
// (`read` dims, first axis fastest), moved in place to the front of it as
// the dense window (`kept` dims).  Axis k keeps every step[k]-th index.
void thin(std::span<char> piece, int esize, int axes, const std::array<int, kAxes> &read,
          const std::array<int, kAxes> &kept, const std::array<int, kAxes> &step) {
  // The leading axes that are not thinned are copied as one run.
  int lead = 0;
  std::int64_t unit = esize;
  while (lead < axes && step[lead] == 1) unit *= read[lead++];
  if (lead == axes) return;
  std::array<std::int64_t, kAxes> stride{}; // bytes per index of the read piece
  std::int64_t bytes = unit;
  for (int k = lead; k < axes; ++k) {
    stride[k] = bytes;
    bytes *= read[k];
  }
  std::array<int, kAxes> at{};
  char *to = piece.data();
  for (bool more = true; more;) {
    std::int64_t from = 0;
    for (int k = lead; k < axes; ++k) from += std::int64_t{at[k]} * step[k] * stride[k];
    std::memmove(to, piece.data() + from, static_cast<std::size_t>(unit));
    to += unit;
    more = false;
    for (int k = lead; k < axes && !more; ++k) {
      if (++at[k] < kept[k])
        more = true;
      else
        at[k] = 0;
    }
  }
}

// Reads the window piece by piece and writes each piece to `out`.
//
// An axis whose step skips little (at most kGapBytes between the samples
// kept) is read whole over the window's extent and thinned in memory: one
// long read is faster than a seek and a short read for every sample.  A
// piece is a run of indices along one axis (the chunk axis) with the whole
// window of the axes below it and one index of each axis above it; the
// chunk axis is the highest one whose single index, as read, stays within
// kPieceBytes.
void copy_window(const Window &w, int esize) {
  std::array<int, kAxes> step{};              // thinning in memory, 1 when the engine strides
  std::array<std::int64_t, kAxes + 1> slab{}; // bytes read per index of each axis
  slab[0] = esize;
  for (int k = 0; k < kAxes; ++k) {
    step[k] = w.jw[k] > 1 && slab[k] * (w.jw[k] - 1) <= kGapBytes ? w.jw[k] : 1;
    slab[k + 1] = slab[k] * ((w.nw[k] - 1) * std::int64_t{step[k]} + 1);
  }
  int top = 0;
  for (int k = 0; k < kAxes; ++k)
    if (w.nw[k] > 1) top = k;
  int chunk = 0;
  for (int k = top; k >= 0 && chunk == 0; --k)
    if (slab[k] <= kPieceBytes) chunk = k;
  const std::int64_t size = slab[chunk];
  const int thinning = step[chunk];
  // Indices kept per piece, and the indices read for them.
  const std::int64_t room = std::max<std::int64_t>(kPieceBytes / size, 1);
  const int run = static_cast<int>(std::min<std::int64_t>((room - 1) / thinning + 1, w.nw[chunk]));
  const auto extent = [&](int kept) { return (kept - 1) * thinning + 1; };
  const kovtool::PageBlock piece(static_cast<std::size_t>(size * extent(run)));

  const int ndim = kAxes;
  std::array<int, kAxes> index{}; // window index on each axis above the chunk axis
  for (bool more = true; more;) {
    for (int start = 0; start < w.nw[chunk]; start += run) {
      Window p = w; // what the engine reads
      std::array<int, kAxes> kept = w.nw;
      kept[chunk] = std::min(run, w.nw[chunk] - start);
      for (int k = 0; k <= chunk; ++k) {
        p.nw[k] = (kept[k] - 1) * step[k] + 1;
        p.jw[k] = w.jw[k] / step[k];
      }
      p.fw[chunk] = w.fw[chunk] + start * w.jw[chunk];
      for (int k = chunk + 1; k < kAxes; ++k) {
        p.nw[k] = 1;
        p.fw[k] = w.fw[k] + index[k] * w.jw[k];
      }
      const int status = sreed_window("in", &ndim, p.ng.data(), p.nw.data(), p.fw.data(),
                                      p.jw.data(), esize, piece.data());
      if (status == -2) koverr("the window cannot be read: the dataset is too large for it\n");
      if (status != 0) koverr("the data are short or unreadable: the window could not be read\n");
      thin(piece.span(), esize, chunk + 1, p.nw, kept, step);
      std::int64_t bytes = esize;
      for (int k = 0; k <= chunk; ++k) bytes *= kept[k];
      if (srite_raw("out", piece.data(), static_cast<int>(bytes)) != bytes)
        koverr("cannot write the window\n");
    }
    more = false;
    for (int k = chunk + 1; k < kAxes && !more; ++k) {
      if (++index[k] < w.nw[k])
        more = true;
      else
        index[k] = 0;
    }
  }
}

// The samples are moved as they are stored, esize bytes each, without
// decoding them: the input is read as raw bytes (its data opened first, as
// that sets the format from its header) and the output written raw, its
// header still naming the input's format.
void pass_samples_through(const kovtool::Description &desc) {
  std::array<char, 64> wanted{};
  if (getch_n("data_format", "s", wanted.data(), wanted.size()) > 0 && desc.format != wanted.data())
    koverr("data_format=%s: the window keeps the input's format (%s); samples are not converted\n",
           wanted.data(), desc.format.c_str());
  std::array<char, 1> none{};
  sreed_raw("in", none.data(), 0);
  set_format("in", "native_byte");
}

// The data must end where the header says, as for the other tools, which
// a file shows before anything is written: fatal when its length differs.
void check_file_length(const kovtool::Description &desc) {
  if (kov_tag_is_pipe("in") != 0) return;
  const std::int64_t end = sseek_l_l("in", 0, 2);
  if (end >= 0 && end != desc.bytes) {
    // Read from the declared end (or the file's, when it is shorter), so
    // that the message is the others'.
    kovtool::BlockReader reader(desc, true);
    const std::int64_t at = std::min<std::int64_t>(end, desc.bytes);
    if (sseek_l_l("in", at, 0) == at) {
      reader.taken(at);
      std::array<char, 4096> block{};
      while (reader.next(block) > 0) {
      }
      reader.expect_end();
    }
  }
  if (sseek_l_l("in", 0, 0) != 0) koverr("the data cannot be positioned at their start\n");
}

// The rest of a piped input is read, so that the program writing it ends
// normally, and checked: fatal when the data are shorter or longer than
// the header says.
void drain_pipe(const kovtool::Description &desc) {
  if (kov_tag_is_pipe("in") == 0) return;
  kovtool::BlockReader reader(desc, true);
  reader.taken(sseek_l_l("in", 0, 1));
  const kovtool::PageBlock block(std::size_t{1} << 16);
  while (reader.next(block.span()) > 0) {
  }
  reader.expect_end();
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  kovtool::start(argc, argv);
  kov_begin_prog();
  const kovtool::Description desc = kovtool::describe_input();
  const Window w = window_of(desc);
  pass_samples_through(desc);
  check_file_length(desc);
  write_axes(desc, w);
  copy_window(w, desc.esize);
  drain_pipe(desc);
  kov_commit_outputs();
  kov_end_prog();
  return 0;
}
