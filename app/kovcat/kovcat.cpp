// SPDX-License-Identifier: Apache-2.0
// kovcat: datasets joined along one axis.
//
//   kovcat a.H b.H c.H axis=2 > abc.H
//   kovcat day1.H day2.H > both.H          # along the slowest axis
//
// Every other axis must agree.  The output is written in its own order:
// for each index of the axes above the joined one, the matching piece of
// every input in turn, so each input is read once, in order, a piece of at
// most kPiece bytes in memory at a time (small pieces: those of several
// indices of the axes above in one read of each input, kGroup bytes).  Samples move as they are
// stored when the formats are the same, and are otherwise converted exactly or refused.
#include "kovhelp.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20; // bytes moved at a time
// Bytes read at once, all inputs together, when their pieces are small.
constexpr std::int64_t kGroup = std::int64_t{4} << 20;
constexpr std::size_t kMaxAxes = 9;

struct Input {
  std::string file;
  kovtool::Description desc;
  kovproc::Sample kind{};
  std::vector<kovtool::Axis> axes;
  std::int64_t piece = 0; // samples per index of the axes above the joined one
};

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  initpar(argc, argv);
  kov_begin_prog();
  const std::vector<std::string> files = kovtool::plain_arguments(argc, argv);
  if (files.empty()) koverr("give the datasets to join: kovcat a.H b.H ... [axis=k] > out.H\n");

  std::vector<Input> inputs;
  std::size_t count = 1; // axes of the widest input
  for (std::size_t j = 0; j < files.size(); ++j) {
    const std::string tag = "kovcat_input" + std::to_string(j + 1);
    getch_add_string((tag + "=" + files[j]).c_str());
    Input in{files[j], kovtool::describe(tag), {}, {}, 0};
    in.kind = kovtool::sample_kind(in.desc);
    count = std::max(count, in.desc.axes.size());
    inputs.push_back(std::move(in));
  }
  const int axis =
      kovtool::integer_param("axis", static_cast<int>(count), 1, static_cast<int>(kMaxAxes));
  if (static_cast<std::size_t>(axis) > count + 1)
    koverr(
        "axis=%d: the inputs have %zu axes; join along one of them or along axis %zu, a new one\n",
        axis, count, count + 1);
  const bool new_axis = static_cast<std::size_t>(axis) == count + 1;
  const std::size_t axes_out = new_axis ? count + 1 : count;
  const std::size_t a = static_cast<std::size_t>(axis - 1);
  for (Input &in : inputs) in.axes = kovtool::axes_to(in.desc, axes_out);

  // Every axis but the joined one as the first input's.
  const Input &first = inputs.front();
  for (const Input &in : inputs)
    for (std::size_t k = 0; k < axes_out; ++k) {
      if (k == a) continue;
      const kovtool::Axis &x = first.axes[k], &y = in.axes[k];
      const char *what = !kovtool::same_n(x, y)   ? "n"
                         : !kovtool::same_o(x, y) ? "o"
                         : !kovtool::same_d(x, y) ? "d"
                                                  : nullptr;
      if (what != nullptr)
        koverr("%s and %s differ on axis %zu (%s%zu): n%zu=%d o%zu=%g d%zu=%g against n%zu=%d "
               "o%zu=%g d%zu=%g; only axis %d may differ\n",
               first.file.c_str(), in.file.c_str(), k + 1, what, k + 1, k + 1, x.n, k + 1, x.o,
               k + 1, x.d, k + 1, y.n, k + 1, y.o, k + 1, y.d, axis);
    }

  std::vector<kovtool::Axis> axes = first.axes;
  if (new_axis) {
    axes[a] = kovtool::Axis{};
    axes[a].n = static_cast<int>(inputs.size());
  } else {
    std::int64_t total = 0;
    for (std::size_t j = 0; j < inputs.size(); ++j) {
      const kovtool::Axis &y = inputs[j].axes[a];
      total += y.n;
      if (j == 0) continue;
      // The coordinates must go on with the first input's step.
      const kovtool::Axis &x = inputs[j - 1].axes[a];
      kovtool::Axis next = x;
      next.o = x.o + x.d * x.n;
      if (!kovtool::same_d(first.axes[a], y) || !kovtool::same_o(next, y))
        kovwarn(0,
                "%s: warning: the coordinates of axis %d do not go on from %s (o%d=%g d%d=%g, "
                "expected o%d=%g d%d=%g); the output keeps d%d=%g\n",
                inputs[j].file.c_str(), axis, inputs[j - 1].file.c_str(), axis, y.o, axis, y.d,
                axis, next.o, axis, first.axes[a].d, axis, first.axes[a].d);
    }
    if (total > 2147483647)
      koverr("axis=%d: the joined axis would have %lld samples, more than an axis holds\n", axis,
             static_cast<long long>(total));
    axes[a].n = static_cast<int>(total);
  }

  const kovtool::OutputFormat format = kovtool::output_format();
  kovtool::write_axes(axes, count, format);
  for (std::size_t j = 0; j < inputs.size(); ++j) {
    const std::string name = "in" + std::to_string(j + 1);
    putch(name.c_str(), "s", inputs[j].file.c_str());
  }

  // Samples per index of the axes above the joined one, and how many such
  // indices there are.
  std::int64_t outer = 1;
  for (std::size_t k = a + 1; k < axes_out; ++k) outer *= axes[k].n;
  for (Input &in : inputs) {
    in.piece = 1;
    for (std::size_t k = 0; k <= a; ++k) in.piece *= in.axes[k].n;
  }

  struct Mover {
    enum class How { raw, converted, doubles } how;
    std::unique_ptr<kovtool::BlockReader> bytes;
    std::unique_ptr<kovtool::SampleReader> samples;
    std::size_t size;
  };
  std::vector<Mover> movers;
  for (const Input &in : inputs) {
    Mover m{};
    m.how = in.desc.format == format.name ? Mover::How::raw
            : in.kind == format.kind      ? Mover::How::converted
                                          : Mover::How::doubles;
    if (m.how == Mover::How::doubles)
      m.samples = std::make_unique<kovtool::SampleReader>(in.desc);
    else
      m.bytes = std::make_unique<kovtool::BlockReader>(in.desc, m.how == Mover::How::raw);
    m.size = kovproc::sample_size(in.kind);
    movers.push_back(std::move(m));
  }
  std::vector<kovtool::SampleWriter> writers;
  for (const Input &in : inputs) writers.emplace_back(format, false, in.file);
  const kovtool::PageBlock block(kPiece);
  std::vector<double> values(kPiece / 4);
  // Pieces small enough are read for several indices of the axes above at
  // once, each input in one large read, then written in the output's order.
  std::int64_t row = 0; // bytes of every input's piece together
  for (std::size_t j = 0; j < inputs.size(); ++j)
    row += inputs[j].piece * static_cast<std::int64_t>(movers[j].size);
  const std::int64_t group =
      row <= kGroup / 2 ? std::min<std::int64_t>(outer, kGroup / std::max<std::int64_t>(row, 1))
                        : 1;
  if (group > 1) {
    std::vector<kovtool::Bytes> held(inputs.size());
    std::vector<std::vector<double>> held_values(inputs.size());
    for (std::size_t j = 0; j < inputs.size(); ++j) {
      const auto samples = static_cast<std::size_t>(group * inputs[j].piece);
      if (movers[j].how == Mover::How::doubles)
        held_values[j].resize(samples);
      else
        held[j].resize(samples * movers[j].size);
    }
    for (std::int64_t o0 = 0; o0 < outer; o0 += group) {
      const std::int64_t g = std::min(group, outer - o0);
      for (std::size_t j = 0; j < inputs.size(); ++j) {
        Mover &m = movers[j];
        const auto samples = static_cast<std::size_t>(g * inputs[j].piece);
        if (m.how == Mover::How::doubles) {
          if (m.samples->next(std::span(held_values[j]).first(samples)) != samples)
            koverr("%s: the data are short\n", inputs[j].file.c_str());
          continue;
        }
        const std::span<char> bytes(reinterpret_cast<char *>(held[j].data()), samples * m.size);
        if (m.bytes->next(bytes) != bytes.size())
          koverr("%s: the data are short\n", inputs[j].file.c_str());
      }
      for (std::int64_t o = 0; o < g; ++o)
        for (std::size_t j = 0; j < inputs.size(); ++j) {
          Mover &m = movers[j];
          const auto n = static_cast<std::size_t>(inputs[j].piece);
          const auto at = static_cast<std::size_t>(o) * n;
          if (m.how == Mover::How::doubles) {
            writers[j].write(std::span(held_values[j]).subspan(at, n));
            continue;
          }
          const auto bytes = std::span(held[j]).subspan(at * m.size, n * m.size);
          if (m.how == Mover::How::raw) {
            if (srite_raw("out", bytes.data(), static_cast<int>(bytes.size())) !=
                static_cast<int>(bytes.size()))
              koverr("cannot write the output's data\n");
          } else {
            writers[j].write_raw(bytes);
          }
        }
    }
  }
  for (std::int64_t o = 0; group == 1 && o < outer; ++o)
    for (std::size_t j = 0; j < inputs.size(); ++j) {
      Mover &m = movers[j];
      std::int64_t left = inputs[j].piece;
      while (left > 0) {
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(kPiece / 4)));
        if (m.how == Mover::How::doubles) {
          if (m.samples->next(std::span(values).first(n)) != n)
            koverr("%s: the data are short\n", inputs[j].file.c_str());
          writers[j].write(std::span(values).first(n));
        } else {
          const std::span<char> bytes = block.span().first(n * m.size);
          if (m.bytes->next(bytes) != bytes.size())
            koverr("%s: the data are short\n", inputs[j].file.c_str());
          if (m.how == Mover::How::raw) {
            if (srite_raw("out", bytes.data(), static_cast<int>(bytes.size())) !=
                static_cast<int>(bytes.size()))
              koverr("cannot write the output's data\n");
          } else {
            writers[j].write_raw(std::as_bytes(bytes));
          }
        }
        left -= static_cast<std::int64_t>(n);
      }
    }
  for (Mover &m : movers) {
    if (m.samples) m.samples->expect_end();
    if (m.bytes) m.bytes->expect_end();
  }
  kov_end_prog();
  return 0;
}
