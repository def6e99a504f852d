// The FCA stream on the probe models: the long encoder probe echoes each
// frame's index in its window and its window's samples, the FCA probe echoes
// channel 0 of its seven conditioning frames and counts its steps. The
// expected conditioning is computed here from those echoes with the plain
// running 20th-percentile rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "audio_fixtures.h"
#include "le/le_fca.h"

namespace {

using namespace le::test;

const std::string kProbe = LE_FIXTURE_DIR "/audio_probe_long";

struct Fca {
  Fca() : f(le_fca_create((kProbe + "/audio_encoder.onnx").c_str(), (kProbe + "/fca_stream.onnx").c_str(), 1)) {
    if (!f) throw std::runtime_error(le_fca_last_error());
  }
  ~Fca() { le_fca_destroy(f); }
  le_fca* f;
};

TEST(Fca, FrameCountsAndLimits) {
  Fca fca;
  const std::vector<float> pcm = noise(1281, 1);
  struct Case {
    int n, maxFrames, want;
  };
  for (const Case& c : {Case{640, 1, 1}, Case{641, 2, 2}, Case{641, 1, -1}, Case{1, 1, 1}, Case{0, 0, 0},
                        Case{1281, 2, -1}, Case{1280, 3, 2}}) {
    std::vector<float> out((c.maxFrames + 1) * kKp, 7.0f);
    EXPECT_EQ(le_fca_deltas(fca.f, pcm.data(), c.n, out.data(), c.maxFrames), c.want) << c.n;
    const size_t written = std::max(c.want, 0) * kKp;  // and not a float more
    EXPECT_TRUE(std::all_of(out.begin() + written, out.end(), [](float v) { return v == 7.0f; })) << c.n;
  }
  EXPECT_EQ(le_fca_create("/nonexistent/speech.onnx", (kProbe + "/fca_stream.onnx").c_str(), 1), nullptr);
  EXPECT_EQ(std::string(le_fca_last_error()).rfind("le_fca_create: ", 0), 0u) << le_fca_last_error();
}

TEST(Fca, RunningCentringAndContext) {
  // Clicks on frames 1..29 of quiet noise give those frames large norms, so
  // the quiet frames after them fall below the 20th percentile of the norms
  // so far and stay out of the running mean.
  constexpr int F = 260;
  std::vector<float> pcm = noise(F * 640, 2, 0.01f);
  for (int k = 1; k < 30; ++k) pcm[640 * k] = 1.0f;
  Fca fca;
  std::vector<float> out(F * kKp);
  ASSERT_EQ(le_fca_deltas(fca.f, pcm.data(), F * 640, out.data(), F), F);
  pcm.resize(500 * 640);  // silence past the audio

  // Frame f's feature from the probe (mean of layers 4..9): its index k in
  // the window at s, 6.5, window samples 640k and 0, normalised over the window.
  std::vector<double> norms, centred;
  double sum = 0;  // of channel 0 over the frames counted
  int count = 0, left = 0;
  for (int f = 0; f < F; ++f) {
    const int s = f < 200 ? 0 : (f / 100 - 1) * 100, k = f - s;
    double mean = 0, var = 0;
    for (int i = 0; i < 128000; ++i) mean += pcm[640 * s + i] / 128000.0;
    for (int i = 0; i < 128000; ++i) var += (pcm[640 * s + i] - mean) * (pcm[640 * s + i] - mean) / 128000;
    const double scale = 1 / std::sqrt(var + 1e-7), x = (pcm[640 * f] - mean) * scale,
                 x0 = (pcm[640 * s] - mean) * scale;
    norms.push_back(std::sqrt(k * k + 6.5 * 6.5 + x * x + x0 * x0));
    std::vector<double> sorted = norms;
    std::sort(sorted.begin(), sorted.end());
    const double p = 0.2 * f, lo = std::floor(p), thr = sorted[lo] + (sorted[std::ceil(p)] - sorted[lo]) * (p - lo);
    if (f <= 6 || norms[f] > thr) {
      sum += k;
      ++count;
    } else {
      ++left;
    }
    centred.push_back(k - sum / count);
  }
  ASSERT_GT(left, 3);  // the clicks do keep frames out

  const int offs[7] = {-1, 0, 1, 2, 3, 4, 5};
  for (int i = 0; i < F; ++i) {
    for (int o = 0; o < 7; ++o) {
      const double want = centred[std::clamp(i + offs[o], 0, F - 1)];
      EXPECT_NEAR(out[i * kKp + o], want, 1e-3 * (1 + std::fabs(want))) << i << "/" << o;
    }
    EXPECT_NEAR(out[i * kKp + 7], 0.0, 1e-4) << i;  // channel 1, the layer mean, constant: centred away
    EXPECT_EQ(out[i * kKp + 8], i);                 // one step of the recurrence per frame from zero
  }
  std::vector<float> again(F * kKp);  // a second call starts from the zero state again
  ASSERT_EQ(le_fca_deltas(fca.f, pcm.data(), F * 640, again.data(), F), F);
  EXPECT_EQ(again, out);
}

}  // namespace
