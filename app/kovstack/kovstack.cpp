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
// that needs a file, read piece by piece with seeks).
#include "kovhelp.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/reduce.hpp>

#include <algorithm>
#include <cstdlib>
#include <string>
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
  } else if (!tiled) {
    // Slices added as they come, several read at once.
    kovproc::SliceStack stack(*mode, norm, static_cast<std::size_t>(inner));
    std::string warning;
    stack.use(kovproc::simd_for(std::getenv("KOV_SIMD"), warning));
    if (!warning.empty()) kovwarn(0, "%s\n", warning.c_str());
    const std::int64_t per_read =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(kBlock) / inner);
    // Floats are added as they are read, without a copy in doubles.
    const bool floats = kind == kovproc::Sample::float32;
    const auto held = static_cast<std::size_t>(inner * std::min(per_read, length));
    std::vector<double> slices(floats ? 0 : held);
    std::vector<float> float_slices(floats ? held : 0);
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
    std::vector<std::byte> raw(static_cast<std::size_t>(kTile) * size);
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
