// kovwindow: a window of a dataset of up to five axes.
//
// On axis k the window takes nk samples from index fk (counting from 0)
// in steps of jk; by default the whole axis (fk=0, jk=1 and nk as many as
// fit).  The output dataset has the window's samples, in the input's
// format, and its axes' origins and steps moved to match: ok + fk * dk and
// dk * jk.  The samples are read through the library's windowed transfer
// in pieces of a few megabytes, one piece in memory at a time, from files
// and from pipes alike.
//
//   kovwindow f2=100 n2=50 j1=2 < in.H > out.H
//   velmodel | kovwindow j2=2 | kovinfo
#include "kovhelp.hpp"
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kAxes = 5;
constexpr std::int64_t kPieceBytes = std::int64_t{4} << 20;

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

// Reads the window piece by piece and writes each piece to `out`.  A
// piece is a run of indices along one axis (the chunk axis) with the
// whole window of the axes below it and one index of each axis above it;
// the chunk axis is the highest one whose single index stays within
// kPieceBytes.
void copy_window(const Window &w, int esize) {
  std::array<std::int64_t, kAxes + 1> slab{}; // bytes of one index step on each axis
  slab[0] = esize;
  for (int k = 0; k < kAxes; ++k) slab[k + 1] = slab[k] * w.nw[k];
  int top = 0;
  for (int k = 0; k < kAxes; ++k)
    if (w.nw[k] > 1) top = k;
  int chunk = 0;
  for (int k = top; k >= 0 && chunk == 0; --k)
    if (slab[k] <= kPieceBytes) chunk = k;
  const int run =
      static_cast<int>(std::clamp<std::int64_t>(kPieceBytes / slab[chunk], 1, w.nw[chunk]));
  std::vector<char> piece(static_cast<std::size_t>(slab[chunk] * run));

  const int ndim = kAxes;
  std::array<int, kAxes> index{}; // window index on each axis above the chunk axis
  for (bool more = true; more;) {
    for (int start = 0; start < w.nw[chunk]; start += run) {
      Window p = w;
      p.nw[chunk] = std::min(run, w.nw[chunk] - start);
      p.fw[chunk] = w.fw[chunk] + start * w.jw[chunk];
      for (int k = chunk + 1; k < kAxes; ++k) {
        p.nw[k] = 1;
        p.fw[k] = w.fw[k] + index[k] * w.jw[k];
      }
      const int bytes = static_cast<int>(slab[chunk] * p.nw[chunk]);
      const int status = sreed_window("in", &ndim, p.ng.data(), p.nw.data(), p.fw.data(),
                                      p.jw.data(), esize, piece.data());
      if (status == -2) koverr("the window cannot be read: the dataset is too large for it\n");
      if (status != 0) koverr("the data are short or unreadable: the window could not be read\n");
      if (srite("out", piece.data(), bytes) != bytes) koverr("cannot write the window\n");
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

// The rest of a piped input is read, so that the program writing it ends
// normally instead of on a broken pipe.
void drain_pipe() {
  if (kov_tag_is_pipe("in") == 0) return;
  std::vector<char> block(std::size_t{1} << 16);
  while (sreed("in", block.data(), static_cast<int>(block.size())) > 0) {
  }
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  kovtool::start(argc, argv);
  kov_begin_prog();
  const kovtool::Description desc = kovtool::describe_input();
  const Window w = window_of(desc);
  write_axes(desc, w);
  copy_window(w, desc.esize);
  drain_pipe();
  kov_end_prog();
  return 0;
}
