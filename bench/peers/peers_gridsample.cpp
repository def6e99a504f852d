// gridsample_<C>x<H>x<W>: the director's warp shapes as one-node graphs in
// ONNX Runtime, our GridSampleFast (rewritten graph) against the runtime's
// own GridSample (original graph), both on 2 intra-op threads.
#include <cmath>
#include <string>
#include <vector>

#include "../../tests/gridsample_graph.h"
#include "peers.h"

namespace {

constexpr int kThreads = 2;

void compare(int64_t C, int64_t H, int64_t W) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le-peers");
  const auto original = le::testing::gridSampleModel(le::testing::directorGridSampleAttrs(), 1, C, H, W);
  auto rewritten = original;
  le::rewriteGridSampleToFast(rewritten);
  std::vector<float> X(static_cast<size_t>(C * H * W)), grid(static_cast<size_t>(H * W * 2)), out(X.size());
  for (size_t i = 0; i < X.size(); ++i) X[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000;
  // A smooth warp around the identity, as a face's motion field is.
  for (int64_t y = 0; y < H; ++y)
    for (int64_t x = 0; x < W; ++x) {
      const float u = (2.0f * x + 1) / W - 1, v = (2.0f * y + 1) / H - 1;
      grid[(y * W + x) * 2 + 0] = u + 0.08f * std::sin(3 * v);
      grid[(y * W + x) * 2 + 1] = v + 0.08f * std::cos(2 * u);
    }
  const std::array<int64_t, 4> xs{1, C, H, W}, gs{1, H, W, 2};
  le::testing::GridSampleSession ours(env, rewritten, true, kThreads), theirs(env, original, false, kThreads);
  const double leMs = le::peers::medianMs([&] { ours.run(X.data(), xs, grid.data(), gs, out.data()); });
  const double ortMs = le::peers::medianMs([&] { theirs.run(X.data(), xs, grid.data(), gs, out.data()); });
  le::peers::report("gridsample_" + std::to_string(C) + "x" + std::to_string(H) + "x" + std::to_string(W), leMs,
                    "ort", ortMs);
}

const le::peers::Register kRegister("gridsample", [] {
  compare(12, 512, 512);
  compare(64, 64, 64);
  compare(3, 512, 512);
});

}  // namespace
