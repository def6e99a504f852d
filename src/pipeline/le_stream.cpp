// The stream runner: a whole utterance through the FCA model, a render thread
// and the paste on the calling thread, frames handed to the host in order.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_imx.h"
#include "bundle/le_manifest.h"
#include "driver/le_files.h"
#include "kernels/le_c_error.h"
#include "le/le_fca.h"
#include "le/le_stream.h"

namespace {

constexpr int kKp = 63;
constexpr int kFrameSamples = 640;
constexpr int kRing = 4;  // crops rendered ahead of the paste

std::string& streamError() {
  thread_local std::string g_err;
  return g_err;
}

}  // namespace

struct le_stream {
  le_ctx* ctx = nullptr;
  le_fca* fca = nullptr;
  std::vector<float> tmpl;  // NT rows of 63
  int nt = 0, width = 0, height = 0, crop = 0, skip = 0;
  float gain = 1.0f;

  ~le_stream() {
    le_fca_destroy(fca);
    le_destroy(ctx);
  }
};

namespace {

// Crops handed from the render thread to the paste, at most kRing ahead.
class CropRing {
 public:
  explicit CropRing(size_t cropFloats) : slots_(kRing, std::vector<float>(cropFloats)) {}

  // Render side: a free slot for crop j, or nullptr once the paste stopped.
  float* slotFor(int j) {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return produced_ - consumed_ < kRing || stopped_; });
    return stopped_ ? nullptr : slots_[j % kRing].data();
  }
  void produced() {
    change(filled_, [&] { ++produced_; });
  }
  void finish() {
    change(filled_, [&] { done_ = true; });
  }

  // Paste side: crop j once rendered, or nullptr when the renderer ended
  // before it.
  const float* waitFor(int j) {
    std::unique_lock<std::mutex> lock(mutex_);
    filled_.wait(lock, [&] { return produced_ > j || done_; });
    return produced_ > j ? slots_[j % kRing].data() : nullptr;
  }
  void consumed() {
    change(freed_, [&] { ++consumed_; });
  }
  // The paste gives up: the renderer must not wait for room any more.
  void stop() {
    change(freed_, [&] { stopped_ = true; });
  }

 private:
  // Applies fn under the lock, then wakes the side waiting on cv.
  template <class Fn>
  void change(std::condition_variable& cv, Fn fn) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      fn();
    }
    cv.notify_one();
  }

  std::vector<std::vector<float>> slots_;
  std::mutex mutex_;
  std::condition_variable filled_, freed_;
  int produced_ = 0, consumed_ = 0;
  bool done_ = false, stopped_ = false;
};

int run(le_stream* s, const float* pcm, int n, le_stream_frame_fn fn, void* user) {
  if (n < 1) return 0;
  const int frames = (n + kFrameSamples - 1) / kFrameSamples;
  std::vector<float> delta(static_cast<size_t>(frames) * kKp);
  if (le_fca_deltas(s->fca, pcm, n, delta.data(), frames) != frames) {
    streamError() = std::string("le_fca_deltas: ") + le_fca_last_error();
    return -1;
  }
  const int count = frames - s->skip;
  if (count < 1) return 0;

  std::vector<int> index(count);
  std::vector<float> kp(static_cast<size_t>(count) * kKp);
  for (int j = 0; j < count; ++j) {
    const int i = j + s->skip, t = i % s->nt;
    index[j] = t;
    for (int c = 0; c < kKp; ++c)
      kp[size_t(j) * kKp + c] = s->tmpl[size_t(t) * kKp + c] + s->gain * delta[size_t(i) * kKp + c];
  }

  const size_t cropFloats = 3 * static_cast<size_t>(s->crop) * s->crop;
  CropRing ring(cropFloats);
  std::atomic<bool> failed{false};
  std::thread renderer([&] {
    for (int j = 0; j < count; ++j) {
      const float* crop = le_render_kp_crop(s->ctx, index[j], &s->tmpl[size_t(index[j]) * kKp], &kp[size_t(j) * kKp]);
      if (!crop) {
        failed.exchange(true);
        break;
      }
      float* slot = ring.slotFor(j);
      if (!slot) break;
      std::memcpy(slot, crop, cropFloats * sizeof(float));
      ring.produced();
    }
    ring.finish();
  });

  std::vector<uint8_t> rgb(static_cast<size_t>(s->width) * s->height * 3);
  int delivered = 0;
  for (int j = 0; j < count; ++j) {
    const float* crop = ring.waitFor(j);
    if (!crop) break;
    const bool pasted = le_paste_crop(s->ctx, index[j], crop, rgb.data(), rgb.size()) == 1;
    ring.consumed();
    if (!pasted) {
      failed.exchange(true);
      break;
    }
    fn(user, j, rgb.data(), s->width, s->height);
    ++delivered;
  }
  ring.stop();  // a renderer still waiting for room ends now
  renderer.join();
  if (failed.load() || delivered != count) {
    streamError() = "le_stream_run: render/paste failed";
    return -1;
  }
  return count;
}

}  // namespace

extern "C" {

LE_API le_stream* le_stream_create(const char* bundle, const char* speech_model, int threads, int skip,
                                   float gain) {
  streamError().clear();
  if (!bundle || !speech_model) {
    le::setArgErr(streamError(), "le_stream_create", "NULL bundle/speech_model");
    return nullptr;
  }
  try {
    auto s = std::make_unique<le_stream>();
    s->ctx = le_create(bundle, "render", threads, "");
    if (!s->ctx) throw std::runtime_error(le_last_error());
    s->nt = le_nt(s->ctx);
    s->width = le_width(s->ctx);
    s->height = le_height(s->ctx);
    s->crop = le_crop(s->ctx);
    const std::string dir = le::resolveBundlePath(bundle);
    s->fca = le_fca_create(speech_model, (dir + "/fca_stream.onnx").c_str(), threads);
    if (!s->fca) {
      streamError() = std::string("le_fca_create: ") + le_fca_last_error();
      return nullptr;
    }
    try {
      s->tmpl = le::readRaw<float>(le::resolveMember(dir, "xs_target.bin"), size_t(kKp) * s->nt);
    } catch (const std::exception&) {
    }
    if (s->nt < 1 || s->tmpl.size() != size_t(kKp) * s->nt) {
      streamError() = "le_stream_create: cannot read xs_target.bin (NT*63 f32)";
      return nullptr;
    }
    s->skip = skip;
    s->gain = gain;
    return s.release();
  } catch (const std::exception& e) {
    le::setErr(streamError(), "le_stream_create", e);
    return nullptr;
  }
}

LE_API int le_stream_run(le_stream* s, const float* pcm, int n, le_stream_frame_fn fn, void* user) {
  streamError().clear();
  if (!s || (!pcm && n > 0) || !fn) {
    le::setArgErr(streamError(), "le_stream_run", "NULL handle/pcm/callback");
    return -1;
  }
  try {
    return run(s, pcm, n, fn, user);
  } catch (const std::exception& e) {
    le::setErr(streamError(), "le_stream_run", e);
    return -1;
  }
}

LE_API int le_stream_width(le_stream* s) { return s ? s->width : 0; }
LE_API int le_stream_height(le_stream* s) { return s ? s->height : 0; }
LE_API const char* le_stream_last_error(void) { return streamError().c_str(); }
LE_API void le_stream_destroy(le_stream* s) { delete s; }

}  // extern "C"
