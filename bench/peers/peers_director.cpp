// director_frame_512: one frame of the sample avatar's director (crop 512)
// through le_render_kp_crop, against a bare Session::Run of the graph the
// renderer loads (le::prepareGraph) on the same inputs, both on 2 intra-op
// threads. The gap is the renderer's own per-frame cost: refilling its bound
// buffers.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle/le_identity.h"
#include "bundle/le_manifest.h"
#include "kernels/le_simd.h"
#include "le/le.h"
#include "peers.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/le_renderer.h"

namespace {

constexpr int kThreads = 2;
constexpr const char* kName = "director_frame_512";

// The sample avatar of `make demo`: <build>/sample beside <build>/bin.
std::string sampleDir() { return le::peers::buildDir() + "/sample"; }

// The graph exactly as the renderer hands it to the runtime, in a session
// with the renderer's options.
class BareSession {
 public:
  BareSession(const le::Manifest& m, const std::string& key) {
    const le::PreparedGraph graph = le::prepareGraph(m, key, false);
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(kThreads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    so.AddConfigEntry("mlas.disable_kleidiai", "1");
    le::registerGridSampleFast(so);
    le::registerInt8ConvVNNI(so);
    session_ = Ort::Session(env_, graph.bytes.data(), graph.bytes.size(), so);
  }

  // Inputs in the order pooled64, P_rgb, kp_driving, kp_source.
  void bind(std::vector<float>& pooled, std::vector<float>& P, std::vector<float>& kd, std::vector<float>& ks,
            std::vector<float>& out, int64_t crop) {
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const auto tensor = [&](std::vector<float>& buf, std::vector<int64_t> shape) {
      return Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size());
    };
    inputs_[0] = tensor(pooled, {1, 64, 32, 32});
    inputs_[1] = tensor(P, {1, 3, crop, crop});
    inputs_[2] = tensor(kd, {1, le::kHostKpRows, 3});
    inputs_[3] = tensor(ks, {1, le::kHostKpRows, 3});
    output_ = tensor(out, {1, 3, crop, crop});
  }

  void run() {
    static constexpr std::array<const char*, 4> kInputs = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
    static constexpr const char* kOutput = "rgb";
    session_.Run(Ort::RunOptions{nullptr}, kInputs.data(), inputs_.data(), inputs_.size(), &kOutput, &output_, 1);
  }

 private:
  Ort::Env env_{ORT_LOGGING_LEVEL_WARNING, "le-peers"};
  Ort::Session session_{nullptr};
  std::array<Ort::Value, 4> inputs_{Ort::Value{nullptr}, Ort::Value{nullptr}, Ort::Value{nullptr}, Ort::Value{nullptr}};
  Ort::Value output_{nullptr};
};

void run() {
  const std::string dir = sampleDir();
  if (!std::filesystem::exists(dir + "/manifest.json")) {
    std::printf(
        "%s: skipped, no sample avatar in %s (make it with `make build/sample.stamp`, or "
        "/usr/bin/python3 tools/bundlegen/make_bundle.py --out %s --preset sample)\n",
        kName, dir.c_str(), dir.c_str());
    return;
  }
  le_ctx* ctx = le_create(dir.c_str(), "render", kThreads, nullptr);
  if (!ctx) {
    std::printf("%s: skipped, %s\n", kName, le_last_error());
    return;
  }
  // The renderer's inputs for the first idle-loop frame, read from the bundle.
  const le::Manifest manifest = le::loadManifest(dir);
  le::Identity identity(manifest);
  const le::Drive drive = le::loadDrive(manifest);
  const int crop = manifest.crop;
  const int si = drive.si[0];
  std::vector<float> ks(drive.xs.begin(), drive.xs.begin() + 3 * le::kHostKpRows);
  std::vector<float> kd(drive.xd.begin(), drive.xd.begin() + 3 * le::kHostKpRows);
  if (!le_render_kp_crop(ctx, si, ks.data(), kd.data())) {
    std::printf("%s: skipped, %s\n", kName, le_last_error());
    le_destroy(ctx);
    return;
  }
  std::vector<float> pooled(64 * 32 * 32), P(3 * static_cast<size_t>(crop) * crop), out(P.size());
  le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(identity.pooled64(si)), pooled.data(), pooled.size());
  le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(identity.P(si)), P.data(), P.size());
  BareSession bare(manifest, "render");
  bare.bind(pooled, P, kd, ks, out, crop);

  // A 3% gap is below the drift of a shared machine: alternate short rounds
  // of both and keep the median round of each.
  std::vector<double> leRounds, peerRounds;
  for (int round = 0; round < 7; ++round) {
    leRounds.push_back(le::peers::medianMs([&] { le_render_kp_crop(ctx, si, ks.data(), kd.data()); }, 0.6));
    peerRounds.push_back(le::peers::medianMs([&] { bare.run(); }, 0.6));
  }
  for (auto* rounds : {&leRounds, &peerRounds}) std::nth_element(rounds->begin(), rounds->begin() + 3, rounds->end());
  le::peers::report(kName, leRounds[3], "session-run", peerRounds[3]);
  le_destroy(ctx);
}

const le::peers::Register reg(kName, run);

}  // namespace
