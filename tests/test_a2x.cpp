// The streaming audio-to-expression handle on the probe bundles (the a2x
// encoder probe echoes each frame's positional row, open attention keys,
// first feature channels and chunk length; the decoder probe passes them on
// and counts its steps): release cadence, push-size invariance, encoder
// chunks, the template cursor, the width output, the silence prime and every
// refusal; and, on the sample models, how closely the short-window front-end
// follows the long-window one on speech.
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

// The probe encoder's meta: look-ahead 2 layers x 2 frames, look-back 2 x 3.
std::string probeMeta(const std::string& extra = "\"silence_prime\": 0, \"width\": true",
                      const std::string& band = "\"window\": 2, \"left\": 3") {
  return "{\"h\": 64, " + band + ", \"layers\": 2, " + extra + "}";
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
  for (const auto& [upTo, frames] : std::vector<std::pair<size_t, size_t>>{{4480, 0}, {4481, 4}, {9600, 4}, {9601, 12}}) {
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
}

TEST(A2xCadence, FinishReleasesThePartialFrame) {
  useW2v(kProbe);
  Handle a(kProbe);
  const Frames fr = stream(a, noise(641, 2), 641);
  EXPECT_EQ(le_a2x_total(a), 2);
  EXPECT_EQ(fr.size(), 2u);
}

TEST(A2xCadence, PushSizesDoNotChangeTheFrames) {
  useW2v(kProbe);
  const std::vector<float> speech = readF32(kSpeech);
  ASSERT_EQ(speech.size(), 48000u);
  std::vector<Frames> runs;
  for (size_t piece : {640, 1, 7, 5000}) {
    Handle a(kProbe);
    runs.push_back(stream(a, speech, piece));
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    ASSERT_EQ(runs.back().size(), 75u);
    EXPECT_EQ(runs.back().idx, runs[0].idx);
    EXPECT_EQ(runs.back().out, runs[0].out);
    EXPECT_EQ(runs.back().wn, runs[0].wn);
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
  const std::vector<float> d = deltas(a, noise(150 * 640, 4));
  // Chunks of 64 with 6 frames of look-back and 4 of look-ahead; the first
  // stops at the positional table's 40 rows.
  struct Chunk {
    int first, inStart, T;
  };
  const Chunk chunks[] = {{0, 0, 40}, {40, 34, 74}, {104, 98, 52}};
  for (int f = 0; f < 150; ++f) {
    const Chunk& ch = *std::find_if(std::rbegin(chunks), std::rend(chunks), [&](const Chunk& c) { return f >= c.first; });
    const int i = f - ch.inStart;
    const int open = std::min(ch.T - 1, i + 2) - std::max(0, i - 3) + 1;  // keys i-3 .. i+2 inside the chunk
    SCOPED_TRACE("frame " + std::to_string(f));
    EXPECT_EQ(d[f * kKp + 0], posRow(f));
    EXPECT_EQ(d[f * kKp + 1], open);
    EXPECT_EQ(d[f * kKp + 4], ch.T);
    EXPECT_EQ(d[f * kKp + 60], f);                             // decoder steps
    EXPECT_EQ(d[f * kKp + 61], f == 0 ? 0 : posRow(f - 1));  // its previous output fed back
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
      {4, 0, -1, 0, {0, 1, 2, 3, 2, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    copyA2x(kProbe, dir.path(), c.nt);
    Handle a(dir.path());
    ASSERT_EQ(le_a2x_nt(a), c.nt);
    le_a2x_reset(a, c.start, c.dir, c.loop);
    const Frames fr = stream(a, noise(8 * 640, 5), 8 * 640);
    SCOPED_TRACE("nt " + std::to_string(c.nt) + " start " + std::to_string(c.start) + " dir " +
                 std::to_string(c.dir) + " loop " + std::to_string(c.loop));
    EXPECT_EQ(fr.idx, c.want);
    const std::vector<float> xs = readF32(dir / "xs_target.bin");
    for (size_t f = 0; f < fr.size(); ++f)
      EXPECT_TRUE(std::equal(xs.begin() + fr.idx[f] * kKp, xs.begin() + (fr.idx[f] + 1) * kKp,
                             fr.base.begin() + f * kKp));
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
  // starts there, now running backwards.
  le_a2x_reset(a, -1, -1, 0);
  EXPECT_EQ(le_a2x_total(a), -1);
  const Frames fr = stream(a, noise(8 * 640, 7), 640);
  EXPECT_EQ(fr.idx, (std::vector<int>{1, 0, 1, 2, 3, 2, 1, 0}));
  EXPECT_EQ(fr.offset(0, 60), 0);  // decoder state restarted too
}

// The encoder without its second output "wn".
void dropWidthOutput(const std::string& path) {
  using namespace le;
  const std::string text = readAll(path);
  const std::vector<uint8_t> model(text.begin(), text.end());
  std::vector<uint8_t> out;
  gsEachField(GsSlice(model), [&](const GsField& f) {
    if (f.field != onnx_field::kModelGraph) return gsPutRaw(out, f.raw);
    std::vector<uint8_t> graph;
    gsEachField(f.payload, [&](const GsField& g) {
      if (g.field != onnx_field::kGraphOutput || gsFirstStr(g.payload, 1) != "wn") gsPutRaw(graph, g.raw);
    });
    gsPutBytes(out, onnx_field::kModelGraph, graph.data(), graph.size());
  });
  writeFile(path, std::string(out.begin(), out.end()));
}

TEST(A2xWidth, TheGraphDecides) {
  useW2v(kProbe);
  {
    TempDir dir;
    copyA2x(kProbe, dir.path());
    writeFile(dir / "a2x_meta.json", probeMeta("\"width\": false"));
    std::string err;
    le_a2x* a = nullptr;
    err = stderrOf([&] { a = le_a2x_create(dir.path().c_str(), 1); });
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(occurrences(err, "[le_a2x] WARNING: a2x_meta width=0 but the encoder declares 2 output(s) \u2014 "
                               "serving the GRAPH (width=1). Repackage this bundle.\n"),
              1)
        << err;
    EXPECT_EQ(le_a2x_width(a), 1);
    const Frames fr = stream(a, noise(50 * 640, 8), 640);
    for (size_t f = 0; f < fr.size(); ++f) EXPECT_EQ(fr.wn[f], posRow(static_cast<int>(f)) + 0.5f);
    std::vector<float> out(50 * kKp), wn(50, -1);
    EXPECT_EQ(le_a2x_deltas_wn(a, noise(50 * 640, 8).data(), 50 * 640, out.data(), wn.data(), 50), 50);
    EXPECT_EQ(wn, fr.wn);
    le_a2x_destroy(a);
  }
  TempDir dir;
  copyA2x(kProbe, dir.path());
  dropWidthOutput(dir / "a2x_enc_stream.onnx");
  le_a2x* a = nullptr;
  EXPECT_EQ(stderrOf([&] { a = le_a2x_create(dir.path().c_str(), 1); }),
            "[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) \u2014 serving the GRAPH "
            "(width=0). Repackage this bundle.\n");  // the only line: the process has announced the rest
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(le_a2x_width(a), 0);
  const Frames fr = stream(a, noise(20 * 640, 9), 640);
  EXPECT_EQ(fr.wn, std::vector<float>(20, 0.0f));
  std::vector<float> out(20 * kKp), wn(20);
  EXPECT_EQ(le_a2x_deltas_wn(a, noise(20 * 640, 9).data(), 20 * 640, out.data(), wn.data(), 20), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
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
    if (c.env)
      setenv("LE_A2X_SILENCE_PRIME", c.env, 1);
    else
      unsetenv("LE_A2X_SILENCE_PRIME");
    TempDir dir;
    copyA2x(kProbeLong, dir.path());
    writeFile(dir / "a2x_meta.json", probeMeta("\"silence_prime\": " + std::to_string(c.meta) + ", \"width\": true"));
    le_a2x* a = nullptr;
    const std::string err = stderrOf([&] { a = le_a2x_create(dir.path().c_str(), 1); });
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(occurrences(err, "[le_a2x] silence-primed AR state cached ("), c.frames ? 1 : 0) << err;
    if (c.frames) {
      EXPECT_NE(err.find("(" + std::to_string(c.frames) + " frames)\n"), std::string::npos) << err;
    }
    // The decoder probe counts its steps in channel 60 and feeds back the
    // positional row of its last frame in 61: both start where the prime
    // left them, in every utterance and in the whole-utterance form.
    const float steps = static_cast<float>(c.frames), last = c.frames ? posRow(c.frames - 1) : 0.0f;
    for (int utterance = 0; utterance < 2; ++utterance) {
      const Frames fr = stream(a, noise(5 * 640, 10), 640);
      EXPECT_EQ(fr.offset(0, 60), steps);
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
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> spoil;
    std::string text;  // after "le_a2x_create: "; empty: any runtime text
  };
  const std::vector<float> onePos(64, 0.0f), shortNorm(125, 0.0f);
  const auto raw = [](const std::vector<float>& v) { return std::string(reinterpret_cast<const char*>(v.data()), v.size() * 4); };
  const Case cases[] = {
      {"no meta", [](const TempDir& d) { std::filesystem::remove(d / "a2x_meta.json"); }, "a2x_meta.json missing in "},
      {"no window", [](const TempDir& d) { writeFile(d / "a2x_meta.json", probeMeta("\"width\": true", "\"left\": 3")); },
       "meta lacks causal window/left (not a streaming a2x)"},
      {"negative left",
       [](const TempDir& d) { writeFile(d / "a2x_meta.json", probeMeta("\"width\": true", "\"window\": 2, \"left\": -1")); },
       "meta lacks causal window/left (not a streaming a2x)"},
      {"one positional row", [&](const TempDir& d) { writeFile(d / "a2x_pos.f32", raw(onePos)); },
       "pos/norm/xs_target read failed"},
      {"short norm", [&](const TempDir& d) { writeFile(d / "a2x_norm.f32", raw(shortNorm)); },
       "pos/norm/xs_target read failed"},
      {"empty template", [](const TempDir& d) { writeFile(d / "xs_target.bin", ""); }, "pos/norm/xs_target read failed"},
      {"no decoder", [](const TempDir& d) { std::filesystem::remove(d / "a2x_dec.onnx"); }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    copyA2x(kProbe, dir.path());
    c.spoil(dir);
    EXPECT_EQ(le_a2x_create(dir.path().c_str(), 1), nullptr);
    const std::string err = le_a2x_last_error();
    if (c.text == "a2x_meta.json missing in ")
      EXPECT_EQ(err, "le_a2x_create: a2x_meta.json missing in " + dir.path());
    else if (c.text.empty())
      EXPECT_GT(err.size(), std::string("le_a2x_create: ").size()) << err;
    else
      EXPECT_EQ(err, "le_a2x_create: " + c.text);
    EXPECT_EQ(err.rfind("le_a2x_create: ", 0), 0u) << err;
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

// Pearson correlation of the lip coordinates of frames f of a and f + lag
// of b.
double correlation(const std::vector<float>& a, const std::vector<float>& b, const std::vector<int>& channels,
                   int frames, int lag) {
  std::vector<double> x, y;
  for (int f = std::max(0, -lag); f < frames && f + lag < frames; ++f)
    for (int c : channels) x.push_back(a[f * kKp + c]), y.push_back(b[(f + lag) * kKp + c]);
  double mx = 0, my = 0;
  for (size_t i = 0; i < x.size(); ++i) mx += x[i], my += y[i];
  mx /= x.size(), my /= y.size();
  double sxy = 0, sxx = 0, syy = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxy / std::sqrt(sxx * syy);
}

TEST(A2xSample, ShortWindowFollowsTheLongWindowOnSpeech) {
  // The sample front-end computes the same features on both paths but for
  // the window normalisation (2 s against 8 s of audio), which changes the
  // speech's level, not its timing: the lips move with the same frames.
  useW2v(kSample);
  Handle a(kSample);
  const std::vector<float> speech = readF32(kSpeech);
  const Frames fr = stream(a, speech, 640);            // the short-window front-end
  const std::vector<float> whole = deltas(a, speech);  // always the long window
  ASSERT_EQ(fr.size(), 75u);
  std::vector<float> live(75 * kKp);
  for (size_t f = 0; f < 75; ++f)
    for (int c = 0; c < kKp; ++c) live[f * kKp + c] = fr.offset(f, c);
  std::vector<int> lips;  // the coordinates the sample decoder moves
  for (int c = 0; c < kKp; ++c)
    for (int f = 0; f < 75; ++f)
      if (whole[f * kKp + c] != 0) {
        lips.push_back(c);
        break;
      }
  ASSERT_GE(lips.size(), 4u);
  const double r = correlation(live, whole, lips, 75, 0);
  RecordProperty("lip_correlation", std::to_string(r));
  EXPECT_GT(r, 0.97);  // 0.988 measured
  for (int lag : {-1, 1}) EXPECT_GT(r, correlation(live, whole, lips, 75, lag)) << "lag " << lag;
}

}  // namespace
