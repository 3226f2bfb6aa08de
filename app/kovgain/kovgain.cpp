// SPDX-License-Identifier: Apache-2.0
// kovgain: gain of every trace (the samples along axis 1), in this order:
// a power of time (tpow=), automatic gain control (agc=), clipping at a
// percentile of the magnitudes (pclip=), balancing (scale=).  The kernels
// are the processing library's (kov/proc/gain.hpp).
//
//   kovgain agc=0.5 < in.H > out.H
//   kovgain tpow=2 pclip=99 scale=rms < in.H > out.H
#include "kovhelp.hpp"
#include "kovtool.hpp"
#include "kovtraces.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/gain.hpp>
#include <kov/proc/simd.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Gain {
  std::optional<double> agc, tpow, pclip;
  std::optional<kovproc::Balance> scale;
};

Gain parameters(const kovtool::TraceInput &in) {
  Gain g;
  const kovtool::TraceAxis &axis = in.axis1();
  g.tpow = kovtool::optional_real("tpow");
  if (g.tpow && *g.tpow < 0.0) {
    // A sample at time 0 would be multiplied by infinity.
    const double at = axis.d != 0.0 ? -axis.o / axis.d : (axis.o == 0.0 ? 0.0 : -1.0);
    if (at >= 0.0 && at < static_cast<double>(axis.n) && at == std::floor(at))
      koverr("%s: tpow=%g: sample %.0f of axis 1 lies at time 0, where a negative power is "
             "infinite\n",
             in.name().c_str(), *g.tpow, at);
  }
  g.agc = kovtool::optional_real("agc");
  if (g.agc) {
    if (*g.agc <= 0.0)
      koverr("%s: agc=%g: the window must be longer than 0 seconds\n", in.name().c_str(), *g.agc);
    if (!(axis.d > 0.0))
      koverr("%s: agc=%g: axis 1 must be sampled forwards for a window (d1=%g)\n",
             in.name().c_str(), *g.agc, axis.d);
  }
  g.pclip = kovtool::optional_real("pclip");
  if (g.pclip && (*g.pclip <= 0.0 || *g.pclip > 100.0))
    koverr("%s: pclip=%g: a percentile is above 0 and at most 100\n", in.name().c_str(), *g.pclip);
  if (auto scale = kovtool::optional_choice("scale", {"rms", "max"}))
    g.scale = *scale == "rms" ? kovproc::Balance::rms : kovproc::Balance::max;
  if (!g.agc && !g.tpow && !g.pclip && !g.scale)
    koverr("%s: no gain asked for: give agc=, tpow=, pclip= or scale=\n", in.name().c_str());
  return g;
}

// The gains of a block of whole traces, each trace in the manual's order;
// the AGC several traces at once.  `power`: the power of time's factors
// when tpow= is given.
void apply(const Gain &g, const kovproc::TimePower *power, const kovtool::TraceAxis &axis,
           std::span<float> block, std::size_t n1, kovproc::Simd simd) {
  const std::size_t traces = block.size() / n1;
  const auto trace = [&](std::size_t t) { return block.subspan(t * n1, n1); };
  if (power)
    for (std::size_t t = 0; t < traces; ++t) power->apply(trace(t));
  if (g.agc) kovproc::agc_traces(block, n1, axis.d, *g.agc, simd);
  if (g.pclip)
    for (std::size_t t = 0; t < traces; ++t)
      kovproc::clip(trace(t), kovproc::percentile_abs(trace(t), *g.pclip));
  if (g.scale) kovproc::balance_traces(block, n1, *g.scale, simd);
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string name = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::name_in_messages(name);
  kovtool::TraceInput in(name);
  const Gain g = parameters(in);
  const std::size_t n1 = in.n1();
  std::string warning;
  const kovproc::Simd simd = kovproc::simd_for(std::getenv("KOV_SIMD"), warning);
  if (!warning.empty()) kovwarn(0, "%s\n", warning.c_str());
  // The factors of the power of time, once for every trace; a refusal is
  // reported as the first block's.
  std::optional<kovproc::TimePower> power;
  std::string refused;
  if (g.tpow) {
    try {
      power.emplace(n1, in.axis1().o, in.axis1().d, *g.tpow);
    } catch (const std::invalid_argument &e) {
      refused = e.what();
    }
  }
  kovtool::run_blocks(in, [&](kovtool::Floats &block, kovtool::Floats &out) {
    if (!refused.empty()) throw std::invalid_argument(refused);
    apply(g, power ? &*power : nullptr, in.axis1(), block, n1, simd);
    out.swap(block);
  });
  kov_end_prog();
  return 0;
}
