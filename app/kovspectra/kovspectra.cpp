// SPDX-License-Identifier: Apache-2.0
// kovspectra: the amplitude spectrum along axis 1 of every trace, or their
// average, in amplitude or in decibels.  The transform is the processing
// library's (kov/proc/spectra.hpp).
//
//   kovspectra < in.H > spectra.H
//   kovspectra all=y db=y < in.H > average.H
#include "kovhelp.hpp"
#include "kovtool.hpp"
#include "kovtraces.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/spectra.hpp>

#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string name = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::name_in_messages(name);
  kovtool::TraceInput in(name);
  const kovtool::TraceAxis axis = kovtool::forward_time_axis(in.description().axes[0], name);
  const bool all = kovtool::flag_param("all", false), db = kovtool::flag_param("db", false);
  const std::size_t n1 = in.n1();
  std::size_t nfft = 0;
  const std::optional<int> asked = kovtool::optional_integer("nfft"); // recorded when given
  if (asked) {
    if (*asked < 0 || static_cast<std::size_t>(*asked) < n1)
      koverr("%s: nfft=%d: shorter than a trace (n1=%zu); its samples would be lost\n",
             name.c_str(), *asked, n1);
    nfft = static_cast<std::size_t>(*asked);
  } else {
    try {
      nfft = kovproc::fast_fft_size(n1);
    } catch (const std::length_error &) {
      koverr("%s: n1=%zu: no transform size this large\n", name.c_str(), n1);
    }
  }
  if (nfft > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    koverr("%s: nfft=%zu: larger than the transform takes (at most %d)\n", name.c_str(), nfft,
           std::numeric_limits<int>::max());
  // The transform is planned once the first block of traces is there: a
  // header that declares traces longer than its data ends with the
  // short-data message, before the plan's memory is taken.
  std::optional<kovproc::AmplitudeSpectrum> spectrum;
  const std::size_t bins = nfft / 2 + 1;

  // The output's axes: frequency on axis 1, the others kept (all=y: one
  // trace, every other axis of length 1).
  const int one = 1, ifft = static_cast<int>(nfft);
  const double df = 1.0 / (static_cast<double>(nfft) * axis.d);
  kovtool::write_axis(1, {static_cast<int>(bins), 0.0, df, "frequency", "Hz"});
  if (all)
    for (std::size_t k = 2; k <= in.description().axes.size(); ++k)
      putch(("n" + std::to_string(k)).c_str(), "d", &one);
  if (!asked) putch("nfft", "d", &ifft);

  std::once_flag planned;
  std::optional<kovproc::SpectrumMean> mean; // all=y, from the first block on
  const auto spectra = [&](kovtool::Floats &block, kovtool::Floats &amplitudes) {
    const std::size_t traces = block.size() / n1;
    std::call_once(planned, [&] { spectrum.emplace(n1, nfft); });
    amplitudes.resize(traces * bins);
    kovproc::AmplitudeSpectrum::Work work(*spectrum);
    for (std::size_t t = 0; t < traces; ++t) {
      const std::span<float> a = std::span<float>(amplitudes).subspan(t * bins, bins);
      spectrum->amplitudes(std::span<const float>(block).subspan(t * n1, n1), a, work);
      if (db && !all) kovproc::to_decibels(a);
    }
  };
  if (!all) {
    kovtool::run_blocks(in, spectra);
  } else {
    // Summed in the order of the traces, whatever the threads did; nothing
    // is written until the end.
    kovtool::run_blocks(in, spectra, [&](std::span<const float> a) {
      if (!mean) mean.emplace(bins);
      mean->add(a);
    });
    if (!mean) koverr("%s: all=y: there are no traces to average\n", name.c_str());
    std::vector<float> average(bins);
    mean->mean(average, db);
    kovtool::write_floats(average);
  }
  kov_end_prog();
  return 0;
}
