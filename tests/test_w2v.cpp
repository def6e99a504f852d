// The shared speech front-end, observed through the probe models (their
// outputs echo their inputs, and the a2x probes pass the first feature
// channels through to the offsets): where each frame's features come from on
// the long-window and short-window paths, how the short-window pair is
// found, and that the process keeps one front-end whatever later handles ask.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "audio_fixtures.h"

namespace {

using namespace le::test;

const std::string kProbe = LE_FIXTURE_DIR "/audio_probe";
const std::string kProbeLong = LE_FIXTURE_DIR "/audio_probe_long";
const std::string kTrunk = kProbe + "/audio_encoder_fp16_window_trunk.onnx";
const std::string kHead = kProbe + "/audio_encoder_fp16_window_head.onnx";

TEST(W2vLongWindow, EachFrameComesFromItsWindow) {
  useW2v(kProbeLong);
  Handle a(kProbeLong);
  // Frames 0..199 from the window at 0, later ones from the window that
  // starts 100 to 199 frames before them (frame 250: index 150 of 100).
  std::vector<float> pcm = noise(300 * 640, 7);
  const std::vector<float> d = deltas(a, pcm);
  pcm.resize(500 * 640);  // silence past the audio
  for (int f = 0; f < 300; ++f) {
    const int s = f < 200 ? 0 : (f / 100 - 1) * 100, k = f - s;
    // The probe echoes window sample 640k, the window normalised to zero
    // mean and unit variance, in half precision.
    double mean = 0, var = 0;
    for (int i = 0; i < 128000; ++i) mean += pcm[640 * s + i] / 128000.0;
    for (int i = 0; i < 128000; ++i) var += (pcm[640 * s + i] - mean) * (pcm[640 * s + i] - mean) / 128000;
    const double want = (pcm[640 * f] - mean) / std::sqrt(var + 1e-7);
    ASSERT_EQ(d[f * kKp + 2], k) << f;
    ASSERT_NEAR(d[f * kKp + 3], want, 1e-3 * std::max(1.0, std::fabs(want))) << f;
  }
}

TEST(W2vShortWindow, FramesSitWhereTheLongWindowPutsThem) {
  useW2v(kProbe);
  Handle a(kProbe);
  const Frames fr = stream(a, noise(260 * 640, 11), 260 * 640);
  ASSERT_EQ(fr.size(), 260u);
  for (int f = 0; f < 260; ++f) {
    // Long-window frame r of the window at base lies at step r*1598/199 of
    // that window's 1599 steps of 80 samples; the trunk of f's block covers
    // the 32000 samples that end 12 frames after the block.
    const int base = f < 200 ? 0 : (f / 100 - 1) * 100;
    const double sample = 640.0 * base + 80.0 * (f - base) * 1598.0 / 199.0;
    const double trunkStart = 640.0 * (f / 8 * 8 + 8 + 12) - 32000;
    EXPECT_NEAR(fr.offset(f, 2), (sample - trunkStart) / 80, 0.13) << f;  // the trunk step, in half precision
    EXPECT_NEAR(fr.offset(f, 3), f % 8, 1e-4) << f;                       // the head's row in its block
  }
}

TEST(W2vShortWindow, TrunkPositionOutsideTheTrunkIsAProductionError) {
  setenv("LE_A2X_W2V_RIGHT", "300", 1);  // 12 s of look-ahead puts every frame before its trunk window
  useW2v(kProbe);
  Handle a(kProbe);
  float pcm[16] = {}, out[4 * kKp];
  le_a2x_push(a, pcm, 16);
  le_a2x_finish(a);
  EXPECT_EQ(le_a2x_pull(a, nullptr, nullptr, out, 4), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x extend: w2v_win: trunk pos out of range");
}

// Sizes are read when the case runs: the fixtures do not exist yet when the
// cases are listed.
const std::string kLoaded = "{loaded}";
std::string loadedLine() {
  return "[le_a2x] short-window w2v frontend loaded (LT=399) trunk=" + kTrunk + " (" +
         std::to_string(std::filesystem::file_size(kTrunk)) + " B) head=" + kHead + " (" +
         std::to_string(std::filesystem::file_size(kHead)) + " B)\n";
}

// Finding the short-window pair: each case its own process, as the search
// runs once per process.
struct Discovery {
  const char* name;
  const char* trunkVar;  // LE_A2X_W2V_WIN_ONNX, nullptr: unset
  const char* headVar;   // LE_A2X_W2V_HEAD_ONNX
  bool pairBeside;       // W2V_ONNX in the bundle that carries the pair
  std::string line;      // printed once, whatever the handles
  bool shortWindow;
};
void PrintTo(const Discovery& c, std::ostream* os) { *os << c.name; }

class W2vDiscovery : public testing::TestWithParam<Discovery> {};

TEST_P(W2vDiscovery, FindsThePairOnce) {
  const Discovery& c = GetParam();
  const auto set = [](const char* name, const char* v) { v ? setenv(name, v, 1) : unsetenv(name); };
  set("LE_A2X_W2V_WIN_ONNX", c.trunkVar);
  set("LE_A2X_W2V_HEAD_ONNX", c.headVar);
  const std::string bundle = c.pairBeside ? kProbe : kProbeLong;
  std::string line = c.line == kLoaded ? loadedLine() : c.line;
  const std::string w2v = useW2v(bundle);
  if (const size_t at = line.find("{path}"); at != std::string::npos) line.replace(at, 6, w2v);
  Frames fr;
  const std::string err = stderrOf([&] {
    Handle a(bundle), b(bundle);
    fr = stream(b, noise(640 * 10, 5), 640 * 10);
  });
  EXPECT_EQ(occurrences(err, line), 1) << err;
  EXPECT_EQ(occurrences(err, "[le_a2x] short-window"), 1) << err;
  EXPECT_EQ(occurrences(err,
                        "[le_a2x] live cadence: block-320 (one trunk window per 8 frames), push-size "
                        "invariant, threads=1\n"),
            1);
  ASSERT_EQ(fr.size(), 10u);
  EXPECT_EQ(fr.offset(0, 2), c.shortWindow ? 240 : 0);  // a trunk step or the long window's frame index
}

const std::string kNotDeployed =
    "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither LE_A2X_W2V_WIN_ONNX/"
    "LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX ({path}) as audio_encoder_fp16_window_{trunk,"
    "head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window";

INSTANTIATE_TEST_SUITE_P(
    Cases, W2vDiscovery,
    testing::Values(Discovery{"NoPair", nullptr, nullptr, false, kNotDeployed, false},
                    Discovery{"PairBeside", nullptr, nullptr, true, kLoaded, true},
                    // one variable alone: the pair is looked for beside the model
                    Discovery{"TrunkVariableAlone", kTrunk.c_str(), nullptr, false, kNotDeployed, false},
                    Discovery{"HeadVariableAlone", nullptr, "/nonexistent/head.onnx", true, kLoaded, true},
                    Discovery{"BothVariables", kTrunk.c_str(), kHead.c_str(), false, kLoaded, true},
                    Discovery{"UnopenablePair", "/nonexistent/trunk.onnx", kHead.c_str(), true,
                              "[le_a2x] short-window w2v load FAILED (", false}),
    [](const testing::TestParamInfo<Discovery>& info) { return std::string(info.param.name); });

TEST(W2vShared, LaterHandlesGetTheFirstSession) {
  useW2v(kProbeLong);
  Handle first(kProbeLong);
  setenv("W2V_ONNX", "/nonexistent/encoder.onnx", 1);
  Handle second(kProbeLong);
  const std::vector<float> pcm = noise(640 * 30, 9);
  EXPECT_EQ(deltas(first, pcm), deltas(second, pcm));
  EXPECT_EQ(le_a2x_preload_w2v("/nonexistent/other.onnx"), 1);
}

TEST(W2vShared, PreloadAndCreateWithoutAFrontEnd) {
  unsetenv("W2V_ONNX");
  EXPECT_EQ(le_a2x_preload_w2v(""), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
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
  setenv("LE_A2X_CUDA", "1", 1);  // this build's runtime has no CUDA provider
  useW2v(kProbeLong);
  const std::string err = stderrOf([] {
    Handle a(kProbeLong);
    EXPECT_EQ(deltas(a, noise(640 * 3, 1))[kKp + 2], 1);
  });
  EXPECT_NE(err.find("[le_a2x] CUDA EP append failed (w2v): "), std::string::npos) << err;
  EXPECT_NE(err.find(" -- falling back to CPU\n"), std::string::npos);
}

}  // namespace
