// Log-mel analysis of one speech window for the motion generator's speech
// model: 21 frames of 512 samples at a hop of 320 over the reflect-padded
// window, real FFT, magnitudes of bins 0..256 folded into 80 mel bands,
// natural log with a floor of 1e-8.
#pragma once

#include <vector>

struct kiss_fftr_state;

namespace le {

class LogMel {
 public:
  static constexpr int kSamples = 6480;  // one window: 405 ms at 16 kHz
  static constexpr int kPad = 256;       // reflected at each end
  static constexpr int kFft = 512;
  static constexpr int kHop = 320;
  static constexpr int kFrames = 21;
  static constexpr int kBins = kFft / 2 + 1;
  static constexpr int kBands = 80;

  // window: kFft floats; binmat: kBins x kBands, bin-major. Throws
  // std::runtime_error when a size is wrong or the FFT plan cannot be made.
  LogMel(std::vector<float> window, std::vector<float> binmat);
  ~LogMel();
  LogMel(const LogMel&) = delete;
  LogMel& operator=(const LogMel&) = delete;

  // One window: kSamples samples in, kBands x kFrames log-mel values out,
  // band-major (out[band * kFrames + frame]). Not reentrant: the FFT plan
  // and scratch buffers belong to this object.
  void compute(const float* samples, float* out);

 private:
  std::vector<float> window_;
  std::vector<float> binmat_;
  kiss_fftr_state* plan_ = nullptr;
  std::vector<float> padded_, frame_, mag_, bands_;
  std::vector<float> spectrum_;  // kBins complex values, re/im interleaved
};

}  // namespace le
