// warpdirector_3x512x512: the director's warp block at crop 512 (the source
// cone's three depthwise convolutions, the 12-channel GridSample as the
// renderer runs it, GridSampleFast, and the recombination) in ONNX Runtime,
// against the same graph with the block rewritten into one WarpDirector
// node; both sessions in this process on 2 intra-op threads.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "../../tests/director_graphs.h"
#include "peers.h"
#include "render/gridsample_fast.h"
#include "render/warp_director.h"

namespace {

constexpr int kThreads = 2;
constexpr int64_t kCrop = 512;

void compare() {
  const le::testing::WarpGraphs graphs(le::peers::buildDir(), kCrop);
  auto block = graphs.bytes("warp_block");
  auto warp = block;
  std::string reason;
  if (le::rewriteWarpBlockToCustomOp(warp, reason) == 0) {
    std::fprintf(stderr, "warpdirector: the block was not rewritten (%s)\n", reason.c_str());
    return;
  }
  le::rewriteGridSampleToFast(block);

  std::vector<float> P(3 * kCrop * kCrop), pos(2 * kCrop * kCrop), out(P.size());
  for (size_t i = 0; i < P.size(); ++i) P[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000;
  // A smooth warp around the identity, as a face's motion field is.
  for (int64_t y = 0; y < kCrop; ++y)
    for (int64_t x = 0; x < kCrop; ++x) {
      const float u = (2.0f * x + 1) / kCrop - 1, v = (2.0f * y + 1) / kCrop - 1;
      pos[y * kCrop + x] = u + 0.08f * std::sin(3 * v);
      pos[(kCrop + y) * kCrop + x] = v + 0.08f * std::cos(2 * u);
    }
  const std::vector<le::testing::Tensor> in{{"P_rgb", &P, {1, 3, kCrop, kCrop}}, {"pos", &pos, {1, 2, kCrop, kCrop}}};
  const le::testing::Tensor warped{"warped", &out, {1, 3, kCrop, kCrop}};
  le::testing::GraphSession ours(warp, kThreads), theirs(block, kThreads);
  const double leMs = le::peers::medianMs([&] { ours.run(in, warped); });
  const double peerMs = le::peers::medianMs([&] { theirs.run(in, warped); });
  le::peers::report("warpdirector_3x512x512", leMs, "gridsample-block", peerMs);
}

const le::peers::Register kRegister("warpdirector", compare);

}  // namespace
