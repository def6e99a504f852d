// GridSampleFast's sampling loop, one variant per processor target. The
// vector lanes and the scalar tail do the same float operations in the same
// order (no fused multiply-add), so every target writes the same bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/gridsample_fast_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "render/gridsample_fast.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Source coordinate of a normalised grid value along an axis of n pixels.
// Limiting it to [-1, n] puts far-away and NaN points exactly on the edge
// pixel (at -1 and n the other column's weight is 0) and keeps the integer
// conversion defined; inside that range nothing changes.
HWY_INLINE float Coord(float g, float n) {
  float i = (g + 1.0f) * 0.5f * n - 0.5f;
  i = i > -1.0f ? i : -1.0f;
  return i < n ? i : n;
}

// The plain per-pixel form, for planes too narrow to hold a pair of columns.
HWY_INLINE void SamplePixel(const float* HWY_RESTRICT X, float gx, float gy, float* HWY_RESTRICT out, int C,
                            int H, int W) {
  const float ix = Coord(gx, static_cast<float>(W)), iy = Coord(gy, static_cast<float>(H));
  const float fx = std::floor(ix), fy = std::floor(iy);
  const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
  const float wx = ix - fx, wy = iy - fy;
  const int xa = std::clamp(x0, 0, W - 1), xb = std::clamp(x0 + 1, 0, W - 1);
  const int ra = std::clamp(y0, 0, H - 1) * W, rb = std::clamp(y0 + 1, 0, H - 1) * W;
  const float ax = 1.0f - wx, ay = 1.0f - wy;
  const size_t plane = static_cast<size_t>(H) * W;
  for (int c = 0; c < C; ++c) {
    const float* p = X + c * plane;
    out[c * plane] = ((ax * ay * p[ra + xa] + wx * ay * p[ra + xb]) + ax * wy * p[rb + xa]) + wx * wy * p[rb + xb];
  }
}

// Taps of a group of rows, shared by all channels. Each tap row is read as
// one pair of adjacent columns starting at clamp(x0, 0, W - 2); where the
// left column is off the plane both taps take the pair's first value, where
// the right one is, both take its second.
constexpr int kGroupRows = 16;
enum : int32_t { kInside = 0, kLeftEdge = 1, kRightEdge = 2 };
struct Taps {
  // Grows only: bands arrive many times per run, on the same few threads,
  // and fresh pages for every band cost more than the sampling itself.
  void reserve(size_t pixels, size_t width) {
    for (auto* a : {&ia, &ib, &edge})
      if (a->size() < pixels) a->resize(pixels);
    for (auto* a : {&w00, &w01, &w10, &w11})
      if (a->size() < pixels) a->resize(pixels);
    for (auto* a : {&pa, &pb})
      if (a->size() < 2 * width) a->resize(2 * width);
  }
  std::vector<int32_t> ia, ib, edge;
  std::vector<float> w00, w01, w10, w11;
  std::vector<float> pa, pb;  // one channel row's pairs
};

HWY_INLINE void PixelTaps(float gx, float gy, int H, int W, Taps& t, size_t k) {
  const float ix = Coord(gx, static_cast<float>(W)), iy = Coord(gy, static_cast<float>(H));
  const float fx = std::floor(ix), fy = std::floor(iy);
  const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
  const float wx = ix - fx, wy = iy - fy;
  const int base = std::clamp(x0, 0, W - 2);
  t.ia[k] = std::clamp(y0, 0, H - 1) * W + base;
  t.ib[k] = std::clamp(y0 + 1, 0, H - 1) * W + base;
  t.edge[k] = x0 < 0 ? kLeftEdge : (x0 >= W - 1 ? kRightEdge : kInside);
  const float ax = 1.0f - wx, ay = 1.0f - wy;
  t.w00[k] = ax * ay, t.w01[k] = wx * ay, t.w10[k] = ax * wy, t.w11[k] = wx * wy;
}

// Taps of the n pixels whose grid starts at g, stored from index `at`.
void RowTaps(const float* HWY_RESTRICT g, size_t n, int H, int W, Taps& t, size_t at) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  using V = hn::Vec<decltype(d)>;
  using VI = hn::Vec<decltype(di)>;
  const size_t N = hn::Lanes(d);
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), minus1 = hn::Set(d, -1.0f);
  const V wf = hn::Set(d, static_cast<float>(W)), hf = hn::Set(d, static_cast<float>(H));
  const VI zero = hn::Zero(di), onei = hn::Set(di, 1), wi = hn::Set(di, W);
  const VI ymax = hn::Set(di, H - 1), xbase = hn::Set(di, W - 2);
  const auto coord = [&](V v, V size) {
    V i = hn::Sub(hn::Mul(hn::Mul(hn::Add(v, one), half), size), half);
    i = hn::IfThenElse(hn::Gt(i, minus1), i, minus1);
    return hn::IfThenElse(hn::Lt(i, size), i, size);
  };
  const auto clampIndex = [&](VI i, VI hi) { return hn::Min(hn::Max(i, zero), hi); };
  size_t k = 0;
  for (; k + N <= n; k += N) {
    V gx, gy;
    hn::LoadInterleaved2(d, g + 2 * k, gx, gy);
    const V ix = coord(gx, wf), iy = coord(gy, hf);
    const V fx = hn::Floor(ix), fy = hn::Floor(iy);
    const VI x0 = hn::ConvertTo(di, fx), y0 = hn::ConvertTo(di, fy);
    const V wx = hn::Sub(ix, fx), wy = hn::Sub(iy, fy);
    const VI base = clampIndex(x0, xbase);
    hn::StoreU(hn::Add(hn::Mul(clampIndex(y0, ymax), wi), base), di, t.ia.data() + at + k);
    hn::StoreU(hn::Add(hn::Mul(clampIndex(hn::Add(y0, onei), ymax), wi), base), di, t.ib.data() + at + k);
    const VI edge = hn::IfThenElse(hn::Lt(x0, zero), hn::Set(di, kLeftEdge),
                                   hn::IfThenElseZero(hn::Gt(x0, xbase), hn::Set(di, kRightEdge)));
    hn::StoreU(edge, di, t.edge.data() + at + k);
    const V ax = hn::Sub(one, wx), ay = hn::Sub(one, wy);
    hn::StoreU(hn::Mul(ax, ay), d, t.w00.data() + at + k);
    hn::StoreU(hn::Mul(wx, ay), d, t.w01.data() + at + k);
    hn::StoreU(hn::Mul(ax, wy), d, t.w10.data() + at + k);
    hn::StoreU(hn::Mul(wx, wy), d, t.w11.data() + at + k);
  }
  for (; k < n; ++k) PixelTaps(g[2 * k], g[2 * k + 1], H, W, t, at + k);
}

// One channel row of n pixels from the taps stored at index `at`.
void RowChannel(Taps& t, size_t at, const float* HWY_RESTRICT p, size_t n, float* HWY_RESTRICT o) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  using V = hn::Vec<decltype(d)>;
  const size_t N = hn::Lanes(d);
  const int32_t* HWY_RESTRICT ia = t.ia.data() + at;
  const int32_t* HWY_RESTRICT ib = t.ib.data() + at;
  const int32_t* HWY_RESTRICT edge = t.edge.data() + at;
  const float* HWY_RESTRICT w00 = t.w00.data() + at;
  const float* HWY_RESTRICT w01 = t.w01.data() + at;
  const float* HWY_RESTRICT w10 = t.w10.data() + at;
  const float* HWY_RESTRICT w11 = t.w11.data() + at;
  float* HWY_RESTRICT pa = t.pa.data();
  float* HWY_RESTRICT pb = t.pb.data();
  // Plain 8-byte loads: faster here than the processor's gather instructions.
  for (size_t k = 0; k < n; ++k) {
    std::memcpy(pa + 2 * k, p + ia[k], 8);
    std::memcpy(pb + 2 * k, p + ib[k], 8);
  }
  const auto left = hn::Set(di, kLeftEdge), right = hn::Set(di, kRightEdge);
  size_t k = 0;
  for (; k + N <= n; k += N) {
    V a0, a1, b0, b1;
    hn::LoadInterleaved2(d, pa + 2 * k, a0, a1);
    hn::LoadInterleaved2(d, pb + 2 * k, b0, b1);
    const auto e = hn::LoadU(di, edge + k);
    const auto isLeft = hn::RebindMask(d, hn::Eq(e, left)), isRight = hn::RebindMask(d, hn::Eq(e, right));
    a1 = hn::IfThenElse(isLeft, a0, a1);
    b1 = hn::IfThenElse(isLeft, b0, b1);
    a0 = hn::IfThenElse(isRight, a1, a0);
    b0 = hn::IfThenElse(isRight, b1, b0);
    V v = hn::Add(hn::Mul(hn::LoadU(d, w00 + k), a0), hn::Mul(hn::LoadU(d, w01 + k), a1));
    v = hn::Add(v, hn::Mul(hn::LoadU(d, w10 + k), b0));
    hn::StoreU(hn::Add(v, hn::Mul(hn::LoadU(d, w11 + k), b1)), d, o + k);
  }
  for (; k < n; ++k) {
    float a0 = pa[2 * k], a1 = pa[2 * k + 1], b0 = pb[2 * k], b1 = pb[2 * k + 1];
    if (edge[k] == kLeftEdge) a1 = a0, b1 = b0;
    if (edge[k] == kRightEdge) a0 = a1, b0 = b1;
    o[k] = ((w00[k] * a0 + w01[k] * a1) + w10[k] * b0) + w11[k] * b1;
  }
}

void GridSampleBand(const float* HWY_RESTRICT X, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int C,
                    int H, int W, int y0, int y1) {
  const int yBegin = std::max(y0, 0), yEnd = std::min(y1, H);
  if (yBegin >= yEnd) return;
  const size_t plane = static_cast<size_t>(H) * W;
  if (W < 2) {
    for (int y = yBegin; y < yEnd; ++y)
      for (int x = 0; x < W; ++x)
        SamplePixel(X, grid[2 * (y * W + x)], grid[2 * (y * W + x) + 1], out + y * W + x, C, H, W);
    return;
  }
  // A group's taps, then channel after channel over the group: few memory
  // streams at a time.
  const int groupRows = std::min(kGroupRows, yEnd - yBegin);
  thread_local Taps t;
  t.reserve(static_cast<size_t>(groupRows) * W, W);
  for (int yg = yBegin; yg < yEnd; yg += groupRows) {
    const int rows = std::min(groupRows, yEnd - yg);
    for (int r = 0; r < rows; ++r)
      RowTaps(grid + static_cast<size_t>(yg + r) * W * 2, W, H, W, t, static_cast<size_t>(r) * W);
    for (int c = 0; c < C; ++c)
      for (int r = 0; r < rows; ++r) {
        const size_t at = static_cast<size_t>(r) * W;
        RowChannel(t, at, X + c * plane, W, out + c * plane + static_cast<size_t>(yg) * W + at);
      }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(GridSampleBand);

void gridsample_fast_band(const float* X, const float* grid, float* out, int C, int H, int W, int y0, int y1) {
  HWY_DYNAMIC_DISPATCH(GridSampleBand)(X, grid, out, C, H, W, y0, y1);
}

void gridsample_fast(const float* X, const float* grid, float* out, int C, int H, int W) {
  gridsample_fast_band(X, grid, out, C, H, W, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
