// The source-cone hoist inside the renderer: the prefetch thread, its ring and
// predictor against the full graph run by ONNX Runtime, the reasons it is not
// applied, and teardown while a prefetch runs. Fixtures: LE_FIXTURE_DIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_lip_contour.h"
#include "kernels/le_simd.h"
#include "ort_graph.h"
#include "renderer_fixtures.h"

namespace {

using le::test::Bundle;
using le::test::kKp;
using le::testing::Feed;
using le::testing::maxAbsDiff;
using le::testing::runGraph;

TEST(SourcePredictor, ForwardBackwardBounceAndWrap) {
  struct Case {
    const char* what;
    int32_t nt;
    std::vector<std::pair<int32_t, int32_t>> shownAndPredicted;
  };
  const Case cases[] = {
      {"forward, bounce off the end before any wrap", 5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 3}}},
      {"a wrap switches wrapping on for good",
       5,
       {{3, 4}, {4, 3}, {0, 1}, {1, 2}, {4, 0}, {0, 1}, {2, 3}, {3, 4}, {4, 0}}},
      {"backward, bounce off the start", 5, {{4, 3}, {3, 2}, {2, 1}, {1, 0}, {0, 1}}},
      {"a jump keeps the step", 10, {{5, 6}, {4, 3}, {8, 7}, {2, 1}}},
      {"two frames: the wrap turns the step back", 2, {{0, 1}, {1, 0}, {0, 1}, {1, 0}}},
      {"one frame: nothing to prefetch", 1, {{0, 0}, {0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    le::SourcePredictor p;
    for (const auto& [si, want] : c.shownAndPredicted) EXPECT_EQ(p.next(si, c.nt), want) << "after " << si;
  }
}

// The frames a renderer gives, in a walk that goes forward, wraps, jumps and
// goes backward, against the graph with its warp block whole: hoisted (a
// prefetched cone), and with the warp node (its own kernel), each equal to
// float round-off.
TEST(Hoist, RendersWhatTheWholeGraphRenders) {
  struct Case {
    const char* warpNode;
    std::string line;
  };
  const Case cases[] = {
      {nullptr,
       "[le] source-cone hoist: '/cone/boundary_out' [1,12,64,64] leaves the per-frame graph and is prefetched per "
       "SOURCE FRAME on one spare core (render)\n"},
      {"1", "[le] director warp -> com.corvamel::WarpDirector ("},
  };
  Bundle b("tiny_jpg");
  const le::PreparedGraph whole = le::prepareGraph(b.manifest, "render", false, nullptr);
  const le::Drive drive = le::loadDrive(b.manifest);
  const int64_t crop = b.manifest.crop;
  const size_t n = static_cast<size_t>(3 * crop * crop);
  const int nt = b.manifest.NT;
  std::vector<int32_t> walk;
  for (int si = 0; si < nt; ++si) walk.push_back(si);
  for (int si : {0, 1, 2, 7, 6, 5, 4, 4, 11}) walk.push_back(si);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    if (c.warpNode) setenv("LE_WARP_NODE", c.warpNode, 1);
    ::testing::internal::CaptureStderr();
    std::unique_ptr<le::Renderer> r = b.load("render", "", 2);
    const std::string lines = ::testing::internal::GetCapturedStderr();
    unsetenv("LE_WARP_NODE");
    ASSERT_NE(lines.find(c.line), std::string::npos) << lines;
    for (size_t k = 0; k < walk.size(); ++k) {
      const int32_t si = walk[k];
      const size_t d = k % static_cast<size_t>(drive.frames);
      const float* ks = &drive.xs[kKp * d];
      const float* kd = &drive.xd[kKp * d];
      const float* out = r->render(&si, ks, kd, 1);
      const std::vector<float> got(out, out + n);

      std::vector<float> pooled(64 * 32 * 32), P(n);
      le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(b.identity.pooled64(si)), pooled.data(), pooled.size());
      le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(b.identity.P(si)), P.data(), P.size());
      std::vector<Feed> feeds{{"pooled64", {1, 64, 32, 32}, pooled},
                              {"P_rgb", {1, 3, crop, crop}, P},
                              {"kp_driving", {1, 21, 3}, std::vector<float>(kd, kd + kKp)},
                              {"kp_source", {1, 21, 3}, std::vector<float>(ks, ks + kKp)}};
      EXPECT_LT(maxAbsDiff(got, runGraph(whole.bytes, feeds, {"rgb"})[0]), 2e-6f) << "step " << k << " si " << si;
    }
  }
}

TEST(Hoist, NotAppliedReasons) {
  struct Case {
    const char* bundle;
    const char* key;
    const char* warpNode;
    std::string line;
  };
  const Case cases[] = {
      {"tiny_batch4", "b4", nullptr,
       "[le] source-cone hoist NOT applied (b4): batch-1 lever; this graph declares batch 4\n"},
      {"tiny_two_concats", "render", nullptr,
       "[le] source-cone hoist NOT applied (render): expected exactly one Concat consuming P_rgb, found 2\n"},
      {"tiny_cone_escape", "render", nullptr,
       "[le] source-cone hoist NOT applied (render): cone value '/cone/dxx_out' escapes to /dec/with_dxx\n"},
      {"tiny_prgb_escape", "render", nullptr,
       "[le] source-cone hoist NOT applied (render): P_rgb is also read outside the cone by /dec/with_source\n"},
      {"tiny_jpg", "render", "1",
       "[le] source-cone hoist SKIPPED (render): the warp node subsumes the cone — there is nothing left to "
       "hoist\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bundle);
    if (c.warpNode) setenv("LE_WARP_NODE", c.warpNode, 1);
    Bundle b(c.bundle);
    std::unique_ptr<le::Renderer> r;
    const std::string lines = b.loadLines(c.key, &r);
    unsetenv("LE_WARP_NODE");
    EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
    EXPECT_EQ(lines.find("[le] source-cone hoist: "), std::string::npos);
    // The graph keeps its cone and still renders.
    le::test::Keypoints k(b.manifest);
    std::vector<int32_t> si(static_cast<size_t>(r->batch()), k.si);
    std::vector<float> ks, kd;
    for (int i = 0; i < r->batch(); ++i) {
      ks.insert(ks.end(), k.ks.begin(), k.ks.end());
      kd.insert(kd.end(), k.kd.begin(), k.kd.end());
    }
    EXPECT_NE(r->render(si.data(), ks.data(), kd.data(), r->batch()), nullptr);
  }
}

// A prep run that fails once fails the renderer for good: every later render
// throws, whatever frame it asks for.
TEST(Hoist, PrepFailureIsPermanent) {
  le::test::TempDir tmp;
  const std::string dir = tmp / "bundle";
  std::filesystem::copy(LE_FIXTURE_DIR "/tiny_fail_prgb", dir, std::filesystem::copy_options::recursive);
  {
    Bundle plain(dir);
    const size_t frameBytes = static_cast<size_t>(plain.manifest.crop) * plain.manifest.crop * 3 * 2;
    std::string table = le::test::readAll(dir + "/source_frames.f16");
    ASSERT_GE(table.size(), 4 * frameBytes);
    table[3 * frameBytes] = '\xd0';  // half 1000.0 (0x63d0) as the first value of source frame 3
    table[3 * frameBytes + 1] = '\x63';
    le::test::writeFile(dir + "/source_frames.f16", table);
  }
  Bundle b(dir);
  le::test::Keypoints k(b.manifest);
  auto r = b.load("render", "", 2);
  for (int32_t si : {0, 1, 2}) EXPECT_NE(r->render(&si, k.ks.data(), k.kd.data(), 1), nullptr) << si;
  // Frame 3 was prefetched after frame 2.
  for (int32_t si : {0, 3, 2, 5}) {
    const std::string error = le::test::errorOf([&] { r->render(&si, k.ks.data(), k.kd.data(), 1); });
    EXPECT_EQ(error.rfind("Renderer: the hoisted source cone failed in ORT — ", 0), 0u) << si << ": " << error;
    EXPECT_NE(error.find("Reshape"), std::string::npos) << error;
  }
}

// Each pass that took prints its line, in the order the passes run.
TEST(Hoist, LoadLinesInTheirOrder) {
  const std::string hoist =
      "[le] source-cone hoist: '/cone/boundary_out' [1,12,64,64] leaves the per-frame graph and is prefetched per "
      "SOURCE FRAME on one spare core (render)\n";
  const std::string gs = "[le] std GridSample -> com.corvamel::GridSampleFast load-time rewrite: 1 node(s) (render)\n";
  const std::string blend = "[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (render) — ";
  const std::string cubic =
      "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 "
      "node(s) (render) — ";
  const std::string lip = "[le] compose alpha: LIP CONTOUR (render) — Min(a, lip_delivery) bound at load, ";
  const std::string warp = "[le] director warp -> com.corvamel::WarpDirector (";
  const std::string skipped = "[le] source-cone hoist SKIPPED (render): ";
  const std::string ep = "[le] director ep=cpu (ORT CPU EP)\n";
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {nullptr, {hoist, gs, blend, cubic, lip, ep}},
      {"1", {warp, skipped, blend, cubic, lip, ep}},
  };
  Bundle b("tiny_lip_mapped");
  for (const auto& [warpNode, order] : cases) {
    if (warpNode) setenv("LE_WARP_NODE", warpNode, 1);
    const std::string lines = b.loadLines("render");
    unsetenv("LE_WARP_NODE");
    size_t at = 0;
    for (const std::string& line : order) {
      const size_t found = lines.find(line, at);
      ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << lines;
      at = found + line.size();
    }
    EXPECT_EQ(lines.find("GridSampleFast load-time rewrite") == std::string::npos, warpNode != nullptr) << lines;
  }
}

// The prefetch thread is stopped and joined whatever it is doing.
TEST(Hoist, DestroyedWhilePrefetching) {
  Bundle b("tiny_jpg");
  le::test::Keypoints k(b.manifest);
  for (int round = 0; round < 12; ++round) {
    auto r = b.load("render", "", 2);
    for (int32_t si = 0; si <= round % 3; ++si) r->render(&si, k.ks.data(), k.kd.data(), 1);
  }
}

// The lip contour of the driving keypoints reaches the graph's compose alpha
// every frame; where the contour is 1 the graph's own alpha passes.
TEST(LipContour, BoundToTheComposeAlphaPerFrame) {
  Bundle b("tiny_lip_mapped");
  const auto lip = le::tessera::LipContour::fromTemplateJson(b.manifest.lipTemplate, b.manifest.crop);
  std::unique_ptr<le::Renderer> r;
  const std::string lines = b.loadLines("render", &r);
  char want[256];
  std::snprintf(want, sizeof want,
                "[le] compose alpha: LIP CONTOUR (render) — Min(a, lip_delivery) bound at load, %d "
                "verts, feather %.1f px; the graph's ellipse is not reachable in this session\n",
                lip.vertexCount(), lip.featherPx());
  EXPECT_NE(lines.find(want), std::string::npos) << lines;

  const le::PreparedGraph bound = le::prepareGraph(b.manifest, "render", false, &lip);
  const le::PreparedGraph plain = le::prepareGraph(b.manifest, "render", false, nullptr);
  const int64_t crop = b.manifest.crop;
  const size_t plane = static_cast<size_t>(crop * crop);
  size_t cut = 0;
  for (int d : {0, 5, 11}) {
    SCOPED_TRACE(d);
    le::test::Keypoints k(b.manifest, d);
    const float* out = r->render(&k.si, k.ks.data(), k.kd.data(), 1);
    const std::vector<float> got(out, out + 3 * plane);
    std::vector<float> pooled(64 * 32 * 32), P(3 * plane), mask(plane);
    le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(b.identity.pooled64(k.si)), pooled.data(), pooled.size());
    le::simd::f16ToF32(reinterpret_cast<const uint16_t*>(b.identity.P(k.si)), P.data(), P.size());
    lip.contourF32Canvas(k.kd.data(), mask.data());
    std::vector<Feed> feeds{{"pooled64", {1, 64, 32, 32}, pooled},
                            {"P_rgb", {1, 3, crop, crop}, P},
                            {"kp_driving", {1, 21, 3}, k.kd},
                            {"kp_source", {1, 21, 3}, k.ks}};
    const std::vector<float> own = runGraph(plain.bytes, feeds, {"rgb"})[0];
    feeds.push_back({"lip_delivery", {1, 1, crop, crop}, mask});
    EXPECT_LT(maxAbsDiff(got, runGraph(bound.bytes, feeds, {"rgb"})[0]), 2e-6f);
    for (size_t i = 0; i < plane; ++i) {
      float diff = 0;
      for (size_t c = 0; c < 3; ++c) diff = std::max(diff, std::abs(got[c * plane + i] - own[c * plane + i]));
      if (mask[i] == 1.0f) {
        EXPECT_LT(diff, 2e-6f) << i;
      } else {
        cut += diff > 1e-3f;
      }
    }
  }
  EXPECT_GT(cut, plane / 50) << "the contour cut nothing from the ellipse";

  const std::string refused = Bundle("tiny_lip_input").loadLines("render");
  EXPECT_NE(refused.find("[le] !!! lip contour NOT bound to the compose alpha (render): the graph already carries an "
                         "input named lip_delivery — this session serves the graph's own ELLIPSE\n"),
            std::string::npos)
      << refused;
}

}  // namespace
