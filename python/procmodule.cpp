// SPDX-License-Identifier: Apache-2.0
// kov._proc: the processing kernels (lib/proc) on NumPy arrays, for
// kov.proc, so that a notebook computes what the programs compute.
#include <kov/proc/expr.hpp>
#include <kov/proc/reduce.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

namespace {

// The names of an expression: (name, kind, axis, position) each.
std::vector<py::tuple> names(const std::string &text) {
  std::vector<py::tuple> out;
  try {
    const kovproc::Expression expr(text, 1);
    for (const kovproc::Name &n : expr.names()) {
      const char *kind = n.kind == kovproc::Name::Kind::input        ? "input"
                         : n.kind == kovproc::Name::Kind::coordinate ? "coordinate"
                                                                     : "index";
      out.push_back(py::make_tuple(n.text, kind, n.axis, n.position));
    }
  } catch (const kovproc::ExpressionError &e) {
    throw py::value_error("position " + std::to_string(e.position()) + ": " + e.what());
  }
  return out;
}

// The expression over `count` samples of a grid (n, o, d axis 1 first);
// `inputs` maps input names to flat float64 arrays of `count` samples.
py::array_t<double> evaluate(const std::string &text, const std::map<std::string, Doubles> &inputs,
                             const std::vector<std::int64_t> &n, const std::vector<double> &o,
                             const std::vector<double> &d, std::int64_t count) {
  constexpr std::size_t block = 4096;
  std::unique_ptr<kovproc::Expression> expr;
  try {
    expr = std::make_unique<kovproc::Expression>(text, block);
  } catch (const kovproc::ExpressionError &e) {
    throw py::value_error("position " + std::to_string(e.position()) + ": " + e.what());
  }
  std::vector<const double *> sources(expr->names().size(), nullptr);
  for (std::size_t k = 0; k < expr->names().size(); ++k) {
    const kovproc::Name &name = expr->names()[k];
    if (name.kind != kovproc::Name::Kind::input) continue;
    const auto it = inputs.find(name.text);
    if (it == inputs.end())
      throw py::value_error("unknown name \"" + name.text + "\" at position " +
                            std::to_string(name.position));
    if (it->second.size() != count)
      throw py::value_error("input \"" + name.text + "\" has another shape");
    sources[k] = it->second.data();
  }
  const kovproc::Grid grid{n, o, d};
  py::array_t<double> result(count);
  double *out = result.mutable_data();
  {
    py::gil_scoped_release release;
    for (std::int64_t first = 0; first < count;) {
      const auto m = static_cast<std::size_t>(std::min<std::int64_t>(block, count - first));
      for (std::size_t k = 0; k < sources.size(); ++k)
        if (sources[k] != nullptr) std::copy_n(sources[k] + first, m, expr->values(k).begin());
      kovproc::fill_grid_names(*expr, grid, first, m);
      expr->evaluate(std::span(out + first, m));
      first += static_cast<std::int64_t>(m);
    }
  }
  return result;
}

// A (outer, length, inner) array reduced along its middle axis.
py::array_t<double> stack(const Doubles &a, const std::string &mode_name, bool norm) {
  if (a.ndim() != 3) throw py::value_error("stack needs a 3-D (outer, length, inner) array");
  const auto mode = kovproc::mode_named(mode_name);
  if (!mode) throw py::value_error("mode=" + mode_name + ": give mean, sum, rms, max or min");
  const std::int64_t outer = a.shape(0), length = a.shape(1), inner = a.shape(2);
  py::array_t<double> result({outer, inner});
  double *out = result.mutable_data();
  const double *in = a.data();
  {
    py::gil_scoped_release release;
    if (inner == 1) {
      for (std::int64_t o = 0; o < outer; ++o)
        out[o] = kovproc::reduce_run(*mode, norm,
                                     std::span(in + o * length, static_cast<std::size_t>(length)));
    } else {
      kovproc::SliceStack s(*mode, norm, static_cast<std::size_t>(inner));
      for (std::int64_t o = 0; o < outer; ++o) {
        for (std::int64_t i = 0; i < length; ++i)
          s.add(std::span(in + (o * length + i) * inner, static_cast<std::size_t>(inner)));
        s.finish(std::span(out + o * inner, static_cast<std::size_t>(inner)));
      }
    }
  }
  return result;
}

} // namespace

PYBIND11_MODULE(_proc, m) {
  m.doc() = "The processing kernels of kov on NumPy arrays (used by kov.proc).";
  m.def("names", &names, py::arg("expression"));
  m.def("evaluate", &evaluate, py::arg("expression"), py::arg("inputs"), py::arg("n"), py::arg("o"),
        py::arg("d"), py::arg("count"));
  m.def("stack", &stack, py::arg("array"), py::arg("mode"), py::arg("norm"));
}
