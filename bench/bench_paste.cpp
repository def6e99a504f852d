// The paste compositor's stages on a 512 crop pasted into a 1080p frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "kernels/le_paste.h"

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;

struct Fixture {
  std::vector<float> crop = std::vector<float>(3 * kSide * kSide);
  std::vector<uint8_t> frame = std::vector<uint8_t>(kW * kH * 3, 90);
  const float M[6] = {1.04f, -0.1f, 700, 0.1f, 1.04f, 250};
  le::Paste paste{std::vector<uint8_t>(kSide * kSide, 200), kSide, le::Unsharp{1.3f, 2.0f, 13}};
  Fixture() {
    for (size_t i = 0; i < crop.size(); ++i) crop[i] = 0.5f + 0.4f * std::sin(0.01f * static_cast<float>(i));
  }
};

void BM_PasteComposite(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) f.paste.composite(f.crop.data(), 255.0f, f.M, f.frame.data(), kW, kH);
  benchmark::DoNotOptimize(f.frame.data());
}
BENCHMARK(BM_PasteComposite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PasteUnsharpPlane(benchmark::State& state) {
  Fixture f;
  std::vector<float> plane(f.crop.begin(), f.crop.begin() + kSide * kSide);
  for (auto _ : state) f.paste.unsharpPlane(plane);
  benchmark::DoNotOptimize(plane.data());
}
BENCHMARK(BM_PasteUnsharpPlane)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
