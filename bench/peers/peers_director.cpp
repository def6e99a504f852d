// director_passes_512: the sample avatar's director (crop 512) per frame
// through le::Renderer with every load-time pass on (hoist with its
// prefetcher, GridSampleFast, blend and cubic rewrites, lip contour), against
// a bare session of the graph exactly as the bundle carries it (peer
// "passes-off"), both on 2 intra-op threads, the driver playing forward and
// each side filling its inputs from the bundle every frame.
//
// cubic_head_rewrite: the sample's head (a 16 -> 8 channel 3x3 Conv at 256 x
// 256, then the cubic x2 Resize) with the Resize replaced by the Pad,
// depthwise Conv and DepthToSpace, against the runtime's own cubic Resize
// (peer "ort"), 2 threads.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bundle/le_identity.h"
#include "bundle/le_manifest.h"
#include "kernels/le_simd.h"
#include "le/le.h"
#include "peers.h"
#include "render/graph_normalise.h"
#include "render/le_renderer.h"
#include "render/onnx_wire.h"

namespace {

constexpr int kThreads = 2;

Ort::SessionOptions bareOptions() {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(kThreads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  so.AddConfigEntry("mlas.disable_kleidiai", "1");
  return so;
}

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_FATAL, "le-peers");
  return e;
}

// Keeps the median of alternating short rounds of both sides: the machine's
// drift over a long run is larger than the gaps worth reporting.
void alternate(const char* name, const char* peer, const std::function<void()>& le,
               const std::function<void()>& other) {
  std::vector<double> leRounds, peerRounds;
  for (int round = 0; round < 5; ++round) {
    leRounds.push_back(le::peers::medianMs(le, 0.8));
    peerRounds.push_back(le::peers::medianMs(other, 0.8));
  }
  for (auto* rounds : {&leRounds, &peerRounds}) std::nth_element(rounds->begin(), rounds->begin() + 2, rounds->end());
  le::peers::report(name, leRounds[2], peer, peerRounds[2]);
}

void directorPasses() {
  constexpr const char* kName = "director_passes_512";
  const std::string dir = le::peers::buildDir() + "/sample";
  if (!std::filesystem::exists(dir + "/manifest.json")) {
    std::printf(
        "%s: skipped, no sample avatar in %s (make it with `make build/sample.stamp`, or "
        "/usr/bin/python3 tools/bundlegen/make_bundle.py --out %s --preset sample)\n",
        kName, dir.c_str(), dir.c_str());
    return;
  }
  const le::Manifest manifest = le::loadManifest(dir);
  le::Identity identity(manifest), bareIdentity(manifest);
  const le::Drive drive = le::loadDrive(manifest);
  le::Renderer renderer(manifest, identity, "render", kThreads, "");

  const int64_t crop = manifest.crop, rows = le::kHostKpRows;
  Ort::Session bare(env(), manifest.modelPath("render").c_str(), bareOptions());
  std::vector<float> pooled(64 * 32 * 32), P(3 * static_cast<size_t>(crop) * crop), out(P.size()), kd(63), ks(63);
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const auto tensor = [&](std::vector<float>& buf, std::vector<int64_t> shape) {
    return Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size());
  };
  std::array<Ort::Value, 4> inputs{tensor(pooled, {1, 64, 32, 32}), tensor(P, {1, 3, crop, crop}),
                                   tensor(kd, {1, rows, 3}), tensor(ks, {1, rows, 3})};
  Ort::Value output = tensor(out, {1, 3, crop, crop});
  static constexpr std::array<const char*, 4> kInputs = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  static constexpr const char* kOutput = "rgb";

  // Each side walks the idle loop forward on its own.
  int leFrame = 0, peerFrame = 0;
  const int frames = drive.frames;
  const auto leStep = [&] {
    const int f = leFrame++ % frames;
    renderer.render(&drive.si[f], &drive.xs[63 * f], &drive.xd[63 * f], 1);
  };
  const auto peerStep = [&] {
    const int f = peerFrame++ % frames;
    const int si = drive.si[f];
    le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(bareIdentity.pooled64(si)), pooled.data(), pooled.size());
    le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(bareIdentity.P(si)), P.data(), P.size());
    std::copy_n(&drive.xd[63 * f], 63, kd.begin());
    std::copy_n(&drive.xs[63 * f], 63, ks.begin());
    bare.Run(Ort::RunOptions{nullptr}, kInputs.data(), inputs.data(), inputs.size(), &kOutput, &output, 1);
  };
  alternate(kName, "passes-off", leStep, peerStep);
}

// X [1, 16, 256, 256] -> Conv 3x3 (16 -> 8) -> Resize cubic x2 -> Y.
std::vector<uint8_t> headModel() {
  using namespace le;
  std::mt19937 rng(3);
  std::normal_distribution<float> n(0.0f, 0.1f);
  std::vector<float> w(8 * 16 * 9);
  for (float& v : w) v = n(rng);
  const float scales[4] = {1, 1, 2, 2};
  std::vector<uint8_t> graph, attrs;
  const int64_t k3[2] = {3, 3}, pads[4] = {1, 1, 1, 1};
  hcAttrIs(attrs, "kernel_shape", k3, 2);
  hcAttrIs(attrs, "pads", pads, 4);
  hcNode(graph, "Conv", {"X", "w"}, "h", "/s2/head", attrs);
  attrs.clear();
  hcAttrS(attrs, "mode", "cubic");
  hcAttrS(attrs, "coordinate_transformation_mode", "half_pixel");
  hcNode(graph, "Resize", {"h", "", "scales"}, "Y", "/s2/head_up", attrs);
  gsPutStr(graph, 2, "head");
  hcInit(graph, "w", onnx_field::kOnnxFloat, {8, 16, 3, 3}, w.data(), w.size() * sizeof(float));
  hcInit(graph, "scales", onnx_field::kOnnxFloat, {4}, scales, sizeof scales);
  const int64_t x[4] = {1, 16, 256, 256}, y[4] = {1, 8, 512, 512};
  gsPutTensorValueInfo(graph, onnx_field::kGraphInput, "X", x, 4);
  gsPutTensorValueInfo(graph, onnx_field::kGraphOutput, "Y", y, 4);
  std::vector<uint8_t> model, opset;
  gsPutVarintField(model, 1, 8);  // ir_version
  gsPutVarintField(opset, 2, 17);
  gsPutBytes(model, onnx_field::kModelOpset, opset.data(), opset.size());
  gsPutBytes(model, onnx_field::kModelGraph, graph.data(), graph.size());
  return model;
}

void cubicHead() {
  const std::vector<uint8_t> plain = headModel();
  std::vector<uint8_t> rewritten = plain;
  if (le::rewriteHeadCubicResize(rewritten) != 1) {
    std::printf("cubic_head_rewrite: skipped, the head graph did not qualify\n");
    return;
  }
  Ort::Session ort(env(), plain.data(), plain.size(), bareOptions());
  Ort::Session ours(env(), rewritten.data(), rewritten.size(), bareOptions());
  std::vector<float> x(16 * 256 * 256, 0.25f), y(8 * 512 * 512);
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  for (float& v : x) v = u(rng);
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::array<int64_t, 4> xs{1, 16, 256, 256}, ys{1, 8, 512, 512};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), 4);
  Ort::Value out = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), ys.data(), 4);
  const char *inName = "X", *outName = "Y";
  const auto runner = [&](Ort::Session& s) {
    return [&] { s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, &out, 1); };
  };
  alternate("cubic_head_rewrite", "ort", runner(ours), runner(ort));
}

const le::peers::Register passes("director_passes_512", directorPasses);
const le::peers::Register cubic("cubic_head_rewrite", cubicHead);

}  // namespace
