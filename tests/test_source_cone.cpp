// Cutting the director's source cone out: the prep graph and the per-frame
// graph, run one after the other in ONNX Runtime, compute what the whole
// graph computes; graphs that break the cone's pattern are refused with their
// reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "director_graphs.h"
#include "render/source_cone.h"

namespace {

using le::testing::DirectorFeeds;
using le::testing::GraphSession;
using le::testing::Tensor;

constexpr int kCrop = 64;

const le::testing::WarpGraphs& graphs() {
  static const le::testing::WarpGraphs g(LE_BUILD_DIR, kCrop);
  return g;
}

std::vector<int64_t> outputShape(GraphSession& s) {
  return s.session().GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
}

// The boundary read by its GridSample alone, by two GridSamples, and by a
// Slice outside the warp too: the cut does not care who reads it.
TEST(SourceCone, PrepThenPerFrameComputeTheWholeGraph) {
  for (const std::string kind : {"standard", "two_gridsamples", "boundary_escape"}) {
    SCOPED_TRACE(kind);
    const std::vector<uint8_t> model = graphs().bytes("director_" + kind);
    std::string boundary, reason;
    ASSERT_EQ(le::findSourceConeBoundary(model, boundary), 1u);
    EXPECT_EQ(boundary, "/cone/boundary_out");

    std::vector<uint8_t> prep;
    ASSERT_TRUE(le::buildSourceConePrep(model, boundary, prep, reason)) << reason;
    GraphSession prepSession(prep, 1);
    // Declared symbolic; the runtime infers the static shape the renderer sizes its ring by.
    const std::vector<int64_t> dims = outputShape(prepSession);
    ASSERT_EQ(dims, (std::vector<int64_t>{1, 12, kCrop, kCrop}));
    DirectorFeeds in(kCrop);
    std::vector<float> cut(12 * kCrop * kCrop, NAN);
    prepSession.run({{"P_rgb", &in.P, {1, 3, kCrop, kCrop}}}, {boundary, &cut, dims});

    std::vector<uint8_t> perFrame;
    ASSERT_TRUE(le::buildSourceConePerFrame(model, boundary, dims.data(), dims.size(), perFrame, reason)) << reason;
    // Without "P_rgb": the per-frame graph no longer has it as an input.
    std::vector<Tensor> inputs = in.tensors(false);
    inputs.push_back({boundary, &cut, dims});
    std::vector<float> split(3 * kCrop * kCrop, NAN), whole(split.size(), NAN);
    GraphSession(perFrame, 2).run(inputs, {"rgb", &split, {1, 3, kCrop, kCrop}});
    GraphSession(model, 2).run(in.tensors(true), {"rgb", &whole, {1, 3, kCrop, kCrop}});
    double worst = 0;
    for (size_t i = 0; i < whole.size(); ++i) worst = std::max(worst, std::abs(double(split[i]) - whole[i]));
    EXPECT_LT(worst, 1e-5);
  }
}

// The standard director with its edge Pad, the cone's first node, left out.
std::vector<uint8_t> withoutPad(const std::vector<uint8_t>& model) {
  le::GsGraphEdit edit;
  le::gsEachBytes(le::gsGraphOf(model), le::onnx_field::kGraphNode, [&](le::GsSlice node) {
    edit.dropNodes.push_back(le::gsFirstStr(node, le::onnx_field::kNodeName) == "/cone/pad");
  });
  std::vector<uint8_t> out;
  le::gsRebuild(model, edit, out);
  return out;
}

TEST(SourceCone, BrokenPatternsAreRefusedWithTheirReason) {
  const struct {
    std::string name;
    std::vector<uint8_t> model;
    size_t concats;
    std::string reason;
  } cases[] = {
      {"empty", {}, 0, "no graph"},
      {"featsynth", graphs().bytes("director_featsynth"), 0, "no P_rgb input"},
      {"no pad", withoutPad(graphs().bytes("director_standard")), 1, "cone leaf '/cone/pad_out' has no producer"},
      // The last Concat on P_rgb is the decoder's: its cone runs into the keypoints.
      {"two_concats", graphs().bytes("director_two_concats"), 2, "cone reads graph input 'kp_driving'"},
      {"cone_escape", graphs().bytes("director_cone_escape"), 1, "cone value '/cone/dxx_out' escapes to /dec/with_dxx"},
      {"prgb_escape", graphs().bytes("director_prgb_escape"), 1,
       "P_rgb is also read outside the cone by /dec/with_source"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string boundary = "/cone/boundary_out", prepReason, perFrameReason;
    EXPECT_EQ(le::findSourceConeBoundary(c.model, boundary), c.concats);
    std::vector<uint8_t> prep, perFrame;
    const int64_t dims[4] = {1, 12, kCrop, kCrop};
    EXPECT_FALSE(le::buildSourceConePrep(c.model, boundary, prep, prepReason));
    EXPECT_FALSE(le::buildSourceConePerFrame(c.model, boundary, dims, 4, perFrame, perFrameReason));
    EXPECT_EQ(prepReason, c.reason);
    EXPECT_EQ(perFrameReason, c.reason);
    EXPECT_TRUE(prep.empty() && perFrame.empty());
  }
}

}  // namespace
