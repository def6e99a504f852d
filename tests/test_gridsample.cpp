// GridSampleFast: the kernel on every processor target against the plain
// formula and inside ONNX Runtime next to the runtime's own GridSample; which
// nodes the rewrite takes, and what it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_random.h"
#include "gridsample_graph.h"
#include "kernels/le_simd.h"
#include "render/gridsample_fast.h"

namespace {

using le::testing::directorGridSampleAttrs;
using le::testing::gridSampleModel;

// The sampling formula as written down, one pixel at a time. Source
// coordinates beyond [-1, size] (infinities too) sample as at that bound,
// NaN as at -1: the edge pixels, as the border padding asks.
std::vector<float> reference(const std::vector<float>& X, const std::vector<float>& grid, int C, int H, int W) {
  std::vector<float> out(X.size());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float gx = grid[(y * W + x) * 2 + 0], gy = grid[(y * W + x) * 2 + 1];
      auto bound = [](float v, int n) { return std::isnan(v) ? -1.0f : std::clamp(v, -1.0f, float(n)); };
      const float ix = bound((gx + 1) * 0.5f * W - 0.5f, W), iy = bound((gy + 1) * 0.5f * H - 0.5f, H);
      const int x0 = static_cast<int>(std::floor(ix)), y0 = static_cast<int>(std::floor(iy));
      const float wx = ix - x0, wy = iy - y0;
      const int xa = std::clamp(x0, 0, W - 1), xb = std::clamp(x0 + 1, 0, W - 1);
      const int ya = std::clamp(y0, 0, H - 1), yb = std::clamp(y0 + 1, 0, H - 1);
      for (int c = 0; c < C; ++c) {
        const float* p = X.data() + c * H * W;
        out[(c * H + y) * W + x] = ((1 - wx) * (1 - wy) * p[ya * W + xa] + wx * (1 - wy) * p[ya * W + xb]) +
                                   (1 - wx) * wy * p[yb * W + xa] + wx * wy * p[yb * W + xb];
      }
    }
  return out;
}

using le::test::randomVec;

TEST(GridSampleKernel, EveryTargetMatchesTheFormulaBitForBit) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  // Corners, far and non-finite points (grid x, grid y).
  const float far[][2] = {{-1, -1}, {1, 1}, {-5, 0}, {40, 1e30f}, {-1e30f, 9}, {inf, -inf}, {nan, nan}, {0.3f, nan}};
  // One-column planes, the narrowest pairs, scalar tails, whole vectors.
  for (const auto& [C, H, W] : {std::array{1, 1, 1}, {1, 3, 2}, {3, 5, 7}, {4, 9, 33}}) {
    const auto X = randomVec(static_cast<size_t>(C) * H * W, 0, 1, 1);
    // Up to exactly half a pixel beyond each edge: the whole border zone.
    const float ex = 1.0f / W, ey = 1.0f / H;
    auto grid = randomVec(static_cast<size_t>(H) * W * 2, -1, 1, 2);
    for (size_t i = 0; i < grid.size(); ++i) grid[i] *= 1 + (i % 2 ? ey : ex);
    for (size_t i = 0; i < grid.size() / 2; i += 3) std::copy_n(far[i / 3 % std::size(far)], 2, &grid[2 * i]);
    const auto want = reference(X, grid, C, H, W);
    le::simd::forEachTarget([&](const char* target) {
      std::vector<float> got(X.size(), -7);
      le::gridsample_fast(X.data(), grid.data(), got.data(), C, H, W);
      ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << target << " " << C << "x" << H << "x" << W;
    });
  }
}

TEST(GridSampleKernel, BandsWriteOnlyTheirRows) {
  const int C = 3, H = 17, W = 10;
  const auto X = randomVec(C * H * W, 0, 1, 4), grid = randomVec(H * W * 2, -1, 1, 5);
  std::vector<float> whole(X.size());
  le::gridsample_fast(X.data(), grid.data(), whole.data(), C, H, W);
  // The two bands of the operator, and bands reaching past either end; rows
  // outside a band stay NaN.
  for (const auto& bands :
       {std::vector<std::pair<int, int>>{{0, 16}, {16, 32}}, {{-4, 2}}, {{0, 16}}, {{5, 9}, {12, 13}}}) {
    std::vector<float> got(X.size(), NAN);
    std::vector<bool> written(H);
    for (auto [b, e] : bands) {
      le::gridsample_fast_band(X.data(), grid.data(), got.data(), C, H, W, b, e);
      for (int y = std::max(b, 0); y < std::min(e, H); ++y) written[y] = true;
    }
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_TRUE(written[i / W % H] ? got[i] == whole[i] : std::isnan(got[i])) << bands[0].first << ", element " << i;
  }
}

// ------------------------------------------------------------ the rewrite

int countOccurrences(const std::vector<uint8_t>& bytes, const std::string& text) {
  const std::string s(bytes.begin(), bytes.end());
  int n = 0;
  for (size_t i = s.find(text); i != std::string::npos; i = s.find(text, i + 1)) ++n;
  return n;
}

TEST(GridSampleRewrite, OnlyBilinearBorderUnalignedDefaultDomainNodesQualify) {
  const auto attrs = [](const char* mode, const char* padding, int align) {
    std::vector<uint8_t> a;
    if (mode) le::hcAttrS(a, "mode", mode);
    if (padding) le::hcAttrS(a, "padding_mode", padding);
    if (align >= 0) le::hcAttrI(a, "align_corners", align);
    return a;
  };
  const struct {
    std::vector<uint8_t> attrs;
    std::string domain;
    size_t rewritten;
  } cases[] = {{attrs("bilinear", "zeros", 0), "", 0},  {attrs("bilinear", nullptr, 0), "", 0},
               {attrs("nearest", "border", 0), "", 0},  {attrs(nullptr, "border", 0), "", 0},
               {attrs("bilinear", "border", 1), "", 0}, {attrs("bilinear", "border", 0), "org.example", 0},
               {attrs("linear", "border", -1), "", 1},  {attrs("bilinear", "border", 0), "ai.onnx", 1}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto original = gridSampleModel(cases[i].attrs, 1, 1, 4, 4, cases[i].domain);
    auto model = original;
    EXPECT_EQ(le::rewriteGridSampleToFast(model), cases[i].rewritten) << "case " << i;
    EXPECT_EQ(model == original, cases[i].rewritten == 0) << "case " << i;
  }
}

TEST(GridSampleRewrite, RewritesOnceWithOneOpsetImport) {
  const auto original = gridSampleModel(directorGridSampleAttrs(), 1, 2, 8, 8);
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(original) || le::graphHasBakedGridSampleFast({}));
  auto model = original;
  ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);
  EXPECT_TRUE(le::graphHasBakedGridSampleFast(model) && le::gsHasOpsetImport(model, "com.corvamel"));
  const auto once = model;
  EXPECT_EQ(le::rewriteGridSampleToFast(model), 0u);
  EXPECT_EQ(model, once);
  // A model that already imports the domain gets no second import.
  auto withImport = original;
  le::gsAddOpsetImport(withImport, "com.corvamel", 1);
  ASSERT_EQ(le::rewriteGridSampleToFast(withImport), 1u);
  EXPECT_EQ(std::pair(countOccurrences(model, "com.corvamel"), countOccurrences(withImport, "com.corvamel")),
            std::pair(2, 2));  // the node's domain and one import
  // A baked node counts only in the custom domain.
  le::gsRetypeNodes(
      model, [](le::GsSlice) { return true; }, "GridSampleFast", "", false);
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(model));
}

// ---------------------------------------------------- inside ONNX Runtime

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "le-test");
  return e;
}

// The rewritten graph (our kernel) and the original (the runtime's own
// GridSample) on the same inputs: two bands, a tail and border reach; then
// mostly outside the plane.
TEST(GridSampleRuntime, MatchesTheRuntimesGridSample) {
  for (const auto& [N, C, H, W, reach] : {std::tuple{2, 3, 17, 23, 1.3f}, {1, 5, 33, 8, 3.0f}}) {
    const auto original = gridSampleModel(directorGridSampleAttrs(), N, C, H, W);
    auto rewritten = original;
    ASSERT_EQ(le::rewriteGridSampleToFast(rewritten), 1u);
    const auto X = randomVec(static_cast<size_t>(N * C * H * W), 0, 1, N + C);
    const auto grid = randomVec(static_cast<size_t>(N * H * W * 2), -reach, reach, H);
    std::vector<float> ours(X.size(), NAN), theirs(X.size(), NAN);
    const std::array<int64_t, 4> xs{N, C, H, W}, gs{N, H, W, 2};
    le::testing::GridSampleSession(env(), rewritten, true, 2).run(X.data(), xs, grid.data(), gs, ours.data());
    le::testing::GridSampleSession(env(), original, false, 2).run(X.data(), xs, grid.data(), gs, theirs.data());
    double worst = 0;
    for (size_t i = 0; i < X.size(); ++i) worst = std::max(worst, std::abs(double(ours[i]) - theirs[i]));
    EXPECT_LT(worst, 2e-6) << N << "x" << C << "x" << H << "x" << W;
  }
}

TEST(GridSampleRuntime, MismatchedGridIsAnErrorNotARead) {
  // Symbolic dimensions let a grid smaller than X reach the kernel.
  auto model = gridSampleModel(directorGridSampleAttrs(), 1, 2, -1, -1);
  ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);
  le::testing::GridSampleSession s(env(), model, true, 1);
  const std::vector<float> X(2 * 16, 1), grid(2 * 2 * 2, 0);
  std::vector<float> out(X.size());
  EXPECT_THROW(s.run(X.data(), {1, 2, 4, 4}, grid.data(), {1, 2, 2, 2}, out.data()), Ort::Exception);
  s.run(X.data(), {1, 2, 4, 4}, std::vector<float>(32, 0.25f).data(), {1, 4, 4, 2}, out.data());
  EXPECT_EQ(out, X);
}

}  // namespace
