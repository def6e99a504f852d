#include "audio/le_logmel.h"

#include <kiss_fftr.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace le {

static_assert(sizeof(kiss_fft_cpx) == 2 * sizeof(float), "kiss_fft_cpx is a re/im pair of floats");

LogMel::LogMel(std::vector<float> window, std::vector<float> binmat)
    : window_(std::move(window)), binmat_(std::move(binmat)) {
  if (window_.size() != static_cast<size_t>(kFft) || binmat_.size() != static_cast<size_t>(kBins) * kBands)
    throw std::runtime_error("log-mel: window of " + std::to_string(window_.size()) + " and mel matrix of " +
                             std::to_string(binmat_.size()) + " floats, expected " + std::to_string(kFft) + " and " +
                             std::to_string(kBins * kBands));
  plan_ = kiss_fftr_alloc(kFft, 0, nullptr, nullptr);
  if (!plan_) throw std::runtime_error("log-mel: FFT plan allocation failed");
  padded_.resize(kSamples + 2 * kPad);
  frame_.resize(kFft);
  mag_.resize(kBins);
  bands_.resize(kBands);
  spectrum_.resize(2 * kBins);
}

LogMel::~LogMel() { kiss_fftr_free(plan_); }

void LogMel::compute(const float* samples, float* out) {
  // Reflection about the end samples, which are not repeated.
  float* p = padded_.data();
  for (int i = 0; i < kPad; ++i) p[i] = samples[kPad - i];
  for (int i = 0; i < kSamples; ++i) p[kPad + i] = samples[i];
  for (int i = 0; i < kPad; ++i) p[kPad + kSamples + i] = samples[kSamples - 2 - i];

  auto* bins = reinterpret_cast<kiss_fft_cpx*>(spectrum_.data());
  for (int f = 0; f < kFrames; ++f) {
    const float* x = p + f * kHop;
    for (int i = 0; i < kFft; ++i) frame_[i] = x[i] * window_[i];
    kiss_fftr(plan_, frame_.data(), bins);
    for (int b = 0; b < kBins; ++b) mag_[b] = std::sqrt(bins[b].r * bins[b].r + bins[b].i * bins[b].i);

    // Bin-major matrix: each bin adds its row into all bands at once.
    for (int m = 0; m < kBands; ++m) bands_[m] = 0.0f;
    for (int b = 0; b < kBins; ++b) {
      const float v = mag_[b];
      const float* row = binmat_.data() + static_cast<size_t>(b) * kBands;
      for (int m = 0; m < kBands; ++m) bands_[m] += v * row[m];
    }
    for (int m = 0; m < kBands; ++m) out[m * kFrames + f] = std::log(bands_[m] + 1e-8f);
  }
}

}  // namespace le
