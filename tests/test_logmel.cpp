// The log-mel analysis against a plain per-bin DFT in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/le_logmel.h"

namespace {

using le::LogMel;

TEST(LogMel, MatchesPlainDftOnEveryBandAndFrame) {
  constexpr int n = LogMel::kSamples, nfft = LogMel::kFft, bands = LogMel::kBands, frames = LogMel::kFrames;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uni(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::vector<float> window(nfft), binmat(LogMel::kBins * bands);
  for (int k = 0; k < nfft; ++k) window[k] = 0.5f - 0.5f * std::cos(2.0f * float(M_PI) * k / nfft);
  for (float& v : binmat) v = uni(rng) < 0.1f ? uni(rng) : 0.0f;  // sparse, like triangular filters

  // Noise; a tone with steep ends (reflection differs there from repeating
  // or zero padding) over noise that keeps every band far above the float
  // FFT's round-off; silence.
  std::vector<std::vector<float>> cases(3, std::vector<float>(n, 0.0f));
  for (int i = 0; i < n; ++i) {
    cases[0][i] = noise(rng);
    cases[1][i] = 0.5f * std::sin(0.07f * i) + 1e-3f * std::max(0, 300 - std::min(i, n - i)) + noise(rng);
  }
  LogMel mel(window, binmat);
  std::vector<float> out(bands * frames);
  std::vector<double> x(nfft), mag(LogMel::kBins);
  for (size_t c = 0; c < cases.size(); ++c) {
    mel.compute(cases[c].data(), out.data());
    for (int f = 0; f < frames; ++f) {
      for (int k = 0; k < nfft; ++k) {
        int i = std::abs(f * LogMel::kHop + k - LogMel::kPad);  // reflected about sample 0 ...
        if (i >= n) i = 2 * (n - 1) - i;                         // ... and about sample n - 1
        x[k] = double(cases[c][i]) * window[k];
      }
      for (int b = 0; b < LogMel::kBins; ++b) {
        double re = 0.0, im = 0.0;
        for (int k = 0; k < nfft; ++k) re += x[k] * std::cos(2 * M_PI * b * k / nfft), im -= x[k] * std::sin(2 * M_PI * b * k / nfft);
        mag[b] = std::hypot(re, im);
      }
      for (int m = 0; m < bands; ++m) {
        double band = 0.0;
        for (int b = 0; b < LogMel::kBins; ++b) band += mag[b] * binmat[b * bands + m];
        // Single-precision FFT and sums: 2e-4 in the log domain is a relative
        // error of 2e-4 in the band energy. Silence is the floor exactly.
        if (c == 2)
          ASSERT_EQ(out[m * frames + f], std::log(1e-8f));
        else
          ASSERT_NEAR(out[m * frames + f], std::log(band + 1e-8), 2e-4) << c << " band " << m << " frame " << f;
      }
    }
  }
  EXPECT_THROW(LogMel(std::vector<float>(511), binmat), std::runtime_error);
}

}  // namespace
