// conv3x3_head: the teeth pass's blend head at its middle layer (16 -> 16
// channels, 3x3, pad 1, on ReLU outputs) over one candidate's half-resolution
// window of the sample avatar (70 x 86): our kernel against ONNX Runtime's own
// Conv on the same tensor. Our output planes are split over the worker pool,
// so ONNX Runtime gets as many intra-op threads (le::pool::threads(),
// printed). ONNX Runtime fuses and reorders the sums, so the two outputs are
// compared within float round-off before anything is timed.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "kernels/le_pool.h"
#include "kernels/le_simd.h"
#include "peers.h"
#include "render/onnx_wire.h"

namespace {

constexpr int64_t kC = 16, kH = 70, kW = 86;

// X [1, 16, 70, 86] -> Conv 3x3 pad 1 (w, b) -> Y.
std::vector<uint8_t> convModel(const std::vector<float>& w, const std::vector<float>& b) {
  using namespace le;
  std::vector<uint8_t> graph, attrs;
  const int64_t k3[2] = {3, 3}, pads[4] = {1, 1, 1, 1};
  hcAttrIs(attrs, "kernel_shape", k3, 2);
  hcAttrIs(attrs, "pads", pads, 4);
  hcNode(graph, "Conv", {"X", "w", "b"}, "Y", "/head/conv", attrs);
  gsPutStr(graph, 2, "conv3x3_head");
  hcInit(graph, "w", onnx_field::kOnnxFloat, {kC, kC, 3, 3}, w.data(), w.size() * sizeof(float));
  hcInit(graph, "b", onnx_field::kOnnxFloat, {kC}, b.data(), b.size() * sizeof(float));
  const int64_t dims[4] = {1, kC, kH, kW};
  gsPutTensorValueInfo(graph, onnx_field::kGraphInput, "X", dims, 4);
  gsPutTensorValueInfo(graph, onnx_field::kGraphOutput, "Y", dims, 4);
  std::vector<uint8_t> model;
  gsPutVarintField(model, 1, 8);  // ir_version
  gsAddOpsetImport(model, "", 17);
  gsPutBytes(model, onnx_field::kModelGraph, graph.data(), graph.size());
  return model;
}

void convHead() {
  constexpr const char* kName = "conv3x3_head";
  std::mt19937 rng(4);
  std::normal_distribution<float> n(0.0f, 0.1f), unit;
  std::vector<float> w(kC * kC * 9), b(kC), x(kC * kH * kW), ours(x.size()), ort(x.size());
  for (float& v : w) v = n(rng);
  for (float& v : b) v = n(rng);
  for (float& v : x) v = std::max(unit(rng), 0.0f);

  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le-peers");
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(le::pool::threads());
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  const std::vector<uint8_t> bytes = convModel(w, b);
  Ort::Session session(env, bytes.data(), bytes.size(), so);
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::array<int64_t, 4> dims{1, kC, kH, kW};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), dims.data(), dims.size());
  Ort::Value out = Ort::Value::CreateTensor<float>(mem, ort.data(), ort.size(), dims.data(), dims.size());
  const char *inName = "X", *outName = "Y";
  const auto peer = [&] { session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, &out, 1); };
  const auto le = [&] {
    le::pool::parallelRange(kC, 1, [&](size_t begin, size_t end) {
      le::simd::conv3x3Range(x.data(), 1, kC, kH, kW, w.data(), b.data(), kC, ours.data(), static_cast<int>(begin),
                             static_cast<int>(end));
    });
  };

  peer();
  le();
  // Each output sums 144 products of magnitude below 1 in a different order.
  float worst = 0.0f;
  for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::fabs(ours[i] - ort[i]));
  if (!(worst <= 1e-5f)) {
    std::printf("%s: skipped, our output differs from ONNX Runtime's by up to %g\n", kName, worst);
    return;
  }
  std::printf("%s: %d threads each (our pool, ONNX Runtime intra-op), outputs within %g\n", kName,
              le::pool::threads(), worst);
  le::peers::report(kName, le::peers::medianMs(le), "ort", le::peers::medianMs(peer));
}

const le::peers::Register head("conv3x3_head", convHead);

}  // namespace
