// The load-time normalisations, each run in ONNX Runtime against the graph it
// replaced: the cubic head Resize (also against the runtime's cubic Resize
// test data), the student blend Gemm and the lip-contour binding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ort_graph.h"
#include "render/graph_normalise.h"
#include "test_random.h"

namespace {

using le::testing::Feed;
using le::testing::maxAbsDiff;
using le::testing::readBytes;
using le::testing::runGraph;

std::vector<float> randomData(size_t n, unsigned seed, float lo = -1.0f, float hi = 1.0f) {
  return le::test::randomVec(n, lo, hi, seed);
}

class Normalise : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/le-normalise-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const std::string cmd =
        "/usr/bin/python3 " LE_SOURCE_DIR "/tests/graphs/normalise_graphs.py --out '" + dir_.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }
  static std::vector<uint8_t> graph(const std::string& name) { return readBytes((dir_ / (name + ".onnx")).string()); }

  static inline std::filesystem::path dir_;
};

TEST(HcTaps, KeysWeightsAtTheTwoHalfPixelPhases) {
  double even[4], odd[4];
  le::hcTaps(0.75, -0.75, even);
  le::hcTaps(0.25, -0.75, odd);
  const double want[4] = {-0.03515625, 0.26171875, 0.87890625, -0.10546875};
  for (int i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(even[i], want[i]) << i;
    EXPECT_DOUBLE_EQ(odd[i], want[3 - i]) << i;
  }
  // Any phase and coefficient: the normalised taps sum to one and at phase 0
  // reproduce the sample.
  double t0[4];
  le::hcTaps(0.0, -0.5, t0);
  EXPECT_NEAR(t0[1], 1.0, 1e-15);
  EXPECT_NEAR(t0[0] + t0[2] + t0[3], 0.0, 1e-15);
}

TEST_F(Normalise, CubicRewriteEqualsTheRuntimesCubicResize) {
  for (const char* name : {"cubic_a075", "cubic_a050"}) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> before = graph(name);
    std::vector<uint8_t> after = before;
    ASSERT_EQ(le::rewriteHeadCubicResize(after), 1u);
    std::vector<Feed> feeds{{"X", {1, 3, 9, 9}, randomData(3 * 81, 3)}};
    const auto want = runGraph(before, feeds, {"Y"});
    const auto got = runGraph(after, feeds, {"Y"});
    ASSERT_EQ(got[0].size(), 3u * 18 * 18);
    EXPECT_LT(maxAbsDiff(got[0], want[0]), 2e-6f);
  }
}

TEST_F(Normalise, CubicRewriteReproducesTheCubicUpsampleTestData) {
  const std::string data = "/usr/share/libonnx-testdata/data/node/test_resize_upsample_scales_cubic/test_data_set_0/";
  std::vector<float> x, y;
  std::vector<int64_t> xd, yd;
  const std::vector<uint8_t> in = readBytes(data + "input_0.pb"), out = readBytes(data + "output_0.pb");
  ASSERT_TRUE(le::hcTensorFloats(in, x));
  ASSERT_TRUE(le::hcTensorFloats(out, y));
  le::hcTensorDims(in, xd);
  le::hcTensorDims(out, yd);
  ASSERT_EQ(xd, (std::vector<int64_t>{1, 1, 4, 4}));
  ASSERT_EQ(yd, (std::vector<int64_t>{1, 1, 8, 8}));
  std::vector<uint8_t> model = graph("cubic_testdata");
  ASSERT_EQ(le::rewriteHeadCubicResize(model), 1u);
  std::vector<Feed> feeds{{"X", xd, x}};
  EXPECT_LT(maxAbsDiff(runGraph(model, feeds, {"Y"})[0], y), 1e-5f);
}

TEST_F(Normalise, RewritesLeaveGraphsWithoutTheirPatternByteForByte) {
  struct Case {
    const char* graph;
    size_t (*rewrite)(std::vector<uint8_t>&);
  };
  const Case cases[] = {
      {"cubic_scales23", le::rewriteHeadCubicResize}, {"cubic_roi", le::rewriteHeadCubicResize},
      {"cubic_exclude", le::rewriteHeadCubicResize},  {"cubic_two", le::rewriteHeadCubicResize},
      {"cubic_noconv", le::rewriteHeadCubicResize},   {"blend3", le::normaliseStudentBlend},
      {"blend_renamed", le::normaliseStudentBlend},   {"cubic_a075", le::normaliseStudentBlend},
      {"blend", le::rewriteHeadCubicResize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.graph);
    const std::vector<uint8_t> before = graph(c.graph);
    std::vector<uint8_t> after = before;
    EXPECT_EQ(c.rewrite(after), 0u);
    EXPECT_EQ(after, before);
  }
}

TEST_F(Normalise, StudentBlendBecomesAnEqualGemm) {
  const std::vector<uint8_t> before = graph("blend");
  std::vector<uint8_t> after = before;
  ASSERT_EQ(le::normaliseStudentBlend(after), 1u);
  ASSERT_NE(after, before);
  std::vector<Feed> feeds{{"X", {37, 8}, randomData(37 * 8, 5)}};
  EXPECT_LT(maxAbsDiff(runGraph(after, feeds, {"Y"})[0], runGraph(before, feeds, {"Y"})[0]), 1e-6f);
}

TEST_F(Normalise, LipBindingTakesTheMinWhereTheMaskIsBelowOne) {
  std::vector<uint8_t> model = graph("compose");
  const std::vector<uint8_t> before = model;
  std::string reason;
  int canvas = 0, batch = 0;
  ASSERT_TRUE(le::rewriteBindLipContour(model, reason, &canvas, &batch)) << reason;
  EXPECT_EQ(canvas, 9);
  EXPECT_EQ(batch, 1);

  const size_t plane = 81;
  std::vector<float> a = randomData(plane, 7, -0.5f, 1.5f), lip(plane);
  for (size_t i = 0; i < plane; ++i) lip[i] = i % 3 == 0 ? 1.0f : static_cast<float>(i % 7) / 7.0f;
  std::vector<Feed> feeds{{"P_rgb", {1, 3, 9, 9}, randomData(3 * plane, 1)},
                          {"fg", {1, 3, 9, 9}, randomData(3 * plane, 2)},
                          {"bg", {1, 3, 9, 9}, randomData(3 * plane, 3)},
                          {"a", {1, 1, 9, 9}, a}};
  const auto plain = runGraph(before, feeds, {"Y", "A"});
  feeds.push_back({"lip_delivery", {1, 1, 9, 9}, lip});
  const auto bound = runGraph(model, feeds, {"Y", "A"});

  // Every reader of the alpha, the second output included, sees min(alpha, lip).
  for (size_t i = 0; i < plane; ++i) {
    const float alpha = std::min(std::max(a[i], 0.0f), 1.0f);
    const float want = std::min(alpha, lip[i]);
    EXPECT_EQ(bound[1][i], want) << i;
    if (lip[i] == 1.0f) {
      EXPECT_EQ(bound[1][i], plain[1][i]) << i;
    }
    for (size_t c = 0; c < 3; ++c) {
      const size_t k = c * plane + i;
      const float mix = feeds[1].data[k] * want + (1.0f - want) * feeds[2].data[k];
      EXPECT_NEAR(bound[0][k], mix, 1e-6f) << k;
      if (lip[i] == 1.0f) {
        EXPECT_EQ(bound[0][k], plain[0][k]) << k;
      }
    }
  }
}

TEST_F(Normalise, LipBindingRefusalsLeaveTheGraph) {
  struct Case {
    std::vector<uint8_t> model;
    const char* reason;
  };
  std::vector<uint8_t> noGraph = {0x08, 0x08};  // ir_version only
  const Case cases[] = {
      {noGraph, "no graph"},
      {graph("compose_lip"), "the graph already carries an input named lip_delivery"},
      {graph("compose_untailed"), "the graph does not carry the unified compose tail"},
      {graph("blend"), "the graph does not carry the unified compose tail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    std::vector<uint8_t> m = c.model;
    std::string reason;
    int canvas = -1, batch = -1;
    EXPECT_FALSE(le::rewriteBindLipContour(m, reason, &canvas, &batch));
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(m, c.model);
  }
}

}  // namespace
