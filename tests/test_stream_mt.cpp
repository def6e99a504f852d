// The stream runner on the tiny bundle: frames come out in order, each
// exactly the frame a host would render and paste itself from the template
// and the FCA offsets, with skipped frames and template wrap-around; a render
// failure ends the run after the frames before it.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio_fixtures.h"
#include "le/le_fca.h"
#include "le/le_stream.h"

namespace {

using namespace le::test;

const std::string kBundle = LE_FIXTURE_DIR "/tiny_jpg";
const std::string kSpeech = kBundle + "/audio_encoder.onnx";

struct Delivered {
  std::vector<int> index;
  std::vector<std::vector<uint8_t>> rgb;
  int width = 0, height = 0;
};

void collect(void* user, int index, const uint8_t* rgb, int w, int h) {
  auto* d = static_cast<Delivered*>(user);
  d->index.push_back(index);
  d->rgb.emplace_back(rgb, rgb + size_t(w) * h * 3);
  d->width = w, d->height = h;
}

// Template frame t driven by kd, rendered and pasted through the render API;
// empty when either call fails.
std::vector<uint8_t> hostFrame(le_ctx* ctx, int t, const float* ks, const float* kd) {
  std::vector<uint8_t> rgb(size_t(le_width(ctx)) * le_height(ctx) * 3);
  const float* crop = le_render_kp_crop(ctx, t, ks, kd);
  if (!crop || le_paste_crop(ctx, t, crop, rgb.data(), rgb.size()) != 1) rgb.clear();
  return rgb;
}

TEST(StreamRun, FramesAreTheHostsOwnRenders) {
  const int skip = 3, frames = 14;  // NT 12: the template wraps after 9 frames
  le_stream* s = le_stream_create(kBundle.c_str(), kSpeech.c_str(), 1, skip, 0.8f);
  ASSERT_NE(s, nullptr) << le_stream_last_error();
  const std::vector<float> pcm = le::readFloats(LE_FIXTURE_DIR "/speech_3s.f32");
  const int n = 640 * (frames - 1) + 1;
  const int base = 640 * 20;  // inside the sentence, so the offsets move the lips
  Delivered got;
  ASSERT_EQ(le_stream_run(s, pcm.data() + base, n, collect, &got), frames - skip) << le_stream_last_error();
  EXPECT_STREQ(le_stream_last_error(), "");
  EXPECT_EQ(got.width, le_stream_width(s));
  EXPECT_EQ(got.height, le_stream_height(s));

  // The reference: the same offsets from a handle of our own, rendered and
  // pasted frame by frame through the render API.
  le_fca* fca = le_fca_create(kSpeech.c_str(), (kBundle + "/fca_stream.onnx").c_str(), 1);
  std::vector<float> delta(frames * kKp);
  ASSERT_EQ(le_fca_deltas(fca, pcm.data() + base, n, delta.data(), frames), frames);
  le_fca_destroy(fca);
  const std::vector<float> tmpl = le::readFloats(le::resolveMember(kBundle, "xs_target.bin"));
  le_ctx* ctx = le_create(kBundle.c_str(), "render", 1, "");
  ASSERT_NE(ctx, nullptr);
  const int nt = le_nt(ctx);
  ASSERT_EQ(int(tmpl.size()), nt * kKp);
  for (int j = 0; j < frames - skip; ++j) {
    const int i = j + skip, t = i % nt;
    std::vector<float> kd(kKp);
    for (int c = 0; c < kKp; ++c) kd[c] = tmpl[t * kKp + c] + 0.8f * delta[i * kKp + c];
    EXPECT_EQ(got.index[j], j);
    EXPECT_TRUE(got.rgb[j] == hostFrame(ctx, t, &tmpl[t * kKp], kd.data()))
        << "frame " << j << " (template " << t << ")";
  }
  le_destroy(ctx);

  // No audio, or nothing left after the skip: no frame and no callback.
  Delivered none;
  EXPECT_EQ(le_stream_run(s, pcm.data(), 0, collect, &none), 0);
  EXPECT_EQ(le_stream_run(s, pcm.data(), 640 * skip, collect, &none), 0);
  EXPECT_TRUE(none.index.empty());
  le_stream_destroy(s);
}

TEST(StreamRun, RenderFailureEndsTheRunAfterTheFramesBefore) {
  constexpr int kFailAt = 5;
  TempDir dir;
  failingCopy(dir.path(), kFailAt);  // at gain 0 the driving keypoints are the template rows
  const std::vector<float> tmpl = le::readFloats(le::resolveMember(dir.path(), "xs_target.bin"));

  le_stream* s = le_stream_create(dir.path().c_str(), (dir / "audio_encoder.onnx").c_str(), 1, 0, 0.0f);
  ASSERT_NE(s, nullptr) << le_stream_last_error();
  const std::vector<float> pcm = le::readFloats(LE_FIXTURE_DIR "/speech_3s.f32");
  Delivered failed, clean;
  EXPECT_EQ(le_stream_run(s, pcm.data(), 640 * 8 + 1, collect, &failed), -1);  // 9 frames
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  // The handle survives: an utterance that ends before template row 5 runs clean.
  EXPECT_EQ(le_stream_run(s, pcm.data(), 640 * kFailAt, collect, &clean), kFailAt) << le_stream_last_error();
  EXPECT_STREQ(le_stream_last_error(), "");
  le_stream_destroy(s);

  // Both runs delivered frames 0..4, each what tiny_jpg's standard director
  // renders from the same template rows.
  le_ctx* ctx = le_create(kBundle.c_str(), "render", 1, "");
  ASSERT_NE(ctx, nullptr) << le_last_error();
  for (const Delivered* d : {&failed, &clean}) {
    ASSERT_EQ(d->index, (std::vector<int>{0, 1, 2, 3, 4}));
    for (int j = 0; j < kFailAt; ++j)
      EXPECT_TRUE(d->rgb[j] == hostFrame(ctx, j, &tmpl[j * kKp], &tmpl[j * kKp])) << "frame " << j;
  }
  le_destroy(ctx);

  // Frame 5 failed in the runtime's Reshape, not on an argument check.
  le_ctx* fail = le_create(dir.path().c_str(), "render", 1, "");
  ASSERT_NE(fail, nullptr) << le_last_error();
  EXPECT_EQ(le_render_kp_crop(fail, kFailAt, &tmpl[kFailAt * kKp], &tmpl[kFailAt * kKp]), nullptr);
  EXPECT_NE(std::string(le_last_error()).find("Reshape"), std::string::npos) << le_last_error();
  le_destroy(fail);
}

TEST(StreamRun, Refusals) {
  struct Case {
    const char* bundle;
    const char* speech;
    const char* prefix;
  };
  const std::string missing = LE_FIXTURE_DIR "/no_such_bundle";
  for (const Case& c : {Case{kBundle.c_str(), "/nonexistent/encoder.onnx", "le_fca_create: le_fca_create: "},
                        Case{missing.c_str(), kSpeech.c_str(), "le_stream_create: "},
                        Case{nullptr, kSpeech.c_str(), "le_stream_create: NULL bundle/speech_model"}}) {
    EXPECT_EQ(le_stream_create(c.bundle, c.speech, 1, 0, 1.0f), nullptr);
    EXPECT_EQ(std::string(le_stream_last_error()).rfind(c.prefix, 0), 0u) << le_stream_last_error();
  }
  EXPECT_EQ(le_stream_run(nullptr, nullptr, 0, collect, nullptr), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: NULL handle/pcm/callback");
  EXPECT_EQ(le_stream_width(nullptr), 0);
  le_stream_destroy(nullptr);
}

}  // namespace
