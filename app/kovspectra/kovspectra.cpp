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

#include <kov/kovlib.h>
#include <kov/proc/spectra.hpp>

#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

bool yes_or_no(const std::string &file, const char *name) {
  const std::optional<std::string> value = kovtool::text(getch_n, name);
  if (!value || *value == "n" || *value == "no") return false;
  if (*value == "y" || *value == "yes") return true;
  koverr("%s: %s=%s: give y or n\n", file.c_str(), name, value->c_str());
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::string name = kovtool::start(argc, argv);
  kov_begin_prog();
  kovtool::TraceInput in(name);
  const kovtool::TraceAxis &axis = in.axis1();
  const bool all = yes_or_no(name, "all"), db = yes_or_no(name, "db");
  if (!(axis.d > 0.0))
    koverr("%s: d1=%g: a spectrum needs samples along axis 1 at a positive interval\n",
           name.c_str(), axis.d);
  const std::size_t n1 = in.n1();
  std::size_t nfft = 0;
  int asked = 0;
  if (kovtool::number(getch_n, "nfft", asked)) {
    if (asked < 0 || static_cast<std::size_t>(asked) < n1)
      koverr("%s: nfft=%d: shorter than a trace (n1=%zu); its samples would be lost\n",
             name.c_str(), asked, n1);
    nfft = static_cast<std::size_t>(asked);
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
  const int nout = static_cast<int>(bins), one = 1, ifft = static_cast<int>(nfft);
  const double zero = 0.0, df = 1.0 / (static_cast<double>(nfft) * axis.d);
  putch("n1", "d", &nout);
  putch("o1", "g", &zero);
  putch("d1", "g", &df);
  putch("label1", "s", "frequency");
  putch("unit1", "s", "Hz");
  if (all)
    for (std::size_t k = 2; k <= in.description().axes.size(); ++k)
      putch(("n" + std::to_string(k)).c_str(), "d", &one);
  putch("nfft", "d", &ifft);
  putch("all", "s", all ? "y" : "n");
  putch("db", "s", db ? "y" : "n");

  std::once_flag planned;
  std::optional<kovproc::SpectrumMean> mean; // all=y, from the first block on
  const auto spectra = [&](std::vector<float> &block, std::vector<float> &amplitudes) {
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
