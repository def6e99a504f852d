// The FCA stream on the probe models: the long encoder probe echoes each
// frame's index in its window and its first sample, the FCA probe echoes
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

TEST(Fca, FrameCounts) {
  Fca fca;
  const std::vector<float> pcm = noise(1281, 1);
  struct Case {
    int n, maxFrames, want;
  };
  for (const Case& c : {Case{640, 1, 1}, Case{641, 2, 2}, Case{641, 1, -1}, Case{1, 1, 1}, Case{0, 0, 0},
                        Case{1281, 2, -1}, Case{1280, 3, 2}}) {
    SCOPED_TRACE("n " + std::to_string(c.n) + " max " + std::to_string(c.maxFrames));
    std::vector<float> out((c.maxFrames + 1) * kKp, 7.0f);
    EXPECT_EQ(le_fca_deltas(fca.f, pcm.data(), c.n, out.data(), c.maxFrames), c.want);
    const size_t written = std::max(c.want, 0) * kKp;
    EXPECT_TRUE(std::all_of(out.begin() + written, out.end(), [](float v) { return v == 7.0f; }));
    if (c.want > 0) {
      EXPECT_EQ(out[(c.want - 1) * kKp + 8], c.want - 1);  // the last frame's step
    }
  }
}

TEST(Fca, CreateFailure) {
  EXPECT_EQ(le_fca_create("/nonexistent/speech.onnx", (kProbe + "/fca_stream.onnx").c_str(), 1), nullptr);
  EXPECT_EQ(std::string(le_fca_last_error()).rfind("le_fca_create: ", 0), 0u) << le_fca_last_error();
  EXPECT_GT(std::string(le_fca_last_error()).size(), 15u);
}

TEST(Fca, RunningCentringAndContext) {
  // Loud clicks on frames 1..29 of quiet noise: those frames' features have
  // large norms, so the quiet frames right after them fall below the 20th
  // percentile of the norms so far and stay out of the running mean.
  constexpr int F = 260;
  std::vector<float> pcm = noise(F * 640, 2, 0.01f);
  for (int k = 1; k < 30; ++k) pcm[640 * k] = 1.0f;

  // Frame f's feature from the probe: its index k in the window at s, the
  // mean of layers 4..9 (6.5), window sample 640k and window sample 0, each
  // normalised over the window.
  std::vector<std::vector<double>> feat(F);
  for (int f = 0; f < F; ++f) {
    const int s = f < 200 ? 0 : (f / 100 - 1) * 100, k = f - s;
    std::vector<double> w(128000);
    double mean = 0, var = 0;
    for (int i = 0; i < 128000; ++i) {
      const size_t at = 640 * static_cast<size_t>(s) + i;
      w[i] = at < pcm.size() ? pcm[at] : 0.0;
      mean += w[i];
    }
    mean /= 128000;
    for (double v : w) var += (v - mean) * (v - mean);
    const double scale = 1 / std::sqrt(var / 128000 + 1e-7);
    feat[f] = {double(k), 6.5, (w[640 * k] - mean) * scale, (w[0] - mean) * scale};
  }
  std::vector<double> centred(F), norms;
  std::vector<double> sum(4, 0.0);
  int count = 0, left = 0;
  for (int i = 0; i < F; ++i) {
    double sq = 0;
    for (double v : feat[i]) sq += v * v;
    norms.push_back(std::sqrt(sq));
    std::vector<double> sorted = norms;
    std::sort(sorted.begin(), sorted.end());
    const double p = 0.2 * i;
    const size_t lo = static_cast<size_t>(std::floor(p)), hi = static_cast<size_t>(std::ceil(p));
    const double thr = i <= 6 ? 0 : sorted[lo] + (sorted[hi] - sorted[lo]) * (p - static_cast<double>(lo));
    if (norms[i] > thr) {
      for (int c = 0; c < 4; ++c) sum[c] += feat[i][c];
      ++count;
    } else {
      ++left;
    }
    centred[i] = feat[i][0] - sum[0] / std::max(count, 1);
  }
  ASSERT_GT(left, 3);  // the clicks do keep frames out

  Fca fca;
  std::vector<float> out(F * kKp);
  ASSERT_EQ(le_fca_deltas(fca.f, pcm.data(), F * 640, out.data(), F), F);
  const int offs[7] = {-1, 0, 1, 2, 3, 4, 5};
  for (int i = 0; i < F; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    for (int o = 0; o < 7; ++o) {
      const double want = centred[std::clamp(i + offs[o], 0, F - 1)];
      EXPECT_NEAR(out[i * kKp + o], want, 1e-3 * (1 + std::fabs(want)));
    }
    EXPECT_NEAR(out[i * kKp + 7], 0.0, 1e-4);  // the layer mean, constant, centred away
    EXPECT_EQ(out[i * kKp + 8], i);             // one step of the recurrence per frame from zero
  }
  // A second call starts from the zero state again.
  std::vector<float> again(F * kKp);
  ASSERT_EQ(le_fca_deltas(fca.f, pcm.data(), F * 640, again.data(), F), F);
  EXPECT_EQ(again, out);
}

}  // namespace
