// The motion generator on the probe models, which echo their inputs, and on
// temporary motion directories made from them.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "audio/le_logmel.h"
#include "audio/le_motion.h"
#include "driver/le_files.h"
#include "le/le_motion.h"
#include "bundle_fixtures.h"

namespace {

namespace fs = std::filesystem;
using le::MotionGenerator;

const std::string kFixtures = LE_FIXTURE_DIR;
const std::string kProbe = kFixtures + "/audio_probe/motion";
constexpr int kDim = MotionGenerator::kDim;

// A motion directory made from the probe's (models linked, tables copied) for
// a test to change.
struct MotionDir : le::test::TempDir {
  MotionDir() {
    for (const auto& e : fs::directory_iterator(kProbe)) {
      const fs::path to = file(e.path().filename());
      e.path().extension() == ".onnx" ? fs::create_symlink(e.path(), to) : (void)fs::copy_file(e.path(), to);
    }
  }
  std::string file(const std::string& name) const { return *this / name; }
  std::vector<float> table(const std::string& name) const { return le::readFloats(file(name)); }
  void set(const std::string& name, const std::vector<float>& v) const {
    std::ofstream(file(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
  }
  int nt() const { return static_cast<int>(table("src_xs_info.bin").size() / 328); }
  void meta(const std::string& extra, int nt = 0) const {
    nt = nt ? nt : this->nt();
    std::ofstream(file("meta.json")) << "{\"nt\": " << nt << ", \"n_src\": " << nt << ", \"n_emo\": 4" << extra << "}";
  }
};

// Noise under a slow envelope: every analysis frame differs.
std::vector<float> speechLike(size_t n) {
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = 0.2f * (0.6f + 0.4f * std::sin(i * 2e-3f)) * noise(rng);
  return x;
}

struct Pulled {
  std::vector<int> idx;
  std::vector<float> base, out;
  int frames() const { return static_cast<int>(idx.size()); }
  int add(int n, const std::function<int(int*, float*, float*, int)>& pull) {
    const size_t at = idx.size();
    idx.resize(at + n), base.resize((at + n) * 63), out.resize((at + n) * 63);
    const int got = pull(idx.data() + at, base.data() + at * 63, out.data() + at * 63, n);
    idx.resize(at + got), base.resize((at + got) * 63), out.resize((at + got) * 63);
    return got;
  }
};

// One avail and one pull of all it reported, as a host does.
int pullAll(MotionGenerator& g, Pulled& p) {
  return p.add(g.avail(), [&](int* i, float* b, float* o, int n) { return g.pull(i, b, o, n); });
}
int pullAll(le_motion* m, Pulled& p) {
  return p.add(le_motion_avail(m), [&](int* i, float* b, float* o, int n) { return le_motion_pull(m, i, b, o, n); });
}

// Window w (frames w..w+4) is complete at 640·w + 4480 samples.
constexpr int samplesForRows(int rows) { return 640 * (rows - 5) + 4480; }

// The 3-frame mean over [from, to) of the frames that exist.
std::vector<double> smooth3(const std::vector<double>& x, size_t from, size_t to) {
  std::vector<double> y = x;
  for (size_t f = from; f < to; ++f) {
    const size_t a = f ? f - 1 : 0, b = std::min(f + 1, x.size() - 1);
    y[f] = 0.0;
    for (size_t k = a; k <= b; ++k) y[f] += x[k] / static_cast<double>(b - a + 1);
  }
  return y;
}

// The probe's speech model echoes frame index and mel bands 0 and 79, its
// motion model the conditioning (dimensions < 264) and kp[201] (dimension
// 264): the first chunk's kp[201] is the conditioning source's row [261] (a
// here), a later chunk's is frame M - 11's dimension 201, the speech feature
// mean (b). Dimension 264 is also keypoint 20's z, a lip coordinate, so
// out - base there is s_bridge · scale_t · g · (m[264] - m_first[264]).
TEST(Motion, ChunkedMotionOverEchoedConditioning) {
  MotionDir d;
  const float a = 1.5f, b = 0.25f, floor = 0.5f;
  std::vector<float> info = d.table("ch_xs_info.bin"), fmean = d.table("hubert_fmean.bin"),
                     src = d.table("src_xs_info.bin"), vmm = d.table("v_min_max.bin");
  info[261] = a, info[258] = 1.3f, fmean[201] = b, vmm[264] = floor, vmm[kDim + 264] = 10.0f;
  const int nt = d.nt();
  for (int t = 0; t < nt; ++t) src[t * 328 + 258] = 0.8f + 0.1f * t;
  d.set("ch_xs_info.bin", info), d.set("hubert_fmean.bin", fmean), d.set("src_xs_info.bin", src);
  d.set("v_min_max.bin", vmm);
  d.meta(", \"s_bridge\": 2");
  MotionGenerator g(d.path(), 1, "");

  // Chunks start at 0 and 70 once 80 and 150 rows exist; the last 10 motion
  // frames are held back.
  const std::vector<float> audio = speechLike(640 * 160 - 100);
  struct Step {
    int samples, rows, chunks, pulled;
  };
  Pulled p;
  int pushed = 0;
  for (const Step& s : {Step{samplesForRows(80) - 1, 75, 0, 0}, Step{samplesForRows(80), 80, 1, 69},
                        Step{samplesForRows(150) - 1, 145, 1, 69}, Step{samplesForRows(150), 150, 2, 139},
                        Step{static_cast<int>(audio.size()), 155, 2, 139}}) {
    g.push(audio.data() + pushed, s.samples - pushed);
    pushed = s.samples;
    pullAll(g, p);
    EXPECT_EQ(g.conditioningRows(), s.rows);
    EXPECT_EQ(g.chunks(), s.chunks);
    EXPECT_EQ(p.frames(), s.pulled) << s.samples;
  }

  le::LogMel mel(d.table("hubert_stft_window.bin"), d.table("hubert_stft_binmat.bin"));
  const std::vector<float> emo = d.table("emo.bin");
  std::vector<float> window(le::LogMel::kSamples), m(80 * 21);
  for (int j = 0; j < 150; ++j) {
    const int w = j - j % 5, i = j % 5;
    for (int k = 0; k < le::LogMel::kSamples; ++k)
      window[k] = 640 * w - 2000 + k >= 0 ? audio[640 * w - 2000 + k] : 0.0f;
    mel.compute(window.data(), m.data());
    const float* row = g.conditioningRow(j);
    // Speech model frames 6 + 2i and 7 + 2i averaged, then emotion j mod 4.
    EXPECT_EQ(row[0], 6.5f + 2 * i) << j;
    EXPECT_EQ(row[1], (m[6 + 2 * i] + m[7 + 2 * i]) / 2.0f) << j;
    EXPECT_EQ(row[2], (m[79 * 21 + 6 + 2 * i] + m[79 * 21 + 7 + 2 * i]) / 2.0f) << j;
    EXPECT_EQ(std::vector<float>(row + 1024, row + 1032), std::vector<float>(&emo[j % 4 * 8], &emo[j % 4 * 8 + 8]));
  }

  // The first chunk smoothed over its 80 frames, its last 10 faded into the
  // second chunk's first 10 (weight i/10: 0 for the first, 0.9 for the
  // tenth), those and the next frame smoothed again. Dimension 264 is never
  // smoothed.
  const std::vector<float> motion = g.committedMotion();
  ASSERT_EQ(motion.size(), 150u * kDim);
  const auto weight = [](int j) { return j < 70 ? 0.0 : j < 80 ? (j - 70) / 10.0 : 1.0; };
  for (int c = 0; c < 3; ++c) {
    std::vector<double> raw(150), fade(150);
    for (int j = 0; j < 150; ++j) raw[j] = g.conditioningRow(j)[c];
    const std::vector<double> first = smooth3(std::vector<double>(raw.begin(), raw.begin() + 80), 0, 80);
    for (int j = 0; j < 150; ++j) fade[j] = j < 80 ? (1 - weight(j)) * first[j] + weight(j) * raw[j] : raw[j];
    const std::vector<double> want = smooth3(fade, 70, 81);
    for (int j = 0; j < 150; ++j) EXPECT_NEAR(motion[j * kDim + c], want[j], 1e-5) << j << " " << c;
  }
  for (int j = 0; j < 150; ++j) EXPECT_NEAR(motion[j * kDim + 264], (1 - weight(j)) * a + weight(j) * b, 1e-6) << j;

  // The end: 160 frames (the last one partial), all released, clamped.
  g.finish();
  EXPECT_EQ(g.total(), 160);
  EXPECT_EQ(pullAll(g, p), 21);
  for (int j = 0; j < p.frames(); ++j) {
    const int t = p.idx[j];
    ASSERT_EQ(t, j % nt);
    const double m264 = std::max((1 - weight(j)) * a + weight(j) * b, double(floor));
    const double want = 2.0 * src[t * 328 + 258] * (1.3 / src[258]) * (m264 - a);
    for (int c = 0; c < 63; ++c)
      EXPECT_NEAR(p.out[j * 63 + c] - p.base[j * 63 + c], c == 62 ? want : 0.0, 1e-5) << j << " " << c;
  }
}

TEST(Motion, EagerFramesLeaveCommittedMotionAlone) {
  for (int eager : {1, -1}) {
    SCOPED_TRACE("eager " + std::to_string(eager));
    MotionGenerator off(kProbe, 1, ""), on(kProbe, 1, "");
    on.setEager(eager);
    const std::vector<float> audio = speechLike(640 * 230 + 17);
    Pulled pOn, pOff;
    for (size_t at = 0; at < audio.size(); at += 1500) {
      const int n = static_cast<int>(std::min<size_t>(1500, audio.size() - at));
      off.push(audio.data() + at, n), on.push(audio.data() + at, n);
      pullAll(off, pOff), pullAll(on, pOn);
      ASSERT_EQ(on.conditioningRows(), off.conditioningRows());
      ASSERT_EQ(on.committedMotion(), off.committedMotion()) << at;
      // Speculative frames go out up to the one before the audio's end (the
      // adaptive step may lag on a loaded machine).
      if (eager > 0) {
        ASSERT_EQ(pOn.frames(), static_cast<int>((at + n + 639) / 640) - 1);
      }
      ASSERT_GE(pOn.frames(), pOff.frames());
    }
    on.finish(), off.finish();
    EXPECT_EQ(on.committedMotion(), off.committedMotion());
    pullAll(off, pOff), pullAll(on, pOn);
    EXPECT_EQ(on.total(), 231);
    EXPECT_EQ(pOn.frames(), 231);
    EXPECT_EQ(pOff.frames(), 231);
  }
}

TEST(Motion, TemplateCursorLoopsOrBounces) {
  struct Case {
    int nt, start, dir, loop;
    std::vector<int> idx;
  };
  const std::vector<Case> cases = {
      {6, 4, 1, 1, {4, 5, 0, 1, 2, 3, 4}},  {6, 1, -1, 1, {1, 0, 5, 4, 3, 2, 1}}, {6, 4, 1, 0, {4, 5, 4, 3, 2, 1, 0}},
      {6, 1, -1, 0, {1, 0, 1, 2, 3, 4, 5}}, {6, 99, 1, 0, {5, 4, 3, 2, 1, 0, 1}}, {6, -3, -1, 1, {0, 5, 4, 3, 2, 1, 0}},
      {2, 0, 1, 0, {0, 1, 0, 1, 0, 1, 0}},  {1, 0, 1, 0, {0, 0, 0, 0, 0, 0, 0}},  {1, 3, -1, 1, {0, 0, 0, 0, 0, 0, 0}}};
  const std::vector<float> audio = speechLike(640 * 7);
  for (const Case& c : cases) {
    MotionDir d;
    std::vector<float> info = d.table("src_xs_info.bin"), keys;
    info.resize(c.nt * 328, 1.0f);
    for (int t = 0; t < c.nt; ++t)
      for (int k = 0; k < 63; ++k) keys.push_back(100.0f * t + k);
    d.set("src_xs_info.bin", info), d.set("xs_target.bin", keys), d.meta("", c.nt);
    le_motion* m = le_motion_create(d.path().c_str(), 1, "");
    ASSERT_NE(m, nullptr) << le_motion_last_error();
    EXPECT_EQ(le_motion_nt(m), c.nt);
    le_motion_reset(m, c.start, c.dir, c.loop);
    le_motion_push(m, audio.data(), static_cast<int>(audio.size()));
    le_motion_finish(m);
    Pulled p;
    pullAll(m, p);
    EXPECT_EQ(p.idx, c.idx) << c.nt << " " << c.start << " " << c.dir << " " << c.loop;
    for (int j = 0; j < p.frames(); ++j) EXPECT_EQ(p.base[j * 63 + 5], 100.0f * c.idx[j] + 5);  // that frame's keys
    le_motion_destroy(m);
  }
}

std::vector<double> mul(const std::vector<double>& x, const std::vector<double>& y) {
  std::vector<double> z(9, 0.0);
  for (int i = 0; i < 9; ++i)
    for (int k = 0; k < 3; ++k) z[i] += x[i / 3 * 3 + k] * y[3 * k + i % 3];
  return z;
}

// With a pitch offset the driven keypoints turn against the source ones:
// out - base = s_bridge · scale · kc · (R_d - R_s), each R the transpose of
// Rz(a3) Ry(a2) Rx(a1) with the angles of the template row's bin sets.
TEST(Motion, PitchOffsetTurnsTheCanonicalKeypointsThroughBinExpectations) {
  MotionDir d;
  std::vector<float> src = d.table("src_xs_info.bin");
  const int pitch = 40, second = 20, third = 50;  // 22.5, -37.5 and 52.5 degrees
  for (int t = 0; t < d.nt(); ++t)
    for (int i = 0; i < 66; ++i) {
      src[t * 328 + 126 + i] = i == pitch ? 60.0f : 0.0f;
      src[t * 328 + 262 + i] = i == second ? 60.0f : 0.0f;
      src[t * 328 + 192 + i] = i == third ? 60.0f : 0.0f;
    }
  d.set("src_xs_info.bin", src);
  d.meta(", \"s_bridge\": 0.5, \"delta_pitch\": 10");
  le_motion* m = le_motion_create(d.path().c_str(), 1, "");
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  const std::vector<float> audio = speechLike(640 * 4);
  le_motion_push(m, audio.data(), static_cast<int>(audio.size()));
  le_motion_finish(m);
  Pulled p;
  ASSERT_EQ(pullAll(m, p), 4);
  le_motion_destroy(m);

  const auto rotation = [](double a1, double a2, double a3) {
    const double k = M_PI / 180.0, c1 = std::cos(a1 * k), s1 = std::sin(a1 * k), c2 = std::cos(a2 * k),
                 s2 = std::sin(a2 * k), c3 = std::cos(a3 * k), s3 = std::sin(a3 * k);
    const std::vector<double> r =
        mul({c3, -s3, 0, s3, c3, 0, 0, 0, 1}, mul({c2, 0, s2, 0, 1, 0, -s2, 0, c2}, {1, 0, 0, 0, c1, -s1, 0, s1, c1}));
    return std::vector<double>{r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]};
  };
  std::vector<float> logits(66, 0.37f);
  EXPECT_NEAR(le::bin66(logits.data()), 0.0, 1e-12);  // uniform: the middle of the 66 bins
  const double a1 = 3 * pitch - 97.5, a2 = 3 * second - 97.5, a3 = 3 * third - 97.5;
  const std::vector<double> rs = rotation(a1, a2, a3), rd = rotation(a1 + 10, a2, a3);
  for (int j = 0; j < 4; ++j) {
    const float* r = src.data() + p.idx[j] * 328;
    for (int c = 0; c < 63; ++c) {
      double turn = 0.0;
      for (int i = 0; i < 3; ++i) turn += r[63 + c / 3 * 3 + i] * (rd[3 * i + c % 3] - rs[3 * i + c % 3]);
      EXPECT_NEAR(p.out[j * 63 + c] - p.base[j * 63 + c], 0.5 * r[258] * turn, 1e-5) << j << " " << c;
    }
  }
}

TEST(Motion, RefusesBadDirectoriesAndArguments) {
  struct Case {
    std::function<void(const MotionDir&)> change;
    std::string error;  // after "le_motion_create: ", a shell pattern
  };
  const auto meta = [](const char* text) {
    return [=](const MotionDir& d) { std::ofstream(d.file("meta.json")) << text; };
  };
  const auto remove = [](const char* name) { return [=](const MotionDir& d) { fs::remove(d.file(name)); }; };
  const std::vector<Case> cases = {
      {meta(R"({"n_src": 4, "n_emo": 2})"), "meta.json: missing nt"},
      {meta(R"({"n_src": 4, "n_emo": 2, "nt"})"), "meta.json: bad nt"},
      {meta(R"({"nt": 12, "n_src": 6, "n_emo": 4})"), "le_motion: n_src != nt unsupported"},
      {[](const MotionDir& d) {
         std::vector<float> v = d.table("v_min_max.bin");
         d.set("v_min_max.bin", std::vector<float>(v.begin(), v.end() - 1));
       },
       "short read *v_min_max.bin*"},
      {remove("ch_eye_ball.bin"), "cannot open *ch_eye_ball.bin"},
      {remove("stitch.onnx"), "*stitch.onnx*"},
  };
  for (const Case& c : cases) {
    MotionDir d;
    c.change(d);
    EXPECT_EQ(le_motion_create(d.path().c_str(), 1, ""), nullptr);
    EXPECT_EQ(fnmatch(("le_motion_create: " + c.error).c_str(), le_motion_last_error(), 0), 0)
        << le_motion_last_error();
  }
  EXPECT_EQ(le_motion_create(nullptr, 1, ""), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: NULL motion_dir");
  EXPECT_EQ(le_motion_create(kProbe.c_str(), 1, "tpu"), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: le_motion: unknown ep 'tpu'");

  // This runtime has no CoreML provider: the models open on the CPU.
  testing::internal::CaptureStderr();
  le_motion* m = le_motion_create(kProbe.c_str(), 0, "coreml:gpu");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[le] CoreML EP session refused: "), std::string::npos);
  ASSERT_NE(m, nullptr) << le_motion_last_error();

  const float pcm[4] = {};
  float kp[63];
  EXPECT_EQ(le_motion_pull(m, nullptr, kp, kp, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_pull: bad args");
  EXPECT_EQ(le_motion_push(m, pcm, -1), 0);
  EXPECT_EQ(le_motion_finish(m), 1);
  EXPECT_EQ(le_motion_total(m), 0);
  EXPECT_EQ(le_motion_push(m, pcm, 4), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  le_motion_reset(m, 0, 1, 1);
  EXPECT_EQ(le_motion_total(m), -1);
  EXPECT_EQ(le_motion_push(m, pcm, 4), 1);
  EXPECT_STREQ(le_motion_last_error(), "");
  le_motion_destroy(m);
  EXPECT_EQ(le_motion_total(nullptr), -1);
  EXPECT_EQ(le_motion_finish(nullptr), 0);
}

}  // namespace
