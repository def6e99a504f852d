// Helpers of the utterance-pipeline tests: the speech fixture as 16-bit PCM,
// a context with a pipeline over it driven from the host's side, and what the
// host would show itself for each frame.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio_fixtures.h"
#include "le/le.h"
#include "le/le_motion.h"
#include "le/le_utt.h"

namespace le::test {

using Clock = std::chrono::steady_clock;

inline const std::string kUttBundle = LE_FIXTURE_DIR "/tiny_jpg";

inline std::vector<int16_t> speechPcm() {
  const std::vector<float> f = le::readFloats(LE_FIXTURE_DIR "/speech_3s.f32");
  std::vector<int16_t> pcm(f.size());
  for (size_t i = 0; i < f.size(); ++i)
    pcm[i] = int16_t(std::lround(std::fmax(-1.f, std::fmin(f[i], 0.99997f)) * 32768));
  return pcm;
}

inline std::vector<float> asFloat(const std::vector<int16_t>& pcm) {
  std::vector<float> f(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) f[i] = float(pcm[i]) * 3.0517578e-5f;
  return f;
}

struct Frame {
  le_utt_frame_info info{};
  std::vector<uint8_t> rgb;
};

// A context (one renderer thread, so renders are reproducible) with a
// pipeline over it.
struct Pipeline {
  explicit Pipeline(const std::string& bundle, le_utt_opts opts = {}, const std::string& motionDir = "")
      : dir(motionDir.empty() ? bundle : motionDir) {
    useW2v(bundle);
    ctx = le_create(bundle.c_str(), "render", 1, nullptr);
    if (!ctx) throw std::runtime_error(le_last_error());
    opts.motion_dir = dir.c_str();
    u = le_utt_create(ctx, &opts);
    if (!u) throw std::runtime_error(le_utt_last_error());
    rgb.resize(size_t(le_width(ctx)) * le_height(ctx) * 3);
  }
  ~Pipeline() {
    le_utt_destroy(u);
    le_destroy(ctx);
  }

  int waitReady() {
    int r;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while ((r = le_utt_ready(u)) == 0 && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return r;
  }
  // The next frame; fails the test after 20 s without one.
  Frame pull() {
    Frame f;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (!le_utt_pull_frame(u, rgb.data(), rgb.size(), &f.info)) {
      if (Clock::now() > until) throw std::runtime_error("no frame for 20 s");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    f.rgb = rgb;
    return f;
  }
  void push(const std::vector<int16_t>& pcm) { ASSERT_EQ(le_utt_push_audio(u, pcm.data(), int(pcm.size())), 1); }

  std::string dir;
  le_ctx* ctx = nullptr;
  le_utt* u = nullptr;
  std::vector<uint8_t> rgb;
};

// The speech keypoints of pcm from the a2x model in dir, starting at
// template frame start.
inline Frames a2xSpeech(const std::string& dir, const std::vector<float>& pcm, int start) {
  Handle a(dir);
  le_a2x_reset(a, start, 1, 1);
  le_a2x_push(a, pcm.data(), int(pcm.size()));
  le_a2x_finish(a);
  Frames f;
  f.pullAll(a);
  return f;
}

// What the host would show itself: a context of its own, the template and an
// a2x handle, rendering and pasting frame by frame.
struct Reference {
  explicit Reference(const std::string& bundle)
      : ctx(le_create(bundle.c_str(), "render", 1, nullptr)),
        tmpl(le::readFloats(le::resolveMember(bundle, "xs_target.bin"))),
        bundle(bundle) {
    nt = le_nt(ctx);
  }
  ~Reference() { le_destroy(ctx); }

  // The speech keypoints of an utterance starting at template frame start,
  // from the a2x model of the bundle or the motion generator in motionDir.
  Frames speech(const std::vector<float>& pcm, int start, const std::string& motionDir = "") {
    if (!motionDir.empty()) {
      le_motion* m = le_motion_create(motionDir.c_str(), 1, "");
      if (!m) throw std::runtime_error(le_motion_last_error());
      le_motion_reset(m, start, 1, 1);
      le_motion_push(m, pcm.data(), int(pcm.size()));
      le_motion_finish(m);
      Frames f;
      std::vector<int> idx(64);
      std::vector<float> base(64 * kKp), out(64 * kKp);
      while (const int got = le_motion_pull(m, idx.data(), base.data(), out.data(), 64)) {
        f.idx.insert(f.idx.end(), idx.begin(), idx.begin() + got);
        f.base.insert(f.base.end(), base.begin(), base.begin() + got * kKp);
        f.out.insert(f.out.end(), out.begin(), out.begin() + got * kKp);
      }
      le_motion_destroy(m);
      return f;
    }
    return a2xSpeech(bundle, pcm, start);
  }
  // The crop of template frame si driven from ks to kd: three planes.
  std::vector<float> crop(int si, const float* ks, const float* kd) {
    const float* c = le_render_kp_crop(ctx, si, ks, kd);
    if (!c) throw std::runtime_error(le_last_error());
    return std::vector<float>(c, c + 3 * size_t(le_crop(ctx)) * le_crop(ctx));
  }
  std::vector<uint8_t> paste(int si, const std::vector<float>& crop) {
    std::vector<uint8_t> out(size_t(le_width(ctx)) * le_height(ctx) * 3);
    if (le_paste_crop(ctx, si, crop.data(), out.data(), out.size()) != 1) throw std::runtime_error(le_last_error());
    return out;
  }
  std::vector<uint8_t> render(int si, const float* ks, const float* kd) { return paste(si, crop(si, ks, kd)); }
  std::vector<uint8_t> idle(int si) {
    const uint8_t* f = le_target_frame(ctx, si);
    return std::vector<uint8_t>(f, f + size_t(le_width(ctx)) * le_height(ctx) * 3);
  }
  // Ramp step j of R from the pose (si, kd) back to the template: the
  // template frame it renders, with the keypoints driving it in *driven.
  int rampPose(int si, const float* kd, int j, int R, std::vector<float>* driven) const {
    const int t = (si + j) % nt;
    const float w = 1.0f - float(j) / float(R);
    driven->resize(kKp);
    for (int k = 0; k < kKp; ++k) (*driven)[k] = w * (kd[k] - tmpl[si * kKp + k]) + tmpl[t * kKp + k];
    return t;
  }
  std::vector<uint8_t> ramp(int si, const float* kd, int j, int R) {
    std::vector<float> driven;
    const int t = rampPose(si, kd, j, R, &driven);
    return render(t, &tmpl[t * kKp], driven.data());
  }

  le_ctx* ctx;
  std::vector<float> tmpl;
  std::string bundle;
  int nt = 0;
};

}  // namespace le::test
