// The streaming audio-to-expression handle on the probe bundles (the a2x
// encoder probe echoes each frame's positional row, open attention keys,
// first feature channels and chunk length; the decoder probe passes them on
// and counts its steps): release cadence, push-size invariance, encoder
// chunks, the template cursor, the width output, the silence prime and the
// refusals; and, on the sample models, how closely the short-window
// front-end follows the long-window one on speech.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "audio_fixtures.h"
#include "render/onnx_wire.h"

namespace {

using namespace le::test;

const std::string kProbe = LE_FIXTURE_DIR "/audio_probe";
const std::string kProbeLong = LE_FIXTURE_DIR "/audio_probe_long";
const std::string kSample = LE_FIXTURE_DIR "/tiny_jpg";
const std::string kSpeech = LE_FIXTURE_DIR "/speech_3s.f32";

// The probe's meta (look-ahead 2 layers x 2 frames, look-back 2 x 3) with
// other keys after the band.
std::string probeMeta(const std::string& rest, const std::string& band = "\"window\": 2, \"left\": 3") {
  return "{\"h\": 64, " + band + ", \"layers\": 2, " + rest + "}";
}

// The probe's positional row for frame f: rows 0..39, then the second half
// of the table over and over.
int posRow(int f) { return f < 40 ? f : 20 + (f - 40) % 20; }

TEST(A2xCadence, FramesAreReleasedInBlocksOfEight) {
  setenv("LE_A2X_W2V_RIGHT", "0", 1);  // only the encoder's 4 frames of look-ahead hold frames back
  useW2v(kProbeLong);
  Handle a(kProbeLong);
  const std::vector<float> pcm = noise(9601, 1);
  Frames fr;
  size_t pushed = 0;
  for (const auto& [upTo, frames] : {std::pair<size_t, size_t>{4480, 0}, {4481, 4}, {9600, 4}, {9601, 12}}) {
    le_a2x_push(a, pcm.data() + pushed, static_cast<int>(upTo - pushed));
    pushed = upTo;
    fr.pullAll(a);
    EXPECT_EQ(fr.size(), frames) << upTo << " samples";
  }
  EXPECT_EQ(le_a2x_total(a), -1);
  le_a2x_finish(a);
  EXPECT_EQ(le_a2x_total(a), 16);
  fr.pullAll(a);
  EXPECT_EQ(fr.size(), 16u);

  le_a2x_reset(a, 0, 1, 1);
  EXPECT_EQ(stream(a, noise(641, 2), 641).size(), 2u);  // finish releases the partial frame
  EXPECT_EQ(le_a2x_total(a), 2);
}

TEST(A2xCadence, PushSizesDoNotChangeTheFrames) {
  useW2v(kProbe);
  const std::vector<float> speech = le::readFloats(kSpeech);
  ASSERT_EQ(speech.size(), 48000u);
  std::vector<Frames> runs;
  for (size_t piece : {640, 1, 7, 5000}) {
    Handle a(kProbe);
    runs.push_back(stream(a, speech, piece));
    ASSERT_EQ(runs.back().size(), 75u);
    EXPECT_EQ(runs.back().idx, runs[0].idx) << piece;
    EXPECT_EQ(runs.back().out, runs[0].out) << piece;
  }
  // All at once, the encoder runs in other chunks, so only what does not
  // depend on them is compared: positions, features and decoder steps.
  Handle a(kProbe);
  const Frames once = stream(a, speech, speech.size());
  for (size_t f = 0; f < once.size(); ++f)
    for (int c : {0, 2, 3, 60, 61}) EXPECT_EQ(once.offset(f, c), runs[0].offset(f, c)) << f << "/" << c;
}

TEST(A2xEncoder, ChunksPositionsAndMask) {
  useW2v(kProbeLong);
  Handle a(kProbeLong);
  std::vector<float> wn;
  const std::vector<float> d = deltas(a, noise(150 * 640, 4), &wn);
  // Chunks of 64 with 6 frames of look-back and 4 of look-ahead; the first
  // stops at the positional table's 40 rows.
  struct Chunk {
    int first, inStart, T;
  };
  const Chunk chunks[] = {{104, 98, 52}, {40, 34, 74}, {0, 0, 40}};
  for (int f = 0; f < 150; ++f) {
    const Chunk& ch = *std::find_if(std::begin(chunks), std::end(chunks), [&](const Chunk& c) { return f >= c.first; });
    const int i = f - ch.inStart;
    const int open = std::min(ch.T - 1, i + 2) - std::max(0, i - 3) + 1;  // keys i-3 .. i+2 inside the chunk
    const float* row = &d[f * kKp];
    EXPECT_EQ(row[0], posRow(f)) << f;
    EXPECT_EQ(wn[f], posRow(f) + 0.5f) << f;
    EXPECT_EQ(row[1], open) << f;
    EXPECT_EQ(row[4], ch.T) << f;
    EXPECT_EQ(row[60], f) << f;                           // decoder steps
    EXPECT_EQ(row[61], f == 0 ? 0 : posRow(f - 1)) << f;  // its previous output fed back
  }
}

TEST(A2xCursor, TemplateSequences) {
  useW2v(kProbe);
  struct Case {
    int nt, start, dir, loop;
    std::vector<int> want;
  };
  const Case cases[] = {
      {1, 0, 1, 1, {0, 0, 0, 0, 0, 0, 0, 0}},  {1, 3, -1, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      {4, 0, 1, 1, {0, 1, 2, 3, 0, 1, 2, 3}},  {4, 0, 1, 0, {0, 1, 2, 3, 2, 1, 0, 1}},
      {4, 2, -1, 1, {2, 1, 0, 3, 2, 1, 0, 3}}, {4, 2, -1, 0, {2, 1, 0, 1, 2, 3, 2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("nt " + std::to_string(c.nt) + " start " + std::to_string(c.start) + " dir " + std::to_string(c.dir) +
                 " loop " + std::to_string(c.loop));
    TempDir dir;
    copyA2x(kProbe, dir.path(), c.nt);
    Handle a(dir.path());
    ASSERT_EQ(le_a2x_nt(a), c.nt);
    le_a2x_reset(a, c.start, c.dir, c.loop);
    const Frames fr = stream(a, noise(8 * 640, 5), 640);
    EXPECT_EQ(fr.idx, c.want);
    const std::vector<float> xs = le::readFloats(dir / "xs_target.bin");
    for (size_t f = 0; f < fr.size(); ++f)
      EXPECT_TRUE(std::equal(fr.base.begin() + f * kKp, fr.base.begin() + (f + 1) * kKp, &xs[fr.idx[f] * kKp]));
  }
}

TEST(A2xCursor, ResetWithoutStartContinuesTheTemplate) {
  useW2v(kProbe);
  TempDir dir;
  copyA2x(kProbe, dir.path(), 4);
  Handle a(dir.path());
  le_a2x_reset(a, 0, 1, 0);
  EXPECT_EQ(stream(a, noise(7 * 640, 6), 640).idx, (std::vector<int>{0, 1, 2, 3, 2, 1, 0}));
  // The next frame would have played template frame 1; the new utterance
  // starts there, now running backwards, with the decoder restarted.
  le_a2x_reset(a, -1, -1, 0);
  EXPECT_EQ(le_a2x_total(a), -1);
  const Frames fr = stream(a, noise(8 * 640, 7), 640);
  EXPECT_EQ(fr.idx, (std::vector<int>{1, 0, 1, 2, 3, 2, 1, 0}));
  EXPECT_EQ(fr.offset(0, 60), 0);
}

TEST(A2xWidth, TheGraphDecides) {
  useW2v(kProbe);
  Handle probe(kProbe);  // announces the process's one-time lines
  // The probe encoder without its width output "wn", under a meta that
  // still claims it.
  TempDir dir;
  copyA2x(kProbe, dir.path());
  const std::string text = readAll(dir / "a2x_enc_stream.onnx");
  std::vector<uint8_t> model(text.begin(), text.end()), out;
  le::gsEachField(le::GsSlice(model), [&](const le::GsField& f) {
    if (f.field != le::onnx_field::kModelGraph) return le::gsPutRaw(out, f.raw);
    std::vector<uint8_t> graph;
    le::gsEachField(f.payload, [&](const le::GsField& g) {
      if (g.field != le::onnx_field::kGraphOutput || le::gsFirstStr(g.payload, 1) != "wn") le::gsPutRaw(graph, g.raw);
    });
    le::gsPutBytes(out, le::onnx_field::kModelGraph, graph.data(), graph.size());
  });
  writeFile(dir / "a2x_enc_stream.onnx", std::string(out.begin(), out.end()));

  EXPECT_EQ(le_a2x_width(probe), 1);
  le_a2x* a = nullptr;
  EXPECT_EQ(stderrOf([&] { a = le_a2x_create(dir.path().c_str(), 1); }),
            "[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) \u2014 serving the GRAPH "
            "(width=0). Repackage this bundle.\n");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(le_a2x_width(a), 0);
  EXPECT_EQ(stream(a, noise(20 * 640, 9), 640).wn, std::vector<float>(20, 0.0f));
  std::vector<float> wn;
  EXPECT_THROW(deltas(a, noise(640, 9), &wn), std::runtime_error);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  float row[kKp], w;
  EXPECT_EQ(le_a2x_deltas_wn(a, row, 640, row, &w, 1), -3);
  le_a2x_destroy(a);
}

TEST(A2xSilencePrime, MetaEnvironmentAndCap) {
  useW2v(kProbeLong);
  struct Case {
    int meta;
    const char* env;
    int frames;  // primed frames, 0 for none
  };
  for (const Case& c : {Case{0, "500", 200}, Case{30, nullptr, 30}, Case{30, "0", 0}, Case{0, nullptr, 0}}) {
    SCOPED_TRACE("meta " + std::to_string(c.meta) + " env " + (c.env ? c.env : "unset"));
    c.env ? setenv("LE_A2X_SILENCE_PRIME", c.env, 1) : unsetenv("LE_A2X_SILENCE_PRIME");
    TempDir dir;
    copyA2x(kProbeLong, dir.path());
    writeFile(dir / "a2x_meta.json", probeMeta("\"silence_prime\": " + std::to_string(c.meta)));
    le_a2x* a = nullptr;
    const std::string err = stderrOf([&] { a = le_a2x_create(dir.path().c_str(), 1); });
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(occurrences(err, "[le_a2x] silence-primed AR state cached ("), c.frames ? 1 : 0) << err;
    EXPECT_EQ(occurrences(err, "(" + std::to_string(c.frames) + " frames)\n"), c.frames ? 1 : 0) << err;
    // The decoder probe counts its steps in channel 60 and feeds back its
    // last frame's positional row in 61: every utterance, and the whole-
    // utterance form, start where the prime left them.
    const float steps = c.frames, last = c.frames ? posRow(c.frames - 1) : 0;
    for (int utterance = 0; utterance < 2; ++utterance) {
      const Frames fr = stream(a, noise(5 * 640, 10), 640);
      EXPECT_NEAR(fr.offset(0, 60), steps, 1e-3);
      EXPECT_NEAR(fr.offset(0, 61), last, 1e-4);
      le_a2x_reset(a, 0, 1, 1);
    }
    const std::vector<float> d = deltas(a, noise(5 * 640, 10));
    EXPECT_EQ(d[60], steps);
    EXPECT_EQ(d[61], last);
    le_a2x_destroy(a);
  }
}

TEST(A2xErrors, CreateRefusals) {
  useW2v(kProbe);
  const std::string tables = "le_a2x_create: pos/norm/xs_target read failed";
  const std::string band = "le_a2x_create: meta lacks causal window/left (not a streaming a2x)";
  const auto meta = [](const TempDir& d, const std::string& band) {
    writeFile(d / "a2x_meta.json", probeMeta("\"width\": true", band));
  };
  // Each spoils a copy of the probe and returns the error it expects (empty:
  // the runtime's own text).
  const std::vector<std::function<std::string(const TempDir&)>> cases = {
      [](const TempDir& d) {
        std::filesystem::remove(d / "a2x_meta.json");
        return "le_a2x_create: a2x_meta.json missing in " + d.path();
      },
      [&](const TempDir& d) { return meta(d, "\"left\": 3"), band; },
      [&](const TempDir& d) { return meta(d, "\"window\": 2, \"left\": -1"), band; },
      [&](const TempDir& d) { return writeFile(d / "a2x_pos.f32", std::string(64 * 4, '\0')), tables; },  // one row
      [&](const TempDir& d) { return writeFile(d / "a2x_norm.f32", std::string(125 * 4, '\0')), tables; },
      [&](const TempDir& d) { return writeFile(d / "xs_target.bin", ""), tables; },
      [](const TempDir& d) { return std::filesystem::remove(d / "a2x_dec.onnx"), std::string(); },
  };
  for (const auto& spoil : cases) {
    TempDir dir;
    copyA2x(kProbe, dir.path());
    const std::string want = spoil(dir);
    EXPECT_EQ(le_a2x_create(dir.path().c_str(), 1), nullptr);
    const std::string err = le_a2x_last_error();
    if (want.empty()) {
      EXPECT_TRUE(err.rfind("le_a2x_create: ", 0) == 0 && err.size() > 15) << err;
    } else {
      EXPECT_EQ(err, want);
    }
  }
  EXPECT_EQ(le_a2x_create(nullptr, 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_create: NULL bundle");
}

TEST(A2xErrors, DeltasLimits) {
  useW2v(kProbe);
  Handle a(kProbe);
  std::vector<float> out(2 * kKp, 7.0f);
  const std::vector<float> pcm = noise(1281, 12);
  EXPECT_EQ(le_a2x_deltas(a, pcm.data(), 0, out.data(), 2), 0);
  EXPECT_EQ(le_a2x_deltas(a, pcm.data(), 1281, out.data(), 2), -2);  // three frames
  EXPECT_STREQ(le_a2x_last_error(), "");
  EXPECT_EQ(out, std::vector<float>(2 * kKp, 7.0f));
  EXPECT_EQ(le_a2x_deltas(a, pcm.data(), 1280, out.data(), 2), 2);
  EXPECT_EQ(le_a2x_deltas(nullptr, pcm.data(), 1280, out.data(), 2), -1);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas: NULL handle");
}

TEST(A2xSample, ShortWindowFollowsTheLongWindowOnSpeech) {
  // The sample front-end computes the same features on both paths but for
  // the window normalisation (2 s against 8 s of audio), which changes the
  // speech's level, not its timing: the lips move with the same frames.
  useW2v(kSample);
  Handle a(kSample);
  const std::vector<float> speech = le::readFloats(kSpeech);
  const Frames live = stream(a, speech, 640);          // the short-window front-end
  const std::vector<float> whole = deltas(a, speech);  // always the long window
  ASSERT_EQ(live.size(), 75u);
  std::vector<int> lips;  // the coordinates the sample decoder moves
  for (int c = 0; c < kKp; ++c)
    if (std::any_of(whole.begin(), whole.end(), [&, i = 0](float v) mutable { return i++ % kKp == c && v != 0; }))
      lips.push_back(c);
  ASSERT_GE(lips.size(), 4u);
  // Pearson correlation of live frame f with long-window frame f + lag.
  const auto correlation = [&](int lag) {
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, n = 0;
    for (int f = std::max(0, -lag); f < 75 && f + lag < 75; ++f)
      for (int c : lips) {
        const double x = live.offset(f, c), y = whole[(f + lag) * kKp + c];
        sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y, ++n;
      }
    return (sxy - sx * sy / n) / std::sqrt((sxx - sx * sx / n) * (syy - sy * sy / n));
  };
  const double r = correlation(0);
  RecordProperty("lip_correlation", std::to_string(r));
  EXPECT_GT(r, 0.97);  // 0.991 measured
  EXPECT_GT(r, correlation(-1));
  EXPECT_GT(r, correlation(1));
}

}  // namespace
