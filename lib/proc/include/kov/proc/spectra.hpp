// SPDX-License-Identifier: Apache-2.0
// Amplitude spectra of traces through a real-to-complex FFT in single
// precision, planned once and run on any number of threads.
#ifndef KOV_PROC_SPECTRA_HPP
#define KOV_PROC_SPECTRA_HPP

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace kovproc {

// The smallest size at least `n` whose only prime factors are 2, 3, 5 and
// 7, the sizes the transform handles fastest; 1 for n = 0.  Throws
// std::length_error when there is none below SIZE_MAX / 2.
std::size_t fast_fft_size(std::size_t n);

// |X_k| = |sum_j x_j exp(-2 pi i j k / nfft)|, k = 0 ... nfft/2, of a trace
// of n <= nfft samples padded with zeros to nfft: NumPy's
// abs(rfft(x, nfft)).  The plan is made once by the constructor (not
// thread safe); amplitudes() may then be called from many threads at once.
class AmplitudeSpectrum {
public:
  // Throws std::invalid_argument unless 1 <= n <= nfft and nfft fits an int.
  AmplitudeSpectrum(std::size_t n, std::size_t nfft);
  ~AmplitudeSpectrum();
  AmplitudeSpectrum(const AmplitudeSpectrum &) = delete;
  AmplitudeSpectrum &operator=(const AmplitudeSpectrum &) = delete;

  std::size_t samples() const { return n_; }
  std::size_t nfft() const { return nfft_; }
  std::size_t bins() const { return nfft_ / 2 + 1; }

  // Work space of one thread: the padded trace and its transform.
  class Work {
  public:
    explicit Work(const AmplitudeSpectrum &spectrum);
    ~Work();
    Work(const Work &) = delete;
    Work &operator=(const Work &) = delete;

  private:
    friend class AmplitudeSpectrum;
    float *in_ = nullptr;
    void *out_ = nullptr;
    bool padded_ = false;
  };

  // The amplitudes of `trace` (samples() values) into `amplitude` (bins()
  // values), through `work`.
  void amplitudes(std::span<const float> trace, std::span<float> amplitude, Work &work) const;

private:
  std::size_t n_, nfft_;
  void *plan_ = nullptr;
};

// The mean of the amplitude spectra of many traces: summed in double in
// the order they are added, divided by their number at the end.
class SpectrumMean {
public:
  explicit SpectrumMean(std::size_t bins) : sum_(bins, 0.0) {}
  std::size_t bins() const { return sum_.size(); }
  std::size_t count() const { return count_; }
  // The spectra of whole traces one after the other (bins() values each).
  // Throws std::invalid_argument for a part of a spectrum.
  void add(std::span<const float> amplitudes);
  // The mean into `out` (bins() values), in decibels with `db` (as
  // to_decibels()).  Throws std::logic_error when nothing was added and
  // std::invalid_argument for another length.
  void mean(std::span<float> out, bool db) const;

private:
  std::vector<double> sum_;
  std::size_t count_ = 0;
};

// In place, amplitudes to decibels relative to their largest:
// 20 log10(a / max) over the finite amplitudes, at least -200 (also for a
// spectrum of zeros); NaN stays NaN.
void to_decibels(std::span<float> amplitude);

} // namespace kovproc

#endif
