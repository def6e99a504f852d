#include "audio/le_w2v.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "driver/le_files.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"
#include "render/le_ort_log.h"

namespace le {
namespace {

// The sessions below live for the whole process and are never freed, so no
// exit-time destructor of ours runs after the runtime's own globals are gone.
std::mutex g_w2v_mtx;
Ort::Session* g_w2v = nullptr;
std::string g_w2v_path;

// The short-window pair: found, opened and named under its lock once, then
// only read (LT, which a first run may fill in, is atomic).
std::mutex g_w2vwin_mtx;
bool g_w2vwin_tried = false;
bool g_w2vwin_deployed = false;
Ort::Session* g_w2vwin_trunk = nullptr;
Ort::Session* g_w2vwin_head = nullptr;
std::string g_w2vwin_trunk_out;
std::atomic<int64_t> g_w2vwin_LT{0};

std::mutex g_zeroemb_mtx;
std::vector<float> g_zeroemb;

Ort::Env& w2vEnv() {
  static Ort::Env* env = new Ort::Env(le::kOrtLogLevel, "le_a2x_w2v");
  return *env;
}

// The optional CUDA request (LE_A2X_CUDA=1). A runtime without the CUDA
// provider refuses the append; the session then runs on the CPU.
void requestCuda(Ort::SessionOptions& so, const char* tag) {
  const char* on = std::getenv("LE_A2X_CUDA");
  if (!on || std::strcmp(on, "1") != 0) return;
  const char* mibText = std::getenv("LE_A2X_CUDA_MEM_MIB");
  const long mibAsked = mibText ? std::strtol(mibText, nullptr, 10) : 0;
  const size_t mib = mibAsked > 0 ? static_cast<size_t>(mibAsked) : 3072;
  try {
    Ort::CUDAProviderOptions cuda;
    cuda.Update({{"device_id", "0"},
                 {"arena_extend_strategy", "kSameAsRequested"},
                 {"gpu_mem_limit", std::to_string(mib << 20)},
                 {"cudnn_conv_use_max_workspace", "0"},
                 {"use_tf32", "0"}});
    so.AppendExecutionProvider_CUDA_V2(*cuda);
    std::fprintf(stderr, "[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

// A front-end model's session. Some exports carry a float16 Gelu that the
// runtime's level-2 fusion turns into an operator its CPU provider lacks;
// those reopen with basic optimisation only.
Ort::Session* openFrontEnd(const std::string& path, int threads) {
  Ort::SessionOptions so = audioSessionOptions(threads, true);
  requestCuda(so, "w2v");
  try {
    return new Ort::Session(w2vEnv(), path.c_str(), so);
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (what.find("Gelu") == std::string::npos || what.find("float16") == std::string::npos) throw;
    std::fprintf(stderr,
                 "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has no "
                 "CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                 path.c_str());
    so.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
    return new Ort::Session(w2vEnv(), path.c_str(), so);
  }
}

// Copies n floats, each rounded to the nearest half.
void storeHalf(const float* src, float* dst, size_t n) {
  uint16_t half[kW2vWidth];
  for (size_t at = 0; at < n; at += kW2vWidth) {
    const size_t k = std::min<size_t>(kW2vWidth, n - at);
    simd::f32ToF16(src + at, half, k);
    simd::f16ToF32(half, dst + at, k);
  }
}

// Frame k of a long window's "audio_emb" [12][200][768] into one feature.
void storeWindowFrame(const float* emb, int k, float* feature) {
  for (int l = 0; l < kW2vLayers; ++l)
    storeHalf(emb + (static_cast<size_t>(l) * kLongWindowFrames + k) * kW2vWidth, feature + l * kW2vWidth, kW2vWidth);
}

struct PairNames {
  const char* trunk;
  const char* head;
};
constexpr PairNames kPairs[] = {
    {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
    {"w2v_trunk32.onnx", "w2v_head32.onnx"},
};

// The trunk and head paths: both variables, else the first pair beside the
// long-window model whose two files open. False when there is none.
bool findPair(const std::string& w2vPath, std::string& trunk, std::string& head) {
  const char* t = std::getenv("LE_A2X_W2V_WIN_ONNX");
  const char* h = std::getenv("LE_A2X_W2V_HEAD_ONNX");
  if (t && *t && h && *h) {
    trunk = t;
    head = h;
    return true;
  }
  const size_t slash = w2vPath.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : w2vPath.substr(0, slash);
  for (const PairNames& p : kPairs) {
    trunk = dir + "/" + p.trunk;
    head = dir + "/" + p.head;
    if (canOpen(trunk) && canOpen(head)) return true;
  }
  return false;
}

}  // namespace

const Ort::MemoryInfo& audioCpuMemory() {
  static const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  return mem;
}

Ort::SessionOptions audioSessionOptions(int intraThreads, bool noSpinning) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(intraThreads < 1 ? pool::threads() : intraThreads);
  so.SetInterOpNumThreads(1);
  if (noSpinning) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  return so;
}

Ort::Session* getSharedW2v(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (!g_w2v) {
    try {
      g_w2v = openFrontEnd(path, threads);
      g_w2v_path = path;
    } catch (const std::exception&) {
      return nullptr;
    }
  }
  return g_w2v;
}

bool getSharedW2vWin(int threads, const std::string& w2vPath) {
  std::lock_guard<std::mutex> lock(g_w2vwin_mtx);
  if (g_w2vwin_tried) return g_w2vwin_deployed;
  g_w2vwin_tried = true;
  std::string trunk, head;
  if (!findPair(w2vPath, trunk, head)) {
    std::fprintf(stderr,
                 "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                 "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                 "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving the "
                 "LEGACY 8s window: every 4 s hop re-runs the 8 s encoder and, while live, an incomplete window runs "
                 "again on every call, several times the audio time of the 2 s trunk and its per-block head. Ship "
                 "the pair beside $W2V_ONNX or set both variables.\n",
                 w2vPath.c_str());
    return false;
  }
  try {
    g_w2vwin_trunk = openFrontEnd(trunk, threads);
    g_w2vwin_head = openFrontEnd(head, threads);
    Ort::AllocatorWithDefaultOptions alloc;
    g_w2vwin_trunk_out = g_w2vwin_trunk->GetOutputNameAllocated(0, alloc).get();
    const std::vector<int64_t> shape = g_w2vwin_trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    g_w2vwin_LT = shape.size() >= 3 && shape[2] > 0 ? shape[2] : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] short-window w2v load FAILED (%s) \u2014 legacy 8s path\n", e.what());
    delete g_w2vwin_trunk;
    delete g_w2vwin_head;
    g_w2vwin_trunk = g_w2vwin_head = nullptr;
    return false;
  }
  const std::string lt = g_w2vwin_LT > 0 ? std::to_string(g_w2vwin_LT.load()) : "from-first-run";
  std::fprintf(stderr, "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
               lt.c_str(), trunk.c_str(), w2vFileBytes(trunk.c_str()), head.c_str(), w2vFileBytes(head.c_str()));
  g_w2vwin_deployed = true;
  return true;
}

long long w2vFileBytes(const char* path) {
  if (!path || !*path) return -1;
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  long long bytes = -1;
  if (fseeko(f, 0, SEEK_END) == 0) bytes = ftello(f);
  std::fclose(f);
  return bytes;
}

void normaliseWindow(const float* pcm, size_t samples, long long first, size_t len, float* out) {
  for (size_t i = 0; i < len; ++i) {
    const long long at = first + static_cast<long long>(i);
    out[i] = at >= 0 && static_cast<unsigned long long>(at) < samples ? pcm[at] : 0.0f;
  }
  double sum = 0.0;
  for (size_t i = 0; i < len; ++i) sum += out[i];
  const double mean = sum / static_cast<double>(len);
  double var = 0.0;
  for (size_t i = 0; i < len; ++i) var += (out[i] - mean) * (out[i] - mean);
  var /= static_cast<double>(len);
  const float scale = 1.0f / std::sqrt(static_cast<float>(var) + 1e-7f);
  for (size_t i = 0; i < len; ++i) out[i] = static_cast<float>((out[i] - mean) * scale);
}

Ort::Value runLongWindow(Ort::Session& encoder, float* window) {
  const int64_t shape[2] = {1, kLongWindowSamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(audioCpuMemory(), window, kLongWindowSamples, shape, 2);
  const char* inName = "input_values";
  const char* outName = "audio_emb";
  std::vector<Ort::Value> out = encoder.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  const size_t want = kW2vFrameFloats * kLongWindowFrames;
  const size_t got = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
  if (got != want)
    throw std::runtime_error("w2v: audio_emb holds " + std::to_string(got) + " floats, expected " +
                             std::to_string(want) + " [12,200,768]");
  return std::move(out[0]);
}

const std::vector<float>& silenceFeatures(Ort::Session& encoder) {
  std::lock_guard<std::mutex> lock(g_zeroemb_mtx);
  if (g_zeroemb.empty()) {
    std::vector<float> zeros(kLongWindowSamples, 0.0f);
    const Ort::Value emb = runLongWindow(encoder, zeros.data());
    std::vector<float> features(kW2vFrameFloats * kLongWindowFrames);
    for (int k = 0; k < kLongWindowFrames; ++k)
      storeWindowFrame(emb.GetTensorData<float>(), k, features.data() + k * kW2vFrameFloats);
    g_zeroemb = std::move(features);
  }
  return g_zeroemb;
}

void W2vFeatures::reserveFrames(int frames) {
  const size_t want = static_cast<size_t>(std::max(frames, 0)) * kW2vFrameFloats;
  if (data.size() < want) data.resize(want, 0.0f);
}

void fillFeatLong(Ort::Session& encoder, W2vFeatures& feats, const W2vAudio& audio, int rightReserve, int target) {
  std::vector<float> window;
  while (feats.featured < target) {
    const int s = feats.next;
    window.resize(kLongWindowSamples);
    normaliseWindow(audio.pcm, audio.pushed, static_cast<long long>(s) * kSamplesPerFrame, kLongWindowSamples,
                    window.data());
    const Ort::Value emb = runLongWindow(encoder, window.data());
    const int e = audio.finished ? s + kLongWindowFrames
                                 : std::min(s + kLongWindowFrames, std::max(0, audio.audioFrames - rightReserve));
    // A window's first 50 frames lack left context; the window before it
    // has already given them.
    const int from = std::max(feats.featured, s == 0 ? 0 : s + kLongWindowHop / 2);
    feats.reserveFrames(e);
    for (int f = from; f < e; ++f) storeWindowFrame(emb.GetTensorData<float>(), f - s, feats.frame(f));
    feats.featured = std::max(feats.featured, e);
    if (!audio.finished && e <= s + kLongWindowFrames - 1) break;
    feats.next = s + kLongWindowHop;
  }
}

void fillFeatWin(W2vFeatures& feats, const W2vAudio& audio, int right, int target) {
  const char* trunkIn = "input_values";
  const char* trunkOut = g_w2vwin_trunk_out.c_str();
  const char* headIn = "x";
  const char* headOut = "emb";
  std::vector<float> window(kShortWindowSamples);
  std::vector<float> x(static_cast<size_t>(kShortBlockFrames) * kTrunkChannels);
  while (feats.featured < target) {
    const int s = feats.next;
    const long long end = static_cast<long long>(kSamplesPerFrame) * (s + kShortBlockFrames + right);
    if (!audio.finished && end > static_cast<long long>(audio.usable)) break;
    const long long first = end - kShortWindowSamples;
    normaliseWindow(audio.pcm, audio.pushed, first, kShortWindowSamples, window.data());

    const int64_t inShape[2] = {1, kShortWindowSamples};
    Ort::Value in = Ort::Value::CreateTensor<float>(audioCpuMemory(), window.data(), window.size(), inShape, 2);
    std::vector<Ort::Value> out = g_w2vwin_trunk->Run(Ort::RunOptions{nullptr}, &trunkIn, &in, 1, &trunkOut, 1);
    const Ort::TensorTypeAndShapeInfo info = out[0].GetTensorTypeAndShapeInfo();
    const std::vector<int64_t> dims = info.GetShape();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16 || dims.size() != 3 ||
        dims[1] != kTrunkChannels || dims[2] < 1)
      throw std::runtime_error("w2v_win: trunk output is not float16 [1,640,LT]");
    int64_t expected = 0;
    g_w2vwin_LT.compare_exchange_strong(expected, dims[2]);
    const int64_t LT = g_w2vwin_LT.load();
    if (dims[2] != LT)
      throw std::runtime_error("w2v_win: trunk output has " + std::to_string(dims[2]) + " steps, expected " +
                               std::to_string(LT));
    const uint16_t* trunk = static_cast<const uint16_t*>(out[0].GetTensorRawData());

    for (int i = 0; i < kShortBlockFrames; ++i) {
      // The frame's place on the long window's own 1599-step axis (the
      // window it would come from starts at base), mapped onto this trunk.
      const int f = s + i;
      const int base = f <= kLongWindowFrames - 1 ? 0 : (f / kLongWindowHop - 1) * kLongWindowHop;
      const int r = f - base;
      const double pos =
          (static_cast<double>(kSamplesPerFrame) * base - static_cast<double>(first)) / kTrunkStepSamples +
          r * 1598.0 / 199.0;
      const double p0d = std::floor(pos);
      if (p0d < 0 || p0d >= static_cast<double>(LT)) throw std::runtime_error("w2v_win: trunk pos out of range");
      const int64_t p0 = static_cast<int64_t>(p0d);
      const int64_t p1 = std::min<int64_t>(p0 + 1, LT - 1);
      const double t = pos - p0d;
      float* row = x.data() + static_cast<size_t>(i) * kTrunkChannels;
      for (int c = 0; c < kTrunkChannels; ++c) {
        const double a = f16ToF32(trunk[c * LT + p0]);
        const double b = f16ToF32(trunk[c * LT + p1]);
        row[c] = f16ToF32(f32ToF16(static_cast<float>(a * (1.0 - t) + b * t)));
      }
    }

    const int64_t xShape[2] = {kShortBlockFrames, kTrunkChannels};
    Ort::Value xv = Ort::Value::CreateTensor<float>(audioCpuMemory(), x.data(), x.size(), xShape, 2);
    std::vector<Ort::Value> emb = g_w2vwin_head->Run(Ort::RunOptions{nullptr}, &headIn, &xv, 1, &headOut, 1);
    const size_t want = kW2vFrameFloats * kShortBlockFrames;
    if (emb[0].GetTensorTypeAndShapeInfo().GetElementCount() != want)
      throw std::runtime_error("w2v_win: head emb is not [8,12,768]");
    feats.reserveFrames(s + kShortBlockFrames);
    storeHalf(emb[0].GetTensorData<float>(), feats.frame(s), want);
    feats.next = feats.featured = s + kShortBlockFrames;
  }
}

}  // namespace le
