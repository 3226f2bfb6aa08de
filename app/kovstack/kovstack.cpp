// SPDX-License-Identifier: Apache-2.0
// kovstack: a dataset reduced along one axis, which the output no longer
// has.
//
//   kovstack < gathers.H > stack.H                 # mean along axis 2
//   kovstack axis=3 mode=max < cube.H > top.H
//
// The samples are read in order.  Along the fastest axis each trace is
// reduced as it is read; along a slower one the slices are added into one
// slice of sums, in pieces of at most kTile samples (a piece wider than
// that needs a file, read piece by piece with seeks).  A data file of its
// own is mapped rather than read, and its slices are added on a thread per
// processor, each thread owning a range of the output's samples and adding
// them in the same order as one thread would: the same bits.
#include "kovhelp.hpp"
#include "kovmapped.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/reduce.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 16;  // samples read at a time
constexpr std::int64_t kTile = std::int64_t{1} << 20; // widest slice kept in memory

// Samples handed out in pieces of any size from reads of kBlock.
class Source {
public:
  explicit Source(kovtool::SampleReader &reader) : reader_(reader), block_(kBlock) {}
  void take(std::span<double> out) {
    for (std::size_t done = 0; done < out.size();) {
      if (at_ == held_) {
        held_ = reader_.next(block_);
        at_ = 0;
        if (held_ == 0) koverr("the data are short: the input ended before the header says\n");
      }
      const std::size_t n = std::min(out.size() - done, held_ - at_);
      std::copy_n(block_.begin() + static_cast<std::ptrdiff_t>(at_), n,
                  out.begin() + static_cast<std::ptrdiff_t>(done));
      at_ += n;
      done += n;
    }
  }

private:
  kovtool::SampleReader &reader_;
  std::vector<double> block_;
  std::size_t held_ = 0, at_ = 0;
};

// The samples [first, first + width) of every slice added into a stack of
// their own, read from the mapped data.
class Columns {
public:
  Columns(kovproc::Mode mode, bool norm, kovproc::Simd simd, kovproc::Sample kind, bool swapped,
          std::size_t first, std::size_t width)
      : stack_(mode, norm, width), kind_(kind), swapped_(swapped), first_(first),
        words_(kind == kovproc::Sample::int32 && swapped ? width : 0),
        doubles_(kind == kovproc::Sample::float32 ? 0 : width) {
    stack_.use(simd);
  }

  // `count` slices of `inner` samples from `data` (the first one's start).
  // Allocates nothing: it runs inside a guarded read.
  void add(const std::byte *data, std::int64_t count, std::size_t inner) {
    const std::size_t size = kovproc::sample_size(kind_), width = stack_.width();
    const std::size_t stride = inner * size;
    // The processor's own fetching ahead stops at the end of a page, and
    // the columns of a thread are often a page of each slice: the slices
    // kAhead on are fetched while these are added.
    const auto fetch = [&](std::int64_t s, std::int64_t n) {
      for (std::int64_t k = s + kAhead; k < std::min(s + kAhead + n, count); ++k) {
        const std::byte *ahead = data + static_cast<std::size_t>(k) * stride + first_ * size;
        for (std::size_t b = 0; b < width * size; b += kLine) __builtin_prefetch(ahead + b);
      }
    };
    if (kind_ == kovproc::Sample::float32 && swapped_) {
      // XDR floats added where they lie, kGroup slices at a time.
      for (std::int64_t s = 0; s < count; s += kGroup) {
        const std::int64_t n = std::min(kGroup, count - s);
        fetch(s, n);
        stack_.add_xdr_floats(std::span(data + static_cast<std::size_t>(s) * stride + first_ * size,
                                        static_cast<std::size_t>(n - 1) * stride + width * size),
                              stride, static_cast<std::size_t>(n));
      }
      return;
    }
    for (std::int64_t s = 0; s < count; ++s) {
      const std::byte *p = data + (static_cast<std::size_t>(s) * inner + first_) * size;
      fetch(s, 1);
      const auto bytes = std::span(p, width * size);
      if (kind_ == kovproc::Sample::float32) {
        stack_.add_floats(std::span(reinterpret_cast<const float *>(p), width));
        continue;
      }
      const std::span<std::byte> own = std::as_writable_bytes(std::span(words_));
      if (swapped_) {
        std::copy(bytes.begin(), bytes.end(), own.begin());
        kovproc::swap_bytes4(own);
      }
      kovproc::to_double(kind_, swapped_ ? std::span<const std::byte>(own) : bytes, doubles_);
      stack_.add(doubles_);
    }
  }

  void finish(std::span<double> out) { stack_.finish(out.subspan(first_, stack_.width())); }
  kovproc::Sample kind() const { return kind_; }

private:
  static constexpr std::int64_t kAhead = 4; // slices fetched ahead of their adds
  static constexpr std::int64_t kGroup = 4; // XDR slices added at a time
  static constexpr std::size_t kLine = 64;  // bytes of a cache line
  kovproc::SliceStack stack_;
  kovproc::Sample kind_;
  bool swapped_;
  std::size_t first_;
  std::vector<std::uint32_t> words_; // a slice's integers in this machine's byte order
  std::vector<double> doubles_;
};

// Slices of `inner` samples, `length` of them to a stack and `outer`
// stacks, added from the mapped data on a thread per group of columns.
// The slices are taken in windows of half MappedInput::kWindow; each
// thread goes through the windows at its own pace, at most kLead windows
// ahead of the slowest (the threads do not all meet at every window, and
// are started once a stack, not once a window), and the last thread out of
// a window hands its pages back: at most kLead + 1 windows are resident.
void stack_mapped(const kovtool::MappedInput &in, std::vector<Columns> &columns, std::int64_t inner,
                  std::int64_t length, std::int64_t outer, kovtool::SampleWriter &writer) {
  constexpr std::int64_t kLead = 1;
  const std::int64_t slice_bytes =
      inner * static_cast<std::int64_t>(kovproc::sample_size(columns.front().kind()));
  const std::int64_t per_window =
      std::max<std::int64_t>(1, kovtool::MappedInput::kWindow / 2 / slice_bytes);
  const std::int64_t windows = (length + per_window - 1) / per_window;
  std::vector<double> out(static_cast<std::size_t>(inner));
  for (std::int64_t o = 0; o < outer; ++o) {
    // Windows handed back, in order; a failed read adds more than there
    // are, so that no thread waits for the window it left unfinished.
    std::atomic<std::int64_t> released = 0;
    std::atomic<bool> failed = false;
    // The threads still reading each of the last windows (by window, modulo).
    std::array<std::atomic<int>, kLead + 1> reading{};
    // The groups of columns each thread adds; those of a thread that could
    // not be started go to the first one.
    std::vector<std::vector<std::size_t>> groups(columns.size());
    std::atomic<bool> go = false;
    int threads = 1;
    const auto run = [&](std::size_t r) {
      go.wait(false);
      for (std::int64_t w = 0; w < windows; ++w) {
        for (std::int64_t seen; (seen = released.load()) < w - kLead;) released.wait(seen);
        if (failed.load()) return;
        const std::int64_t i = w * per_window, count = std::min(per_window, length - i);
        const std::int64_t at = (o * length + i) * slice_bytes;
        const std::byte *data = in.data().data() + at;
        if (!kovtool::guarded([&] {
              for (const std::size_t c : groups[r])
                columns[c].add(data, count, static_cast<std::size_t>(inner));
            })) {
          failed.store(true);
          released.fetch_add(windows + kLead + 1);
          released.notify_all();
          return;
        }
        std::atomic<int> &left = reading[static_cast<std::size_t>(w % (kLead + 1))];
        if (left.fetch_sub(1) == 1) { // the last thread out of this window
          in.release(at, count * slice_bytes);
          left.store(threads); // for the window kLead + 1 on
          released.fetch_add(1);
          released.notify_all();
        }
      }
    };
    groups[0].push_back(0);
    {
      std::vector<std::jthread> helpers;
      for (std::size_t t = 1; t < columns.size(); ++t) {
        groups[t].push_back(t);
        try {
          helpers.emplace_back(run, t);
          ++threads;
        } catch (const std::system_error &) {
          groups[t].clear(); // no thread to spare: the same columns on the first
          groups[0].push_back(t);
        }
      }
      for (std::atomic<int> &left : reading) left.store(threads);
      go.store(true);
      go.notify_all();
      run(0);
    }
    if (failed.load()) in.cut_short();
    for (Columns &c : columns) c.finish(out);
    writer.write(out);
  }
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  kovtool::name_in_messages(kovtool::start(argc, argv));
  kov_begin_prog();
  const kovtool::Description desc = kovtool::describe_input();
  const kovproc::Sample kind = kovtool::sample_kind(desc);
  const int count = static_cast<int>(desc.axes.size());
  const int axis = kovtool::integer_param("axis", 2, 1, 9);
  if (axis > count)
    koverr("axis=%d: the input has %d axes (n%d is the last one its header gives)\n", axis, count,
           count);
  const std::string mode_name = kovtool::choice_param("mode", {"mean", "sum", "rms", "max", "min"});
  const auto mode = kovproc::mode_named(mode_name);
  const bool norm = kovtool::flag_param("norm", true);

  std::int64_t inner = 1, outer = 1;
  for (int k = 0; k < axis - 1; ++k) inner *= desc.axes[static_cast<std::size_t>(k)].n;
  for (int k = axis; k < count; ++k) outer *= desc.axes[static_cast<std::size_t>(k)].n;
  const std::int64_t length = desc.axes[static_cast<std::size_t>(axis - 1)].n;
  const bool tiled = inner > kTile;
  if (tiled && desc.files.empty())
    koverr("axis=%d: a slice of %lld samples does not fit in memory, and a piped input cannot be "
           "read slice by slice: give the input as a file\n",
           axis, static_cast<long long>(inner));

  std::vector<kovtool::Axis> axes = desc.axes;
  axes.erase(axes.begin() + axis - 1);
  if (axes.empty()) axes.push_back({});
  const kovtool::OutputFormat format = kovtool::output_format();
  kovtool::write_axes(axes, desc.axes.size(), format);

  kovtool::SampleWriter writer(format, true, kovtool::name_of(desc));
  kovtool::SampleReader reader(desc);
  std::string warning;
  const kovproc::Simd simd = kovproc::simd_for(std::getenv("KOV_SIMD"), warning);
  if (!warning.empty() && inner > 1 && !tiled) kovwarn(0, "%s\n", warning.c_str());
  // Formats in a known byte order map; the others are read by the library.
  const bool swapped = desc.format.starts_with("xdr_") && kind != kovproc::Sample::uint8;
  const std::unique_ptr<kovtool::MappedInput> mapped =
      inner > 1 && !tiled && (desc.format.starts_with("xdr_") || desc.format.starts_with("native_"))
          ? kovtool::MappedInput::open(desc)
          : nullptr;
  if (inner == 1) {
    // Along the fastest axis: every trace reduced as it is read.
    Source source(reader);
    std::vector<double> out;
    out.reserve(kBlock);
    for (std::int64_t o = 0; o < outer; ++o) {
      out.push_back(
          kovproc::reduce_run(*mode, norm, length, [&](std::span<double> b) { source.take(b); }));
      if (out.size() == kBlock || o + 1 == outer) {
        writer.write(out);
        out.clear();
      }
    }
    reader.expect_end();
  } else if (!tiled && mapped) {
    // Slices added from the mapped file, the output's samples in ranges
    // over the threads (ranges of whole cache lines of sums, at least 512
    // samples each).
    const auto width = static_cast<std::size_t>(inner);
    const std::size_t threads =
        std::clamp<std::size_t>(width / 512, 1, std::max(1u, std::thread::hardware_concurrency()));
    const std::size_t step = (width / threads + 7) / 8 * 8;
    std::vector<Columns> columns;
    for (std::size_t first = 0; first < width; first += step)
      columns.emplace_back(*mode, norm, simd, kind, swapped, first, std::min(step, width - first));
    stack_mapped(*mapped, columns, inner, length, outer, writer);
  } else if (!tiled) {
    // Slices added as they come, several read at once.
    kovproc::SliceStack stack(*mode, norm, static_cast<std::size_t>(inner));
    stack.use(simd);
    const std::int64_t per_read =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(kBlock) / inner);
    // Floats are added as they are read, without a copy in doubles.
    const bool floats = kind == kovproc::Sample::float32;
    const auto held = static_cast<std::size_t>(inner * std::min(per_read, length));
    std::vector<double> slices(floats ? 0 : held);
    kovtool::Floats float_slices(floats ? held : 0);
    std::vector<double> out(static_cast<std::size_t>(inner));
    for (std::int64_t o = 0; o < outer; ++o) {
      for (std::int64_t i = 0; i < length;) {
        const std::int64_t n = std::min(per_read, length - i);
        const auto want = static_cast<std::size_t>(n * inner);
        if ((floats ? reader.next_floats(std::span(float_slices).first(want))
                    : reader.next(std::span(slices).first(want))) != want)
          koverr("the data are short: the input ended before the header says\n");
        for (std::int64_t s = 0; s < n; ++s) {
          const auto at = static_cast<std::size_t>(s * inner),
                     width = static_cast<std::size_t>(inner);
          if (floats)
            stack.add_floats(std::span(float_slices).subspan(at, width));
          else
            stack.add(std::span(slices).subspan(at, width));
        }
        i += n;
      }
      stack.finish(out);
      writer.write(out);
    }
    reader.expect_end();
  } else {
    // Wide slices, piece by piece: each piece of every slice read at its place.
    const std::int64_t end = sseek_l_l("in", 0, 2);
    if (end < desc.bytes) kovtool::data_short(desc.bytes, std::max<std::int64_t>(end, 0));
    if (end > desc.bytes) kovtool::data_longer(desc.bytes, end - desc.bytes);
    const std::size_t size = kovproc::sample_size(kind);
    kovtool::Bytes raw(static_cast<std::size_t>(kTile) * size);
    std::vector<double> piece(static_cast<std::size_t>(kTile)),
        out(static_cast<std::size_t>(kTile));
    for (std::int64_t o = 0; o < outer; ++o)
      for (std::int64_t t0 = 0; t0 < inner; t0 += kTile) {
        const std::int64_t width = std::min(kTile, inner - t0);
        kovproc::SliceStack stack(*mode, norm, static_cast<std::size_t>(width));
        const auto bytes = static_cast<std::size_t>(width) * size;
        for (std::int64_t i = 0; i < length; ++i) {
          const std::int64_t at = ((o * length + i) * inner + t0) * static_cast<std::int64_t>(size);
          if (sseek_l_l("in", at, 0) != at)
            koverr("the data cannot be positioned at byte %lld\n", static_cast<long long>(at));
          std::size_t got = 0;
          while (got < bytes) {
            const int r = sreed("in", raw.data() + got, static_cast<int>(bytes - got));
            if (r <= 0) kovtool::data_short(desc.bytes, at + static_cast<std::int64_t>(got));
            got += static_cast<std::size_t>(r);
          }
          kovproc::to_double(kind, std::span(raw).first(bytes),
                             std::span(piece).first(static_cast<std::size_t>(width)));
          stack.add(std::span(piece).first(static_cast<std::size_t>(width)));
        }
        stack.finish(std::span(out).first(static_cast<std::size_t>(width)));
        writer.write(std::span(out).first(static_cast<std::size_t>(width)));
      }
  }
  kov_end_prog();
  return 0;
}
