// SPDX-License-Identifier: Apache-2.0
// kov._proc: the processing kernels (lib/proc) on NumPy arrays, for
// kov.proc, so that a notebook computes what the programs compute.  The
// trace kernels take C-ordered float32 arrays of traces (traces, samples),
// the samples of a trace being its axis 1; kov.proc checks the parameters
// and shapes the arrays, these functions run the kernels as the programs
// run them, without the interpreter's lock.
#include <kov/proc/bandpass.hpp>
#include <kov/proc/expr.hpp>
#include <kov/proc/gain.hpp>
#include <kov/proc/moveout.hpp>
#include <kov/proc/mute.hpp>
#include <kov/proc/reduce.hpp>
#include <kov/proc/spectra.hpp>
#include <kov/proc/synth.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace py = pybind11;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;

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

// The (traces, samples) shape of a 2-D array of traces.
struct Traces {
  std::size_t count, n;
};

Traces traces_of(const py::array &a, const char *what) {
  if (a.ndim() != 2) throw py::value_error(std::string(what) + " must be 2-D (traces, samples)");
  return {static_cast<std::size_t>(a.shape(0)), static_cast<std::size_t>(a.shape(1))};
}

// A new float32 array of traces holding the samples of `a`.
py::array_t<float> copy_of(const Floats &a) {
  py::array_t<float> out({a.shape(0), a.shape(1)});
  std::copy_n(a.data(), a.size(), out.mutable_data());
  return out;
}

// ValueError naming the first model velocity that is not a finite positive
// number (sample and trace counted from 1).
void require_velocities(const float *in, const Traces &m) {
  for (std::size_t t = 0; t < m.count; ++t) {
    const std::span<const float> v(in + t * m.n, m.n);
    const std::size_t bad = kovproc::first_bad_velocity(v);
    if (bad < m.n) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "the velocity %g at sample %zu of trace %zu is not a positive number",
                    static_cast<double>(v[bad]), bad + 1, t + 1);
      throw py::value_error(text);
    }
  }
}

// Model traces (traces, depths) at depth step dz into traces of nt samples
// at dt: (traces, offsets, nt), one offset (0) when noff is 0, the offsets
// ooff + doff * h otherwise (kovsynth).
py::array_t<float> synth(const Floats &model, double dz, const std::string &density, std::size_t nt,
                         double dt, double fpeak, std::size_t noff, double ooff, double doff) {
  const Traces m = traces_of(model, "the model");
  const kovproc::Density rho =
      density == "gardner" ? kovproc::Density::gardner : kovproc::Density::constant;
  const kovproc::TimeAxis axis{nt, 0.0, dt};
  const std::size_t offsets = std::max<std::size_t>(noff, 1);
  py::array_t<float> result({m.count, offsets, nt});
  float *out = result.mutable_data();
  const float *in = model.data();
  require_velocities(in, m);
  {
    py::gil_scoped_release release;
    for (std::size_t t = 0; t < m.count; ++t) {
      const std::vector<kovproc::Reflection> refl =
          kovproc::reflections(std::span<const float>(in + t * m.n, m.n), dz, rho);
      for (std::size_t h = 0; h < offsets; ++h) {
        const double offset = noff > 0 ? ooff + doff * static_cast<double>(h) : 0.0;
        kovproc::synthesize(refl, offset, fpeak, axis,
                            std::span<float>(out + (t * offsets + h) * nt, nt));
      }
    }
  }
  return result;
}

// The RMS velocities of model traces (traces, depths) on nt times at dt.
py::array_t<float> vrms(const Floats &model, double dz, std::size_t nt, double dt) {
  const Traces m = traces_of(model, "the model");
  const float *in = model.data();
  require_velocities(in, m);
  const kovproc::TimeAxis axis{nt, 0.0, dt};
  py::array_t<float> result({m.count, nt});
  float *out = result.mutable_data();
  {
    py::gil_scoped_release release;
    for (std::size_t t = 0; t < m.count; ++t)
      kovproc::rms_velocity(std::span<const float>(in + t * m.n, m.n), dz, axis,
                            std::span<float>(out + t * nt, nt));
  }
  return result;
}

// Moveout of traces (traces, n1) at `offsets` (one per trace), trace j with
// the velocities of row j / per of `velocity` (rows, vn), or of its only
// row, each row sampled at times vo1 + vd1 * i and resampled to the data's
// as kovnmo resamples its velocity file.
py::array_t<float> nmo(const Floats &data, const Doubles &offsets, const Floats &velocity,
                       std::size_t per, double o1, double d1, double vo1, double vd1, bool inverse,
                       double stretch) {
  const Traces d = traces_of(data, "the data");
  const Traces v = traces_of(velocity, "the velocities");
  if (v.n == 0 || v.count == 0 || static_cast<std::size_t>(offsets.size()) != d.count || per == 0 ||
      (v.count > 1 && v.count * per != d.count) || !(vd1 > 0.0))
    throw py::value_error("the velocities or offsets do not fit the data");
  py::array_t<float> result({d.count, d.n});
  float *out = result.mutable_data();
  const float *in = data.data(), *vel = velocity.data();
  const double *h = offsets.data();
  {
    py::gil_scoped_release release;
    const kovproc::MoveoutAxis axis{d.n, o1, d1};
    std::vector<float> rows(v.count * d.n);
    for (std::size_t r = 0; r < v.count; ++r)
      kovproc::resample_velocity(std::span<const float>(vel + r * v.n, v.n), {v.n, vo1, vd1}, axis,
                                 std::span<float>(rows.data() + r * d.n, d.n));
    const kovproc::SincInterpolator sinc;
    std::vector<double> work;
    for (std::size_t j = 0; j < d.count; ++j) {
      const std::span<const float> trace(in + j * d.n, d.n),
          row(rows.data() + (v.count > 1 ? j / per : 0) * d.n, d.n);
      const std::span<float> moved(out + j * d.n, d.n);
      if (inverse)
        kovproc::inverse_nmo(sinc, trace, moved, axis, row, h[j], work);
      else
        kovproc::nmo(sinc, trace, moved, axis, row, h[j], stretch);
    }
  }
  return result;
}

// Traces (traces, n1) muted at `offsets` (one per trace).
py::array_t<float> mute(const Floats &data, const Doubles &offsets, double o1, double d1,
                        double tmute, double vmute, bool hyperbola, bool below, int ntaper) {
  const Traces d = traces_of(data, "the data");
  if (static_cast<std::size_t>(offsets.size()) != d.count)
    throw py::value_error("the offsets do not fit the data");
  const kovproc::MuteLine line{tmute, vmute, hyperbola, below, ntaper};
  py::array_t<float> result = copy_of(data);
  float *out = result.mutable_data();
  const double *h = offsets.data();
  {
    py::gil_scoped_release release;
    for (std::size_t j = 0; j < d.count; ++j)
      kovproc::mute(line, h[j], o1, d1, std::span<float>(out + j * d.n, d.n));
  }
  return result;
}

// Gain of traces (traces, n1) in kovgain's order: tpow, agc, pclip, scale.
py::array_t<float> gain(const Floats &data, double o1, double d1, std::optional<double> tpow,
                        std::optional<double> agc, std::optional<double> pclip,
                        const std::string &scale) {
  const Traces d = traces_of(data, "the data");
  std::optional<kovproc::Balance> balance;
  if (scale == "rms") balance = kovproc::Balance::rms;
  if (scale == "max") balance = kovproc::Balance::max;
  std::string warning;
  const kovproc::Simd simd = kovproc::simd_for(std::getenv("KOV_SIMD"), warning);
  if (!warning.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0)
    throw py::error_already_set();
  py::array_t<float> result = copy_of(data);
  float *out = result.mutable_data();
  {
    py::gil_scoped_release release;
    // Each gain over every trace in turn (the AGC several traces at once),
    // as kovgain does.
    const auto trace = [&](std::size_t j) { return std::span<float>(out + j * d.n, d.n); };
    if (tpow && d.count > 0) {
      const kovproc::TimePower power(d.n, o1, d1, *tpow);
      for (std::size_t j = 0; j < d.count; ++j) power.apply(trace(j));
    }
    if (agc) kovproc::agc_traces(std::span<float>(out, d.count * d.n), d.n, d1, *agc, simd);
    if (pclip)
      for (std::size_t j = 0; j < d.count; ++j)
        kovproc::clip(trace(j), kovproc::percentile_abs(trace(j), *pclip));
    if (balance) kovproc::balance_traces(std::span<float>(out, d.count * d.n), d.n, *balance, simd);
  }
  return result;
}

// Butterworth filtering of traces (traces, n1) sampled at d1, as kovbandpass:
// the poles of each corner halved for phase "zero" (0 poles: no corner).
py::array_t<float> bandpass(const Floats &data, double d1, double flo, int nplo, double fhi,
                            int nphi, const std::string &phase_name) {
  const Traces d = traces_of(data, "the data");
  const kovproc::Phase phase =
      phase_name == "minimum" ? kovproc::Phase::minimum : kovproc::Phase::zero;
  const int each = phase == kovproc::Phase::zero ? 2 : 1;
  std::vector<kovproc::Section> sections;
  try {
    sections = kovproc::butterworth(flo, nplo / each, fhi, nphi / each, d1);
  } catch (const std::invalid_argument &e) {
    throw py::value_error(std::string(e.what()) + " (d1=" + std::to_string(d1) + " s)");
  }
  std::string warning;
  const kovproc::Simd simd = kovproc::simd_for(std::getenv("KOV_SIMD"), warning);
  if (!warning.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0)
    throw py::error_already_set();
  py::array_t<float> result = copy_of(data);
  float *out = result.mutable_data();
  {
    py::gil_scoped_release release;
    // Groups of traces as the program filters them.
    constexpr std::size_t group = 8;
    for (std::size_t first = 0; first < d.count; first += group) {
      const std::size_t count = std::min(group, d.count - first);
      kovproc::filter(sections, phase, std::span<float>(out + first * d.n, count * d.n), d.n, simd);
    }
  }
  return result;
}

// The amplitude spectra of traces (traces, n1) on nfft points: (traces,
// nfft/2 + 1), or with `all` their mean in double over the traces in order
// (bins,), in decibels with `db`, as kovspectra.
py::array_t<float> spectra(const Floats &data, std::size_t nfft, bool all, bool db) {
  const Traces d = traces_of(data, "the data");
  // Planned and freed holding the interpreter's lock: the planner is not
  // safe to call from two threads at once.
  std::optional<kovproc::AmplitudeSpectrum> spectrum;
  try {
    spectrum.emplace(d.n, nfft);
  } catch (const std::invalid_argument &e) {
    throw py::value_error(e.what());
  }
  const std::size_t bins = spectrum->bins();
  py::array_t<float> result = all ? py::array_t<float>(static_cast<py::ssize_t>(bins))
                                  : py::array_t<float>({d.count, bins});
  float *out = result.mutable_data();
  const float *in = data.data();
  {
    py::gil_scoped_release release;
    kovproc::AmplitudeSpectrum::Work work(*spectrum);
    if (!all) {
      for (std::size_t t = 0; t < d.count; ++t) {
        const std::span<float> a(out + t * bins, bins);
        spectrum->amplitudes(std::span<const float>(in + t * d.n, d.n), a, work);
        if (db) kovproc::to_decibels(a);
      }
    } else {
      kovproc::SpectrumMean mean(bins);
      std::vector<float> a(bins);
      for (std::size_t t = 0; t < d.count; ++t) {
        spectrum->amplitudes(std::span<const float>(in + t * d.n, d.n), a, work);
        mean.add(a);
      }
      mean.mean(std::span<float>(out, bins), db);
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
  m.def("synth", &synth, py::arg("model"), py::arg("dz"), py::arg("density"), py::arg("nt"),
        py::arg("dt"), py::arg("fpeak"), py::arg("noff"), py::arg("ooff"), py::arg("doff"));
  m.def("vrms", &vrms, py::arg("model"), py::arg("dz"), py::arg("nt"), py::arg("dt"));
  m.def("nmo", &nmo, py::arg("data"), py::arg("offsets"), py::arg("velocity"), py::arg("per"),
        py::arg("o1"), py::arg("d1"), py::arg("vo1"), py::arg("vd1"), py::arg("inverse"),
        py::arg("stretch"));
  m.def("mute", &mute, py::arg("data"), py::arg("offsets"), py::arg("o1"), py::arg("d1"),
        py::arg("tmute"), py::arg("vmute"), py::arg("hyperbola"), py::arg("below"),
        py::arg("ntaper"));
  m.def("gain", &gain, py::arg("data"), py::arg("o1"), py::arg("d1"), py::arg("tpow"),
        py::arg("agc"), py::arg("pclip"), py::arg("scale"));
  m.def("bandpass", &bandpass, py::arg("data"), py::arg("d1"), py::arg("flo"), py::arg("nplo"),
        py::arg("fhi"), py::arg("nphi"), py::arg("phase"));
  m.def("fast_fft_size", &kovproc::fast_fft_size, py::arg("n"));
  m.def("spectra", &spectra, py::arg("data"), py::arg("nfft"), py::arg("all"), py::arg("db"));
}
