// SPDX-License-Identifier: Apache-2.0
// kovsynth: seismic data from a velocity model in depth.
//
// Every trace of the model (axis 1 depth, the other axes positions) gives
// a zero-offset trace, or with noff= a gather of noff offsets, made by the
// kernels of kov_proc (kov/proc/synth.hpp: reflections at their exact
// two-way times, moveout with the RMS velocity, a Ricker wavelet).  One
// model trace and one gather are in memory at a time.
//
//   velmodel | kovsynth nt=1000 dt=0.004 fpeak=25 noff=48 doff=50 vrms=vrms.H > gathers.H
#include "kovhelp.hpp"
#include "kovtool.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/synth.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMaxTrace = std::int64_t{1} << 28; // samples of one trace

struct Options {
  kovproc::TimeAxis time;
  double fpeak = 25.0;
  kovproc::Density density = kovproc::Density::constant;
  int noff = 0; // 0: zero-offset traces, no offset axis
  double ooff = 0.0, doff = 0.0;
  std::string vrms; // header of the RMS velocities, empty when not asked
};

Options read_options() {
  Options o;
  const int nt = kovtool::integer_param("nt", 1000);
  if (nt < 1 || nt > kMaxTrace)
    koverr("nt=%d: give 1 to %lld samples\n", nt, static_cast<long long>(kMaxTrace));
  o.time.n = static_cast<std::size_t>(nt);
  o.time.d = kovtool::real_param("dt", 0.004);
  if (!(o.time.d > 0.0)) koverr("dt=%g: the time step must be positive\n", o.time.d);
  o.time.o = 0.0;
  o.fpeak = kovtool::real_param("fpeak", 25.0);
  const double nyquist = 0.5 / o.time.d;
  if (!(o.fpeak > 0.0 && o.fpeak < nyquist))
    koverr("fpeak=%g: the peak frequency must be positive and below the Nyquist frequency %g Hz "
           "of dt=%g\n",
           o.fpeak, nyquist, o.time.d);
  o.density = kovtool::choice_param("density", {"constant", "gardner"}) == "gardner"
                  ? kovproc::Density::gardner
                  : kovproc::Density::constant;
  if (kovtool::text(getch_n, "noff")) {
    o.noff = kovtool::integer_param("noff", 1);
    if (o.noff < 1) koverr("noff=%d: give at least one offset\n", o.noff);
    o.ooff = kovtool::real_param("ooff", 0.0);
    if (o.noff > 1 && !kovtool::text(getch_n, "doff"))
      koverr("doff=: the offset step is needed with noff=%d\n", o.noff);
    o.doff = kovtool::real_param("doff", 0.0);
    if (o.noff > 1 && o.doff == 0.0) koverr("doff=0: the offsets must differ\n");
  } else {
    for (const char *name : {"doff", "ooff"})
      if (kovtool::text(getch_n, name)) koverr("%s=: offsets need noff=\n", name);
  }
  if (auto name = kovtool::text(getch_n, "vrms")) {
    if (name->empty()) koverr("vrms=: give the name of a header file\n");
    o.vrms = *name;
  }
  return o;
}

// The RMS velocity output is removed unless the run completes.
bool g_vrms_pending = false;
void remove_unfinished_vrms() {
  if (g_vrms_pending) aux_unlink("vrms");
}

void write_axes(const Options &o, const std::vector<kovtool::Axis> &model) {
  const kovtool::Axis time{static_cast<int>(o.time.n), o.time.o, o.time.d, "time", "s"};
  // Reflection amplitudes have no unit: not the model's velocities, which
  // its history would otherwise still suggest.
  putch("barlabel", "s", "");
  kovtool::write_axis(1, time);
  std::size_t next = 2;
  if (o.noff > 0)
    kovtool::write_axis(next++, {o.noff, o.ooff, o.doff, "offset",
                                 model.size() > 1 ? model[1].unit : std::string()});
  for (std::size_t k = 1; k < model.size(); ++k, ++next) kovtool::write_axis(next, model[k]);
  if (!o.vrms.empty()) {
    kovtool::write_axis(1, time, "vrms");
    for (std::size_t k = 1; k < model.size(); ++k) kovtool::write_axis(k + 1, model[k], "vrms");
    // The velocities keep the model's unit.
    const std::string unit = kovtool::unit_of_values();
    auxputch("barlabel", "s", unit.c_str(), "vrms");
  }
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string input = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::name_in_messages(input);
  const kovtool::Description desc = kovtool::describe_input();
  kovtool::require_floats(desc);
  const std::vector<kovtool::Axis> &model = desc.axes;
  const std::size_t nz = static_cast<std::size_t>(model[0].n);
  const double dz = model[0].d;
  if (!(dz > 0.0)) koverr("%s: d1=%g: the depth step must be positive\n", input.c_str(), dz);
  if (static_cast<std::int64_t>(nz) > kMaxTrace)
    koverr("%s: n1=%zu: a model trace may have at most %lld samples\n", input.c_str(), nz,
           static_cast<long long>(kMaxTrace));
  const Options o = read_options();
  const std::int64_t traces = desc.samples / static_cast<std::int64_t>(nz);
  if (model.size() + (o.noff > 0 ? 1 : 0) > KOV_MAX_AXES)
    koverr("%s: the model has %zu axes; the gathers would have too many\n", input.c_str(),
           model.size());
  const std::int64_t gather = static_cast<std::int64_t>(o.time.n) * std::max(o.noff, 1);
  if (gather > std::numeric_limits<int>::max() / 4)
    koverr("nt=%zu noff=%d: a gather of more than %d samples is too large\n", o.time.n, o.noff,
           std::numeric_limits<int>::max() / 4);

  if (!o.vrms.empty()) {
    putch("vrms", "s", o.vrms.c_str());
    std::atexit(remove_unfinished_vrms);
    g_vrms_pending = true;
  }
  write_axes(o, model);

  kovtool::BlockReader reader(desc);
  std::vector<float> velocity(nz), out(static_cast<std::size_t>(gather)), vrms(o.time.n);
  const std::span<char> bytes(reinterpret_cast<char *>(velocity.data()), nz * sizeof(float));
  for (std::int64_t trace = 0; trace < traces; ++trace) {
    if (reader.next(bytes) != bytes.size()) kovtool::data_short(desc.bytes, reader.done());
    const std::size_t bad = kovproc::first_bad_velocity(velocity);
    if (bad < nz)
      koverr("%s: the velocity %g at sample %zu of trace %lld is not a positive number\n",
             input.c_str(), static_cast<double>(velocity[bad]), bad + 1,
             static_cast<long long>(trace + 1));
    const std::vector<kovproc::Reflection> refl = kovproc::reflections(velocity, dz, o.density);
    for (int h = 0; h < std::max(o.noff, 1); ++h) {
      const double offset = o.noff > 0 ? o.ooff + o.doff * h : 0.0;
      kovproc::synthesize(
          refl, offset, o.fpeak, o.time,
          std::span<float>(out).subspan(static_cast<std::size_t>(h) * o.time.n, o.time.n));
    }
    if (srite("out", out.data(), static_cast<int>(gather * 4)) != gather * 4)
      koverr("cannot write the data of trace %lld\n", static_cast<long long>(trace + 1));
    if (!o.vrms.empty()) {
      kovproc::rms_velocity(velocity, dz, o.time, vrms);
      const int n = static_cast<int>(o.time.n * 4);
      if (srite("vrms", vrms.data(), n) != n)
        koverr("%s: cannot write the RMS velocities\n", o.vrms.c_str());
    }
  }
  reader.expect_end();
  if (!o.vrms.empty()) {
    auxclose("vrms");
    g_vrms_pending = false;
  }
  kov_end_prog();
  return 0;
}
