// The director renderer over generated bundles and graphs: what it refuses at
// load (keypoint contract, pooled batch, providers, the GridSampleFast
// switch), how it builds its session, and what render computes per slot.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bundle/le_identity.h"
#include "bundle_fixtures.h"
#include "renderer_fixtures.h"
#include "le/le.h"
#include "render/le_renderer.h"

namespace {

using le::test::Bundle;
using le::test::errorOf;
using le::test::Keypoints;
using le::test::kKp;

std::vector<float> copyOut(const float* p, size_t n) { return std::vector<float>(p, p + n); }

std::string contractMessage(const std::string& path, const char* input, int rows, bool widthRow) {
  return "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " — the graph declares " + input + " with " +
         std::to_string(rows) + " keypoint rows, and this renderer feeds 21 (le::kHostKpRows, le/le). " +
         (widthRow ? "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x "
                     "encoder's second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in "
                     "le/le_a2x, which nothing on this path calls yet), so it cannot drive this director. "
                   : "") +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published "
         "to a host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to "
         "prevent it.";
}

TEST(RendererLoad, RefusalsNameTheirReason) {
  // The FeatSynth director beside a raw prior only.
  le::test::TempDir rawOnly;
  std::filesystem::copy(std::string(LE_FIXTURE_DIR) + "/tiny_jpg", rawOnly.path(),
                        std::filesystem::copy_options::recursive);
  std::filesystem::copy_file(std::string(LE_FIXTURE_DIR) + "/tiny_featsynth/model_render.onnx",
                             rawOnly / "model_fs.onnx");
  const std::string dir = LE_FIXTURE_DIR, baked = dir + "/tiny_baked/model_render.onnx";
  const struct {
    std::string bundle, key, ep;
    const char* env;  // set to 0 for the case, or nullptr
    std::string error;
  } cases[] = {
      {"tiny_kp20", "render", "", nullptr,
       contractMessage(dir + "/tiny_kp20/model_render.onnx", "kp_driving", 20, false)},
      {"tiny_kp22", "render", "", nullptr,
       contractMessage(dir + "/tiny_kp22/model_render.onnx", "kp_driving", 22, true)},
      {"tiny_kpsym", "render", "", nullptr, "(no error)"},
      {"tiny_pooled_symbolic", "render", "", nullptr, "pooled64 input not found / bad shape"},
      {"tiny_kp20", "absent", "", nullptr, "Renderer: cannot open " + dir + "/tiny_kp20/model_absent.onnx"},
      {"tiny_fsred", "render", "", nullptr,
       "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
       "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
       "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session."},
      {rawOnly.path(), "fs", "", nullptr, "FeatSynth graph but bundle lacks fs_red.f16"},
      {"tiny_jpg", "render", "bogus", nullptr, "Renderer: unknown ep 'bogus'"},
      // The custom op stays registered without the rewrite, so a baked graph still loads.
      {"tiny_baked", "render", "", "LE_GS_REWRITE", "(no error)"},
      {"tiny_baked", "render", "", "LE_GS_FAST",
       "Renderer: LE_GS_FAST=0 (or CORVAMEL_VELISAR2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + baked +
           " has com.corvamel::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, "
           "so there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is "
           "not a registered function/op'. There is no standard-GridSample arm on this bundle to measure: the "
           "artifact itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
           "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one."},
      // Int8ConvVNNI stays registered without GridSampleFast.
      {"tiny_int8", "render", "", "LE_GS_FAST", "(no error)"},
  };
  for (const auto& c : cases) {
    if (c.env) setenv(c.env, "0", 1);
    EXPECT_EQ(Bundle(c.bundle).loadError(c.key, c.ep), c.error) << c.bundle;
    if (c.env) unsetenv(c.env);
  }
  const std::string xnn = Bundle("tiny_jpg").loadError("render", "xnnpack:fast");
  EXPECT_EQ(xnn.rfind("Renderer: ep 'xnnpack:fast' is REFUSED. This renderer rewrites its graph", 0), 0u) << xnn;
}

TEST(RendererLoad, ProviderFallbacksAndGridSampleFastSwitchLines) {
  Bundle b("tiny_jpg");
  std::unique_ptr<le::Renderer> r;
  // This runtime has no CoreML provider: the request falls back to the CPU.
  const std::string coreml = b.loadLines("render", &r, "coreml:gpu");
  EXPECT_EQ(r->ep(), "cpu");
  const std::string neon = b.loadLines("render", &r, "neon");
  EXPECT_EQ(r->ep() + " " + r->backend(), "cpu ort");
  const std::string plain = b.loadLines("render");
  const auto linesWith = [&](const char* env) {
    setenv(env, "0", 1);
    const std::string lines = b.loadLines("render");
    unsetenv(env);
    return lines;
  };
  const std::string off = linesWith("LE_GS_REWRITE"), fast = linesWith("LE_GS_FAST");
  const std::tuple<std::string, std::string, bool> cases[] = {
      {coreml, "[le] CoreML EP session refused: ", true},
      {neon, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n", true},
      {plain, "[le] std GridSample -> com.corvamel::GridSampleFast load-time rewrite: 1 node(s) (render)\n", true},
      {plain, "[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (render) — ", true},
      {plain, "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 node(s) (render)",
       true},
      {off, "GridSampleFast load-time rewrite:", false},
      {fast, "GridSampleFast", false},
  };
  for (const auto& [lines, text, found] : cases) EXPECT_EQ(lines.find(text) != std::string::npos, found) << text;
  // Only an empty ep defers to LE_CONV_BACKEND.
  setenv("LE_CONV_BACKEND", "neon", 1);
  EXPECT_NE(b.loadLines("render").find("NEON backend requested"), std::string::npos);
  EXPECT_EQ(b.loadLines("render", nullptr, "coreml").find("NEON backend requested"), std::string::npos);
  unsetenv("LE_CONV_BACKEND");
}

TEST(RendererRender, FollowsTheDrivingKeypointsOnly) {
  Bundle b("tiny_jpg");
  Keypoints k(b.manifest, 3);
  auto r = b.load("render");
  const size_t crop = b.manifest.crop, n = 3 * crop * crop;
  const auto first = copyOut(r->render(&k.si, k.ks.data(), k.kd.data(), 1), n);

  // Move the mouth and the chin down: the face moves with them.
  std::vector<float> moved = k.kd;
  for (int row : {6, 12, 14, 17, 18, 19, 20}) moved[3 * row + 1] += 0.08f;
  const auto driven = copyOut(r->render(&k.si, k.ks.data(), moved.data(), 1), n);
  size_t changed = 0;
  for (size_t i = 0; i < n; ++i) changed += std::abs(driven[i] - first[i]) > 1e-3f;
  EXPECT_GT(changed, n / 100);
  for (float v : driven) ASSERT_TRUE(v >= -0.01f && v <= 1.01f) << v;

  // Back to the original keypoints: the original frame again.
  EXPECT_EQ(copyOut(r->render(&k.si, k.ks.data(), k.kd.data(), 1), n), first);
}

TEST(RendererRender, TailSlotsRepeatTheLastSample) {
  Bundle b("tiny_batch4");
  auto r = b.load("b4");
  ASSERT_EQ(r->batch(), 4);
  const size_t crop = b.manifest.crop, per = 3 * crop * crop;
  Keypoints k0(b.manifest, 0), k1(b.manifest, 7);
  std::vector<int32_t> si = {k0.si, k1.si};
  std::vector<float> ks = k0.ks, kd = k0.kd;
  ks.insert(ks.end(), k1.ks.begin(), k1.ks.end());
  kd.insert(kd.end(), k1.kd.begin(), k1.kd.end());
  const auto out = copyOut(r->render(si.data(), ks.data(), kd.data(), 2), 4 * per);
  const auto slot = [&](int i) { return std::vector<float>(out.begin() + i * per, out.begin() + (i + 1) * per); };
  EXPECT_NE(slot(0), slot(1));
  EXPECT_EQ(slot(2), slot(1));
  EXPECT_EQ(slot(3), slot(1));

  // Each slot is its own sample: slot 0 alone renders what slot 0 held.
  auto single = b.load("render");
  EXPECT_EQ(copyOut(single->render(&si[0], ks.data(), kd.data(), 1), per), slot(0));

  // Sample counts from 1 to the batch only.
  for (const auto& [renderer, n] : {std::pair{r.get(), 0}, std::pair{single.get(), 2}})
    EXPECT_EQ(errorOf([&] { renderer->render(si.data(), ks.data(), kd.data(), n); }), "render: bad n") << n;
}

}  // namespace
