// The log-mel analysis against a plain per-bin DFT in double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/le_logmel.h"

namespace {

using le::LogMel;

// Reflect-padded frame f, windowed, transformed bin by bin, folded through
// the matrix and logged: the analysis written out without an FFT.
std::vector<double> referenceLogMel(const std::vector<float>& x, const std::vector<float>& window,
                                    const std::vector<float>& binmat) {
  const int n = LogMel::kSamples;
  std::vector<double> out(LogMel::kBands * LogMel::kFrames);
  std::vector<double> frame(LogMel::kFft), mag(LogMel::kBins);
  for (int f = 0; f < LogMel::kFrames; ++f) {
    for (int k = 0; k < LogMel::kFft; ++k) {
      int i = f * LogMel::kHop + k - LogMel::kPad;
      if (i < 0) i = -i;
      if (i >= n) i = 2 * (n - 1) - i;
      frame[k] = static_cast<double>(x[i]) * window[k];
    }
    for (int b = 0; b < LogMel::kBins; ++b) {
      double re = 0.0, im = 0.0;
      for (int k = 0; k < LogMel::kFft; ++k) {
        const double phase = -2.0 * M_PI * b * k / LogMel::kFft;
        re += frame[k] * std::cos(phase);
        im += frame[k] * std::sin(phase);
      }
      mag[b] = std::sqrt(re * re + im * im);
    }
    for (int m = 0; m < LogMel::kBands; ++m) {
      double band = 0.0;
      for (int b = 0; b < LogMel::kBins; ++b) band += mag[b] * binmat[b * LogMel::kBands + m];
      out[m * LogMel::kFrames + f] = std::log(band + 1e-8);
    }
  }
  return out;
}

TEST(LogMel, MatchesPlainDftOnEveryBandAndFrame) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uni(0.0f, 1.0f);
  std::vector<float> window(LogMel::kFft), binmat(LogMel::kBins * LogMel::kBands);
  for (int k = 0; k < LogMel::kFft; ++k) window[k] = 0.5f - 0.5f * std::cos(2.0f * float(M_PI) * k / LogMel::kFft);
  // Sparse non-negative rows, like triangular filters, with some bands fed
  // by one bin only.
  for (float& v : binmat) v = uni(rng) < 0.1f ? uni(rng) : 0.0f;

  const int n = LogMel::kSamples;
  struct Case {
    const char* name;
    std::vector<float> x;
  };
  std::vector<Case> cases = {{"noise", {}}, {"ramp_and_tone", {}}, {"silence", std::vector<float>(n, 0.0f)}};
  std::normal_distribution<float> noise(0.0f, 0.1f);
  for (int i = 0; i < n; ++i) {
    cases[0].x.push_back(noise(rng));
    // Steep at both ends, so the reflected edges differ from a repeated or
    // zero padding; a little noise keeps every band far above the float
    // FFT's round-off, which a pure tone leaves the bands away from it in.
    cases[1].x.push_back(0.5f * std::sin(0.07f * i) + (i < 300 ? 1e-3f * i : 0.0f) +
                         (i > n - 300 ? 1e-3f * (n - i) : 0.0f) + 0.1f * noise(rng));
  }

  LogMel mel(window, binmat);
  std::vector<float> out(LogMel::kBands * LogMel::kFrames);
  for (const Case& c : cases) {
    mel.compute(c.x.data(), out.data());
    const std::vector<double> ref = referenceLogMel(c.x, window, binmat);
    double worst = 0.0;
    for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::abs(out[i] - ref[i]));
    // Single-precision FFT and sums: 2e-4 in the log domain is a relative
    // error of 2e-4 in the band energy.
    EXPECT_LT(worst, 2e-4) << c.name;
  }
  // Silence is the floor exactly.
  mel.compute(cases[2].x.data(), out.data());
  for (float v : out) ASSERT_EQ(v, std::log(1e-8f));
}

TEST(LogMel, RefusesTablesOfTheWrongSize) {
  EXPECT_THROW(LogMel(std::vector<float>(511), std::vector<float>(LogMel::kBins * LogMel::kBands)), std::runtime_error);
  EXPECT_THROW(LogMel(std::vector<float>(512), std::vector<float>(20559)), std::runtime_error);
}

}  // namespace
