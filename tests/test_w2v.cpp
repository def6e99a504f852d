// The shared speech front-end, observed through the probe models (their
// outputs echo their inputs, and the a2x probes pass the first feature
// channels through to the offsets): where each frame's features come from on
// the long-window and short-window paths, how the short-window pair is
// found, and that the process keeps one front-end whatever later handles ask.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/le_w2v.h"
#include "audio_fixtures.h"

namespace {

using namespace le::test;

const std::string kProbe = LE_FIXTURE_DIR "/audio_probe";
const std::string kProbeLong = LE_FIXTURE_DIR "/audio_probe_long";
const std::string kNotDeployed = "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane";

// Sample `at` of the window starting at sample first, normalised as the
// encoder sees it: zero mean and unit variance over the window, silence
// outside the audio.
double normalisedSample(const std::vector<float>& pcm, long long first, int len, int at) {
  std::vector<double> x(len);
  for (int i = 0; i < len; ++i) {
    const long long k = first + i;
    x[i] = k >= 0 && k < static_cast<long long>(pcm.size()) ? pcm[k] : 0.0;
  }
  double mean = 0, var = 0;
  for (double v : x) mean += v;
  mean /= len;
  for (double v : x) var += (v - mean) * (v - mean);
  var /= len;
  return (x[at] - mean) / std::sqrt(var + 1e-7);
}

// Features are kept in half precision.
void expectHalfNear(double want, float got) { EXPECT_NEAR(got, want, 1e-3 * std::max(1.0, std::fabs(want))); }

TEST(W2vLongWindow, EachFrameComesFromItsWindow) {
  useW2v(kProbeLong);
  Handle a(kProbeLong);
  // 300 frames: 0..199 from the window at 0, later frames from the window
  // that starts 100 to 199 frames before them (frame 250: index 150 of 100).
  const std::vector<float> pcm = noise(300 * 640, 7);
  const std::vector<float> d = deltas(a, pcm);
  for (int f = 0; f < 300; ++f) {
    const int s = f < 200 ? 0 : (f / 100 - 1) * 100;
    SCOPED_TRACE("frame " + std::to_string(f));
    ASSERT_EQ(d[f * kKp + 2], f - s);  // the probe's frame index within its window
    expectHalfNear(normalisedSample(pcm, 640LL * s, 128000, 640 * (f - s)), d[f * kKp + 3]);
  }
  EXPECT_EQ(d[250 * kKp + 2], 150);
}

TEST(W2vShortWindow, FramesSitWhereTheLongWindowPutsThem) {
  useW2v(kProbe);
  Handle a(kProbe);
  // 260 frames, all at once: the short path runs block after block.
  const std::vector<float> pcm = noise(260 * 640, 11);
  ASSERT_EQ(le_a2x_push(a, pcm.data(), static_cast<int>(pcm.size())), 1);
  le_a2x_finish(a);
  Frames fr;
  ASSERT_EQ(fr.pullAll(a), 260);
  for (int f = 0; f < 260; ++f) {
    // Long-window frame r of the window at base lies at step r*1598/199 of
    // that window's 1599 steps of 80 samples; the trunk of f's block covers
    // the 32000 samples that end 12 frames after the block.
    const int base = f < 200 ? 0 : (f / 100 - 1) * 100;
    const double sample = 640.0 * base + 80.0 * (f - base) * 1598.0 / 199.0;
    const double trunkStart = 640.0 * (f / 8 * 8 + 8 + 12) - 32000;
    SCOPED_TRACE("frame " + std::to_string(f));
    EXPECT_NEAR(fr.offset(f, 2), (sample - trunkStart) / 80, 0.13);  // trunk channel 0 echoes its step
    EXPECT_NEAR(fr.offset(f, 3), f % 8, 1e-4);                         // the head's row in its block
  }
}

TEST(W2vShortWindow, TrunkPositionOutsideTheTrunkIsAProductionError) {
  // Twelve seconds of look-ahead puts every frame before its trunk window.
  setenv("LE_A2X_W2V_RIGHT", "300", 1);
  useW2v(kProbe);
  Handle a(kProbe);
  const std::vector<float> pcm = noise(16000, 3);
  le_a2x_push(a, pcm.data(), static_cast<int>(pcm.size()));
  le_a2x_finish(a);
  float out[kKp * 4];
  EXPECT_EQ(le_a2x_pull(a, nullptr, nullptr, out, 4), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: w2v_win: trunk pos out of range");
}

TEST(W2vDiscovery, NoPairIsReportedOncePerProcess) {
  const std::string w2v = useW2v(kProbeLong);
  const std::string err = stderrOf([&] {
    Handle a(kProbeLong);
    Handle b(kProbeLong);
  });
  EXPECT_EQ(occurrences(err, kNotDeployed), 1) << err;
  EXPECT_NE(err.find("beside $W2V_ONNX (" + w2v + ") as audio_encoder_fp16_window_{trunk,head}.onnx"),
            std::string::npos);
  EXPECT_EQ(occurrences(err, "[le_a2x] live cadence: block-320 (one trunk window per 8 frames), "
                             "push-size invariant, threads=1\n"),
            1);
}

// With one of the two variables alone the pair is looked for beside the model.
TEST(W2vDiscovery, TrunkVariableAloneIsIgnored) {
  setenv("LE_A2X_W2V_WIN_ONNX", (kProbe + "/audio_encoder_fp16_window_trunk.onnx").c_str(), 1);
  useW2v(kProbeLong);
  EXPECT_NE(stderrOf([] { Handle a(kProbeLong); }).find(kNotDeployed), std::string::npos);
}

TEST(W2vDiscovery, HeadVariableAloneIsIgnored) {
  setenv("LE_A2X_W2V_HEAD_ONNX", "/nonexistent/head.onnx", 1);
  useW2v(kProbe);
  const std::string err = stderrOf([] { Handle a(kProbe); });
  EXPECT_NE(err.find("frontend loaded (LT=399) trunk=" + kProbe + "/audio_encoder_fp16_window_trunk.onnx"),
            std::string::npos)
      << err;
}

TEST(W2vDiscovery, BothVariablesNameThePair) {
  const std::string trunk = kProbe + "/audio_encoder_fp16_window_trunk.onnx";
  const std::string head = kProbe + "/audio_encoder_fp16_window_head.onnx";
  setenv("LE_A2X_W2V_WIN_ONNX", trunk.c_str(), 1);
  setenv("LE_A2X_W2V_HEAD_ONNX", head.c_str(), 1);
  useW2v(kProbeLong);
  const std::string want = "[le_a2x] short-window w2v frontend loaded (LT=399) trunk=" + trunk + " (" +
                           std::to_string(std::filesystem::file_size(trunk)) + " B) head=" + head + " (" +
                           std::to_string(std::filesystem::file_size(head)) + " B)\n";
  const std::string err = stderrOf([] { Handle a(kProbeLong); });
  EXPECT_EQ(occurrences(err, want), 1) << err;
}

TEST(W2vDiscovery, UnopenablePairFallsBackToTheLongWindow) {
  setenv("LE_A2X_W2V_WIN_ONNX", "/nonexistent/trunk.onnx", 1);
  setenv("LE_A2X_W2V_HEAD_ONNX", "/nonexistent/head.onnx", 1);
  useW2v(kProbe);
  const std::string err = stderrOf([] {
    Handle a(kProbe);
    const std::vector<float> pcm = noise(640 * 10, 5);
    const Frames fr = stream(a, pcm, pcm.size());
    ASSERT_EQ(fr.size(), 10u);
    EXPECT_EQ(fr.offset(0, 2), 0);  // the long window's frame index, not a trunk step
  });
  EXPECT_NE(err.find("[le_a2x] short-window w2v load FAILED ("), std::string::npos) << err;
  EXPECT_NE(err.find(") \u2014 legacy 8s path\n"), std::string::npos);
}

TEST(W2vShared, LaterHandlesGetTheFirstSession) {
  useW2v(kProbeLong);
  Handle first(kProbeLong);
  setenv("W2V_ONNX", "/nonexistent/encoder.onnx", 1);
  Handle second(kProbeLong);
  const std::vector<float> pcm = noise(640 * 30, 9);
  EXPECT_EQ(deltas(first, pcm), deltas(second, pcm));
  EXPECT_EQ(le_a2x_preload_w2v("/nonexistent/other.onnx"), 1);
}

TEST(W2vShared, PreloadFailures) {
  unsetenv("W2V_ONNX");
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(le_a2x_preload_w2v(""), 0);
  EXPECT_EQ(le_a2x_create(kProbeLong.c_str(), 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: $W2V_ONNX not set");

  setenv("W2V_ONNX", "/nonexistent/encoder.onnx", 1);
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: shared w2v load failed");
  EXPECT_EQ(le_a2x_create(kProbeLong.c_str(), 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: shared w2v load failed");

  EXPECT_EQ(le_a2x_preload_w2v((kProbeLong + "/audio_encoder.onnx").c_str()), 1);
  EXPECT_STREQ(le_a2x_last_error(), "");
  Handle a(kProbeLong);  // the preloaded session, whatever W2V_ONNX says
}

TEST(W2vShared, CudaRequestFallsBackToTheCpu) {
  // This build's runtime has no CUDA provider: the request is refused and
  // the front-end runs on the CPU.
  setenv("LE_A2X_CUDA", "1", 1);
  useW2v(kProbeLong);
  const std::string err = stderrOf([] {
    Handle a(kProbeLong);
    EXPECT_EQ(deltas(a, noise(640 * 3, 1))[kKp + 2], 1);
  });
  EXPECT_NE(err.find("[le_a2x] CUDA EP append failed (w2v): "), std::string::npos) << err;
  EXPECT_NE(err.find(" -- falling back to CPU\n"), std::string::npos);
}

TEST(W2vFileBytes, SizeOrMinusOne) {
  TempDir dir;
  writeFile(dir / "m.onnx", std::string(1234, 'x'));
  EXPECT_EQ(le::w2vFileBytes((dir / "m.onnx").c_str()), 1234);
  EXPECT_EQ(le::w2vFileBytes(nullptr), -1);
  EXPECT_EQ(le::w2vFileBytes(""), -1);
  EXPECT_EQ(le::w2vFileBytes((dir / "missing.onnx").c_str()), -1);
}

}  // namespace
