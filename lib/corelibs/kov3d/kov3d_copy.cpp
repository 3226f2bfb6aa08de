// SPDX-License-Identifier: Apache-2.0
// Passing descriptions from input to output, grid windows, reordering
// traces and closing a three-dimensional output (handing the header and
// grid format files of a piped output to its reader).
#include <kov/kov3d.h>

#include "kov3d_internal.h"
#include "kovlib_internal.h"
#include "kovsock.h"
#include "streaminf.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Write the data pointer of an output history; the pointer written here is
// the one a reader sees, so the record's own data name is not written later.
void put_data_pointer(streaminf *r, const std::string &name) {
  kovstrput(r, "sets next: in", "s", kov::detail::written_name(name).c_str());
  r->header_outname = 1;
}

int copy_axes(const char *tag_in, const char *tag_out, bool grid) {
  int count = 0;
  const int counted =
      grid ? kov_get_number_grid_axes(tag_in, &count) : kov_get_number_header_axes(tag_in, &count);
  if (counted != 0) return counted;
  std::vector<char> label(KOV3D_LABEL_ROOM, '\0');
  for (int i = 2; i <= count; ++i) {
    int n = 1;
    float o = 0.0f, d = 1.0f;
    int code = grid ? kov_get_grid_axis_par(tag_in, &i, &n, &o, &d, label.data())
                    : kov_get_header_axis_par(tag_in, &i, &n, &o, &d, label.data());
    if (code != 0) return code;
    code = grid ? kov_put_grid_axis_par(tag_out, &i, &n, &o, &d, label.data())
                : kov_put_header_axis_par(tag_out, &i, &n, &o, &d, label.data());
    if (code != 0) return code;
  }
  return 0;
}

// The window engine's arguments for grid axes 2 .. n_dim_grid.
int grid_window(int mode, const char *tag, const int *n_dim_grid, const int *n_grid,
                const int *n_wind, const int *f_wind, const int *j_wind, void *values) {
  std::string gff;
  if (const int code = kov3d::find_gff(tag, gff); code != 0) return code;
  const int ndim = *n_dim_grid - 1;
  if (mode < 0) {
    const streaminf *g = tag_info(gff.c_str(), TAG_IN);
    if (!g->dataname || g->dataname->starts_with("-1")) mode = 0; // regular grid
  }
  return kov_window(mode, gff.c_str(), &ndim, n_grid, n_wind, f_wind, j_wind, 4, values);
}

// Quicksort of (trace, slot) pairs by trace with a pseudo-random pivot.
// Not std::sort: the pivots come from rand(), so a program that seeds rand()
// sees the same sequence after a reorder as it always has.
void sort_pairs(std::span<std::pair<int, int>> v, long lo, long hi) {
  while (hi - lo > 0) {
    const int pivot = v[static_cast<std::size_t>(lo + std::rand() % (hi - lo + 1))].first;
    long i = lo, j = hi;
    while (i <= j) {
      while (v[static_cast<std::size_t>(i)].first < pivot) ++i;
      while (v[static_cast<std::size_t>(j)].first > pivot) --j;
      if (i <= j) std::swap(v[static_cast<std::size_t>(i++)], v[static_cast<std::size_t>(j--)]);
    }
    // Recurse on the smaller side to bound the depth.
    if (j - lo < hi - i) {
      sort_pairs(v, lo, j);
      lo = i;
    } else {
      sort_pairs(v, i, hi);
      hi = j;
    }
  }
}

// Memory of `count` elements from the library's checked allocator (fatal
// when it cannot be had), left as it comes: every byte is written before
// it is read.
template <class T> class Scratch {
public:
  explicit Scratch(std::size_t count)
      : data_(static_cast<T *>(alloc(count * sizeof(T)))), count_(count) {}
  std::span<T> span() const { return {data_.get(), count_}; }
  T *get() const { return data_.get(); }

private:
  struct Free {
    void operator()(T *p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t count_;
};

// The checks that come before any trace is moved: the trace size, and every
// order entry against the traces the input holds (when its size can be
// known; a pipe's cannot, and a trace past its end fails to read).
void check_reorder(const char *routine, const char *tagin, int n2h, int tsize, const int *order) {
  if (tsize < 1) koverr("%s: trace size %d is below 1\n", routine, tsize);
  streaminf *in = tag_info(tagin, TAG_IN);
  long long traces = -1;
  if (in->valid && in->ioinf == nullptr && in->open_func != nullptr) in->open_func(in, &in->ioinf);
  if (in->valid && in->ioinf != nullptr && in->backseekable && in->size_func != nullptr) {
    const kov_file_size_t size = in->size_func(in, in->ioinf);
    if (size >= 0) traces = size / tsize;
  }
  for (int i = 0; i < n2h; ++i) {
    if (order[i] >= 1 && (traces < 0 || order[i] <= traces)) continue;
    if (traces < 0)
      koverr("%s: order entry %d at position %d is below 1 (tag %s)\n", routine, order[i], i + 1,
             tagin);
    koverr("%s: order entry %d at position %d is outside 1..%lld (the traces of tag %s)\n", routine,
           order[i], i + 1, traces, tagin);
  }
}

// The most traces of `tsize` bytes that one transfer call can move.
int most_traces(int tsize) { return std::numeric_limits<int>::max() / tsize; }

// Read `count` traces from trace `first` (from 1); false after a warning.
bool read_block(const char *tag, int first, int count, int tsize, char *into) {
  if (sseek_block(tag, first - 1, tsize, 0) != first - 1) {
    kovwarn(0, "trouble seeking to trace %d for trace read %d \n", first, tsize);
    return false;
  }
  const int nbytes = count * tsize;
  const int got = sreed(tag, into, nbytes);
  if (got != nbytes) {
    kovwarn(0, "trouble reading %d bytes from %s read=%d \n", nbytes, tag, got);
    return false;
  }
  return true;
}

// Handing the description files of a piped out to its reader: each goes
// over a socket of its own, whose endpoint the reader finds in out's
// history under "hff" or "gff".  The endpoints are written while out's
// history is still open, and the files are sent once it has ended and
// before the first data byte follows it: at the first data write or at
// kov_3d_close, whichever comes first.
struct HandoverKind {
  bool grid;
  const char *param;      // "hff" / "gff"
  const char *find_msg;   // the description file cannot be had
  const char *closed_msg; // its header was closed already
  const char *socket_tag; // "hff_out" / "gff_out"
  const char *synch_msg;  // no reader came
};

const HandoverKind kHffHandover{
    false,
    "hff",
    "kov_3d_close(): trouble getting tag_header \n",
    "Can not call auxclose on the headers (most likely by writing out the headers) before "
    "kov_3d_close if you wish to pipe\n",
    "hff_out",
    "kov_3d_close(): pipe synch failed for hff\n"};
const HandoverKind kGffHandover{
    true,
    "gff",
    "kov_3d_close(): trouble getting tag_grid \n",
    "Can not call auxclose on the grid (most likely by writing out the headers) before "
    "kov_3d_close if you wish to pipe\n",
    "gff_out",
    "kov_3d_close(): pipe synch failed for gff\n"};

struct Handover {
  const HandoverKind *kind;
  std::string tag; // the description file's own tag
};

std::optional<std::string> &description_of(streaminf *out, const HandoverKind &kind) {
  return kind.grid ? out->gridformatfile : out->headerformatfile;
}

// A description file of out that has not been handed over yet.
bool awaiting_handover(streaminf *out, const HandoverKind &kind) {
  const auto &name = description_of(out, kind);
  return name && *name != kind.socket_tag;
}

// Before out's history ends: publish a listening socket for the
// description file and name it in the history.
std::optional<Handover> prepare_handover(streaminf *out, const HandoverKind &kind) {
  if (!awaiting_handover(out, kind)) return std::nullopt;
  std::string expanded;
  const int found = kind.grid ? kov3d::find_gff("out", expanded) : kov3d::find_hff("out", expanded);
  if (found != 0) koverr("%s", kind.find_msg);
  Handover h{&kind, *description_of(out, kind)};
  const streaminf *f = tag_info(h.tag.c_str(), TAG_INQUIRE);
  if (f == nullptr || f->headfile == nullptr) koverr("%s", kind.closed_msg);
  auxsockout(kind.socket_tag);
  // The socket's header name is its endpoint followed by a newline; the
  // history value is the endpoint alone.
  std::string endpoint = tag_info(kind.socket_tag, TAG_INQUIRE)->headername;
  while (!endpoint.empty() && endpoint.back() == '\n') endpoint.pop_back();
  putch(kind.param, "s", endpoint.c_str());
  return h;
}

// After out's history has ended: wait for the reader on the socket and
// send it the description file's history.  A file whose name the library
// made up goes away; one the user named stays, complete.
void hand_over(streaminf *out, const Handover &h, int timeout) {
  const HandoverKind &kind = *h.kind;
  streaminf *s = tag_info(kind.socket_tag, TAG_INQUIRE);
  const int peer = socklisten(s->sockfd, timeout);
  if (peer < 0) koverr("%s", kind.synch_msg);
  ::close(s->sockfd);
  s->sockfd = 0;
  s->headfile = ::fdopen(peer, "w");
  if (s->headfile == nullptr) {
    ::close(peer);
    koverr("%s", kind.synch_msg);
  }
  // A reader that connects but stops reading is not waited for without end.
  kov::detail::limit_io(peer, timeout);
  if (s->ioinf == nullptr && s->open_func != nullptr) s->open_func(s, &s->ioinf);

  streaminf *f = tag_info(h.tag.c_str(), TAG_INQUIRE);
  // The history must name the file's data before it is sent.
  if (!f->ready_out) kovstr_ready_out(f);
  std::fflush(f->headfile);
  if (std::fseek(f->headfile, 0, SEEK_SET) != 0) kov::detail::syserr("file_seek");
  for (int c = std::fgetc(f->headfile); c != EOF && c != 4; c = std::fgetc(f->headfile))
    std::fputc(c, s->headfile);
  // The text sent holds its title, data name and data_format line already:
  // only the end of the header is still to come.
  s->header_title = 1;
  s->header_outname = 1;
  s->ready_out = 1;
  syncout(s);
  auxhclose(kind.socket_tag);
  std::fflush(s->headfile);
  const std::string file = f->headername;
  const bool keep = kov3d::named_by_user(kind.grid, h.tag);
  auxclose(h.tag.c_str());
  if (!keep) (void)::unlink(file.c_str());
  description_of(out, kind) = kind.socket_tag;
}

// Hand-overs prepared while out's history was open.
std::vector<Handover> &prepared() {
  static std::vector<Handover> list;
  return list;
}

void hand_over_when_ready(streaminf *r, bool ended) {
  if (r->tagname != "out" || r->entrytype != STREAMOUT) return;
  if (!ended) {
    if (kov_tag_is_pipe("out") != 1) return;
    for (const HandoverKind *kind : {&kHffHandover, &kGffHandover})
      if (auto h = prepare_handover(r, *kind)) prepared().push_back(std::move(*h));
    return;
  }
  const std::vector<Handover> due = std::exchange(prepared(), {});
  if (due.empty()) return;
  int timeout = 5;
  (void)getch_n("timeout", "d", &timeout, 1);
  for (const Handover &h : due) hand_over(r, h, timeout);
}

} // namespace

extern "C" int kov_copy_data_pointer(const char *tag_in, const char *tag_out) {
  streaminf *in = tag_info(tag_in, TAG_INQUIRE);
  streaminf *out = tag_info(tag_out, TAG_INQUIRE);
  if (in == nullptr || out == nullptr) return -1;
  put_data_pointer(out, in->dataname.value_or("-1"));
  return 0;
}

extern "C" int kov_set_no_headers(const char *tag) {
  if (auxputch("hff", "s", "-1", tag) != 0) koverr("trouble writing hff = -1 to tag %s \n", tag);
  return 0;
}

extern "C" int kov_set_no_grid(const char *tag) {
  if (auxputch("gff", "s", "-1", tag) != 0) koverr("trouble writing gff = -1 to tag %s \n", tag);
  return 0;
}

extern "C" int kov_set_regular_grid(const char *tag) {
  std::string gff;
  if (const int code = kov3d::find_gff(tag, gff); code != 0) return code;
  streaminf *g = tag_info(gff.c_str(), TAG_OUT);
  if (!kov::detail::is_output_kind(g) || g->headfile == nullptr)
    koverr("trouble writing regular grid flag to tag %s\n", tag);
  put_data_pointer(g, "-1");
  return 0;
}

extern "C" int kov_copy_header_keys(const char *tag_in, const char *tag_out) {
  int n = 0;
  if (const int code = kov_get_number_keys(tag_in, &n); code != 0) return code;
  if (const int code = kov_put_number_keys(tag_out, &n); code != 0) return code;
  std::vector<char> name(KOV3D_KEY_NAME_ROOM), type(KOV3D_KEY_TYPE_ROOM), fmt(KOV3D_KEY_TYPE_ROOM);
  for (int k = 1; k <= n; ++k) {
    if (const int code = kov_get_key_name(tag_in, &k, name.data()); code != 0) return code;
    if (const int code = kov_get_key_type(tag_in, &k, type.data()); code != 0) return code;
    if (const int code = kov_get_key_fmt(tag_in, &k, fmt.data()); code != 0) return code;
    if (const int code = kov_put_key(tag_out, name.data(), type.data(), fmt.data(), &k); code != 0)
      return code;
  }
  return 0;
}

extern "C" int kov_copy_hff(const char *tag_in, const char *tag_out) {
  int n = 0;
  if (const int code = kov_get_number_keys(tag_in, &n); code != 0) return code;
  if (const int code = kov_put_number_keys(tag_out, &n); code != 0) return code;
  std::string hff_in, hff_out;
  if (const int code = kov3d::find_hff(tag_in, hff_in); code != 0) return code;
  if (const int code = kov3d::find_hff(tag_out, hff_out); code != 0) return code;
  if (const int code = kov_copy_data_pointer(hff_in.c_str(), hff_out.c_str()); code != 0)
    return code;
  if (const int code = copy_axes(tag_in, tag_out, false); code != 0) return code;
  if (const int code = kov_copy_header_keys(tag_in, tag_out); code != 0) return code;
  // The records are in's: so is the format that reads them whole.  The copy
  // writes no data of its own, so its data_format line is written here.
  streaminf *from = tag_info(hff_in.c_str(), TAG_INQUIRE);
  streaminf *to = tag_info(hff_out.c_str(), TAG_INQUIRE);
  if (from != nullptr && to != nullptr && kov::detail::is_output_kind(to) && !to->ready_out &&
      to->headfile != nullptr) {
    if (from->format_num >= 0) to->format_num = from->format_num;
    kovstr_ready_out(to);
  }
  return 0;
}

extern "C" int kov_copy_gff(const char *tag_in, const char *tag_out) {
  if (const int code = copy_axes(tag_in, tag_out, true); code != 0) return code;
  std::string gff_in, gff_out;
  if (const int code = kov3d::find_gff(tag_in, gff_in); code != 0) return code;
  if (const int code = kov3d::find_gff(tag_out, gff_out); code != 0) return code;
  return kov_copy_data_pointer(gff_in.c_str(), gff_out.c_str());
}

extern "C" int kov_copy_grid(const char *intag, const char *outtag) {
  std::string gff_in, gff_out;
  if (kov3d::find_gff(intag, gff_in) != 0) return 1;
  if (kov3d::find_gff(outtag, gff_out) != 0) return -1;
  int axes = 0;
  if (kov_get_number_grid_axes(intag, &axes) != 0) return -1;
  long long cells = 1;
  for (int i = 1; i <= axes; ++i) {
    int n = 1;
    float o = 0.0f, d = 1.0f;
    if (kov_get_grid_axis_par(intag, &i, &n, &o, &d, nullptr) != 0) return -1;
    cells *= n;
  }
  copy_history(gff_in.c_str(), gff_out.c_str());
  constexpr long long kPiece = 65536;
  std::vector<char> buffer(static_cast<std::size_t>(kPiece));
  for (long long left = cells * 4; left > 0;) {
    const int piece = static_cast<int>(std::min(left, kPiece));
    if (sreed(gff_in.c_str(), buffer.data(), piece) != piece)
      koverr("kov_copy_grid(): trouble reading in grid values \n");
    if (srite(gff_out.c_str(), buffer.data(), piece) != piece)
      koverr("kov_copy_grid(): trouble writing out grid values \n");
    left -= piece;
  }
  return 0;
}

extern "C" int kov_get_grid_window(const char *tag, const int *n_dim_grid, const int *n_grid,
                                   const int *n_wind, const int *f_wind, const int *j_wind,
                                   int *header_numbers) {
  return grid_window(-1, tag, n_dim_grid, n_grid, n_wind, f_wind, j_wind, header_numbers);
}

extern "C" int kov_put_grid_window(const char *tag, const int *n_dim_grid, const int *n_grid,
                                   const int *n_wind, const int *f_wind, const int *j_wind,
                                   const int *header_numbers) {
  // The write mode only reads the values.
  return grid_window(1, tag, n_dim_grid, n_grid, n_wind, f_wind, j_wind,
                     const_cast<int *>(header_numbers));
}

extern "C" int kov_reorder_data(const char *tagin, const char *tagout, int n2h, int tsize,
                                const int *order) {
  check_reorder("kov_reorder_data", tagin, n2h, tsize, order);
  if (n2h <= 0) return 0;
  // Up to 10000 traces at a time, never more than the job moves.
  const int batch = std::min({10000, n2h, most_traces(tsize)});
  const std::size_t trace = static_cast<std::size_t>(tsize);
  const Scratch<char> buffer(static_cast<std::size_t>(batch) * trace);
  int gathered = 0;
  for (int i = 0; i < n2h;) {
    int run = 1;
    while (i + run < n2h && order[i + run] == order[i + run - 1] + 1 && gathered + run < batch)
      ++run;
    const int first = order[i] - 1;
    const int at = sseek_block(tagin, first, tsize, 0);
    if (at != first)
      // Message kept as it always read ("begining"): scripts match it as it stands.
      koverr("trouble seeking to the begining of block, tag %s, ntr=%d, size=%d err=%d \n", tagin,
             first, tsize, at);
    const int nbytes = run * tsize;
    const int got = sreed(tagin, buffer.get() + static_cast<std::size_t>(gathered) * trace, nbytes);
    if (got != nbytes)
      koverr("trouble reading in data (err=%d) starting_trace=%d n_bytes=%d \n", got, first,
             nbytes);
    gathered += run;
    i += run;
    if (gathered == batch || i == n2h) {
      const int out_bytes = gathered * tsize;
      if (srite(tagout, buffer.get(), out_bytes) != out_bytes)
        koverr("trouble writing out data to tag %s \n", tagout);
      gathered = 0;
    }
  }
  return 0;
}

extern "C" int kov_reorder_data_fast(const char *tagin, const char *tagout, int n2h, int tsize,
                                     const int *order, int megabyte) {
  check_reorder("kov_reorder_data_fast", tagin, n2h, tsize, order);
  if (n2h <= 0) return 0;
  const long long fit = static_cast<long long>(megabyte) * 500000 / tsize;
  const int block =
      static_cast<int>(std::clamp<long long>(fit, 1, std::min(n2h, most_traces(tsize))));
  const std::size_t trace = static_cast<std::size_t>(tsize);
  const Scratch<char> in(static_cast<std::size_t>(block) * trace);
  const Scratch<char> out(static_cast<std::size_t>(block) * trace);
  const Scratch<std::pair<int, int>> requests(static_cast<std::size_t>(block));
  for (int done = 0; done < n2h;) {
    const int nb = std::min(block, n2h - done);
    const std::span<std::pair<int, int>> pairs =
        requests.span().first(static_cast<std::size_t>(nb));
    for (int s = 0; s < nb; ++s) pairs[static_cast<std::size_t>(s)] = {order[done + s], s};
    sort_pairs(pairs, 0, nb - 1);
    // Runs of consecutive trace numbers in one read each; a repeated
    // trace starts a new run and is read again.
    for (int k = 0; k < nb;) {
      int run = 1;
      while (k + run < nb && pairs[static_cast<std::size_t>(k + run)].first ==
                                 pairs[static_cast<std::size_t>(k + run - 1)].first + 1)
        ++run;
      if (!read_block(tagin, pairs[static_cast<std::size_t>(k)].first, run, tsize,
                      in.get() + static_cast<std::size_t>(k) * trace))
        koverr("trouble reading in block \n");
      k += run;
    }
    for (int k = 0; k < nb; ++k)
      std::copy_n(in.get() + static_cast<std::size_t>(k) * trace, trace,
                  out.get() +
                      static_cast<std::size_t>(pairs[static_cast<std::size_t>(k)].second) * trace);
    const int nbytes = nb * tsize;
    if (srite(tagout, out.get(), nbytes) != nbytes)
      koverr("trouble writing out %d bytes to %s \n", nbytes, tagout);
    done += nb;
  }
  return 0;
}

namespace kov3d {

void watch_output() { kov::detail::set_ready_hook(hand_over_when_ready); }

void require_open_history(const char *tag, bool grid) {
  if (std::string_view(tag) != "out") return;
  streaminf *out = tag_info("out", TAG_INQUIRE);
  if (out == nullptr || !out->ready_out || kov_tag_is_pipe("out") != 1) return;
  koverr(grid ? "kov_put_grid_format_tag(): out goes to a pipe and its history has ended; set the "
                "grid format file before the first data write or kov_3d_close\n"
              : "kov_put_header_format_tag(): out goes to a pipe and its history has ended; set "
                "the header format file before the first data write or kov_3d_close\n");
}

} // namespace kov3d

extern "C" void kov_3d_close(void) {
  streaminf *out = tag_info("out", TAG_OUT);
  // A piped out whose history has not ended yet hands its description
  // files over as it ends; one that has ended handed them over then.
  if (out->ready_out && kov_tag_is_pipe("out") == 1) {
    if (awaiting_handover(out, kHffHandover)) kov3d::require_open_history("out", false);
    if (awaiting_handover(out, kGffHandover)) kov3d::require_open_history("out", true);
  }
  kov3d::watch_output();
  hclose();
}
