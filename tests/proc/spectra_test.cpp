// SPDX-License-Identifier: Apache-2.0
// Transform sizes, amplitudes of known signals, one plan on many threads.
// The comparison with NumPy is through kovspectra (tests/app).
#include <kov/proc/spectra.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

TEST(Spectra, FastSizes) {
  EXPECT_EQ(kovproc::fast_fft_size(0), 1u);
  EXPECT_EQ(kovproc::fast_fft_size(1), 1u);
  EXPECT_EQ(kovproc::fast_fft_size(11), 12u);
  EXPECT_EQ(kovproc::fast_fft_size(121), 125u);
  EXPECT_EQ(kovproc::fast_fft_size(1001), 1008u);
  EXPECT_EQ(kovproc::fast_fft_size(1024), 1024u);
  EXPECT_THROW(kovproc::AmplitudeSpectrum(10, 9), std::invalid_argument);
  EXPECT_THROW(kovproc::AmplitudeSpectrum(0, 9), std::invalid_argument);
}

TEST(Spectra, CosineAndConstantOnManyThreads) {
  // A cosine of 5 cycles in 64 samples padded to 80: 16 samples of zeros
  // leave the reused work space zero after every trace.
  const std::size_t n = 64, nfft = 80;
  const kovproc::AmplitudeSpectrum spectrum(n, nfft);
  std::vector<float> cosine(n), ones(n, 1.0f);
  for (std::size_t j = 0; j < n; ++j)
    cosine[j] = static_cast<float>(std::cos(2 * std::numbers::pi * 5 * j / 64.0));
  std::vector<float> want(spectrum.bins());
  {
    kovproc::AmplitudeSpectrum::Work work(spectrum);
    spectrum.amplitudes(ones, want, work);
    EXPECT_NEAR(want[0], 64.0f, 1e-4f);
    spectrum.amplitudes(cosine, want, work);
  }
  std::vector<std::vector<float>> got(4, std::vector<float>(spectrum.bins()));
  {
    std::vector<std::jthread> threads;
    for (auto &g : got)
      threads.emplace_back([&] {
        kovproc::AmplitudeSpectrum::Work work(spectrum);
        for (int repeat = 0; repeat < 50; ++repeat) {
          spectrum.amplitudes(ones, g, work);
          spectrum.amplitudes(cosine, g, work);
        }
      });
  }
  for (const auto &g : got) EXPECT_EQ(g, want);
  // Energy: sum x^2 = 32 from the amplitudes, nfft even.
  double energy = want[0] * want[0] + want[40] * want[40];
  for (std::size_t k = 1; k < 40; ++k) energy += 2.0 * want[k] * want[k];
  EXPECT_NEAR(energy / nfft, 32.0, 1e-4);
}

TEST(Spectra, MeanSumsInOrderWhateverTheBatches) {
  // Amplitudes of very different sizes: the order of the additions shows.
  const std::vector<float> a = {1e8f, 1.0f, 3.0f, 1.0f, -1e8f + 1, 0.5f, 0.25f, 7.0f, 2.0f};
  kovproc::SpectrumMean whole(3), batches(3);
  whole.add(a);
  batches.add(std::span(a).first(3));
  batches.add(std::span(a).subspan(3));
  std::vector<double> sum(3, 0.0);
  for (std::size_t t = 0; t < 3; ++t)
    for (std::size_t k = 0; k < 3; ++k) sum[k] += a[t * 3 + k];
  std::vector<float> got(3), again(3), db(3);
  whole.mean(got, false);
  batches.mean(again, false);
  batches.mean(db, true);
  EXPECT_EQ(whole.count(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(got[k], static_cast<float>(sum[k] / 3.0));
    EXPECT_EQ(again[k], got[k]);
  }
  std::vector<float> want_db = got;
  kovproc::to_decibels(want_db);
  EXPECT_EQ(db, want_db);
  EXPECT_THROW(whole.add(std::span(a).first(4)), std::invalid_argument);
  EXPECT_THROW(whole.mean(std::span(got).first(2), false), std::invalid_argument);
  kovproc::SpectrumMean none(3);
  EXPECT_THROW(none.mean(got, false), std::logic_error);
}

TEST(Spectra, Decibels) {
  std::vector<float> a = {10, 1, 0, std::nanf("")};
  kovproc::to_decibels(a);
  EXPECT_FLOAT_EQ(a[0], 0.0f);
  EXPECT_FLOAT_EQ(a[1], -20.0f);
  EXPECT_FLOAT_EQ(a[2], -200.0f);
  EXPECT_TRUE(std::isnan(a[3]));
}

} // namespace
