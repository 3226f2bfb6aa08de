// SPDX-License-Identifier: Apache-2.0
// Windowed transfer of n-dimensional datasets: reading a window of a
// hypercube into a dense array and writing a dense array into the window of
// an existing cube, with few seeks and large transfers; appending slices to
// a growing cube; linear ("helix") index conversions.
//
// A transfer is planned first.  Full leading axes are merged into one
// contiguous block.  A contiguous partial axis ends the merging with its
// offset carried by the seek arithmetic (the seek form).  For reads, a
// small or strided window inside at most 100000 contiguous bytes is read as
// a whole into a buffer and picked out of it (the buffered form).  The axes
// left over are walked by an outer loop, one seek and one transfer each.
#include "kovlib_internal.h"
#include "streaminf.h"
#include "url_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <sys/stat.h>
#include <vector>

namespace {

using i64 = std::int64_t;

constexpr i64 kMax31 = INT_MAX;    // every count handed to a seek fits 31 bits
constexpr i64 kBufferMax = 100000; // bytes of the read buffer

struct Axis {
  i64 ng, nw, fw, jw;
};

// The plan of one transfer.
struct Plan {
  i64 block = 0;          // bytes per read or write
  std::vector<Axis> kept; // axes walked by the outer loop
  i64 seek_unit = 0;      // bytes per seek step
  i64 multiplier = 1;     // seek steps per index of the kept grid
  i64 start = 0;          // seek steps before the first one
  i64 grid = 1;           // samples of the kept grid
  i64 iterations = 1;     // window positions of the kept axes
  bool buffered = false;  // reads go through the buffer
  std::vector<Axis> buffered_axes;
  i64 piece = 0;  // bytes copied out of the buffer at a time
  i64 pieces = 0; // pieces per block
  i64 needed = 0; // bytes of a block up to the end of its last piece
};

const char *shown(const char *tag) { return tag != nullptr ? tag : "(null)"; }

// The window positions of a set of axes in order, first axis fastest, as
// linear indices over the axes' full extents.
class Walker {
public:
  explicit Walker(std::span<const Axis> axes)
      : axes_(axes), count_(axes.size(), 0), stride_(axes.size(), 1) {
    i64 stride = 1;
    for (std::size_t d = 0; d < axes_.size(); ++d) {
      stride_[d] = stride;
      index_ += axes_[d].fw * stride;
      stride *= axes_[d].ng;
    }
  }
  i64 index() const { return index_; }
  void next() {
    for (std::size_t d = 0; d < axes_.size(); ++d) {
      if (++count_[d] < axes_[d].nw) {
        index_ += axes_[d].jw * stride_[d];
        return;
      }
      index_ -= (axes_[d].nw - 1) * axes_[d].jw * stride_[d];
      count_[d] = 0;
    }
  }

private:
  std::span<const Axis> axes_;
  std::vector<i64> count_;
  std::vector<i64> stride_;
  i64 index_ = 0;
};

int make_plan(int mode, const char *tag, int ndim, const int *n_cube, const int *n_wind,
              const int *f_wind, const int *j_wind, int esize, Plan &plan) {
  std::vector<Axis> axes(static_cast<std::size_t>(ndim));
  int last = 0; // the last axis with more than one window sample
  for (int i = 0; i < ndim; ++i) {
    const Axis a{n_cube[i], n_wind[i], f_wind[i], j_wind[i]};
    if (a.nw < 1 || a.fw < 0 || a.jw < 1 || a.fw + (a.nw - 1) * a.jw >= a.ng)
      return kovwarn(-2, "Invalid window parameters (%s) iax=%d ng=%d nw=%d fw=%d jw=%d \n",
                     shown(tag), i + 1, n_cube[i], n_wind[i], f_wind[i], j_wind[i]);
    axes[static_cast<std::size_t>(i)] = a;
    if (a.nw > 1) last = i;
  }

  const bool writing = mode > 0;
  i64 block = esize;
  bool merging = true;
  bool seek_set = false;
  int first_buffered = 0;
  int stopped_at = ndim;
  for (int i = 0; i < ndim; ++i) {
    const Axis &a = axes[static_cast<std::size_t>(i)];
    const auto keep = [&] { plan.kept.push_back(a); };
    const auto stop_here = [&] {
      merging = false;
      stopped_at = i;
      keep();
    };
    if (mode == 0 || !merging) {
      keep();
    } else if (block * a.nw > kMax31 || i > last) {
      stop_here();
    } else if (a.nw == a.ng) {
      if (plan.buffered && block * a.ng > kBufferMax)
        stop_here();
      else
        block *= a.ng;
    } else if (a.jw == 1) {
      if (writing || (!plan.buffered && block * a.nw * a.ng > kBufferMax)) {
        // The seek form: the axis's offset and extent go into the seeks.
        plan.seek_unit = block;
        plan.multiplier = a.ng;
        plan.start = a.fw;
        seek_set = true;
        block *= a.nw;
        merging = false;
        stopped_at = i;
      } else if (!plan.buffered) {
        plan.buffered = true;
        first_buffered = i;
        block *= a.ng;
      } else if (block * a.ng > kBufferMax) {
        stop_here();
      } else {
        block *= a.ng;
      }
    } else {
      if (writing || block * a.ng > kBufferMax) {
        stop_here();
      } else {
        if (!plan.buffered) {
          plan.buffered = true;
          first_buffered = i;
        }
        block *= a.ng;
      }
    }
  }

  plan.block = block;
  if (!seek_set) {
    plan.seek_unit = block;
    plan.multiplier = 1;
    plan.start = 0;
  }
  for (const Axis &a : plan.kept) {
    plan.grid *= a.ng;
    // Message kept as it always read ("TO BIG"): scripts match it as it stands.
    if (plan.grid > kMax31) return kovwarn(-2, "THE NUMBER OF ELEMENTS IS TO BIG TO BE HANDLED \n");
    plan.iterations *= a.nw;
  }
  if (plan.buffered) {
    plan.piece = esize;
    for (int i = 0; i < first_buffered; ++i) plan.piece *= axes[static_cast<std::size_t>(i)].nw;
    plan.pieces = 1;
    for (int i = first_buffered; i < stopped_at; ++i) {
      plan.buffered_axes.push_back(axes[static_cast<std::size_t>(i)]);
      plan.pieces *= axes[static_cast<std::size_t>(i)].nw;
    }
    i64 last_piece = 0, stride = 1;
    for (const Axis &a : plan.buffered_axes) {
      last_piece += (a.fw + (a.nw - 1) * a.jw) * stride;
      stride *= a.ng;
    }
    plan.needed = (last_piece + 1) * plan.piece;
  }
  return 0;
}

int clamp31(i64 v) { return static_cast<int>(std::clamp<i64>(v, -kMax31, kMax31)); }

int seek_failed(const char *tag, i64 large, i64 current, i64 offset, i64 count, i64 unit) {
  kov::detail::note(
      kov::detail::format("kovwindow, SEEK ERROR: big_block=%d cur=%17.12g \n seek_to_off=%17.12g  "
                          "block_distance=%17.12g \n",
                          clamp31(large), static_cast<double>(current), static_cast<double>(offset),
                          static_cast<double>(count)));
  return kovwarn(-1, "trouble seeking(2) %d blocks of size %d in tag %s\n", clamp31(count),
                 clamp31(unit), tag);
}

// Position the data at index p of the kept grid.  Every count handed to a
// block seek fits 31 bits: beyond that the seek is made relative to the
// current position, in large blocks (one index of the kept grid) first when
// even the count of seek units is too large.
int seek_to(const char *tag, const Plan &plan, i64 p) {
  const i64 unit = plan.seek_unit;
  const i64 large = plan.multiplier * unit;
  const i64 target = p * plan.multiplier + plan.start;
  const i64 offset = target * unit;
  if (target <= kMax31) {
    if (sseek_block_d(tag, static_cast<int>(target), static_cast<int>(unit), 0) < 0)
      return seek_failed(tag, large, 0, offset, target, unit);
    return 0;
  }
  // Message kept as it always read ("to large"): scripts match it as it stands.
  if (large > kMax31) return kovwarn(-1, "can not handle seek, blocks are to large \n");
  int blocks = 0, remainder = 0;
  if (file_position(tag, static_cast<int>(large), &blocks, &remainder) != 0)
    return seek_failed(tag, large, -1, offset, target, unit);
  const i64 current = static_cast<i64>(blocks) * large + remainder;
  i64 distance = offset - current;
  // A position that is not on a seek unit (left so by the caller) is
  // corrected byte-wise first.
  if (const i64 odd = distance % unit; odd != 0) {
    if (sseek_block_d(tag, static_cast<int>(odd), 1, 1) < 0)
      return seek_failed(tag, large, current, offset, odd, 1);
    distance -= odd;
  }
  i64 count = distance / unit;
  if (count > kMax31 || count < -kMax31) {
    const i64 large_count = distance / large;
    if (sseek_block_d(tag, static_cast<int>(large_count), static_cast<int>(large), 1) < 0)
      return kovwarn(-1, "trouble seeking %d blocks of size %d in tag %s\n",
                     static_cast<int>(large_count), static_cast<int>(large), tag);
    distance -= large_count * large;
    count = distance / unit;
  }
  if (sseek_block_d(tag, static_cast<int>(count), static_cast<int>(unit), 1) < 0)
    return seek_failed(tag, large, current, offset, count, unit);
  return 0;
}

// Data that cannot be positioned (a pipe or socket, an upload to a store)
// take a window only as one run from the current position: any other
// window is refused with the warning of the seek it would need, before a
// byte is written.  An upload's refusal names the object and is kept as
// the failure of its URL (ESPIPE).
int check_one_run(const streaminf &record, const char *tag, const Plan &plan) {
  const i64 current = sseek_l_l(tag, 0, 1);
  i64 expected = current;
  Walker kept(plan.kept);
  for (i64 k = 0; k < plan.iterations; ++k, kept.next()) {
    const i64 target = kept.index() * plan.multiplier + plan.start;
    if (current >= 0 && target * plan.seek_unit != expected && record.dataname &&
        kov::detail::is_url(*record.dataname)) {
      kov::detail::note_url_failure(ESPIPE, *record.dataname);
      return kovwarn(-1,
                     "%s: an object of a store is written in order: cannot go to byte %lld of "
                     "it (at %lld)\n",
                     record.dataname->c_str(), static_cast<long long>(target * plan.seek_unit),
                     static_cast<long long>(expected));
    }
    if (current < 0 || target * plan.seek_unit != expected)
      return seek_failed(tag, plan.multiplier * plan.seek_unit, current, target * plan.seek_unit,
                         target, plan.seek_unit);
    expected += plan.block;
  }
  return 0;
}

// The byte ranges a read of the plan takes, in order, neighbours merged
// (and ranges apart by less than a small gap, which costs less to fetch
// than to ask for apart).
std::vector<kov::detail::ByteRange> ranges_of(const Plan &plan) {
  constexpr i64 kSmallGap = 1024;
  std::vector<kov::detail::ByteRange> ranges;
  Walker kept(plan.kept);
  for (i64 k = 0; k < plan.iterations; ++k, kept.next()) {
    const i64 first = (kept.index() * plan.multiplier + plan.start) * plan.seek_unit;
    if (!ranges.empty()) {
      auto &last = ranges.back();
      const i64 end = last.first + last.length;
      if (first >= end && first - end <= kSmallGap) {
        last.length = first + plan.block - last.first;
        continue;
      }
    }
    ranges.push_back({first, plan.block});
  }
  return ranges;
}

int run_plan(int mode, const char *tag, const Plan &plan, char *values) {
  const int block = static_cast<int>(plan.block);
  const kov::detail::PageBlock buffer =
      plan.buffered ? kov::detail::PageBlock(static_cast<std::size_t>(plan.block))
                    : kov::detail::PageBlock();
  Walker kept(plan.kept);
  char *at = values;
  for (i64 k = 0; k < plan.iterations; ++k, kept.next()) {
    const i64 p = kept.index();
    if (mode == 0) {
      const std::int32_t position = static_cast<std::int32_t>(p + 1);
      std::memcpy(at, &position, sizeof position);
      at += block;
      continue;
    }
    if (const int status = seek_to(tag, plan, p); status != 0) return status;
    if (mode > 0) {
      if (srite(tag, at, block) != block) return kovwarn(-1, "srite error to tag %s \n", tag);
      at += block;
    } else if (!plan.buffered) {
      if (sreed(tag, at, block) != block) return kovwarn(-1, "sreed error from tag %s \n", tag);
      at += block;
    } else {
      // The buffer spans whole axes; short data are enough when they hold
      // every piece the window takes from this block.
      const int got = sreed(tag, buffer.data(), block);
      if (got != block && (got < 0 || got < plan.needed)) {
        kov::detail::note(kov::detail::format(
            "mode=%d i %d, nloop=%d  nloop_buf=%d \npos %d of elem %d  beg=%d\n"
            "seeking %d of size %d \nreading %d got=%d \n",
            mode, static_cast<int>(k), static_cast<int>(plan.iterations),
            static_cast<int>(plan.pieces), static_cast<int>(p), static_cast<int>(plan.grid),
            static_cast<int>(plan.start), clamp31(p * plan.multiplier + plan.start),
            static_cast<int>(plan.seek_unit), block, got));
        // Message kept as it always read (two blanks after "sreed"): scripts match it as it stands.
        return kovwarn(-1, "sreed  buffer error for tag %s \n", tag);
      }
      const auto piece = static_cast<std::size_t>(plan.piece);
      Walker inside(plan.buffered_axes);
      for (i64 h = 0; h < plan.pieces; ++h, inside.next()) {
        std::memcpy(at, buffer.data() + static_cast<std::size_t>(inside.index()) * piece, piece);
        at += piece;
      }
    }
  }
  return 0;
}

} // namespace

extern "C" int kov_window(int mode, const char *tag, const int *ndim, const int *n_cube,
                          const int *n_wind, const int *f_wind, const int *j_wind, int esize,
                          void *values) {
  const int axes = ndim != nullptr ? *ndim : -1;
  if (mode < -1 || mode > 1 || axes < 0 || esize < 1 || (mode == 0 && esize < 4) ||
      (mode != 0 && tag == nullptr) || values == nullptr ||
      (axes > 0 &&
       (n_cube == nullptr || n_wind == nullptr || f_wind == nullptr || j_wind == nullptr)))
    return kovwarn(-2, "kov_window(): bad arguments mode=%d ndim=%d esize=%d for tag %s \n", mode,
                   axes, esize, shown(tag));
  Plan plan;
  if (const int status = make_plan(mode, tag, axes, n_cube, n_wind, f_wind, j_wind, esize, plan);
      status != 0)
    return status;
  if (mode != 0) {
    // Register the tag the way its transfers would, and open its data so
    // that a dataset without usable data fails here and not in a seek.
    streaminf *r = tag_info(tag, mode > 0 ? TAG_OUT : TAG_IN);
    if (r->valid && r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
    if (!r->valid || r->ioinf == nullptr)
      return mode > 0 ? kovwarn(-1, "srite error to tag %s \n", tag)
                      : kovwarn(-1, "sreed error from tag %s \n", tag);
    if (mode > 0 && !r->backseekable)
      if (const int status = check_one_run(*r, tag, plan); status != 0) return status;
  }
  // Data behind a URL learn the ranges first, so that they are fetched
  // together and nothing else is.
  streaminf *remote = nullptr;
  if (mode < 0) {
    streaminf *r = tag_info(tag, TAG_INQUIRE);
    if (r != nullptr && r->iotype == URL_IO && r->ioinf != nullptr) remote = r;
  }
  if (remote != nullptr) kov::detail::url_expect(remote, ranges_of(plan));
  const int status = run_plan(mode, tag, plan, static_cast<char *>(values));
  if (remote != nullptr) kov::detail::url_expect(remote, {});
  return status;
}

extern "C" int srite_window(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                            const int *f_wind, const int *j_wind, int esize, const void *values) {
  // Writing only reads from `values`.
  return kov_window(1, tag, ndim, n_cube, n_wind, f_wind, j_wind, esize,
                    const_cast<void *>(values));
}

extern "C" int sreed_window(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                            const int *f_wind, const int *j_wind, int esize, void *values) {
  return kov_window(-1, tag, ndim, n_cube, n_wind, f_wind, j_wind, esize, values);
}

extern "C" void h2c(int hindex, const int *n, int ndim, int *cindex) {
  i64 below = 1;
  for (int i = 0; i < ndim; ++i) {
    cindex[i] = static_cast<int>((hindex / below) % n[i]);
    below *= n[i];
  }
}

extern "C" void c2h(int *hindex, const int *n, int ndim, const int *cindex) {
  i64 index = 0, below = 1;
  for (int i = 0; i < ndim; ++i) {
    index += cindex[i] * below;
    below *= n[i];
  }
  *hindex = static_cast<int>(index);
}

// ---- Slices -------------------------------------------------------------------

namespace {

int header_value(streaminf *r, const char *name) {
  int value = 0;
  kovstrpar(r, name, "d", &value);
  return value;
}

int required_value(streaminf *r, const char *name, const char *message) {
  int value = 0;
  if (kovstrpar(r, name, "d", &value) == 0) koverr(message, r->tagname.c_str());
  return value;
}

} // namespace

extern "C" int slice(const char *name, int esize, int n1, int n2, const void *data) {
  if (name == nullptr || data == nullptr) kov::detail::assertion("slice", "null name or data");
  streaminf *r = tag_info(name, TAG_INOUT);
  const bool vector = n1 == 1;
  if (vector) {
    n1 = n2;
    n2 = 1;
  }
  int old_n1 = 0, old_n2 = 0, old_n3 = 0, old_esize = 0;
  if (!r->ready_out) {
    if (!r->headerbuf || r->headerbuf->empty()) {
      // A new dataset: its header describes one slice, none stored yet.
      old_n1 = n1;
      old_esize = esize;
      kovstrput(r, "n1", "d", &n1);
      kovstrput(r, "esize", "d", &esize);
      if (vector) {
        old_n3 = 1;
        kovstrput(r, "n3", "d", &old_n3);
      } else {
        old_n2 = n2;
        kovstrput(r, "n2", "d", &old_n2);
      }
    } else {
      old_n1 = required_value(r, "n1", "slice(): n1 required in existing header for tag \"%s\"\n");
      old_n2 = required_value(r, "n2", "slice(): n2 required in existing header for tag \"%s\"\n");
      old_n3 = required_value(r, "n3", "slice(): n3 required in existing header for tag \"%s\"\n");
      old_esize =
          required_value(r, "esize", "slice(): esize required in existing header for tag \"%s\"\n");
    }
    kovstr_ready_out(r);
  } else {
    old_n1 = header_value(r, "n1");
    old_n2 = header_value(r, "n2");
    old_n3 = header_value(r, "n3");
    old_esize = header_value(r, "esize");
  }
  if (n1 != old_n1)
    koverr("slice(): n1=%d doesn't match earlier n1=%d for tag \"%s\"\n", n1, old_n1, name);
  if (esize != old_esize)
    koverr("slice(): esize=%d doesn't match earlier esize=%d, tag \"%s\"\n", esize, old_esize,
           name);
  i64 nbytes = 0;
  if (vector) {
    const int count = old_n2 + 1;
    kovstrputlast(r, "n2", "d", &count);
    nbytes = static_cast<i64>(n1) * esize;
  } else {
    if (n2 != old_n2)
      koverr("slice(): n2=%d doesn't match earlier n2=%d for tag \"%s\"\n", n2, old_n2, name);
    const int count = old_n3 + 1;
    kovstrputlast(r, "n3", "d", &count);
    nbytes = static_cast<i64>(n1) * n2 * esize;
  }
  if (nbytes > kMax31 || nbytes < 0)
    koverr("slice(): a slice of %lld bytes is too large for tag \"%s\"\n",
           static_cast<long long>(nbytes), name);
  sseek_l_l(name, 0, 2);
  srite(name, data, static_cast<int>(nbytes));
  return 0;
}

extern "C" int snap(const char *name, int n1, int n2, const void *data) {
  if (name == nullptr) kov::detail::assertion("snap", "null name");
  const std::string file = kov::detail::getch_string(name).value_or(name);
  struct stat st;
  if (::stat(file.c_str(), &st) == 0) slice(name, 4, n1, n2, data);
  return 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(c2h)
KOV_PUBLIC_NAME(h2c)
KOV_PUBLIC_NAME(kov_window)
KOV_PUBLIC_NAME(slice)
KOV_PUBLIC_NAME(snap)
KOV_PUBLIC_NAME(sreed_window)
KOV_PUBLIC_NAME(srite_window)
