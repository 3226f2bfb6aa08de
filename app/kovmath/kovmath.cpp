// SPDX-License-Identifier: Apache-2.0
// kovmath: an expression over datasets, sample by sample.
//
//   kovmath vel=vel.H output="1/vel" > slowness.H
//   kovmath a=run1.H b=run2.H output="a-b" > diff.H
//   velmodel | kovmath output="in*0.001" > km.H
//   kovmath n1=500 n2=300 d1=4 output="sin(2*pi*x1/100)*exp(-x2/1000)" > wave.H
//
// Every name of the expression that is not a coordinate (x1..x9), an index
// (i1..i9) or a constant (pi, e) is an input: `in` the standard input, any
// other the dataset its parameter names.  The inputs must have the same
// axes; their samples are read in blocks, the expression evaluated over
// each block in double precision, and the results rounded once to the
// output's format.
#include "kovhelp.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/expr.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 16; // samples evaluated at a time
constexpr int kMaxAxes = 9;

// Parameters of kovmath itself, which an expression cannot name as inputs.
bool reserved(const std::string &name) {
  static const std::set<std::string> words = {"output", "data_format", "datapath", "par",
                                              "stdin",  "stdout",      "head",     "out"};
  if (words.contains(name)) return true;
  for (const char *prefix : {"n", "o", "d", "label", "unit"}) {
    const std::string p = prefix;
    if (name.size() == p.size() + 1 && name.starts_with(p) && name.back() >= '1' &&
        name.back() <= '9')
      return true;
  }
  return false;
}

struct Input {
  std::string name; // the name in the expression, also its tag
  std::size_t slot; // its place among the expression's names
  kovtool::Description desc;
  std::unique_ptr<kovtool::SampleReader> reader;
};

// Every input the expression names, checked to exist, before any is read.
std::vector<Input> find_inputs(const kovproc::Expression &expr, const std::string &text) {
  std::vector<Input> inputs;
  for (std::size_t k = 0; k < expr.names().size(); ++k) {
    const kovproc::Name &n = expr.names()[k];
    if (n.kind != kovproc::Name::Kind::input) continue;
    if (n.text != "in" && (reserved(n.text) || !kovtool::text(getch_n, n.text.c_str())))
      koverr("output=\"%s\": position %zu: unknown name \"%s\": neither an input given as "
             "%s=file.H, in (the standard input), x1..x9, i1..i9, pi nor e\n",
             text.c_str(), n.position, n.text.c_str(), n.text.c_str());
    inputs.push_back({n.text, k, {}, nullptr});
  }
  return inputs;
}

void describe_inputs(std::vector<Input> &inputs) {
  for (Input &in : inputs) {
    if (in.name == "in") {
      if (auto name = kovtool::text(getch_n, "stdin"))
        kovtool::require_readable(*name);
      else if (::isatty(STDIN_FILENO) == 1)
        koverr("the expression names in, but no header is on standard input (give stdin=file.H)\n");
    }
    in.desc = kovtool::describe(in.name);
    kovtool::sample_kind(in.desc);
  }
  // Every input on the axes of the first.
  const Input &first = inputs.front();
  for (const Input &in : inputs) {
    const std::size_t axes = std::max(first.desc.axes.size(), in.desc.axes.size());
    const auto a = kovtool::axes_to(first.desc, axes), b = kovtool::axes_to(in.desc, axes);
    for (std::size_t k = 0; k < axes; ++k) {
      const char *what = !kovtool::same_n(a[k], b[k])   ? "n"
                         : !kovtool::same_o(a[k], b[k]) ? "o"
                         : !kovtool::same_d(a[k], b[k]) ? "d"
                                                        : nullptr;
      if (what == nullptr) continue;
      const std::string an = kovtool::name_of(first.desc), bn = kovtool::name_of(in.desc);
      koverr("%s (%s) and %s (%s) differ on axis %zu: n%zu=%d o%zu=%g d%zu=%g against n%zu=%d "
             "o%zu=%g d%zu=%g\n",
             an.c_str(), first.name.c_str(), bn.c_str(), in.name.c_str(), k + 1, k + 1, a[k].n,
             k + 1, a[k].o, k + 1, a[k].d, k + 1, b[k].n, k + 1, b[k].o, k + 1, b[k].d);
    }
  }
}

// The axes of an output without inputs, from n1..n9, o1..o9, d1..d9,
// label1..label9 and unit1..unit9 on the command line.
std::vector<kovtool::Axis> axes_from_parameters() {
  if (!kovtool::text(getch_n, "n1"))
    koverr("no input: give the axes of the output (n1=, and n2=... o1=... d1=...)\n");
  std::vector<kovtool::Axis> axes;
  int last = 1;
  for (int k = 1; k <= kMaxAxes; ++k)
    if (kovtool::text(getch_n, ("n" + std::to_string(k)).c_str())) last = k;
  for (int k = 1; k <= last; ++k) {
    const std::string i = std::to_string(k);
    kovtool::Axis a;
    // Recorded with the other axes.
    a.n = kovtool::integer_param(("n" + i).c_str(), 1, 1, 2147483647, kovtool::Record::no);
    for (auto [name, value] : {std::pair{"o", &a.o}, std::pair{"d", &a.d}}) {
      const std::string key = name + i;
      if (auto t = kovtool::text(getch_n, key.c_str())) {
        if (getch_n(key.c_str(), "g", value, 1) != 1 || !std::isfinite(*value))
          koverr("%s=%s: not a finite number\n", key.c_str(), t->c_str());
      }
    }
    a.label = kovtool::text(getch_n, ("label" + i).c_str()).value_or("");
    a.unit = kovtool::text(getch_n, ("unit" + i).c_str()).value_or("");
    axes.push_back(a);
  }
  return axes;
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  initpar(argc, argv);
  kov_begin_prog();
  if (!kovtool::plain_arguments(argc, argv).empty())
    koverr("name every input: kovmath a=file.H output=\"...\" (a plain word is not an input)\n");
  const auto text = kovtool::text(getch_n, "output");
  if (!text) koverr("output=: give the expression to compute, as output=\"a*2\"\n");

  std::unique_ptr<kovproc::Expression> expr;
  try {
    expr = std::make_unique<kovproc::Expression>(*text, kBlock);
  } catch (const kovproc::ExpressionError &e) {
    koverr("output=\"%s\": position %zu: %s\n", text->c_str(), e.position(), e.what());
  }
  std::vector<Input> inputs = find_inputs(*expr, *text);

  std::vector<kovtool::Axis> axes;
  std::size_t input_axes = 0;
  if (inputs.empty()) {
    axes = axes_from_parameters();
  } else {
    describe_inputs(inputs);
    axes = inputs.front().desc.axes;
    for (const Input &in : inputs) input_axes = std::max(input_axes, in.desc.axes.size());
  }
  kovproc::Grid grid;
  std::int64_t samples = 1;
  for (const kovtool::Axis &a : axes) {
    grid.n.push_back(a.n);
    grid.o.push_back(a.o);
    grid.d.push_back(a.d);
    if (samples > std::numeric_limits<std::int64_t>::max() / a.n)
      koverr("the axis lengths multiply to more samples than can be addressed\n");
    samples *= a.n;
  }

  const kovtool::OutputFormat format = kovtool::output_format();
  kovtool::write_axes(axes, input_axes, format);
  putch("output", "s", text->c_str());
  for (const Input &in : inputs) {
    const std::string name = kovtool::name_of(in.desc);
    if (in.name != "in") putch(in.name.c_str(), "s", name.c_str());
  }

  for (Input &in : inputs) in.reader = std::make_unique<kovtool::SampleReader>(in.desc);
  kovtool::SampleWriter writer(format, true, "output=\"" + *text + "\"");
  std::vector<double> out(kBlock);
  for (std::int64_t first = 0; first < samples;) {
    const auto count = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, samples - first));
    for (Input &in : inputs)
      if (in.reader->next(expr->values(in.slot).first(count)) != count)
        kovtool::data_short(in.desc.tag, in.desc.bytes,
                            first * static_cast<std::int64_t>(in.desc.esize));
    kovproc::fill_grid_names(*expr, grid, first, count);
    expr->evaluate(std::span(out).first(count));
    writer.write(std::span(out).first(count));
    first += static_cast<std::int64_t>(count);
  }
  for (Input &in : inputs) in.reader->expect_end();
  kov_end_prog();
  return 0;
}
