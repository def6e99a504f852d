// One-node GridSample models written with the engine's own wire writer, and
// a runner that feeds them through ONNX Runtime (tests and peer comparison).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"

namespace le::testing {

// The attributes the director's warp uses.
inline std::vector<uint8_t> directorGridSampleAttrs() {
  std::vector<uint8_t> a;
  hcAttrS(a, "mode", "bilinear");
  hcAttrS(a, "padding_mode", "border");
  hcAttrI(a, "align_corners", 0);
  return a;
}

// Y = GridSample(X [N, C, H, W], Grid [N, H, W, 2]) with the given attribute
// fields, opset 16; `domain` is written as the node's domain when non-empty.
// A dimension below 1 is declared symbolic.
inline std::vector<uint8_t> gridSampleModel(const std::vector<uint8_t>& attrs, int64_t N, int64_t C, int64_t H,
                                            int64_t W, const std::string& domain = "") {
  std::vector<uint8_t> graph, node;
  hcNode(node, "GridSample", {"X", "Grid"}, "Y", "gs", attrs);
  if (domain.empty()) {
    graph = node;
  } else {
    // Append the domain field inside the node's payload.
    GsReader r(node);
    GsField f;
    r.next(f);
    std::vector<uint8_t> payload(f.payload.p, f.payload.p + f.payload.n);
    gsPutStr(payload, 7, domain);
    gsPutBytes(graph, 1, payload.data(), payload.size());
  }
  gsPutStr(graph, 2, "gridsample");
  const std::array<int64_t, 4> x{N, C, H, W}, grid{N, H, W, 2}, y{N, C, H, W};
  gsPutTensorValueInfo(graph, 11, "X", x.data(), 4);
  gsPutTensorValueInfo(graph, 11, "Grid", grid.data(), 4);
  gsPutTensorValueInfo(graph, 12, "Y", y.data(), 4);
  std::vector<uint8_t> model, opset;
  gsPutVarintField(model, 1, 8);  // ir_version
  gsPutVarintField(opset, 2, 16);
  gsPutBytes(model, 8, opset.data(), opset.size());
  gsPutBytes(model, 7, graph.data(), graph.size());
  return model;
}

// A session over model bytes, with the custom domain registered when asked.
class GridSampleSession {
 public:
  GridSampleSession(Ort::Env& env, const std::vector<uint8_t>& model, bool registerFast, int threads) {
    Ort::SessionOptions opts;
    opts.SetIntraOpNumThreads(threads);
    opts.SetInterOpNumThreads(1);
    opts.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (registerFast) registerGridSampleFast(opts);
    session_ = Ort::Session(env, model.data(), model.size(), opts);
  }

  // Runs on caller buffers: X [N, C, H, W] and grid [N, Hg, Wg, 2] into out,
  // which has X's shape.
  void run(const float* X, const std::array<int64_t, 4>& xs, const float* grid, const std::array<int64_t, 4>& gs,
           float* out) {
    const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const auto count = [](const std::array<int64_t, 4>& d) { return static_cast<size_t>(d[0] * d[1] * d[2] * d[3]); };
    Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, const_cast<float*>(X), count(xs), xs.data(), 4),
                        Ort::Value::CreateTensor<float>(mem, const_cast<float*>(grid), count(gs), gs.data(), 4)};
    Ort::Value y = Ort::Value::CreateTensor<float>(mem, out, count(xs), xs.data(), 4);
    const char* inNames[] = {"X", "Grid"};
    const char* outNames[] = {"Y"};
    session_.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, &y, 1);
  }

 private:
  Ort::Session session_{nullptr};
};

}  // namespace le::testing
