// The SIMD kernels at the sizes the engine runs them, single-threaded, on
// the target the dispatcher picks for this processor; the hot ones also on
// every compiled target (name/<target>).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/le_paste.h"
#include "kernels/le_simd.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr size_t kHalfCount = size_t{16} << 20;  // 16M elements: 64 MB of f32

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Runs body under the named compiled target only; skips when the processor
// lacks it.
template <class Body>
void onTarget(benchmark::State& state, const std::string& target, const Body& body) {
  bool ran = false;
  le::simd::forEachTarget([&](const char* name) {
    if (target == name) {
      body();
      ran = true;
    }
  });
  if (!ran) state.SkipWithError("target not supported here");
}

// Registers fn as name/<target> for every compiled target, so the variants
// the dispatcher would not pick on this processor are measured too.
template <class Fn>
bool registerPerTarget(const std::string& name, Fn fn, benchmark::TimeUnit unit) {
  for (const auto& t : le::simd::compiledTargets())
    benchmark::RegisterBenchmark((name + "/" + t).c_str(), [=](benchmark::State& st) {
      onTarget(st, t, [&] { fn(st); });
    })->Unit(unit);
  return true;
}

void yuvFrame(benchmark::State& state, int chromaStep) {
  const auto y = randomBytes(size_t{kW} * kH, 1);
  const auto chroma = randomBytes(size_t{kW} * kH / 2, 2);  // planar U then V, or interleaved UV
  std::vector<uint8_t> rgb(size_t{3} * kW * kH);
  const size_t cstride = chromaStep == 1 ? kW / 2 : kW;
  const uint8_t* u = chroma.data();
  const uint8_t* v = chromaStep == 1 ? chroma.data() + size_t{kW / 2} * (kH / 2) : chroma.data() + 1;
  for (auto _ : state) {
    for (int r = 0; r < kH; ++r) {
      const size_t c = (r / 2) * cstride;
      le::simd::yuv420RowToRgb24(y.data() + size_t{kW} * r, u + c, v + c, kW, chromaStep,
                                 rgb.data() + size_t{3} * kW * r);
    }
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetItemsProcessed(state.iterations() * kW * kH);
}

void BM_Yuv420ToRgb24_1080p_Planar(benchmark::State& state) { yuvFrame(state, 1); }
void BM_Yuv420ToRgb24_1080p_Interleaved(benchmark::State& state) { yuvFrame(state, 2); }
BENCHMARK(BM_Yuv420ToRgb24_1080p_Planar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Yuv420ToRgb24_1080p_Interleaved)->Unit(benchmark::kMillisecond);
const bool yuvPerTarget =
    registerPerTarget("BM_Yuv420ToRgb24_1080p_Planar", BM_Yuv420ToRgb24_1080p_Planar, benchmark::kMillisecond);

// Times fn, which writes out, counting the bytes of the 16M-element f32 side.
template <class Fn>
void timeF32Bytes(benchmark::State& state, const void* out, const Fn& fn) {
  for (auto _ : state) {
    fn();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * kHalfCount * sizeof(float));
}

void BM_F16ToF32_16M(benchmark::State& state) {
  std::vector<uint16_t> in(kHalfCount);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
  std::vector<float> out(kHalfCount);
  timeF32Bytes(state, out.data(), [&] { le::simd::f16ToF32(in.data(), out.data(), in.size()); });
}
BENCHMARK(BM_F16ToF32_16M)->Unit(benchmark::kMillisecond);

void BM_F32ToF16_16M(benchmark::State& state) {
  std::vector<float> in(kHalfCount);
  std::mt19937 rng(3);
  std::normal_distribution<float> dist(0.0f, 100.0f);
  for (auto& x : in) x = dist(rng);
  std::vector<uint16_t> out(kHalfCount);
  timeF32Bytes(state, out.data(), [&] { le::simd::f32ToF16(in.data(), out.data(), in.size()); });
}
BENCHMARK(BM_F32ToF16_16M)->Unit(benchmark::kMillisecond);

// What the conversions are measured against: copying the f32 array.
void BM_Memcpy_64MB(benchmark::State& state) {
  std::vector<float> in(kHalfCount, 1.0f), out(kHalfCount);
  timeF32Bytes(state, out.data(), [&] { std::memcpy(out.data(), in.data(), in.size() * sizeof(float)); });
}
BENCHMARK(BM_Memcpy_64MB)->Unit(benchmark::kMillisecond);

// A 512 x 512 crop, as the mouth-borrow pass converts it.
void BM_Rgb8ToPlanarF16_512(benchmark::State& state) {
  constexpr size_t kCount = 512 * 512;
  const auto rgb = randomBytes(3 * kCount, 4);
  std::vector<uint16_t> out(3 * kCount);
  for (auto _ : state) {
    le::simd::rgb8ToPlanarF16(rgb.data(), out.data(), kCount, kCount);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kCount);
}
BENCHMARK(BM_Rgb8ToPlanarF16_512)->Unit(benchmark::kMicrosecond);

void BM_Conv3x3_8x128x128_to8(benchmark::State& state) {
  constexpr int kCin = 8, kCout = 8, kSide = 128;
  std::mt19937 rng(5);
  std::normal_distribution<float> dist;
  std::vector<float> in(kCin * kSide * kSide), w(kCout * kCin * 9), bias(kCout), out(kCout * kSide * kSide);
  for (auto* v : {&in, &w, &bias})
    for (auto& x : *v) x = dist(rng);
  for (auto _ : state) {
    le::simd::conv3x3Range(in.data(), 1, kCin, kSide, kSide, w.data(), bias.data(), kCout, out.data(), 0, kCout);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kCout * kSide * kSide);
}
BENCHMARK(BM_Conv3x3_8x128x128_to8)->Unit(benchmark::kMicrosecond);

// One candidate through the teeth pass's blend head at its half-resolution
// window (h, w): 7 -> 16, 16 -> 16 and 16 -> 1 channels, chained.
void convHead(benchmark::State& state, int h, int w) {
  std::mt19937 rng(5);
  std::normal_distribution<float> dist(0.0f, 0.1f);
  const size_t plane = static_cast<size_t>(h) * w;
  std::vector<float> in(7 * plane), w0(16 * 7 * 9), w1(16 * 16 * 9), w2(16 * 9), bias(16), h1(16 * plane),
      h2(16 * plane), out(plane);
  for (auto* v : {&in, &w0, &w1, &w2, &bias})
    for (auto& x : *v) x = dist(rng);
  for (auto _ : state) {
    le::simd::conv3x3Range(in.data(), 1, 7, h, w, w0.data(), bias.data(), 16, h1.data(), 0, 16);
    le::simd::conv3x3Range(h1.data(), 1, 16, h, w, w1.data(), bias.data(), 16, h2.data(), 0, 16);
    le::simd::conv3x3Range(h2.data(), 1, 16, h, w, w2.data(), bias.data(), 1, out.data(), 0, 1);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(plane));
}

void BM_Conv3x3_TeethHead(benchmark::State& state) {
  convHead(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
}
// The sample avatar's window (172 x 140) and the peer comparison's stamp (128 x 96), halved.
BENCHMARK(BM_Conv3x3_TeethHead)->Args({70, 86})->Args({48, 64})->Unit(benchmark::kMicrosecond);
const bool convHeadPerTarget = registerPerTarget(
    "BM_Conv3x3_TeethHead_70x86", [](benchmark::State& st) { convHead(st, 70, 86); }, benchmark::kMicrosecond);

// The head's layers one at a time (Cin -> Cout channels on ReLU-like
// inputs) at the two half windows, h x w, with planes `gap` elements further
// apart than their size.
void BM_Conv3x3_TeethLayer(benchmark::State& state) {
  const int cin = static_cast<int>(state.range(0)), cout = static_cast<int>(state.range(1));
  const int kH = static_cast<int>(state.range(2)), kW = static_cast<int>(state.range(3));
  std::mt19937 rng(5);
  std::normal_distribution<float> dist(0.0f, 0.1f);
  const size_t plane = static_cast<size_t>(kH) * kW, stride = plane + static_cast<size_t>(state.range(4));
  std::vector<float> in(cin * stride), w(static_cast<size_t>(cout) * cin * 9), bias(cout), out(cout * stride);
  for (auto* v : {&in, &w, &bias})
    for (auto& x : *v) x = std::fabs(dist(rng));
  for (auto _ : state) {
    le::simd::conv3x3Planes(in.data(), stride, cin, kH, kW, w.data(), bias.data(), out.data(), stride, 0, cout, false);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(plane) * cin * cout * 9);
}
BENCHMARK(BM_Conv3x3_TeethLayer)
    ->ArgsProduct({{16}, {1, 16}, {48, 70}, {64, 86}, {0, 16}})
    ->Args({7, 16, 48, 64, 0})
    ->Args({7, 16, 70, 86, 0})
    ->Unit(benchmark::kMicrosecond);

// Every row of a 512 crop pasted at scale 1.3 into a 1080p frame, with the
// compositor's tables and fixed-point positions as it builds them.
void BM_PasteLanczos8_512Crop(benchmark::State& state) {
  constexpr int kSide = 512;
  constexpr double kScale = 1.3, kLeft = 700.0, kTop = 200.0;
  std::vector<float> crop4(4 * kSide * kSide);
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> colour(0.0f, 255.0f);
  for (size_t i = 0; i < crop4.size(); ++i) crop4[i] = (i % 4 == 3) ? 0.0f : colour(rng);
  std::vector<uint8_t> mask(kSide * kSide, 255);
  const le::Paste tables(mask, kSide, le::Unsharp{});
  const std::vector<float>& lanczos = tables.lanczosTable();
  const std::vector<float>& bilin = tables.bilinTable();
  std::vector<uint8_t> frame = randomBytes(size_t{3} * kW * kH, 7);
  const int x0 = static_cast<int>(kLeft) - 6, x1 = static_cast<int>(kLeft + kScale * kSide) + 6;
  const int y0 = static_cast<int>(kTop) - 6, y1 = static_cast<int>(kTop + kScale * kSide) + 6;
  std::vector<int> colX(x1 - x0 + 1), colY(x1 - x0 + 1, 0);
  for (int X = x0; X <= x1; ++X) colX[X - x0] = static_cast<int>(std::rint(X / kScale * 1024));
  const int offX = static_cast<int>(std::rint(-kLeft / kScale * 1024)) + 16;
  for (auto _ : state) {
    for (int Y = y0; Y <= y1; ++Y) {
      const int offY = static_cast<int>(std::rint((Y - kTop) / kScale * 1024)) + 16;
      le::simd::pasteLanczos8Row(crop4.data(), kSide, mask.data(), lanczos.data(), bilin.data(), colX.data(),
                                 colY.data(), offX, offY, x0, x1, frame.data() + size_t{3} * kW * Y);
    }
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetItemsProcessed(state.iterations() * (x1 - x0 + 1) * (y1 - y0 + 1));
}
BENCHMARK(BM_PasteLanczos8_512Crop)->Unit(benchmark::kMillisecond);
const bool pastePerTarget =
    registerPerTarget("BM_PasteLanczos8_512Crop", BM_PasteLanczos8_512Crop, benchmark::kMillisecond);

struct RetrievalImages {
  static constexpr size_t kN = 64 * 64;
  std::vector<uint16_t> a, b, wHalf;
  std::vector<float> w;
  RetrievalImages() : a(3 * kN), b(3 * kN), wHalf(kN), w(kN) {
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> dist(0.0f, 1.0f);
    for (size_t i = 0; i < 3 * kN; ++i) {
      a[i] = le::f32ToF16(dist(rng));
      b[i] = le::f32ToF16(dist(rng));
    }
    for (size_t i = 0; i < kN; ++i) {
      w[i] = (i % 5 == 0) ? 0.0f : dist(rng);
      wHalf[i] = le::f32ToF16(w[i]);
    }
  }
};

void BM_RetrieveExact_3x64x64(benchmark::State& state) {
  const RetrievalImages im;
  for (auto _ : state)
    benchmark::DoNotOptimize(le::simd::retrieveTermExact(im.a.data(), im.b.data(), im.w.data(), im.kN));
  state.SetItemsProcessed(state.iterations() * im.kN);
}
BENCHMARK(BM_RetrieveExact_3x64x64)->Unit(benchmark::kMicrosecond);

void BM_RetrievePooled_3x64x64(benchmark::State& state) {
  const RetrievalImages im;
  for (auto _ : state)
    benchmark::DoNotOptimize(le::simd::retrieveTermPooled(im.a.data(), im.b.data(), im.wHalf.data(), im.kN));
  state.SetItemsProcessed(state.iterations() * im.kN);
}
BENCHMARK(BM_RetrievePooled_3x64x64)->Unit(benchmark::kMicrosecond);

}  // namespace
