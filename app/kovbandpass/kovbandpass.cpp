// SPDX-License-Identifier: Apache-2.0
// kovbandpass: a Butterworth band-pass, high-pass or low-pass filter along
// axis 1 of every trace, zero phase (the filter of half the poles forwards
// and backwards) or minimum phase.  The sections and the filter are the
// processing library's (kov/proc/bandpass.hpp).
//
//   kovbandpass flo=5 fhi=60 < in.H > out.H
//   kovbandpass fhi=30 nphi=8 phase=minimum < in.H > out.H
#include "kovhelp.hpp"
#include "kovtool.hpp"
#include "kovtraces.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/bandpass.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Request {
  std::optional<double> flo, fhi;
  int nplo = 6, nphi = 6;
  kovproc::Phase phase = kovproc::Phase::zero;
};

constexpr int kMostPoles = 64;

Request parameters(const kovtool::TraceInput &in) {
  Request r;
  const char *file = in.name().c_str();
  r.flo = kovtool::optional_real("flo");
  r.fhi = kovtool::optional_real("fhi");
  if (!r.flo && !r.fhi) koverr("%s: no corner frequency: give flo=, fhi= or both\n", file);
  // The poles of a corner not asked for are neither used nor recorded.
  if (r.flo) r.nplo = kovtool::integer_param("nplo", r.nplo);
  if (r.fhi) r.nphi = kovtool::integer_param("nphi", r.nphi);
  if (kovtool::choice_param("phase", {"zero", "minimum"}) == "minimum")
    r.phase = kovproc::Phase::minimum;
  const auto poles = [&](const char *name, int n, bool used) {
    if (!used) return;
    if (n < 1 || n > kMostPoles)
      koverr("%s: %s=%d: the number of poles is 1 to %d\n", file, name, n, kMostPoles);
    if (r.phase == kovproc::Phase::zero && n % 2 != 0)
      koverr("%s: %s=%d: phase=zero applies half the poles each way, so their number must be "
             "even\n",
             file, name, n);
  };
  poles("nplo", r.nplo, r.flo.has_value());
  poles("nphi", r.nphi, r.fhi.has_value());
  if (r.flo && r.fhi && *r.flo >= *r.fhi)
    koverr("%s: flo=%g fhi=%g: the low corner must be below the high one\n", file, *r.flo, *r.fhi);
  return r;
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string name = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::name_in_messages(name);
  kovtool::TraceInput in(name);
  const Request r = parameters(in);
  const int each = r.phase == kovproc::Phase::zero ? 2 : 1; // passes through the filter
  std::vector<kovproc::Section> sections;
  try {
    sections = kovproc::butterworth(r.flo.value_or(0.0), r.flo ? r.nplo / each : 0,
                                    r.fhi.value_or(0.0), r.fhi ? r.nphi / each : 0, in.axis1().d);
  } catch (const std::invalid_argument &e) {
    koverr("%s: %s (d1=%g s)\n", name.c_str(), e.what(), in.axis1().d);
  }
  std::string warning;
  const kovproc::Simd simd = kovproc::simd_for(std::getenv("KOV_SIMD"), warning);
  if (!warning.empty()) kovwarn(0, "%s\n", warning.c_str());

  const std::size_t n1 = in.n1();
  kovtool::run_blocks(in, [&](kovtool::Floats &block, kovtool::Floats &out) {
    kovproc::filter(sections, r.phase, block, n1, simd);
    out.swap(block);
  });
  kov_end_prog();
  return 0;
}
