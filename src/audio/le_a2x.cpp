#include "audio/le_a2x.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "audio/le_audio_meta.h"
#include "bundle/le_imx.h"
#include "bundle/le_manifest.h"
#include "driver/le_files.h"
#include "kernels/le_c_error.h"
#include "kernels/le_pool.h"
#include "le/le_a2x.h"
#include "render/le_ort_log.h"

namespace le {
namespace {

constexpr int kKp = 63;
constexpr int kReleaseBlock = 5120;  // samples: frames are released 8 at a time
constexpr int kEncoderChunk = 64;

// A float table, empty when it cannot be read (refused as a whole below).
std::vector<float> floatsOrEmpty(const std::string& path) {
  try {
    return readFloats(path);
  } catch (const std::exception&) {
    return {};
  }
}

// strtol of the variable when it is set, else def.
long envLong(const char* name, long def) {
  const char* v = std::getenv(name);
  return v ? std::strtol(v, nullptr, 10) : def;
}

Ort::Value tensor(float* data, size_t n, std::initializer_list<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(audioCpuMemory(), data, n, shape.begin(), shape.size());
}

// The values of a run's output, checked against the element count the
// contract gives.
const float* outputData(const Ort::Value& v, size_t want, const char* what) {
  const size_t got = v.GetTensorTypeAndShapeInfo().GetElementCount();
  if (got != want)
    throw std::runtime_error(std::string(what) + " holds " + std::to_string(got) + " floats, expected " +
                             std::to_string(want));
  return v.GetTensorData<float>();
}

}  // namespace

std::string& a2xError() {
  thread_local std::string g_err;
  return g_err;
}

A2x::A2x(const std::string& bundle, int threads) : env_(le::kOrtLogLevel, "le_a2x") {
  const int intra = threads >= 1 && threads < pool::threads() ? threads : pool::threads();
  options_ = audioSessionOptions(intra, true);
  static std::once_flag cadenceLine;
  std::call_once(cadenceLine, [&] {
    std::fprintf(stderr,
                 "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, threads=%d\n",
                 kReleaseBlock / 16 /* ms */, kShortBlockFrames, intra);
  });

  const std::string dir = resolveBundlePath(bundle);
  std::string meta;
  try {
    meta = readFile(dir + "/a2x_meta.json");
  } catch (const std::exception&) {
    throw std::runtime_error("a2x_meta.json missing in " + dir);
  }
  h_ = static_cast<int>(audio_meta::intKey(meta, "h", 256));
  window_ = static_cast<int>(audio_meta::intKey(meta, "window", -1));
  left_ = static_cast<int>(audio_meta::intKey(meta, "left", -1));
  layers_ = static_cast<int>(audio_meta::intKey(meta, "layers", 6));
  if (window_ < 0 || left_ < 0) throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  if (h_ < 1) throw std::runtime_error("a2x_meta.json: h must be positive, found " + std::to_string(h_));

  lookBack_ = layers_ * left_;
  lookAhead_ = layers_ * window_;
  right_ = std::max(0, static_cast<int>(envLong("LE_A2X_W2V_RIGHT", 12)));
  rightReserve_ = right_;
  pos_ = floatsOrEmpty(dir + "/a2x_pos.f32");
  const std::vector<float> norm = floatsOrEmpty(dir + "/a2x_norm.f32");
  template_ = floatsOrEmpty(resolveMember(dir, "xs_target.bin"));
  if (pos_.size() < 2 * static_cast<size_t>(h_) || norm.size() < 2 * kKp || template_.size() < kKp)
    throw std::runtime_error("pos/norm/xs_target read failed");
  npos_ = static_cast<int>(pos_.size() / h_);
  mean_.assign(norm.begin(), norm.begin() + kKp);
  std_.assign(norm.begin() + kKp, norm.begin() + 2 * kKp);
  nt_ = static_cast<int>(template_.size() / kKp);

  const char* w2vPath = std::getenv("W2V_ONNX");
  if (!w2vPath) throw std::runtime_error("$W2V_ONNX not set");
  w2v_ = getSharedW2v(w2vPath, intra);
  if (!w2v_) throw std::runtime_error("shared w2v load failed");
  shortWindow_ = getSharedW2vWin(intra, w2vPath);
  if (shortWindow_) rightReserve_ += kShortBlockFrames;

  encoder_ = Ort::Session(env_, resolveMember(dir, "a2x_enc_stream.onnx").c_str(), options_);
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outputs = encoder_.GetOutputCount();
  for (size_t i = 0; i < std::min<size_t>(outputs, 2); ++i)
    encoderOut_.emplace_back(encoder_.GetOutputNameAllocated(i, alloc).get());
  width_ = outputs > 1;
  const std::optional<bool> metaWidth = audio_meta::flagKey(meta, "width");
  if (metaWidth && *metaWidth != width_)
    std::fprintf(stderr,
                 "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) \u2014 serving the GRAPH "
                 "(width=%d). Repackage this bundle.\n",
                 *metaWidth ? 1 : 0, outputs, width_ ? 1 : 0);
  decoder_ = Ort::Session(env_, resolveMember(dir, "a2x_dec.onnx").c_str(), options_);

  const long prime = envLong("LE_A2X_SILENCE_PRIME", audio_meta::intKey(meta, "silence_prime", 0));
  primeSilence(static_cast<int>(std::clamp<long>(prime, 0, std::numeric_limits<int>::max())));
  reset(0, 1, true);
}

void A2x::push(const float* pcm, int n) {
  if (n < 1) return;
  u_.pcm.insert(u_.pcm.end(), pcm, pcm + n);
}

size_t A2x::usableSamples(const Utterance& u) const {
  const size_t S = u.pcm.size();
  if (u.finished) return S;
  // Audio counts in whole release blocks, a block as soon as its eighth
  // frame has begun.
  return std::min(S, kReleaseBlock * ((S + kSamplesPerFrame - 1) / kReleaseBlock));
}

int A2x::audioFrames(const Utterance& u) const {
  return static_cast<int>((usableSamples(u) + kSamplesPerFrame - 1) / kSamplesPerFrame);
}

int A2x::ready(const Utterance& u) const {
  const int frames = audioFrames(u);
  return u.finished ? frames : std::max(0, frames - std::max(lookAhead_, rightReserve_));
}

int A2x::total() const {
  return u_.finished ? static_cast<int>((u_.pcm.size() + kSamplesPerFrame - 1) / kSamplesPerFrame) : -1;
}

void A2x::startState(Utterance& u) const {
  if (primed_) {
    u.prev = primedPrev_;
    u.hstate = primedH_;
  } else {
    u.prev.assign(kKp, 0.0f);
    u.hstate.assign(h_, 0.0f);
  }
}

void A2x::reset(int start, int dir, bool loop) {
  const int from = start < 0 ? templateIndex(pulled_) : start;
  u_ = Utterance{};
  startState(u_);
  pulled_ = 0;
  start_ = from;
  dir_ = dir < 0 ? -1 : 1;
  loop_ = loop;
}

int A2x::templateIndex(int j) const {
  if (nt_ < 2) return 0;
  const long long k = static_cast<long long>(dir_) * j + start_;
  if (loop_) return static_cast<int>(((k % nt_) + nt_) % nt_);
  const long long period = 2LL * (nt_ - 1);
  const long long r = ((k % period) + period) % period;
  return static_cast<int>(r <= nt_ - 1 ? r : period - r);
}

void A2x::extend(int target) {
  try {
    produce(u_, target, shortWindow_);
  } catch (const std::exception& e) {
    setErr(a2xError(), "le_a2x extend", e);
  }
}

int A2x::avail() {
  const int r = ready(u_);
  if (u_.produced < r) extend(std::min(u_.produced + (shortWindow_ ? kShortBlockFrames : kEncoderChunk), r));
  return std::max(0, u_.produced - pulled_);
}

int A2x::pull(int* idx, float* base, float* out, float* wn, int max) {
  const int r = ready(u_);
  if (pulled_ >= u_.produced) extend(static_cast<int>(std::min<long long>(r, static_cast<long long>(pulled_) + max)));
  const int n = std::min(r, u_.produced);
  if (n <= pulled_ || max < 1) return 0;
  int i = 0;
  for (; pulled_ < n && i < max; ++i, ++pulled_) {
    const int t = templateIndex(pulled_);
    const float* row = template_.data() + static_cast<size_t>(t) * kKp;
    const float* off = u_.offsets.data() + static_cast<size_t>(pulled_) * kKp;
    if (idx) idx[i] = t;
    if (base) std::copy(row, row + kKp, base + static_cast<size_t>(i) * kKp);
    if (out)
      for (int c = 0; c < kKp; ++c) out[static_cast<size_t>(i) * kKp + c] = row[c] + off[c];
    if (wn) wn[i] = width_ && static_cast<size_t>(pulled_) < u_.wn.size() ? u_.wn[pulled_] : 0.0f;
  }
  return i;
}

int A2x::deltas(const float* pcm, int n, float* out, float* wn, int maxFrames) {
  if (n <= 0) return 0;
  const int frames = (n + kSamplesPerFrame - 1) / kSamplesPerFrame;
  if (frames > maxFrames) return -2;
  Utterance u;
  u.pcm.assign(pcm, pcm + n);
  u.finished = true;
  startState(u);
  produce(u, frames, false);
  std::copy(u.offsets.begin(), u.offsets.begin() + static_cast<size_t>(frames) * kKp, out);
  if (wn) {
    const size_t have = std::min(u.wn.size(), static_cast<size_t>(frames));
    std::copy(u.wn.begin(), u.wn.begin() + have, wn);
    std::fill(wn + have, wn + frames, 0.0f);
  }
  return frames;
}

void A2x::produce(Utterance& u, int target, bool shortPath) {
  const int frames = audioFrames(u);
  const int N = std::min(target, ready(u));
  if (N <= u.produced) return;
  const W2vAudio audio{u.pcm.data(), u.pcm.size(), usableSamples(u), frames, u.finished};
  const int featTarget = std::min(N + lookAhead_, frames);
  if (shortPath)
    fillFeatWin(u.feats, audio, right_, featTarget);
  else
    fillFeatLong(*w2v_, u.feats, audio, rightReserve_, featTarget);
  // Frames the front-end could not reach yet read as silence rather than
  // past the store.
  u.feats.reserveFrames(frames);
  encode(u, u.feats.frame(0), N, frames);
  decode(u, N);
}

void A2x::encode(Utterance& u, const float* features, int frames, int audioFrames) {
  std::vector<float> pos, attn;
  const float open = 0.0f, shut = -std::numeric_limits<float>::infinity();
  std::vector<const char*> outNames;
  for (const std::string& name : encoderOut_) outNames.push_back(name.c_str());
  const char* inNames[3] = {"feat", "pos_window", "attn"};
  const size_t h = static_cast<size_t>(h_);
  while (u.encoded < frames) {
    const int start = u.encoded;
    int chunkEnd = std::min(frames, start + kEncoderChunk);
    const int inStart = std::max(0, start - lookBack_);
    int inEnd = std::min(audioFrames, chunkEnd + lookAhead_);
    // The positional table's first npos rows are never split across chunks.
    if (start < npos_) {
      chunkEnd = std::min(chunkEnd, npos_);
      inEnd = std::min(inEnd, npos_);
    }
    const int T = inEnd - inStart;

    pos.resize(static_cast<size_t>(T) * h);
    for (int i = 0; i < T; ++i) {
      const int f = inStart + i;
      const int row = f < npos_ ? f : npos_ / 2 + (f - npos_) % (npos_ - npos_ / 2);
      std::copy_n(pos_.data() + static_cast<size_t>(row) * h, h, pos.data() + static_cast<size_t>(i) * h);
    }
    attn.resize(static_cast<size_t>(T) * T);
    for (int i = 0; i < T; ++i)
      for (int j = 0; j < T; ++j)
        attn[static_cast<size_t>(i) * T + j] = j >= i - left_ && j <= i + window_ ? open : shut;

    const int64_t t = T, hh = h_;
    Ort::Value in[3] = {
        tensor(const_cast<float*>(features) + static_cast<size_t>(inStart) * kW2vFrameFloats,
               static_cast<size_t>(T) * kW2vFrameFloats, {1, t, kW2vLayers, kW2vWidth}),
        tensor(pos.data(), pos.size(), {1, t, hh}),
        tensor(attn.data(), attn.size(), {1, 1, t, t}),
    };
    std::vector<Ort::Value> out =
        encoder_.Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames.data(), outNames.size());
    const float* ctx = outputData(out[0], static_cast<size_t>(T) * h, "a2x encoder ctx");
    u.ctx.resize(static_cast<size_t>(chunkEnd) * h);
    std::copy(ctx + static_cast<size_t>(start - inStart) * h, ctx + static_cast<size_t>(chunkEnd - inStart) * h,
              u.ctx.data() + static_cast<size_t>(start) * h);
    if (width_) {
      const float* wn = outputData(out[1], static_cast<size_t>(T), "a2x encoder wn");
      u.wn.resize(chunkEnd);
      std::copy(wn + (start - inStart), wn + (chunkEnd - inStart), u.wn.data() + start);
    }
    u.encoded = chunkEnd;
  }
}

void A2x::decode(Utterance& u, int frames) {
  const char* inNames[3] = {"ctx_t", "prev", "h"};
  const char* outNames[2] = {"m", "h_out"};
  const int64_t hh = h_;
  u.offsets.resize(static_cast<size_t>(frames) * kKp);
  for (int f = u.produced; f < frames; ++f) {
    Ort::Value in[3] = {
        tensor(u.ctx.data() + static_cast<size_t>(f) * h_, h_, {1, hh}),
        tensor(u.prev.data(), kKp, {1, kKp}),
        tensor(u.hstate.data(), h_, {1, hh}),
    };
    std::vector<Ort::Value> out = decoder_.Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
    const float* m = outputData(out[0], kKp, "a2x decoder m");
    const float* hOut = outputData(out[1], h_, "a2x decoder h_out");
    std::copy(m, m + kKp, u.prev.begin());
    float* offset = u.offsets.data() + static_cast<size_t>(f) * kKp;
    for (int c = 0; c < kKp; ++c) offset[c] = m[c] * std_[c] + mean_[c];
    std::copy(hOut, hOut + h_, u.hstate.begin());
  }
  u.produced = std::max(u.produced, frames);
}

// Runs the encoder and decoder over silence so that an utterance starts from
// the state the models have after a pause rather than from zeros.
void A2x::primeSilence(int frames) {
  primed_ = false;
  primedPrev_.clear();
  primedH_.clear();
  if (frames < 1) return;
  try {
    const std::vector<float>& silence = silenceFeatures(*w2v_);
    const int m = std::min(frames, kLongWindowFrames);
    Utterance u;
    u.finished = true;
    u.prev.assign(kKp, 0.0f);
    u.hstate.assign(h_, 0.0f);
    encode(u, silence.data(), m, m);
    decode(u, m);
    primedPrev_ = std::move(u.prev);
    primedH_ = std::move(u.hstate);
    primed_ = true;
    std::fprintf(stderr, "[le_a2x] silence-primed AR state cached (%d frames)\n", m);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

}  // namespace le

struct le_a2x final : le::A2x {
  using A2x::A2x;
};

namespace {

bool nullHandle(const le_a2x* a, const char* fn) {
  if (a) return false;
  le::setArgErr(le::a2xError(), fn, "NULL handle");
  return true;
}

// Both whole-utterance forms: the wn form runs le_a2x_deltas, whose name
// its errors carry.
int runDeltas(le_a2x* a, const float* pcm, int n, float* out, float* wn, int maxFrames) {
  if (n > 0 && (!pcm || !out)) {
    le::setArgErr(le::a2xError(), "le_a2x_deltas", "NULL pcm/out");
    return -1;
  }
  try {
    return a->deltas(pcm, n, out, wn, maxFrames);
  } catch (const std::exception& e) {
    le::setErr(le::a2xError(), "le_a2x_deltas", e);
    return -1;
  }
}

}  // namespace

extern "C" {

LE_API le_a2x* le_a2x_create(const char* bundle, int threads) {
  le::a2xError().clear();
  if (!bundle) {
    le::setArgErr(le::a2xError(), "le_a2x_create", "NULL bundle");
    return nullptr;
  }
  try {
    return new le_a2x(bundle, threads);
  } catch (const std::exception& e) {
    le::setErr(le::a2xError(), "le_a2x_create", e);
    return nullptr;
  }
}

LE_API void le_a2x_destroy(le_a2x* a) { delete a; }

LE_API int le_a2x_push(le_a2x* a, const float* pcm, int n) {
  le::a2xError().clear();
  if (nullHandle(a, "le_a2x_push")) return 0;
  if (n < 1) return 1;
  if (!pcm) {
    le::setArgErr(le::a2xError(), "le_a2x_push", "NULL pcm");
    return 0;
  }
  try {
    a->push(pcm, n);
  } catch (const std::exception& e) {
    le::setErr(le::a2xError(), "le_a2x_push", e);
    return 0;
  }
  return 1;
}

LE_API void le_a2x_finish(le_a2x* a) {
  le::a2xError().clear();
  if (a) a->finish();
}

LE_API void le_a2x_reset(le_a2x* a, int start, int dir, int loop) {
  le::a2xError().clear();
  if (a) a->reset(start, dir, loop != 0);
}

LE_API int le_a2x_avail(le_a2x* a) {
  le::a2xError().clear();
  if (nullHandle(a, "le_a2x_avail")) return 0;
  return a->avail();
}

LE_API int le_a2x_pull(le_a2x* a, int* idx, float* base, float* out, int max) {
  le::a2xError().clear();
  if (nullHandle(a, "le_a2x_pull")) return 0;
  return a->pull(idx, base, out, nullptr, max);
}

LE_API int le_a2x_pull_wn(le_a2x* a, int* idx, float* base, float* out, float* wn, int max) {
  le::a2xError().clear();
  if (nullHandle(a, "le_a2x_pull_wn")) return 0;
  return a->pull(idx, base, out, wn, max);
}

LE_API int le_a2x_deltas(le_a2x* a, const float* pcm, int n, float* out, int max_frames) {
  le::a2xError().clear();
  if (nullHandle(a, "le_a2x_deltas")) return -1;
  return runDeltas(a, pcm, n, out, nullptr, max_frames);
}

LE_API int le_a2x_deltas_wn(le_a2x* a, const float* pcm, int n, float* out, float* wn, int max_frames) {
  le::a2xError().clear();
  if (nullHandle(a, "le_a2x_deltas_wn")) return -1;
  if (!a->width()) {
    le::setArgErr(le::a2xError(), "le_a2x_deltas_wn", "encoder declares no wn output");
    return -3;
  }
  if (n > 0 && !wn) {
    le::setArgErr(le::a2xError(), "le_a2x_deltas_wn", "NULL wn");
    return -1;
  }
  return runDeltas(a, pcm, n, out, wn, max_frames);
}

LE_API int le_a2x_nt(le_a2x* a) { return a ? a->nt() : 0; }

LE_API int le_a2x_total(le_a2x* a) { return a ? a->total() : -1; }

LE_API int le_a2x_width(le_a2x* a) { return a && a->width() ? 1 : 0; }

LE_API void le_a2x_set_eager(le_a2x* a, int eager) {
  le::a2xError().clear();
  if (a) a->setEager(eager);
}

LE_API const char* le_a2x_last_error(void) { return le::a2xError().c_str(); }

LE_API int le_a2x_preload_w2v(const char* path) {
  le::a2xError().clear();
  if (!path || !*path) path = std::getenv("W2V_ONNX");
  if (!path) {
    le::setArgErr(le::a2xError(), "le_a2x_preload_w2v", "no path and $W2V_ONNX unset");
    return 0;
  }
  if (!le::getSharedW2v(path, le::pool::threads())) {
    le::setArgErr(le::a2xError(), "le_a2x_preload_w2v", "shared w2v load failed");
    return 0;
  }
  return 1;
}

}  // extern "C"
