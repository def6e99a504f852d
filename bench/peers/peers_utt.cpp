// The utterance pipeline as a host drives it, on the sample avatar (1080p,
// crop 512; the fixtures' tiny bundle when the sample was not made), with two
// threads for the renderer and the audio model, and the warp in one node on
// two cores or fewer as le-render --realtime takes it there:
//   utt_fps_1080p: a 10 s utterance (the 3 s sentence repeated) pushed at once
//     and ended, the host pulling as fast as frames come; le_ms is the wall
//     time per speech frame from the first speech frame pulled to the last.
//     peer=realtime: one frame period (40 ms), so speedup >= 1 is real time.
//     utt_fps_1080p_stage_bound: the same against the slowest stage of one
//     frame timed alone in this process (render, paste including the driver
//     frame's fetch, driver decode, audio model), the rate a perfectly
//     overlapped pipeline reaches; each stage also gets a line against one
//     frame period (peer=frame), the per-frame breakdown.
//   utt_fps_1080p_borrow: the same utterance with the bundle's mouth borrow
//     attached (skipped when the bundle carries none), against peer=realtime.
//   utt_first_frame_ms_p50, _p95: 20 utterances of 1.5 s, each pushed at once
//     and ended, from the push to the first speech frame pulled (then
//     interrupted, and back to the idle loop before the next). peer=lookahead:
//     the same push to the first frame the audio model alone has ready, so the
//     difference is what rendering, pasting and the hand-offs add.
//   utt_interrupt_ms: from le_utt_interrupt during speech, with the output
//     ring full, to the next frame available (median of 6). peer=ramp-frame:
//     one render and one paste timed alone, the work that frame needs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>

#include "borrow/bank_decode.h"
#include "bundle/le_manifest.h"
#include "bundle/le_tessera_members.h"
#include "driver/le_files.h"
#include "le/le.h"
#include "le/le_a2x.h"
#include "le/le_utt.h"
#include "peers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 2;
constexpr int kRate = 16000, kFrameSamples = 640, kKp = 63;
constexpr double kFrameMs = 40.0;
constexpr int kFirstFrameRuns = 20, kInterruptRuns = 6;

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

void sleepUs(int us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// seconds of the sentence, repeated, as the host's 16-bit samples.
std::vector<int16_t> utterance(const std::vector<float>& sentence, double seconds) {
  std::vector<int16_t> pcm(size_t(seconds * kRate));
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = int16_t(std::lround(std::clamp(sentence[i % sentence.size()], -1.0f, 0.99997f) * 32768));
  return pcm;
}

std::vector<float> asFloat(const std::vector<int16_t>& pcm) {
  std::vector<float> f(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) f[i] = float(pcm[i]) * 3.0517578e-5f;
  return f;
}

// p in 0..1 of the values, nearest rank.
double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[size_t(std::max(0.0, std::ceil(p * double(v.size())) - 1))];
}

// A context and a pipeline over it, as a host holds them, with the bundle's
// mouth borrow attached when asked.
class Host {
 public:
  explicit Host(const std::string& dir, bool borrow = false) {
    ctx_ = le_create(dir.c_str(), "render", kThreads, nullptr);
    if (!ctx_) throw std::runtime_error(le_last_error());
    le_utt_opts opts{};
    opts.motion_dir = dir.c_str();
    opts.gap = -1;  // the host ends each utterance itself
    u = le_utt_create(ctx_, &opts);
    std::string failure = u ? "" : le_utt_last_error();
    const auto until = Clock::now() + std::chrono::seconds(120);
    while (u && le_utt_ready(u) == 0 && Clock::now() < until) sleepUs(1000);
    if (u && le_utt_ready(u) != 1) failure = le_utt_ready(u) < 0 ? le_utt_last_error() : "no audio model in 120 s";
    if (failure.empty() && borrow) failure = attachBorrow(dir);
    if (!failure.empty()) {
      le_utt_destroy(u);
      le_destroy(ctx_);
      throw std::runtime_error(failure);
    }
    rgb_.resize(size_t(le_width(ctx_)) * le_height(ctx_) * 3);
  }
  ~Host() {
    le_utt_destroy(u);
    le_destroy(ctx_);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The next frame, pulled as soon as there is one.
  le_utt_frame_info pull() {
    le_utt_frame_info info{};
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (le_utt_pull_frame(u, rgb_.data(), rgb_.size(), &info) != 1) {
      if (Clock::now() > until) throw std::runtime_error("no frame for 60 s");
      sleepUs(100);
    }
    return info;
  }
  void push(const std::vector<int16_t>& pcm) {
    le_utt_push_audio(u, pcm.data(), int(pcm.size()));
    le_utt_end_utterance(u);
  }
  // Pulls until an idle frame comes: the last utterance and its ramp are over.
  void pullToIdle() {
    while (pull().kind != 0) {
    }
  }

  le_utt* u = nullptr;

 private:
  // The bundle's four members and its decoded bank handed to the pipeline;
  // the refusal, if any.
  std::string attachBorrow(const std::string& dir) {
    try {
      const le::TesseraAttachInputs in = le::loadTesseraMembers(dir);
      const le::tessera::BankData bank = le::tessera::bankFromMembers(in);
      char err[1024] = "";
      if (le_utt_tessera_attach(u, bank.bank.data(), in.n_donors, in.cent.data(), in.c_canon.data(), in.aperture.data(),
                                in.stamp.data(), in.head_pt.data(), uint32_t(in.head_pt.size()), in.head_json.c_str(),
                                in.manifest_json.c_str(), err, sizeof err))
        return err;
      return "";
    } catch (const std::exception& e) {
      return std::string("no mouth borrow: ") + e.what();
    }
  }

  le_ctx* ctx_ = nullptr;
  std::vector<uint8_t> rgb_;
};

// The per-frame stages of the pipeline, each timed alone on a context of its
// own (the same threads), over consecutive target frames as speech plays them.
struct Stages {
  double render = 0, paste = 0, decode = 0;
};

Stages frameStages(const std::string& dir) {
  le_ctx* ctx = le_create(dir.c_str(), "render", kThreads, nullptr);
  if (!ctx) throw std::runtime_error(le_last_error());
  const std::unique_ptr<le_ctx, void (*)(le_ctx*)> owner(ctx, le_destroy);
  const int nt = le_nt(ctx);
  const std::vector<float> tmpl = le::readFloats(le::resolveMember(dir, "xs_target.bin"));
  std::vector<float> driven(kKp);
  std::vector<uint8_t> out(size_t(le_width(ctx)) * le_height(ctx) * 3);
  Stages s;
  int si = 0;
  const float* crop = nullptr;
  s.render = le::peers::medianMs([&] {
    si = (si + 1) % nt;
    const float* ks = &tmpl[size_t(si) * kKp];
    for (int k = 0; k < kKp; ++k) driven[k] = ks[k] + (k % 3 == 1 ? 0.01f : 0.0f);  // a slightly open mouth
    crop = le_render_kp_crop(ctx, si, ks, driven.data());
    if (!crop) throw std::runtime_error(le_last_error());
  });
  std::vector<float> kept(crop, crop + size_t(3) * le_crop(ctx) * le_crop(ctx));
  s.paste = le::peers::medianMs([&] {
    si = (si + 1) % nt;
    if (le_paste_crop(ctx, si, kept.data(), out.data(), out.size()) != 1) throw std::runtime_error(le_last_error());
  });
  s.decode = le::peers::medianMs([&] {
    si = (si + 1) % nt;
    if (!le_target_frame(ctx, si)) throw std::runtime_error(le_last_error());
  });
  return s;
}

// An a2x handle as the pipeline opens it (its threads are the context's).
std::unique_ptr<le_a2x, void (*)(le_a2x*)> audioModel(const std::string& dir) {
  le_a2x* a = le_a2x_create(dir.c_str(), kThreads);
  if (!a) throw std::runtime_error(le_a2x_last_error());
  le_a2x_set_eager(a, -1);
  return {a, le_a2x_destroy};
}

// Milliseconds per frame for the audio model alone on the whole utterance,
// pushed at once and finished, every frame pulled.
double audioModelMsPerFrame(const std::string& dir, const std::vector<float>& pcm) {
  auto a = audioModel(dir);
  std::vector<int> idx(64);
  std::vector<float> base(64 * kKp), out(64 * kKp);
  int frames = 0;
  const double ms = le::peers::medianMs(
      [&] {
        le_a2x_reset(a.get(), 0, 1, 1);
        le_a2x_push(a.get(), pcm.data(), int(pcm.size()));
        le_a2x_finish(a.get());
        frames = 0;
        while (const int n = le_a2x_pull(a.get(), idx.data(), base.data(), out.data(), 64)) frames += n;
      },
      0.0);
  return ms / std::max(frames, 1);
}

// Runs a comparison on the avatar and the sentence, or says why it is skipped.
// The warp in one node while a comparison runs on two cores or fewer, as
// le-render --realtime chooses it there (the source-cone prefetch wants a
// spare core); LE_WARP_NODE set by the caller is left alone.
class WarpNodeOnSmallMachines {
 public:
  explicit WarpNodeOnSmallMachines(const char* name) {
    cpu_set_t set;
    if (std::getenv("LE_WARP_NODE") || sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 2) return;
    setenv("LE_WARP_NODE", "1", 1);
    set_ = true;
    std::fprintf(stderr, "%s: %d cores: LE_WARP_NODE=1, as le-render --realtime takes it\n", name, CPU_COUNT(&set));
  }
  ~WarpNodeOnSmallMachines() {
    if (set_) unsetenv("LE_WARP_NODE");
  }
  WarpNodeOnSmallMachines(const WarpNodeOnSmallMachines&) = delete;
  WarpNodeOnSmallMachines& operator=(const WarpNodeOnSmallMachines&) = delete;

 private:
  bool set_ = false;
};

void withAvatar(const char* name, void (*body)(const char*, const std::string&, const std::vector<float>&)) {
  const WarpNodeOnSmallMachines warp(name);
  const std::string dir = le::peers::avatarDir();
  const std::vector<float> sentence = le::peers::speech();
  if (!le::peers::audioReady(name, sentence, dir)) return;
  setenv("W2V_ONNX", (dir + "/audio_encoder.onnx").c_str(), 0);
  std::fprintf(stderr, "%s: %s\n", name, dir.c_str());
  try {
    body(name, dir, sentence);
  } catch (const std::exception& e) {
    std::printf("%s: skipped, %s\n", name, e.what());
  }
}

// Wall ms per speech frame of the 10 s utterance, as utt_fps_1080p describes.
double speechMsPerFrame(const char* name, const std::string& dir, const std::vector<int16_t>& pcm, bool borrow) {
  const int frames = int((pcm.size() + kFrameSamples - 1) / kFrameSamples);
  Host host(dir, borrow);
  host.pull();
  const auto pushed = Clock::now();
  host.push(pcm);
  Clock::time_point first{};
  int speech = 0;
  while (speech < frames) {
    if (host.pull().kind != 1) continue;
    if (speech++ == 0) first = Clock::now();
  }
  const double ms = msSince(first) / (frames - 1);
  le_utt_stats st{};
  le_utt_get_stats(host.u, &st);
  std::fprintf(stderr,
               "%s: %d speech frames, %.0f ms from the push to the last; render %.1f ms per frame "
               "inside the pipeline (moving average)\n",
               name, frames, msSince(pushed), st.render_ms);
  if (borrow) {
    int64_t composited = 0, passed = 0;
    char reason[256] = "";
    le_utt_tessera_stats(host.u, &composited, &passed, reason, sizeof reason);
    std::fprintf(stderr, "%s: borrow composited %lld frames, passed %lld through%s%s\n", name,
                 static_cast<long long>(composited), static_cast<long long>(passed), *reason ? ", last: " : "", reason);
  }
  return ms;
}

void fps(const char* name, const std::string& dir, const std::vector<float>& sentence) {
  const std::vector<int16_t> pcm = utterance(sentence, 10.0);
  const double leMs = speechMsPerFrame(name, dir, pcm, false);
  const Stages s = frameStages(dir);
  const double a2x = audioModelMsPerFrame(dir, asFloat(pcm));
  const double bound = std::max({s.render, s.paste, s.decode, a2x});
  const std::string n = name;
  le::peers::report(n, leMs, "realtime", kFrameMs);
  le::peers::report(n + "_stage_bound", leMs, "stage-bound", bound);
  le::peers::report(n + "_stage_render", s.render, "frame", kFrameMs);
  le::peers::report(n + "_stage_paste", s.paste, "frame", kFrameMs);
  le::peers::report(n + "_stage_decode", s.decode, "frame", kFrameMs);
  le::peers::report(n + "_stage_a2x", a2x, "frame", kFrameMs);
}

void fpsBorrow(const char* name, const std::string& dir, const std::vector<float>& sentence) {
  le::peers::report(name, speechMsPerFrame(name, dir, utterance(sentence, 10.0), true), "realtime", kFrameMs);
}

void firstFrame(const char* name, const std::string& dir, const std::vector<float>& sentence) {
  const std::vector<int16_t> pcm = utterance(sentence, 1.5);
  // The audio model alone, before the pipeline exists, so nothing competes.
  std::vector<double> lookahead;
  {
    auto a = audioModel(dir);
    const std::vector<float> f = asFloat(pcm);
    for (int run = 0; run < kFirstFrameRuns; ++run) {
      le_a2x_reset(a.get(), 0, 1, 1);
      const auto t0 = Clock::now();
      le_a2x_push(a.get(), f.data(), int(f.size()));
      le_a2x_finish(a.get());
      while (le_a2x_avail(a.get()) < 1) {
      }
      lookahead.push_back(msSince(t0));
    }
  }
  std::vector<double> ms;
  Host host(dir);
  for (int run = 0; run < kFirstFrameRuns; ++run) {
    host.pull();
    const auto t0 = Clock::now();
    host.push(pcm);
    while (host.pull().kind != 1) {
    }
    ms.push_back(msSince(t0));
    le_utt_interrupt(host.u);
    host.pullToIdle();
  }
  le::peers::report(std::string(name) + "_p50", percentile(ms, 0.5), "lookahead", percentile(lookahead, 0.5));
  le::peers::report(std::string(name) + "_p95", percentile(ms, 0.95), "lookahead", percentile(lookahead, 0.95));
}

void interrupt(const char* name, const std::string& dir, const std::vector<float>& sentence) {
  const Stages s = frameStages(dir);
  const std::vector<int16_t> pcm = utterance(sentence, 3.0);
  std::vector<double> ms;
  {
    Host host(dir);
    for (int run = 0; run < kInterruptRuns; ++run) {
      host.push(pcm);
      while (host.pull().kind != 1) {
      }
      // The host looks away: speech frames fill the ring behind the one it has.
      while (le_utt_frames_available(host.u) < 8) sleepUs(500);
      const auto t0 = Clock::now();
      le_utt_interrupt(host.u);
      while (le_utt_frames_available(host.u) < 1) sleepUs(50);
      ms.push_back(msSince(t0));
      host.pullToIdle();
    }
  }
  le::peers::report(name, percentile(ms, 0.5), "ramp-frame", s.render + s.paste);
}

const le::peers::Register regFps("utt_fps_1080p", [] { withAvatar("utt_fps_1080p", fps); });
const le::peers::Register regFpsBorrow("utt_fps_1080p_borrow", [] { withAvatar("utt_fps_1080p_borrow", fpsBorrow); });
const le::peers::Register regFirst("utt_first_frame_ms", [] { withAvatar("utt_first_frame_ms", firstFrame); });
const le::peers::Register regInterrupt("utt_interrupt_ms", [] { withAvatar("utt_interrupt_ms", interrupt); });

}  // namespace
