// WarpDirector: the kernel on every processor target against the formula,
// the operator inside ONNX Runtime, which warp blocks the rewrite takes, and
// the rewritten director against the original one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "test_random.h"
#include "director_graphs.h"
#include "gridsample_graph.h"
#include "kernels/le_simd.h"
#include "render/gridsample_fast.h"
#include "render/warp_director.h"

namespace {

// The operator's formula as written down, one pixel at a time, with every
// read clamped into the plane, in T arithmetic: float gives the bits the
// kernel must write, double what the formula means.
template <class T>
std::vector<T> reference(const std::vector<float>& src, const std::vector<float>& grid, int W, int H) {
  std::vector<T> out(src.size());
  const auto at = [&](int c, int x, int y) -> T {
    return src[(static_cast<size_t>(c) * H + std::clamp(y, 0, H - 1)) * W + std::clamp(x, 0, W - 1)];
  };
  // Clamped into [0, hi], NaN to 0.
  const auto clamp = [](T v, T hi) { return v > 0 ? std::min(v, hi) : T(0); };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const T gx = grid[(static_cast<size_t>(y) * W + x) * 2], gy = grid[(static_cast<size_t>(y) * W + x) * 2 + 1];
      const T ix = ((gx + 1) * T(W) - 1) * T(0.5), iy = ((gy + 1) * T(H) - 1) * T(0.5);
      const T tx = ix - std::floor(ix), ty = iy - std::floor(iy);
      const T cx = (1 - tx) * tx * T(0.5), cy = (1 - ty) * ty * T(0.5);
      const T jx = clamp(ix, T(W - 1)), jy = clamp(iy, T(H - 1));
      const int xa = static_cast<int>(std::floor(jx)), ya = static_cast<int>(std::floor(jy));
      const T fx = jx - T(xa), fy = jy - T(ya);
      const int xb = std::min(xa + 1, W - 1), yb = std::min(ya + 1, H - 1);
      const std::array<std::pair<int, int>, 4> taps{{{xa, ya}, {xb, ya}, {xa, yb}, {xb, yb}}};
      const std::array<T, 4> w{(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
      for (int c = 0; c < 3; ++c) {
        std::array<T, 4> v, dxx, dyy, dxxyy;
        for (int t = 0; t < 4; ++t) {
          const auto [X, Y] = taps[t];
          const auto colDyy = [&](int k) { return (at(c, X + k, Y - 1) - 2 * at(c, X + k, Y)) + at(c, X + k, Y + 1); };
          v[t] = at(c, X, Y);
          dxx[t] = (at(c, X - 1, Y) - 2 * v[t]) + at(c, X + 1, Y);
          dyy[t] = colDyy(0);
          dxxyy[t] = (colDyy(-1) - 2 * dyy[t]) + colDyy(1);
        }
        const auto sum = [&](const std::array<T, 4>& a) {
          return ((w[0] * a[0] + w[1] * a[1]) + w[2] * a[2]) + w[3] * a[3];
        };
        out[(static_cast<size_t>(c) * H + y) * W + x] =
            ((sum(v) - sum(dxx) * cx) - sum(dyy) * cy) + cx * cy * sum(dxxyy);
      }
    }
  return out;
}

using le::test::randomVec;

bool sameFloat(float a, float b) { return std::memcmp(&a, &b, 4) == 0 || (std::isnan(a) && std::isnan(b)); }

// Grid x, y of the centre of pixel (x, y).
std::pair<float, float> centre(int x, int y, int W, int H) { return {(2.0f * x + 1) / W - 1, (2.0f * y + 1) / H - 1}; }

TEST(WarpKernel, EveryTargetWritesTheFormulasBits) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  // Corners, far and non-finite points (grid x, grid y).
  const float far[][2] = {{-1, -1}, {1, 1}, {-5, 0.3f}, {40, 1e30f}, {-1e30f, 9}, {inf, -inf}, {nan, 0.1f}};
  // Planes under 4 x 4, scalar tails, whole vectors with edge pixels among
  // them; then a plane with infinities in every fourth row beside its last
  // column and every fourth column beside its last row: at the edge, a tap
  // weighted 0 still turns the pixel into NaN where the other taps stay
  // finite, so each tap must read its own neighbourhood.
  for (const auto& [W, H, poison] : {std::tuple{1, 1, false},
                                     {3, 2, false},
                                     {4, 4, false},
                                     {7, 5, false},
                                     {33, 9, false},
                                     {64, 17, false},
                                     {48, 20, true}}) {
    auto src = randomVec(3 * static_cast<size_t>(W) * H, 0, 1, W);
    for (int i = 0; poison && i < std::max(W, H); i += 4) {
      src[(H + std::min(i, H - 1)) * W + W - 2] = inf;       // channel 1
      src[(2 * H + H - 2) * W + std::min(i, W - 1)] = -inf;  // channel 2
    }
    // Up to 1.3 times the plane: inside, on the edge and beyond it.
    auto grid = randomVec(static_cast<size_t>(W) * H * 2, -1.3f, 1.3f, H);
    for (size_t i = 0; i < grid.size() / 2; i += 5) std::copy_n(far[i / 5 % std::size(far)], 2, &grid[2 * i]);
    const auto bits = reference<float>(src, grid, W, H);
    const auto exact = reference<double>(src, grid, W, H);
    for (size_t i = 0; i < bits.size(); ++i)
      ASSERT_TRUE(std::isfinite(exact[i]) ? std::abs(bits[i] - exact[i]) < 1e-5 : sameFloat(bits[i], exact[i]))
          << W << "x" << H << " element " << i << ": " << bits[i] << " vs " << exact[i];
    le::simd::forEachTarget([&](const char* target) {
      std::vector<float> got(src.size(), -7);
      le::warpDirector(src.data(), grid.data(), got.data(), W, H);
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(sameFloat(got[i], bits[i]))
            << target << " " << W << "x" << H << " element " << i << ": " << got[i] << " vs " << bits[i];
    });
  }
}

TEST(WarpKernel, PixelCentresGiveThePixelsAndTheEdgeRepeatsOutside) {
  const int W = 32, H = 16, shift = 3;
  const auto src = randomVec(3 * W * H, 0, 1, 3);
  // Every point 3 pixels right and 3 down of its own centre: whole pixels,
  // no correction; past the far edges the last column and row repeat.
  std::vector<float> grid(2 * W * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      std::tie(grid[2 * (y * W + x)], grid[2 * (y * W + x) + 1]) = centre(x + shift, y + shift, W, H);
  le::simd::forEachTarget([&](const char* target) {
    std::vector<float> got(src.size());
    le::warpDirector(src.data(), grid.data(), got.data(), W, H);
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
          ASSERT_EQ(got[(c * H + y) * W + x],
                    src[(c * H + std::min(y + shift, H - 1)) * W + std::min(x + shift, W - 1)])
              << target << " " << c << "," << y << "," << x;
  });
  // Grid x = -1 is half a pixel left of the first column: the clamped
  // position is that column itself, but the unclamped fraction 1/2 still
  // corrects it by c = 1/8 of its second difference, (v0 - 2 v0) + v1 with
  // the edge repeated. Rows are alike, so nothing changes along y.
  const float v0 = 0.2f, v1 = 0.9f;
  std::vector<float> cols(3 * W * H, 0.5f), point(2 * W * H), out(cols.size());
  for (int y = 0; y < H; ++y) cols[y * W] = v0, cols[y * W + 1] = v1;
  for (int i = 0; i < W * H; ++i) point[2 * i] = -1, point[2 * i + 1] = centre(0, i / W, W, H).second;
  le::warpDirector(cols.data(), point.data(), out.data(), W, H);
  EXPECT_NEAR(out[5 * W], v0 - (v1 - v0) / 8, 1e-6);
}

// ---------------------------------------------------- inside ONNX Runtime

// Y = com.corvamel::WarpDirector(X [N, C, H, W], Grid [N, H, W, 2]).
std::vector<uint8_t> warpModel(int64_t N, int64_t C, int64_t H, int64_t W) {
  auto model = le::testing::gridSampleModel({}, N, C, H, W);
  le::gsRetypeNodes(
      model, [](le::GsSlice) { return true; }, "WarpDirector", le::kCorvamelDomain, true);
  le::gsAddOpsetImport(model, le::kCorvamelDomain, 1);
  return model;
}

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "le-test");
  return e;
}

// Two samples of 17 rows: two bands each, the second of one row.
TEST(WarpOperator, RunsEverySampleInBands) {
  const int64_t N = 2, H = 17, W = 23;
  const auto X = randomVec(N * 3 * H * W, 0, 1, 8), grid = randomVec(N * H * W * 2, -1.2f, 1.2f, 9);
  std::vector<float> got(X.size(), NAN);
  le::testing::GridSampleSession(env(), warpModel(N, 3, H, W), true, 2)
      .run(X.data(), {N, 3, H, W}, grid.data(), {N, H, W, 2}, got.data());
  for (int64_t n = 0; n < N; ++n) {
    const std::vector<float> src(X.begin() + n * 3 * H * W, X.begin() + (n + 1) * 3 * H * W);
    const std::vector<float> g(grid.begin() + n * 2 * H * W, grid.begin() + (n + 1) * 2 * H * W);
    const auto want = reference<float>(src, g, W, H);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin() + n * 3 * H * W)) << "sample " << n;
  }
}

TEST(WarpOperator, RefusesAnythingButThreeChannels) {
  le::testing::GridSampleSession s(env(), warpModel(1, 4, 8, 8), true, 1);
  const std::vector<float> X(4 * 64, 0.5f), grid(2 * 64, 0.0f);
  std::vector<float> out(X.size());
  try {
    s.run(X.data(), {1, 4, 8, 8}, grid.data(), {1, 8, 8, 2}, out.data());
    FAIL() << "ran";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(
                  "com.corvamel::WarpDirector: this node warps the director's 3-channel source and the graph handed it "
                  "C=4. REFUSING rather than writing a frame nobody asked for."),
              std::string::npos)
        << e.what();
  }
}

// ------------------------------------------------------------ the rewrite

constexpr int kCrop = 64;

const le::testing::WarpGraphs& graphs() {
  static const le::testing::WarpGraphs g(LE_BUILD_DIR, kCrop);
  return g;
}

// A director with one edit: its GridSample's attributes dropped, the
// GridSample retyped, or the named node left out.
std::vector<uint8_t> edited(const std::string& kind, const std::string& edit) {
  auto model = graphs().bytes("director_" + kind);
  const auto isTip = [](le::GsSlice n) { return le::gsNodeOpType(n).rfind("GridSample", 0) == 0; };
  const bool baked = kind == "baked";
  if (edit == "no attributes")
    le::gsRetypeNodes(model, isTip, baked ? "GridSampleFast" : "GridSample", baked ? le::kCorvamelDomain : "", true);
  if (edit == "retyped") le::gsRetypeNodes(model, isTip, "GridSampleSlow", "", false);
  if (edit[0] == '/') {
    le::GsGraphEdit e;
    le::gsEachBytes(le::gsGraphOf(model), le::onnx_field::kGraphNode, [&](le::GsSlice node) {
      e.dropNodes.push_back(le::gsFirstStr(node, le::onnx_field::kNodeName) == edit);
    });
    std::vector<uint8_t> out;
    le::gsRebuild(model, e, out);
    model.swap(out);
  }
  return model;
}

TEST(WarpRewrite, TakesOnlyTheWholeBlock) {
  // The cone (Pad, 3 Conv, Concat), the GridSample, the recombination (4
  // Slice, 3 Mul, 2 Sub, 1 Add) and the 11 nodes that computed its
  // correction coefficients from the sampling positions.
  const size_t block = 5 + 1 + 10 + 11;
  const struct {
    std::string name;
    std::vector<uint8_t> model;
    size_t removed;
    std::string reason;
  } cases[] = {
      {"standard", graphs().bytes("director_standard"), block, ""},
      {"baked", graphs().bytes("director_baked"), block, ""},
      // A fused tip carries no attributes to check.
      {"baked, no attributes", edited("baked", "no attributes"), block, ""},
      {"empty", {}, 0, "no graph"},
      {"featsynth", graphs().bytes("director_featsynth"), 0, "not one Concat consuming P_rgb"},
      {"two_concats", graphs().bytes("director_two_concats"), 0, "not one Concat consuming P_rgb"},
      {"retyped", edited("standard", "retyped"), 0, "no GridSample consuming '/cone/boundary_out'"},
      {"two_gridsamples", graphs().bytes("director_two_gridsamples"), 0, "two GridSamples on the cone's tip"},
      {"no attributes", edited("standard", "no attributes"), 0,
       "the fused GridSample is not bilinear/border/align_corners=0"},
      {"no grid", edited("standard", "/grid/grid"), 0, "the grid has no producer"},
      {"no clip", edited("standard", "/warp/clip"), 0, "the recombination has 0 exits, not 1"},
      {"cone_escape", graphs().bytes("director_cone_escape"), 0, "cone value '/cone/dxx_out' escapes to /dec/with_dxx"},
      {"prgb_escape", graphs().bytes("director_prgb_escape"), 0,
       "P_rgb is also read outside the cone by /dec/with_source"},
      {"boundary_escape", graphs().bytes("director_boundary_escape"), 0,
       "the boundary '/cone/boundary_out' is also read by /dec/boundary_source"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto model = c.model;
    std::string reason;
    EXPECT_EQ(le::rewriteWarpBlockToCustomOp(model, reason), c.removed);
    EXPECT_EQ(reason, c.reason);
    if (c.removed == 0) {
      EXPECT_EQ(model, c.model);
      continue;
    }
    // One WarpDirector node in the block's place, writing its exit, with an
    // import of its domain; nothing of the cone or the warp is left but the
    // Clip after it.
    std::vector<le::GsNodeInfo> nodes;
    std::set<std::string> inits, inputs;
    le::gsReadGraph(le::gsGraphOf(model), nodes, inits, inputs);
    std::vector<std::string> warps;
    for (const auto& n : nodes) {
      const std::string name = le::gsFirstStr(n.raw, 3);
      EXPECT_TRUE(name.rfind("/warp/", 0) != 0 || name == "/warp/clip") << name << " survived";
      EXPECT_TRUE(name.rfind("/cone/", 0) != 0) << name << " survived";
      if (n.opType == "WarpDirector")
        warps.push_back(name + ":" + le::gsNodeDomain(n.raw) + ":" + n.inputs[0] + "," + n.inputs[1] + "->" +
                        n.outputs[0]);
    }
    EXPECT_EQ(warps, std::vector<std::string>{"le_warp_director:com.corvamel:P_rgb,/grid/grid_out->/warp/warped_out"});
    EXPECT_EQ(nodes.size() + block - 1, le::wdReadNodes(le::gsGraphOf(c.model)).size());
    EXPECT_TRUE(le::gsHasOpsetImport(model, le::kCorvamelDomain));
    std::string again;
    EXPECT_EQ(le::rewriteWarpBlockToCustomOp(model, again), 0u);
  }
  std::string reason;
  EXPECT_FALSE(le::findWarpBlock(graphs().bytes("director_standard"), nullptr, reason));
  EXPECT_EQ(reason, "no out param");
}

TEST(WarpRewrite, RewrittenDirectorRendersTheOriginalsFrame) {
  for (const std::string kind : {"standard", "baked"}) {
    SCOPED_TRACE(kind);
    const auto original = graphs().bytes("director_" + kind);
    auto rewritten = original;
    std::string reason;
    ASSERT_GT(le::rewriteWarpBlockToCustomOp(rewritten, reason), 0u) << reason;
    le::testing::DirectorFeeds in(kCrop);
    std::vector<float> ours(3 * kCrop * kCrop, NAN), theirs(ours.size(), NAN);
    le::testing::GraphSession(rewritten, 2).run(in.tensors(true), {"rgb", &ours, {1, 3, kCrop, kCrop}});
    le::testing::GraphSession(original, 2).run(in.tensors(true), {"rgb", &theirs, {1, 3, kCrop, kCrop}});
    double worst = 0, moved = 0;
    for (size_t i = 0; i < ours.size(); ++i) {
      worst = std::max(worst, std::abs(double(ours[i]) - theirs[i]));
      moved = std::max(moved, std::abs(double(theirs[i]) - in.P[i]));
    }
    EXPECT_LT(worst, 2e-5);
    EXPECT_GT(moved, 0.05);  // the keypoints warp the face: the comparison is not of two copies of the source
  }
}

}  // namespace
