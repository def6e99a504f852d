// WarpDirector's sampling loop, one variant per processor target. Every
// pixel is the formula of the operator; the vector lanes do the same float
// operations in the same order as the per-pixel form (no fused multiply-add),
// so every target writes the same bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/warp_director_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "render/warp_director.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Source coordinate of a normalised grid value along an axis of n pixels.
HWY_INLINE float Coord(float g, int n) { return ((g + 1.0f) * static_cast<float>(n) - 1.0f) * 0.5f; }

// Into [0, hi]; NaN goes to 0, so the index conversion stays defined.
HWY_INLINE float Clamp0(float i, float hi) {
  i = i > 0.0f ? i : 0.0f;
  return i < hi ? i : hi;
}

// The formula, with every read clamped into the plane: for pixels whose 4 x 4
// neighbourhood crosses the edge, planes under 4 x 4, and row tails.
void WarpPixel(const float* HWY_RESTRICT src, float gx, float gy, float* HWY_RESTRICT out, int W, int H) {
  const size_t plane = static_cast<size_t>(H) * W;
  const float ix = Coord(gx, W), iy = Coord(gy, H);
  const float tx = ix - std::floor(ix), ty = iy - std::floor(iy);
  const float cx = (1.0f - tx) * tx * 0.5f, cy = (1.0f - ty) * ty * 0.5f;
  const float jx = Clamp0(ix, static_cast<float>(W - 1)), jy = Clamp0(iy, static_cast<float>(H - 1));
  const float fxa = std::floor(jx), fya = std::floor(jy);
  const float fx = jx - fxa, fy = jy - fya;
  const int xa = static_cast<int>(fxa), ya = static_cast<int>(fya);
  const int xb = std::min(xa + 1, W - 1), yb = std::min(ya + 1, H - 1);
  const float w[4] = {(1.0f - fx) * (1.0f - fy), fx * (1.0f - fy), (1.0f - fx) * fy, fx * fy};
  const int tapX[4] = {xa, xb, xa, xb}, tapY[4] = {ya, ya, yb, yb};
  for (int c = 0; c < 3; ++c) {
    const float* p = src + c * plane;
    float v[4], dxx[4], dyy[4], dxxyy[4];
    for (int t = 0; t < 4; ++t) {
      int col[3], row[3];
      for (int k = 0; k < 3; ++k) {
        col[k] = std::clamp(tapX[t] + k - 1, 0, W - 1);
        row[k] = std::clamp(tapY[t] + k - 1, 0, H - 1);
      }
      const auto n = [&](int dx, int dy) { return p[static_cast<size_t>(row[dy + 1]) * W + col[dx + 1]]; };
      const auto columnDyy = [&](int k) { return (n(k, -1) - 2.0f * n(k, 0)) + n(k, 1); };
      v[t] = n(0, 0);
      dxx[t] = (n(-1, 0) - 2.0f * v[t]) + n(1, 0);
      dyy[t] = columnDyy(0);
      dxxyy[t] = (columnDyy(-1) - 2.0f * dyy[t]) + columnDyy(1);
    }
    const auto sum = [&](const float* a) { return ((w[0] * a[0] + w[1] * a[1]) + w[2] * a[2]) + w[3] * a[3]; };
    out[c * plane] = ((sum(v) - sum(dxx) * cx) - sum(dyy) * cy) + cx * cy * sum(dxxyy);
  }
}

// One row's sampling positions, shared by the three channels. A pixel's
// neighbourhood is the 4 x 4 block starting at off (one row and column before
// its first tap); where that block is not wholly inside the plane, off is
// moved inside only to keep the reads in bounds, and the pixel is redone by
// WarpPixel afterwards.
struct RowTaps {
  // Grows only: bands arrive many times per run, on the same few threads.
  void reserve(size_t width) {
    if (off.size() >= width) return;
    off.resize(width);
    for (auto* a : {&w0, &w1, &w2, &w3, &cx, &cy, &cxy}) a->resize(width);
    for (auto& s : stage) s.resize(4 * width);
  }
  std::vector<int32_t> off;
  std::vector<float> w0, w1, w2, w3, cx, cy, cxy;
  std::vector<int> edge;     // pixels for WarpPixel
  std::vector<float> stage[4];  // one channel's block rows, 4 floats per pixel
};

// Positions of the n (a multiple of the lane count) pixels of one row whose
// grid starts at g; the pixels outside the fast path are appended to edge.
void Positions(const float* HWY_RESTRICT g, size_t n, int W, int H, RowTaps& t) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  using V = hn::Vec<decltype(d)>;
  using VI = hn::Vec<decltype(di)>;
  const size_t N = hn::Lanes(d);
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), zero = hn::Zero(d);
  const V wf = hn::Set(d, static_cast<float>(W)), hf = hn::Set(d, static_cast<float>(H));
  const V wmax = hn::Set(d, static_cast<float>(W - 1)), hmax = hn::Set(d, static_cast<float>(H - 1));
  const VI onei = hn::Set(di, 1), zeroi = hn::Zero(di), wi = hn::Set(di, W);
  const VI xend = hn::Set(di, W - 2), yend = hn::Set(di, H - 2);  // first taps 1 .. W - 3 (H - 3) are inside
  const VI xstart = hn::Set(di, W - 4), ystart = hn::Set(di, H - 4);
  const auto coord = [&](V v, V size) { return hn::Mul(hn::Sub(hn::Mul(hn::Add(v, one), size), one), half); };
  const auto clamp0 = [&](V i, V hi) {
    i = hn::IfThenElse(hn::Gt(i, zero), i, zero);
    return hn::IfThenElse(hn::Lt(i, hi), i, hi);
  };
  const auto coef = [&](V i) {
    const V f = hn::Sub(i, hn::Floor(i));
    return hn::Mul(hn::Mul(hn::Sub(one, f), f), half);
  };
  for (size_t k = 0; k < n; k += N) {
    V gx, gy;
    hn::LoadInterleaved2(d, g + 2 * k, gx, gy);
    const V ix = coord(gx, wf), iy = coord(gy, hf);
    const V cx = coef(ix), cy = coef(iy);
    const V jx = clamp0(ix, wmax), jy = clamp0(iy, hmax);
    const V fxa = hn::Floor(jx), fya = hn::Floor(jy);
    const V fx = hn::Sub(jx, fxa), fy = hn::Sub(jy, fya);
    const VI xa = hn::ConvertTo(di, fxa), ya = hn::ConvertTo(di, fya);
    const V ax = hn::Sub(one, fx), ay = hn::Sub(one, fy);
    hn::StoreU(hn::Mul(ax, ay), d, t.w0.data() + k);
    hn::StoreU(hn::Mul(fx, ay), d, t.w1.data() + k);
    hn::StoreU(hn::Mul(ax, fy), d, t.w2.data() + k);
    hn::StoreU(hn::Mul(fx, fy), d, t.w3.data() + k);
    hn::StoreU(cx, d, t.cx.data() + k);
    hn::StoreU(cy, d, t.cy.data() + k);
    hn::StoreU(hn::Mul(cx, cy), d, t.cxy.data() + k);
    const VI x0 = hn::Sub(xa, onei), y0 = hn::Sub(ya, onei);
    const VI ox = hn::Min(hn::Max(x0, zeroi), xstart), oy = hn::Min(hn::Max(y0, zeroi), ystart);
    hn::StoreU(hn::Add(hn::Mul(oy, wi), ox), di, t.off.data() + k);
    const auto inside = hn::And(hn::And(hn::Gt(xa, zeroi), hn::Lt(xa, xend)),
                                hn::And(hn::Gt(ya, zeroi), hn::Lt(ya, yend)));
    if (!hn::AllTrue(di, inside)) {
      alignas(64) int32_t flags[hn::MaxLanes(di)];
      hn::Store(hn::VecFromMask(di, inside), di, flags);
      for (size_t i = 0; i < N; ++i)
        if (!flags[i]) t.edge.push_back(static_cast<int>(k + i));
    }
  }
}

// One channel of the row's n pixels (a multiple of the lane count) from the
// plane p into o.
void Channel(RowTaps& t, const float* HWY_RESTRICT p, size_t n, int W, float* HWY_RESTRICT o) {
  const hn::ScalableTag<float> d;
  using V = hn::Vec<decltype(d)>;
  const size_t N = hn::Lanes(d);
  // Plain 16-byte copies of each block row first, then the vector loads:
  // faster than gathers, and done for the whole row before any load reads
  // them back.
  for (int r = 0; r < 4; ++r) {
    float* HWY_RESTRICT s = t.stage[r].data();
    const float* HWY_RESTRICT base = p + static_cast<size_t>(r) * W;
    for (size_t k = 0; k < n; ++k) std::memcpy(s + 4 * k, base + t.off[k], 16);
  }
  const V two = hn::Set(d, 2.0f);
  // (a - 2 b) + c, the second difference of three neighbours.
  const auto d2 = [&](V a, V b, V c) { return hn::Add(hn::Sub(a, hn::Mul(two, b)), c); };
  for (size_t k = 0; k < n; k += N) {
    V b[4][4];
    for (int r = 0; r < 4; ++r) hn::LoadInterleaved4(d, t.stage[r].data() + 4 * k, b[r][0], b[r][1], b[r][2], b[r][3]);
    // Taps: 0 = (xa, ya) at b[1][1], 1 = (xb, ya), 2 = (xa, yb), 3 = (xb, yb).
    V dyyA[4], dyyB[4];
    for (int c = 0; c < 4; ++c) {
      dyyA[c] = d2(b[0][c], b[1][c], b[2][c]);
      dyyB[c] = d2(b[1][c], b[2][c], b[3][c]);
    }
    const V w0 = hn::LoadU(d, t.w0.data() + k), w1 = hn::LoadU(d, t.w1.data() + k);
    const V w2 = hn::LoadU(d, t.w2.data() + k), w3 = hn::LoadU(d, t.w3.data() + k);
    const auto sum = [&](V a0, V a1, V a2, V a3) {
      return hn::Add(hn::Add(hn::Add(hn::Mul(w0, a0), hn::Mul(w1, a1)), hn::Mul(w2, a2)), hn::Mul(w3, a3));
    };
    const V A = sum(b[1][1], b[1][2], b[2][1], b[2][2]);
    const V X = sum(d2(b[1][0], b[1][1], b[1][2]), d2(b[1][1], b[1][2], b[1][3]), d2(b[2][0], b[2][1], b[2][2]),
                    d2(b[2][1], b[2][2], b[2][3]));
    const V Y = sum(dyyA[1], dyyA[2], dyyB[1], dyyB[2]);
    const V Z = sum(d2(dyyA[0], dyyA[1], dyyA[2]), d2(dyyA[1], dyyA[2], dyyA[3]), d2(dyyB[0], dyyB[1], dyyB[2]),
                    d2(dyyB[1], dyyB[2], dyyB[3]));
    const V cx = hn::LoadU(d, t.cx.data() + k), cy = hn::LoadU(d, t.cy.data() + k);
    const V r = hn::Sub(hn::Sub(A, hn::Mul(X, cx)), hn::Mul(Y, cy));
    hn::StoreU(hn::Add(r, hn::Mul(hn::LoadU(d, t.cxy.data() + k), Z)), d, o + k);
  }
}

void WarpBand(const float* HWY_RESTRICT src, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int W, int H,
              int y0, int y1) {
  const int yBegin = std::max(y0, 0), yEnd = std::min(y1, H);
  const size_t plane = static_cast<size_t>(H) * W;
  // Planes under 4 x 4 have no inside block at all.
  const size_t fast = W >= 4 && H >= 4 ? static_cast<size_t>(W) / hn::Lanes(hn::ScalableTag<float>()) *
                                             hn::Lanes(hn::ScalableTag<float>())
                                       : 0;
  thread_local RowTaps t;
  t.reserve(static_cast<size_t>(W));
  for (int y = yBegin; y < yEnd; ++y) {
    const size_t row = static_cast<size_t>(y) * W;
    const float* g = grid + 2 * row;
    t.edge.clear();
    if (fast > 0) {
      Positions(g, fast, W, H, t);
      for (int c = 0; c < 3; ++c) Channel(t, src + c * plane, fast, W, out + c * plane + row);
    }
    for (size_t x = fast; x < static_cast<size_t>(W); ++x) t.edge.push_back(static_cast<int>(x));
    for (const int x : t.edge) WarpPixel(src, g[2 * x], g[2 * x + 1], out + row + x, W, H);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(WarpBand);

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1) {
  HWY_DYNAMIC_DISPATCH(WarpBand)(src, grid, out, W, H, y0, y1);
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
