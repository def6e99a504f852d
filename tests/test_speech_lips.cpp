// Every audio family on the sample models and the espeak-ng sentence: one row
// per 40 ms frame, and a mouth that opens with the voice and stays shut in the
// silence before it. The lip opening is the inner-lip gap (keypoint 20's y
// minus keypoint 19's) that the model adds to the template.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "audio_fixtures.h"
#include "le/le_fca.h"
#include "le/le_motion.h"

namespace {

using namespace le::test;

const std::string kBundle = LE_FIXTURE_DIR "/tiny_jpg";
constexpr int kFrames = 75;      // 3 s
constexpr int kSilentFrames = 5; // the sentence starts 0.2 s in
constexpr int kGap = 3 * 20 + 1, kTop = 3 * 19 + 1;

// Offsets from the template, one row of 63 per frame.
using Offsets = std::vector<float>;

Offsets a2xStream(const std::vector<float>& pcm) {
  useW2v(kBundle);
  Handle a(kBundle);
  const Frames f = stream(a, pcm, 320);
  Offsets d(f.size() * kKp);
  for (size_t j = 0; j < f.size(); ++j)
    for (int c = 0; c < kKp; ++c) d[j * kKp + c] = f.offset(int(j), c);
  return d;
}

Offsets a2xDeltas(const std::vector<float>& pcm) {
  useW2v(kBundle);
  Handle a(kBundle);
  return deltas(a, pcm);
}

Offsets motion(const std::vector<float>& pcm, int eager) {
  le_motion* m = le_motion_create((kBundle + "/motion").c_str(), 1, nullptr);
  if (!m) throw std::runtime_error(le_motion_last_error());
  le_motion_set_eager(m, eager);
  Offsets d;
  int idx[kFrames];
  std::vector<float> base(kFrames * kKp), out(kFrames * kKp);
  const auto pull = [&] {
    const int n = le_motion_pull(m, idx, base.data(), out.data(), kFrames);
    for (int i = 0; i < n * kKp; ++i) d.push_back(out[i] - base[i]);
  };
  for (size_t at = 0; at < pcm.size(); at += 320) {
    le_motion_push(m, pcm.data() + at, int(std::min<size_t>(320, pcm.size() - at)));
    pull();
  }
  le_motion_finish(m);
  pull();
  EXPECT_EQ(le_motion_total(m), kFrames);
  le_motion_destroy(m);
  return d;
}

Offsets fca(const std::vector<float>& pcm) {
  le_fca* f = le_fca_create((kBundle + "/audio_encoder.onnx").c_str(), (kBundle + "/fca_stream.onnx").c_str(), 1);
  if (!f) throw std::runtime_error(le_fca_last_error());
  Offsets d(kFrames * kKp);
  EXPECT_EQ(le_fca_deltas(f, pcm.data(), int(pcm.size()), d.data(), kFrames), kFrames) << le_fca_last_error();
  le_fca_destroy(f);
  return d;
}

TEST(SpeechLips, EveryFamilyOpensTheMouthWithTheVoice) {
  const std::vector<float> pcm = le::readFloats(LE_FIXTURE_DIR "/speech_3s.f32");
  ASSERT_EQ(pcm.size(), 48000u);
  std::vector<double> rms(kFrames);
  for (int j = 0; j < kFrames; ++j) {
    double e = 0;
    for (int i = 0; i < 640; ++i) e += double(pcm[j * 640 + i]) * pcm[j * 640 + i];
    rms[j] = std::sqrt(e / 640);
  }
  struct Family {
    const char* name;
    Offsets offsets;
    double minCorrelation;  // measured: a2x 0.59 (both paths), motion 0.85, fca 0.65
  };
  const Family families[] = {{"a2x stream", a2xStream(pcm), 0.45},  {"a2x deltas", a2xDeltas(pcm), 0.45},
                             {"motion", motion(pcm, 0), 0.7},        {"motion eager", motion(pcm, 1), 0.7},
                             {"fca", fca(pcm), 0.5}};
  for (const Family& f : families) {
    SCOPED_TRACE(f.name);
    ASSERT_EQ(f.offsets.size(), size_t(kFrames) * kKp);
    std::vector<double> gap(kFrames);
    for (int j = 0; j < kFrames; ++j) gap[j] = f.offsets[j * kKp + kGap] - f.offsets[j * kKp + kTop];
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int j = 0; j < kFrames; ++j) {
      sx += gap[j], sy += rms[j], sxx += gap[j] * gap[j], syy += rms[j] * rms[j], sxy += gap[j] * rms[j];
    }
    const double r = (sxy - sx * sy / kFrames) / std::sqrt((sxx - sx * sx / kFrames) * (syy - sy * sy / kFrames));
    RecordProperty(std::string(f.name) + " r", std::to_string(r));
    EXPECT_GT(r, f.minCorrelation);
    const double open = *std::max_element(gap.begin(), gap.end());
    EXPECT_GT(open, 0.02);  // crop half-widths: a visible opening
    for (int j = 0; j < kSilentFrames - 1; ++j) EXPECT_LT(std::abs(gap[j]), 0.2 * open) << "frame " << j;
  }
}

}  // namespace
