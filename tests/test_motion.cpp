// The motion generator on the probe models (which echo their inputs) and on
// the sample models with recorded speech.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "audio/le_logmel.h"
#include "audio/le_motion.h"
#include "le/le_motion.h"

namespace {

namespace fs = std::filesystem;
using le::MotionGenerator;

const std::string kProbe = std::string(LE_FIXTURE_DIR) + "/audio_probe/motion";
constexpr int kDim = MotionGenerator::kDim;

std::vector<float> readFloats(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

void writeFloats(const std::string& path, const std::vector<float>& v) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
}

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/le_motion_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path); }
  std::vector<float> table(const std::string& name) const { return readFloats(path + "/" + name); }
};

// A motion directory made from the probe's: models linked, tables copied, so
// that a test can change any of them.
struct MotionDir : TempDir {
  MotionDir() {
    for (const auto& e : fs::directory_iterator(kProbe)) {
      const fs::path to = fs::path(path) / e.path().filename();
      if (e.path().extension() == ".onnx")
        fs::create_symlink(fs::absolute(e.path()), to);
      else
        fs::copy_file(e.path(), to);
    }
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
  void set(const std::string& name, const std::vector<float>& v) const { writeFloats(file(name), v); }
  void meta(const std::string& text) const { std::ofstream(file("meta.json"), std::ios::trunc) << text; }
  // nt template frames: source-info rows cycled from the probe's, template
  // keypoints numbered by frame.
  void templateFrames(int nt) const {
    const std::vector<float> src = table("src_xs_info.bin");
    std::vector<float> info, keys;
    for (int t = 0; t < nt; ++t) {
      const size_t from = (t % (src.size() / 328)) * 328;
      info.insert(info.end(), src.begin() + from, src.begin() + from + 328);
      for (int c = 0; c < 63; ++c) keys.push_back(100.0f * t + c);
    }
    set("src_xs_info.bin", info);
    set("xs_target.bin", keys);
    meta("{\"nt\": " + std::to_string(nt) + ", \"n_src\": " + std::to_string(nt) + ", \"n_emo\": " +
         std::to_string(table("emo.bin").size() / 8) + "}");
  }
};

// Noise under a syllable-like envelope: every analysis frame differs.
std::vector<float> speechLike(size_t n, unsigned seed = 3) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = 0.2f * (0.6f + 0.4f * std::sin(i * 2e-3f)) * noise(rng);
  return x;
}

struct Pulled {
  std::vector<int> idx;
  std::vector<float> base, out;
  int frames() const { return static_cast<int>(idx.size()); }
};

// Pulls everything available, in one call.
int pullAll(le_motion* m, Pulled& p) {
  const int n = le_motion_avail(m);
  const size_t at = p.idx.size();
  p.idx.resize(at + n);
  p.base.resize((at + n) * 63);
  p.out.resize((at + n) * 63);
  return le_motion_pull(m, p.idx.data() + at, p.base.data() + at * 63, p.out.data() + at * 63, n);
}

int pullAll(MotionGenerator& g) {
  const int n = g.avail();
  std::vector<int> idx(n);
  std::vector<float> base(n * 63), out(n * 63);
  return g.pull(idx.data(), base.data(), out.data(), n);
}

// 640·w + 4480 samples complete window w (frames w..w+4).
constexpr int samplesForRows(int rows) { return 640 * (rows - 5) + 4480; }

TEST(Motion, ConditioningRowsEchoTheirWindows) {
  MotionGenerator g(kProbe, 1, "");
  const std::vector<float> audio = speechLike(samplesForRows(30) + 300);
  g.push(audio.data(), static_cast<int>(audio.size()));
  g.avail();
  ASSERT_EQ(g.conditioningRows(), 30);

  MotionDir d;
  le::LogMel mel(d.table("hubert_stft_window.bin"), d.table("hubert_stft_binmat.bin"));
  const std::vector<float> emo = d.table("emo.bin"), eyeOpen = d.table("ch_eye_open.bin"),
                           eyeBall = d.table("ch_eye_ball.bin"), sc = d.table("ch_sc.bin");
  const int nEmo = static_cast<int>(emo.size() / 8);
  std::vector<float> window(le::LogMel::kSamples), m(80 * 21);
  for (int j = 0; j < 30; ++j) {
    const int w = j - j % 5, i = j % 5;
    for (int k = 0; k < le::LogMel::kSamples; ++k) {
      const long s = 640L * w - 2000 + k;
      window[k] = s >= 0 ? audio[s] : 0.0f;
    }
    mel.compute(window.data(), m.data());
    const float* row = g.conditioningRow(j);
    SCOPED_TRACE("frame " + std::to_string(j));
    // Speech model frames 6 + 2i and 7 + 2i, averaged.
    EXPECT_EQ(row[0], 6.5f + 2 * i);
    EXPECT_EQ(row[1], (m[6 + 2 * i] + m[7 + 2 * i]) / 2.0f);
    EXPECT_EQ(row[2], (m[79 * 21 + 6 + 2 * i] + m[79 * 21 + 7 + 2 * i]) / 2.0f);
    EXPECT_EQ(row[3], 0.0f);
    std::vector<float> tail(row + 1024, row + 1103), want(emo.begin() + (j % nEmo) * 8, emo.begin() + (j % nEmo) * 8 + 8);
    want.insert(want.end(), eyeOpen.begin(), eyeOpen.end());
    want.insert(want.end(), eyeBall.begin(), eyeBall.end());
    want.insert(want.end(), sc.begin(), sc.end());
    EXPECT_EQ(tail, want);
  }
}

// The 3-frame mean over the frames of a sequence that exist.
std::vector<double> smooth3(const std::vector<double>& x, size_t from, size_t to) {
  std::vector<double> y = x;
  for (size_t f = from; f < to; ++f) {
    const size_t a = f ? f - 1 : 0, b = std::min(f + 1, x.size() - 1);
    double s = 0.0;
    for (size_t k = a; k <= b; ++k) s += x[k];
    y[f] = s / static_cast<double>(b - a + 1);
  }
  return y;
}

TEST(Motion, ChunksCrossFadeAndSmooth) {
  // The probe's motion model echoes the conditioning (channel 0: 6.5 + 2 i
  // for the i-th frame of a window) and puts kp[201] in dimension 264; the
  // first chunk's kp[201] is the conditioning source's row [261], a later
  // chunk's is frame M - 11's dimension 201 (the speech feature mean).
  MotionDir d;
  const float a = 1.5f, b = 0.25f;
  std::vector<float> info = d.table("ch_xs_info.bin"), fmean = d.table("hubert_fmean.bin");
  info[261] = a;
  fmean[201] = b;
  d.set("ch_xs_info.bin", info);
  d.set("hubert_fmean.bin", fmean);
  MotionGenerator g(d.path, 1, "");

  const std::vector<float> audio = speechLike(samplesForRows(150));
  struct Step {
    int samples, rows, chunks;
  };
  int pushed = 0;
  for (const Step& s : {Step{samplesForRows(80) - 1, 75, 0}, Step{samplesForRows(80), 80, 1},
                        Step{samplesForRows(150) - 1, 145, 1}, Step{samplesForRows(150), 150, 2}}) {
    g.push(audio.data() + pushed, s.samples - pushed);
    pushed = s.samples;
    g.avail();
    EXPECT_EQ(g.conditioningRows(), s.rows);
    EXPECT_EQ(g.chunks(), s.chunks) << s.samples;
    if (s.chunks == 1 && s.rows == 80) {
      // One chunk: smoothed over its own 80 frames only.
      const std::vector<float> m = g.committedMotion();
      ASSERT_EQ(m.size(), 80u * kDim);
      EXPECT_FLOAT_EQ(m[0], 7.5f);
      EXPECT_FLOAT_EQ(m[79 * kDim], 13.5f);
    }
  }

  const std::vector<float> m = g.committedMotion();
  ASSERT_EQ(m.size(), 150u * kDim);
  const auto weight = [](int j) { return j < 70 ? 0.0 : j < 80 ? (j - 70) / 10.0 : 1.0; };
  // Pose channels 0..2 (frame pattern, mel bands 0 and 79): the first chunk
  // smoothed over its 80 frames, its last 10 faded into the second chunk's
  // first 10, those and the next frame smoothed again.
  for (int c = 0; c < 3; ++c) {
    std::vector<double> raw(150), fade(150);
    for (int j = 0; j < 150; ++j) raw[j] = g.conditioningRow(j)[c];
    const std::vector<double> first = smooth3(std::vector<double>(raw.begin(), raw.begin() + 80), 0, 80);
    for (int j = 0; j < 150; ++j) fade[j] = j < 80 ? (1 - weight(j)) * first[j] + weight(j) * raw[j] : raw[j];
    const std::vector<double> want = smooth3(fade, 70, 81);
    for (int j = 0; j < 150; ++j) EXPECT_NEAR(m[j * kDim + c], want[j], 1e-5) << "frame " << j << " channel " << c;
  }
  // Dimension 264 is never smoothed: the first overlap frame keeps the old
  // motion (weight 0), the tenth takes 0.9 of the new.
  for (int j = 0; j < 150; ++j)
    EXPECT_NEAR(m[j * kDim + 264], (1 - weight(j)) * a + weight(j) * b, 1e-6) << "frame " << j;
  EXPECT_NEAR(m[79 * kDim + 264], 0.1 * a + 0.9 * b, 1e-6);
}

// Lip keypoint 20's z moves with motion dimension 264 (the 63rd expression
// value): out - base = s_bridge · scale_t · g · (m[264] - m_first[264]).
TEST(Motion, HoldBackFinalPassAndClampThroughKeypoints) {
  MotionDir d;
  const float a = 1.5f, b = 0.25f, floor = 0.5f, sBridge = 2.0f;
  std::vector<float> info = d.table("ch_xs_info.bin"), fmean = d.table("hubert_fmean.bin"),
                     src = d.table("src_xs_info.bin"), vmm = d.table("v_min_max.bin");
  info[261] = a;
  info[258] = 1.3f;  // g = 1.3 / scale of template row 0
  fmean[201] = b;
  vmm[264] = floor;
  vmm[kDim + 264] = 10.0f;
  d.set("ch_xs_info.bin", info);
  d.set("hubert_fmean.bin", fmean);
  d.set("v_min_max.bin", vmm);
  const int nt = static_cast<int>(src.size() / 328);
  for (int t = 0; t < nt; ++t) src[t * 328 + 258] = 0.8f + 0.1f * t;
  d.set("src_xs_info.bin", src);
  d.meta("{\"nt\": " + std::to_string(nt) + ", \"n_src\": " + std::to_string(nt) +
         ", \"n_emo\": " + std::to_string(d.table("emo.bin").size() / 8) + ", \"s_bridge\": 2}");

  le_motion* m = le_motion_create(d.path.c_str(), 1, nullptr);
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  le_motion_reset(m, 0, 1, 1);
  const int n = 640 * 160 - 100;  // 160 frames, the last one partial
  const std::vector<float> audio = speechLike(n);
  Pulled p;
  ASSERT_EQ(le_motion_push(m, audio.data(), samplesForRows(150)), 1);
  // 150 rows and two chunks (M = 150): frames up to M - 11 go out.
  EXPECT_EQ(pullAll(m, p), 139);
  EXPECT_EQ(le_motion_avail(m), 0);
  EXPECT_EQ(le_motion_total(m), -1);
  ASSERT_EQ(le_motion_push(m, audio.data() + samplesForRows(150), n - samplesForRows(150)), 1);
  EXPECT_EQ(le_motion_avail(m), 0);
  ASSERT_EQ(le_motion_finish(m), 1);
  EXPECT_EQ(le_motion_total(m), 160);
  EXPECT_EQ(pullAll(m, p), 21);
  EXPECT_EQ(le_motion_avail(m), 0);
  EXPECT_STREQ(le_motion_last_error(), "");

  const double gain = info[258] / src[258];
  for (int j = 0; j < p.frames(); ++j) {
    SCOPED_TRACE("frame " + std::to_string(j));
    const int t = p.idx[j];
    ASSERT_EQ(t, j % nt);
    const double w = j < 70 ? 0.0 : j < 80 ? (j - 70) / 10.0 : 1.0;
    const double m264 = std::max<double>((1 - w) * a + w * b, floor);
    const double want = sBridge * src[t * 328 + 258] * gain * (m264 - a);
    for (int c = 0; c < 63; ++c)
      EXPECT_NEAR(p.out[j * 63 + c] - p.base[j * 63 + c], c == 62 ? want : 0.0, 1e-5) << c;
  }
  le_motion_destroy(m);
}

TEST(Motion, EagerFramesLeaveCommittedMotionAlone) {
  for (int eager : {1, -1}) {
    SCOPED_TRACE("eager " + std::to_string(eager));
    MotionGenerator off(kProbe, 1, ""), on(kProbe, 1, "");
    on.setEager(eager);
    const std::vector<float> audio = speechLike(640 * 230 + 17);
    int pulledOn = 0, pulledOff = 0;
    for (size_t at = 0; at < audio.size(); at += 1500) {
      const int n = static_cast<int>(std::min<size_t>(1500, audio.size() - at));
      off.push(audio.data() + at, n);
      on.push(audio.data() + at, n);
      pulledOff += pullAll(off);
      pulledOn += pullAll(on);
      ASSERT_EQ(on.conditioningRows(), off.conditioningRows());
      ASSERT_EQ(on.committedMotion(), off.committedMotion()) << at;
      // Speculative frames go out up to the one before the audio's end.
      const int frames = static_cast<int>((at + n + 639) / 640);
      if (eager > 0) {
        ASSERT_EQ(pulledOn, frames - 1);
      }
      EXPECT_GE(pulledOn, pulledOff);
    }
    on.finish();
    off.finish();
    EXPECT_EQ(on.committedMotion(), off.committedMotion());
    pulledOff += pullAll(off);
    pulledOn += pullAll(on);
    EXPECT_EQ(on.total(), 231);
    EXPECT_EQ(pulledOn, 231);
    EXPECT_EQ(pulledOff, 231);
  }
}

TEST(Motion, TemplateCursorLoopsOrBounces) {
  struct Case {
    int nt, start, dir, loop;
    std::vector<int> idx;
  };
  const std::vector<Case> cases = {
      {6, 4, 1, 1, {4, 5, 0, 1, 2, 3, 4, 5, 0}},   {6, 1, -1, 1, {1, 0, 5, 4, 3, 2, 1, 0, 5}},
      {6, 4, 1, 0, {4, 5, 4, 3, 2, 1, 0, 1, 2}},   {6, 1, -1, 0, {1, 0, 1, 2, 3, 4, 5, 4, 3}},
      {6, 99, 1, 0, {5, 4, 3, 2, 1, 0, 1, 2, 3}},  {6, -3, -1, 1, {0, 5, 4, 3, 2, 1, 0, 5, 4}},
      {2, 0, 1, 0, {0, 1, 0, 1, 0, 1, 0, 1, 0}},   {1, 0, 1, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {1, 3, -1, 1, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  const std::vector<float> audio = speechLike(640 * 9);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "nt " << c.nt << " start " << c.start << " dir " << c.dir << " loop " << c.loop);
    MotionDir d;
    d.templateFrames(c.nt);
    le_motion* m = le_motion_create(d.path.c_str(), 1, "");
    ASSERT_NE(m, nullptr) << le_motion_last_error();
    EXPECT_EQ(le_motion_nt(m), c.nt);
    le_motion_reset(m, c.start, c.dir, c.loop);
    le_motion_push(m, audio.data(), static_cast<int>(audio.size()));
    le_motion_finish(m);
    Pulled p;
    ASSERT_EQ(pullAll(m, p), 9);
    EXPECT_EQ(p.idx, c.idx);
    // base is the template frame the index names.
    for (int j = 0; j < 9; ++j) EXPECT_EQ(p.base[j * 63 + 5], 100.0f * c.idx[j] + 5);
    le_motion_destroy(m);
  }
}

TEST(Motion, Bin66IsTheSoftmaxExpectation) {
  std::vector<float> logits(66, 0.37f);
  EXPECT_NEAR(le::bin66(logits.data()), 0.0, 1e-12);
  logits.assign(66, -50.0f);
  logits[40] = 50.0f;
  EXPECT_NEAR(le::bin66(logits.data()), 3 * 40 - 97.5, 1e-9);
  // Two equal bins: the midpoint of their centres.
  logits[41] = 50.0f;
  EXPECT_NEAR(le::bin66(logits.data()), 3 * 40.5 - 97.5, 1e-9);
}

// Product of 3x3 row-major matrices.
std::vector<double> mul(const std::vector<double>& x, const std::vector<double>& y) {
  std::vector<double> z(9, 0.0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) z[3 * i + j] += x[3 * i + k] * y[3 * k + j];
  return z;
}

// With a pitch offset, the driven keypoints turn against the source ones:
// out - base = s_bridge · scale · kc · (R_d - R_s), each R the transpose of
// Rz(a3) Ry(a2) Rx(a1) with the angles of the template row's three bin sets.
TEST(Motion, PitchOffsetTurnsTheCanonicalKeypoints) {
  MotionDir d;
  std::vector<float> src = d.table("src_xs_info.bin");
  const int nt = static_cast<int>(src.size() / 328);
  const int pitchBin = 40, secondBin = 20, thirdBin = 50;  // 22.5, -37.5 and 52.5 degrees
  for (int t = 0; t < nt; ++t) {
    float* r = src.data() + t * 328;
    for (int i = 0; i < 66; ++i) {
      r[126 + i] = i == pitchBin ? 60.0f : 0.0f;
      r[262 + i] = i == secondBin ? 60.0f : 0.0f;
      r[192 + i] = i == thirdBin ? 60.0f : 0.0f;
    }
  }
  d.set("src_xs_info.bin", src);
  const double delta = 10.0, sBridge = 0.5;
  d.meta("{\"nt\": " + std::to_string(nt) + ", \"n_src\": " + std::to_string(nt) + ", \"n_emo\": " +
         std::to_string(d.table("emo.bin").size() / 8) + ", \"s_bridge\": 0.5, \"delta_pitch\": 10}");
  le_motion* m = le_motion_create(d.path.c_str(), 1, "");
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  const std::vector<float> audio = speechLike(640 * 4);
  le_motion_push(m, audio.data(), static_cast<int>(audio.size()));
  le_motion_finish(m);
  Pulled p;
  ASSERT_EQ(pullAll(m, p), 4);

  const auto rotation = [](double a1, double a2, double a3) {
    const double k = M_PI / 180.0;
    const double c1 = std::cos(a1 * k), s1 = std::sin(a1 * k), c2 = std::cos(a2 * k), s2 = std::sin(a2 * k),
                 c3 = std::cos(a3 * k), s3 = std::sin(a3 * k);
    const std::vector<double> rx = {1, 0, 0, 0, c1, -s1, 0, s1, c1}, ry = {c2, 0, s2, 0, 1, 0, -s2, 0, c2},
                              rz = {c3, -s3, 0, s3, c3, 0, 0, 0, 1};
    const std::vector<double> r = mul(rz, mul(ry, rx));
    return std::vector<double>{r[0], r[3], r[6], r[1], r[4], r[7], r[2], r[5], r[8]};
  };
  const double a1 = 3 * pitchBin - 97.5, a2 = 3 * secondBin - 97.5, a3 = 3 * thirdBin - 97.5;
  const std::vector<double> rs = rotation(a1, a2, a3), rd = rotation(a1 + delta, a2, a3);
  for (int j = 0; j < 4; ++j) {
    const float* r = src.data() + p.idx[j] * 328;
    for (int k = 0; k < 21; ++k)
      for (int c = 0; c < 3; ++c) {
        double turn = 0.0;
        for (int i = 0; i < 3; ++i) turn += r[63 + 3 * k + i] * (rd[3 * i + c] - rs[3 * i + c]);
        EXPECT_NEAR(p.out[j * 63 + 3 * k + c] - p.base[j * 63 + 3 * k + c], sBridge * r[258] * turn, 1e-5)
            << "frame " << j << " keypoint " << k << " axis " << c;
      }
  }
  le_motion_destroy(m);
}

TEST(Motion, RefusesBadDirectoriesAndArguments) {
  struct Case {
    const char* name;
    void (*change)(const MotionDir&);
    std::string error;  // after "le_motion_create: "; a trailing '*' matches any rest
  };
  const std::vector<Case> cases = {
      {"missing nt", [](const MotionDir& d) { d.meta("{\"n_src\": 4, \"n_emo\": 2}"); }, "meta.json: missing nt"},
      {"nt without a value", [](const MotionDir& d) { d.meta("{\"n_emo\": 2, \"n_src\": 4, \"nt\"}"); },
       "meta.json: bad nt"},
      {"n_src differs",
       [](const MotionDir& d) {
         const size_t nt = d.table("src_xs_info.bin").size() / 328;
         d.meta("{\"nt\": " + std::to_string(nt) + ", \"n_src\": " + std::to_string(nt + 1) + ", \"n_emo\": 1}");
       },
       "le_motion: n_src != nt unsupported"},
      {"short table",
       [](const MotionDir& d) {
         std::vector<float> v = d.table("v_min_max.bin");
         v.pop_back();
         d.set("v_min_max.bin", v);
       },
       "short read *v_min_max.bin*"},
      {"long table",
       [](const MotionDir& d) {
         std::vector<float> v = d.table("hubert_fstd.bin");
         v.push_back(1.0f);
         d.set("hubert_fstd.bin", v);
       },
       "short read *hubert_fstd.bin*"},
      {"missing table", [](const MotionDir& d) { fs::remove(d.file("ch_eye_ball.bin")); }, "cannot open *ch_eye_ball.bin"},
      {"missing model", [](const MotionDir& d) { fs::remove(d.file("stitch.onnx")); }, "*stitch.onnx*"},
  };
  for (const Case& c : cases) {
    MotionDir d;
    c.change(d);
    EXPECT_EQ(le_motion_create(d.path.c_str(), 1, ""), nullptr) << c.name;
    const std::string got = le_motion_last_error();
    std::string pattern = "le_motion_create: " + c.error;
    EXPECT_TRUE(fnmatch(pattern.c_str(), got.c_str(), 0) == 0) << c.name << ": " << got;
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
  EXPECT_STREQ(le_motion_last_error(), "");

  const float pcm[4] = {};
  int idx[1];
  float kp[63];
  EXPECT_EQ(le_motion_push(m, nullptr, 4), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_push(m, pcm, -1), 0);
  EXPECT_EQ(le_motion_pull(m, nullptr, kp, kp, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_pull: bad args");
  EXPECT_EQ(le_motion_pull(m, idx, kp, kp, -1), 0);
  EXPECT_EQ(le_motion_push(m, pcm, 4), 1);
  EXPECT_STREQ(le_motion_last_error(), "");
  EXPECT_EQ(le_motion_finish(m), 1);
  EXPECT_EQ(le_motion_push(m, pcm, 4), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_total(m), 1);
  le_motion_reset(m, 0, 1, 1);
  EXPECT_EQ(le_motion_total(m), -1);
  EXPECT_EQ(le_motion_push(m, pcm, 4), 1);
  le_motion_destroy(m);

  EXPECT_EQ(le_motion_total(nullptr), -1);
  EXPECT_EQ(le_motion_nt(nullptr), 0);
  EXPECT_EQ(le_motion_avail(nullptr), 0);
  EXPECT_EQ(le_motion_finish(nullptr), 0);
  le_motion_destroy(nullptr);
}

TEST(Motion, DumpsFirstChunkAndEveryFrame) {
  TempDir out;
  setenv("LE_MOTION_DUMP", out.path.c_str(), 1);
  le_motion* m = le_motion_create(kProbe.c_str(), 1, "");
  unsetenv("LE_MOTION_DUMP");
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  const std::vector<float> audio = speechLike(640 * 90);
  le_motion_push(m, audio.data(), static_cast<int>(audio.size()));
  le_motion_finish(m);
  Pulled p;
  ASSERT_EQ(pullAll(m, p), 90);
  le_motion_destroy(m);

  const std::vector<std::pair<const char*, size_t>> files = {
      {"mel0.bin", 80 * 21},        {"feat0.bin", 20 * 1024},     {"lmdm0_kp.bin", 265},
      {"lmdm0_aud.bin", 80 * 1103}, {"lmdm0_pred.bin", 80 * 265}, {"xsla.bin", 90 * 63},
      {"xdla.bin", 90 * 63},        {"xs.bin", 90 * 63},          {"xd.bin", 90 * 63},
      {"res_post.bin", 90 * 63},    {"final.bin", 90 * 265}};
  for (const auto& [name, floats] : files) EXPECT_EQ(out.table(name).size(), floats) << name;
  EXPECT_EQ(out.table("res_post.bin"), p.out);
}

// The sample models open the mouth with the speech: the inner-lip gap (row 20
// y minus row 19 y) the motion adds to the template's follows the RMS of each
// 640-sample frame (about 0.85 on this utterance).
TEST(Motion, SampleModelsOpenTheMouthWithSpeech) {
  const std::vector<float> speech = readFloats(std::string(LE_FIXTURE_DIR) + "/speech_3s.f32");
  ASSERT_EQ(speech.size(), 48000u);
  const std::string dir = std::string(LE_FIXTURE_DIR) + "/tiny_jpg/motion";
  for (int eager : {0, 1}) {
    SCOPED_TRACE("eager " + std::to_string(eager));
    le_motion* m = le_motion_create(dir.c_str(), 0, nullptr);
    ASSERT_NE(m, nullptr) << le_motion_last_error();
    le_motion_set_eager(m, eager);
    Pulled p;
    for (size_t at = 0; at < speech.size(); at += 1280) {
      ASSERT_EQ(le_motion_push(m, speech.data() + at, static_cast<int>(std::min<size_t>(1280, speech.size() - at))), 1);
      pullAll(m, p);
    }
    ASSERT_EQ(le_motion_finish(m), 1);
    pullAll(m, p);
    EXPECT_EQ(le_motion_total(m), 75);
    ASSERT_EQ(p.frames(), 75);
    le_motion_destroy(m);

    std::vector<double> gap(75), rms(75);
    for (int j = 0; j < 75; ++j) {
      const float* out = &p.out[j * 63];
      const float* base = &p.base[j * 63];
      gap[j] = (out[61] - out[58]) - (base[61] - base[58]);
      double e = 0.0;
      for (int i = 0; i < 640; ++i) e += double(speech[j * 640 + i]) * speech[j * 640 + i];
      rms[j] = std::sqrt(e / 640);
    }
    double mg = 0.0, mr = 0.0;
    for (int j = 0; j < 75; ++j) mg += gap[j] / 75, mr += rms[j] / 75;
    double sgr = 0.0, sgg = 0.0, srr = 0.0;
    for (int j = 0; j < 75; ++j) {
      sgr += (gap[j] - mg) * (rms[j] - mr);
      sgg += (gap[j] - mg) * (gap[j] - mg);
      srr += (rms[j] - mr) * (rms[j] - mr);
    }
    EXPECT_GT(sgr / std::sqrt(sgg * srr), 0.7);
  }
}

}  // namespace
