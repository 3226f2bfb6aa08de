// SPDX-License-Identifier: Apache-2.0
// Amplitude spectra (kov/proc/spectra.hpp), on FFTW in single precision.
#include <kov/proc/spectra.hpp>

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kovproc {

std::size_t fast_fft_size(std::size_t n) {
  for (std::size_t m = std::max<std::size_t>(n, 1); m < std::numeric_limits<std::size_t>::max() / 2;
       ++m) {
    std::size_t r = m;
    for (const std::size_t p : {2u, 3u, 5u, 7u})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
  throw std::length_error("no transform size this large");
}

AmplitudeSpectrum::AmplitudeSpectrum(std::size_t n, std::size_t nfft) : n_(n), nfft_(nfft) {
  if (n < 1 || nfft < n)
    throw std::invalid_argument("a transform of " + std::to_string(nfft) +
                                " samples cannot hold a trace of " + std::to_string(n));
  if (nfft > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw std::invalid_argument("a transform of " + std::to_string(nfft) +
                                " samples is larger than the transform library takes");
  // The plan is made on arrays of the work spaces' alignment, so that it
  // runs on any of them.
  Work probe(*this);
  plan_ = fftwf_plan_dft_r2c_1d(static_cast<int>(nfft), probe.in_,
                                static_cast<fftwf_complex *>(probe.out_), FFTW_ESTIMATE);
  if (plan_ == nullptr) throw std::runtime_error("the transform could not be planned");
}

AmplitudeSpectrum::~AmplitudeSpectrum() {
  if (plan_ != nullptr) fftwf_destroy_plan(static_cast<fftwf_plan>(plan_));
}

AmplitudeSpectrum::Work::Work(const AmplitudeSpectrum &spectrum) {
  in_ = fftwf_alloc_real(spectrum.nfft());
  out_ = fftwf_alloc_complex(spectrum.bins());
  if (in_ == nullptr || out_ == nullptr) {
    fftwf_free(in_);
    fftwf_free(out_);
    throw std::bad_alloc();
  }
}

AmplitudeSpectrum::Work::~Work() {
  fftwf_free(in_);
  fftwf_free(out_);
}

void AmplitudeSpectrum::amplitudes(std::span<const float> trace, std::span<float> amplitude,
                                   Work &work) const {
  if (trace.size() != n_ || amplitude.size() != bins())
    throw std::invalid_argument("a trace or spectrum of another length than planned");
  auto *out = static_cast<fftwf_complex *>(work.out_);
  if (n_ == nfft_ &&
      fftwf_alignment_of(const_cast<float *>(trace.data())) == fftwf_alignment_of(work.in_)) {
    // A trace that needs no padding is transformed where it is: the
    // transform of real samples leaves its input as it is.
    fftwf_execute_dft_r2c(static_cast<fftwf_plan>(plan_), const_cast<float *>(trace.data()), out);
  } else {
    // The padding after the trace is zeroed once, at the first use (so
    // that the memory of a work space is touched only once there is a
    // trace), and stays zero: the transform does not write its input.
    if (!work.padded_) {
      std::fill(work.in_ + n_, work.in_ + nfft_, 0.0f);
      work.padded_ = true;
    }
    std::copy(trace.begin(), trace.end(), work.in_);
    fftwf_execute_dft_r2c(static_cast<fftwf_plan>(plan_), work.in_, out);
  }
  // The squares of float components cannot overflow in double, so the
  // plain root is as exact as hypot and many times faster.
  std::size_t k = 0;
#if defined(__SSE2__)
  // Two bins at a time: the same correctly rounded operations.
  for (; k + 2 <= amplitude.size(); k += 2) {
    const __m128 pair = _mm_loadu_ps(&out[k][0]); // re0 im0 re1 im1
    const __m128d first = _mm_cvtps_pd(pair), second = _mm_cvtps_pd(_mm_movehl_ps(pair, pair));
    const __m128d a = _mm_mul_pd(first, first), b = _mm_mul_pd(second, second);
    const __m128d sum = _mm_add_pd(_mm_unpacklo_pd(a, b), _mm_unpackhi_pd(a, b));
    _mm_storel_pi(reinterpret_cast<__m64 *>(amplitude.data() + k), _mm_cvtpd_ps(_mm_sqrt_pd(sum)));
  }
#endif
  for (; k < amplitude.size(); ++k) {
    const double re = out[k][0], im = out[k][1];
    amplitude[k] = static_cast<float>(std::sqrt(re * re + im * im));
  }
}

void SpectrumMean::add(std::span<const float> amplitudes) {
  const std::size_t bins = sum_.size();
  if (bins == 0 || amplitudes.size() % bins != 0)
    throw std::invalid_argument("spectra of " + std::to_string(amplitudes.size()) +
                                " values are not whole spectra of " + std::to_string(bins));
  for (std::size_t at = 0; at < amplitudes.size(); at += bins) {
    for (std::size_t k = 0; k < bins; ++k) sum_[k] += amplitudes[at + k];
    ++count_;
  }
}

void SpectrumMean::mean(std::span<float> out, bool db) const {
  if (out.size() != sum_.size())
    throw std::invalid_argument("a mean of " + std::to_string(out.size()) +
                                " values for spectra of " + std::to_string(sum_.size()));
  if (count_ == 0) throw std::logic_error("there are no spectra to average");
  const auto count = static_cast<double>(count_);
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = static_cast<float>(sum_[k] / count);
  if (db) to_decibels(out);
}

void to_decibels(std::span<float> amplitude) {
  float top = 0.0f;
  for (const float a : amplitude)
    if (std::isfinite(a)) top = std::max(top, a);
  for (float &a : amplitude) {
    if (std::isnan(a)) continue;
    const double ratio = top > 0.0f ? static_cast<double>(a) / top : 0.0;
    a = static_cast<float>(std::max(-200.0, 20.0 * std::log10(ratio)));
  }
}

} // namespace kovproc
