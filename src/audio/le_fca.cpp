#include "audio/le_fca.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "audio/le_w2v.h"
#include "kernels/le_c_error.h"
#include "le/le_fca.h"
#include "render/le_ort_log.h"

namespace le {
namespace {

constexpr int kKp = 63;
constexpr int kLayers[] = {4, 5, 6, 7, 8, 9};    // averaged into one frame feature
constexpr int kOffs[] = {-1, 0, 1, 2, 3, 4, 5};  // the conditioning context
constexpr int kContext = static_cast<int>(std::size(kOffs));
constexpr int kHidden = 384;

// Per-frame features: the mean of kLayers of each frame's long-window
// encoding, frame s + k from the window at s (k from 50 but in the first).
std::vector<float> layerMeans(Ort::Session& speech, const float* pcm, int n, int frames) {
  std::vector<float> feats(static_cast<size_t>(frames) * kW2vWidth);
  std::vector<float> window(kLongWindowSamples);
  int filled = 0;
  for (int s = 0; s < frames; s += kLongWindowHop) {
    normaliseWindow(pcm, static_cast<size_t>(n), static_cast<long long>(s) * kSamplesPerFrame, kLongWindowSamples,
                    window.data());
    const Ort::Value emb = runLongWindow(speech, window.data());
    const float* e = emb.GetTensorData<float>();
    const int end = std::min(s + kLongWindowFrames, frames);
    for (int f = std::max(filled, s == 0 ? 0 : s + kLongWindowHop / 2); f < end; ++f) {
      float* out = feats.data() + static_cast<size_t>(f) * kW2vWidth;
      for (int c = 0; c < kW2vWidth; ++c) {
        float sum = 0.0f;
        for (int l : kLayers) sum += e[(static_cast<size_t>(l) * kLongWindowFrames + (f - s)) * kW2vWidth + c];
        out[c] = sum / static_cast<float>(std::size(kLayers));
      }
    }
    filled = std::max(filled, end);
  }
  return feats;
}

// Subtracts from every frame the running mean of the frames so far whose
// norm exceeds the 20th percentile of the norms so far (the first seven
// frames count whenever their norm is positive): silence and quiet frames do
// not pull the mean towards themselves.
void centre(std::vector<float>& feats, int frames) {
  std::vector<float> sorted;
  std::vector<float> sum(kW2vWidth, 0.0f);
  int count = 0;
  for (int i = 0; i < frames; ++i) {
    float* f = feats.data() + static_cast<size_t>(i) * kW2vWidth;
    double sq = 0.0;
    for (int c = 0; c < kW2vWidth; ++c) sq += static_cast<double>(f[c]) * f[c];
    const float norm = static_cast<float>(std::sqrt(sq));
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), norm), norm);
    double thr = 0.0;
    if (i > 6) {
      const double p = 0.2 * i;
      const size_t lo = static_cast<size_t>(std::floor(p));
      const size_t hi = static_cast<size_t>(std::ceil(p));
      thr = sorted[lo] + (static_cast<double>(sorted[hi]) - sorted[lo]) * (p - static_cast<double>(lo));
    }
    if (norm > thr) {
      for (int c = 0; c < kW2vWidth; ++c) sum[c] += f[c];
      ++count;
    }
    const float r = 1.0f / static_cast<float>(std::max(count, 1));
    for (int c = 0; c < kW2vWidth; ++c) f[c] -= sum[c] * r;
  }
}

}  // namespace

std::string& fcaError() {
  thread_local std::string g_err;
  return g_err;
}

Fca::Fca(const std::string& speechModel, const std::string& fcaModel, int threads)
    : env_(le::kOrtLogLevel, "le_fca"), options_(audioSessionOptions(threads, false)) {
  speech_ = Ort::Session(env_, speechModel.c_str(), options_);
  fca_ = Ort::Session(env_, fcaModel.c_str(), options_);
  mem_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
}

int Fca::deltas(const float* pcm, int n, float* out) {
  if (n < 1) return 0;
  const int frames = (n + kSamplesPerFrame - 1) / kSamplesPerFrame;
  std::vector<float> feats = layerMeans(speech_, pcm, n, frames);
  centre(feats, frames);

  std::vector<float> cond(static_cast<size_t>(kContext) * kW2vWidth);
  std::vector<float> prev(kKp, 0.0f), hidden(kHidden, 0.0f);
  const int64_t condShape[2] = {1, static_cast<int64_t>(cond.size())};
  const int64_t prevShape[2] = {1, kKp};
  const int64_t hShape[3] = {1, 1, kHidden};
  const char* inNames[3] = {"cond", "prev", "h"};
  const char* outNames[2] = {"m", "hn"};
  for (int i = 0; i < frames; ++i) {
    for (int o = 0; o < kContext; ++o) {
      const int src = std::clamp(i + kOffs[o], 0, frames - 1);
      std::copy_n(feats.data() + static_cast<size_t>(src) * kW2vWidth, kW2vWidth,
                  cond.data() + static_cast<size_t>(o) * kW2vWidth);
    }
    Ort::Value in[3] = {
        Ort::Value::CreateTensor<float>(mem_, cond.data(), cond.size(), condShape, 2),
        Ort::Value::CreateTensor<float>(mem_, prev.data(), prev.size(), prevShape, 2),
        Ort::Value::CreateTensor<float>(mem_, hidden.data(), hidden.size(), hShape, 3),
    };
    std::vector<Ort::Value> res = fca_.Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, 2);
    if (res[0].GetTensorTypeAndShapeInfo().GetElementCount() != kKp ||
        res[1].GetTensorTypeAndShapeInfo().GetElementCount() != kHidden)
      throw std::runtime_error("fca_stream: outputs are not m [1,63] and hn [1,1,384]");
    const float* m = res[0].GetTensorData<float>();
    std::copy_n(m, kKp, out + static_cast<size_t>(i) * kKp);
    std::copy_n(m, kKp, prev.data());
    std::copy_n(res[1].GetTensorData<float>(), kHidden, hidden.data());
  }
  return frames;
}

}  // namespace le

struct le_fca final : le::Fca {
  using Fca::Fca;
};

extern "C" {

LE_API le_fca* le_fca_create(const char* speech_model, const char* fca_model, int threads) {
  le::fcaError().clear();
  if (!speech_model || !fca_model) {
    le::setArgErr(le::fcaError(), "le_fca_create", "NULL speech_model/fca_model");
    return nullptr;
  }
  try {
    return new le_fca(speech_model, fca_model, threads);
  } catch (const std::exception& e) {
    le::setErr(le::fcaError(), "le_fca_create", e);
    return nullptr;
  }
}

LE_API int le_fca_deltas(le_fca* fca, const float* pcm, int n, float* out, int max_frames) {
  le::fcaError().clear();
  if (n < 1) return 0;
  if (!fca || !pcm || !out) {
    le::setArgErr(le::fcaError(), "le_fca_deltas", "NULL handle/pcm/out");
    return -1;
  }
  if ((n + le::kSamplesPerFrame - 1) / le::kSamplesPerFrame > max_frames) {
    le::setArgErr(le::fcaError(), "le_fca_deltas", "max_frames below ceil(n/640)");
    return -1;
  }
  try {
    return fca->deltas(pcm, n, out);
  } catch (const std::exception& e) {
    le::setErr(le::fcaError(), "le_fca_deltas", e);
    return -1;
  }
}

LE_API void le_fca_destroy(le_fca* fca) { delete fca; }

LE_API const char* le_fca_last_error(void) { return le::fcaError().c_str(); }

}  // extern "C"
