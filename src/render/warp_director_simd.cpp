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
// Internal: other kernels of this namespace use some of the same names.
namespace {

// Source coordinate of a normalised grid value along an axis of n pixels.
HWY_INLINE float Coord(float g, int n) { return ((g + 1.0f) * static_cast<float>(n) - 1.0f) * 0.5f; }

// Into [0, hi]; NaN goes to 0, so the index conversion stays defined.
HWY_INLINE float Clamp0(float i, float hi) {
  i = i > 0.0f ? i : 0.0f;
  return i < hi ? i : hi;
}

// The formula, with every read clamped into the plane, for the pixels past
// the row's last whole vector.
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

// One row's sampling positions, shared by the three channels.
struct RowTaps {
  // Grows only: bands arrive many times per run, on the same few threads.
  void reserve(size_t width) {
    if (off.size() >= width) return;
    for (auto* a : {&off, &xa, &ya}) a->resize(width);
    for (auto* a : {&w0, &w1, &w2, &w3, &cx, &cy, &cxy}) a->resize(width);
    direct.resize(width);
  }
  std::vector<int32_t> off;     // (ya - 1) W + xa - 1: where the pixel's 4 x 4 neighbourhood starts
  std::vector<int32_t> xa, ya;  // first taps
  std::vector<float> w0, w1, w2, w3, cx, cy, cxy;
  std::vector<uint8_t> direct;  // per lane group: every neighbourhood lies inside the plane
};

// Positions of the n (a multiple of the lane count) pixels of one row whose
// grid starts at g.
void Positions(const float* HWY_RESTRICT g, size_t n, int W, int H, RowTaps& t) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  using V = hn::Vec<decltype(d)>;
  const size_t N = hn::Lanes(d);
  const V one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), zero = hn::Zero(d);
  const V wf = hn::Set(d, static_cast<float>(W)), hf = hn::Set(d, static_cast<float>(H));
  const V wmax = hn::Set(d, static_cast<float>(W - 1)), hmax = hn::Set(d, static_cast<float>(H - 1));
  const auto onei = hn::Set(di, 1), zeroi = hn::Zero(di), wi = hn::Set(di, W);
  // First taps 1 .. W - 3 (H - 3) have their neighbourhood inside.
  const auto xend = hn::Set(di, W - 2), yend = hn::Set(di, H - 2);
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
    const auto xa = hn::ConvertTo(di, fxa), ya = hn::ConvertTo(di, fya);
    const V ax = hn::Sub(one, fx), ay = hn::Sub(one, fy);
    hn::StoreU(hn::Mul(ax, ay), d, t.w0.data() + k);
    hn::StoreU(hn::Mul(fx, ay), d, t.w1.data() + k);
    hn::StoreU(hn::Mul(ax, fy), d, t.w2.data() + k);
    hn::StoreU(hn::Mul(fx, fy), d, t.w3.data() + k);
    hn::StoreU(cx, d, t.cx.data() + k);
    hn::StoreU(cy, d, t.cy.data() + k);
    hn::StoreU(hn::Mul(cx, cy), d, t.cxy.data() + k);
    hn::StoreU(xa, di, t.xa.data() + k);
    hn::StoreU(ya, di, t.ya.data() + k);
    hn::StoreU(hn::Add(hn::Mul(hn::Sub(ya, onei), wi), hn::Sub(xa, onei)), di, t.off.data() + k);
    const auto inside =
        hn::And(hn::And(hn::Gt(xa, zeroi), hn::Lt(xa, xend)), hn::And(hn::Gt(ya, zeroi), hn::Lt(ya, yend)));
    t.direct[k / N] = hn::AllTrue(di, inside);
  }
}

// The vector whose 128-bit block q holds the 4 floats at at(4 q + j).
template <class D, class At>
HWY_INLINE hn::Vec<D> Blocks(D d, const At& at, size_t j) {
  const hn::Full128<float> d4;
  constexpr size_t kBlocks = hn::MaxLanes(D()) / 4;
  static_assert(kBlocks == 1 || kBlocks == 2 || kBlocks == 4, "whole 128-bit blocks");
  if constexpr (kBlocks == 1) {
    return hn::LoadU(d4, at(j));
  } else if constexpr (kBlocks == 2) {
    return hn::Combine(d, hn::LoadU(d4, at(4 + j)), hn::LoadU(d4, at(j)));
  } else {
    const hn::Half<D> dh;
    return hn::Combine(d, hn::Combine(dh, hn::LoadU(d4, at(12 + j)), hn::LoadU(d4, at(8 + j))),
                       hn::Combine(dh, hn::LoadU(d4, at(4 + j)), hn::LoadU(d4, at(j))));
  }
}

// Lane i of column c is at(i)[c]: 4 adjacent floats per lane, transposed.
template <class D, class At>
HWY_INLINE void Columns(D d, const At& at, hn::Vec<D>* col) {
  const auto v0 = Blocks(d, at, 0), v1 = Blocks(d, at, 1), v2 = Blocks(d, at, 2), v3 = Blocks(d, at, 3);
  const hn::Repartition<double, D> dd;
  const auto t0 = hn::BitCast(dd, hn::InterleaveLower(d, v0, v1)), t1 = hn::BitCast(dd, hn::InterleaveLower(d, v2, v3));
  const auto t2 = hn::BitCast(dd, hn::InterleaveUpper(d, v0, v1)), t3 = hn::BitCast(dd, hn::InterleaveUpper(d, v2, v3));
  col[0] = hn::BitCast(d, hn::InterleaveLower(dd, t0, t1));
  col[1] = hn::BitCast(d, hn::InterleaveUpper(dd, t0, t1));
  col[2] = hn::BitCast(d, hn::InterleaveLower(dd, t2, t3));
  col[3] = hn::BitCast(d, hn::InterleaveUpper(dd, t2, t3));
}

// One channel of the row's n pixels (a multiple of the lane count) from the
// plane p into o. Each lane reads the 4 x 4 block of its taps' neighbourhoods:
// rows ya - 1, ya, yb, yb + 1 and columns xa - 1, xa, xb, xb + 1, each
// clamped into the plane. Where xb = xa (the right edge) the second tap's
// left neighbour is not in the block; that tap is the first one, and takes
// its values (likewise down).
void Channel(const RowTaps& t, const float* HWY_RESTRICT p, size_t n, int W, int H, float* HWY_RESTRICT o) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  using V = hn::Vec<decltype(d)>;
  constexpr size_t N = hn::MaxLanes(decltype(d)());
  const V two = hn::Set(d, 2.0f);
  const auto xlast = hn::Set(di, W - 1), ylast = hn::Set(di, H - 1);
  // (a - 2 b) + c, the second difference of three neighbours.
  const auto d2 = [&](V a, V b, V c) { return hn::Add(hn::Sub(a, hn::Mul(two, b)), c); };
  alignas(64) float stage[4 * N * 4];
  for (size_t k = 0; k < n; k += N) {
    V b[4][4];
    const bool direct = t.direct[k / N];
    if (direct) {
      for (int r = 0; r < 4; ++r) {
        const float* row = p + static_cast<size_t>(r) * W;
        Columns(
            d, [&](size_t i) { return row + t.off[k + i]; }, b[r]);
      }
    } else {
      for (size_t i = 0; i < N; ++i) {
        const int xa = t.xa[k + i], ya = t.ya[k + i];
        const int xb = std::min(xa + 1, W - 1), yb = std::min(ya + 1, H - 1);
        const int cols[4] = {std::max(xa - 1, 0), xa, xb, std::min(xb + 1, W - 1)};
        const int rows[4] = {std::max(ya - 1, 0), ya, yb, std::min(yb + 1, H - 1)};
        for (int r = 0; r < 4; ++r)
          for (int c = 0; c < 4; ++c) stage[(r * N + i) * 4 + c] = p[static_cast<size_t>(rows[r]) * W + cols[c]];
      }
      for (int r = 0; r < 4; ++r)
        Columns(
            d, [&](size_t i) { return stage + (r * N + i) * 4; }, b[r]);
    }
    // Taps 0 = (xa, ya) at b[1][1], 1 = (xb, ya), 2 = (xa, yb), 3 = (xb, yb):
    // value, d2/dx2, d2/dy2 and d4/dx2dy2 of each.
    V dyyA[4], dyyB[4];
    for (int c = 0; c < 4; ++c) {
      dyyA[c] = d2(b[0][c], b[1][c], b[2][c]);
      dyyB[c] = d2(b[1][c], b[2][c], b[3][c]);
    }
    V v[4] = {b[1][1], b[1][2], b[2][1], b[2][2]};
    V dxx[4] = {d2(b[1][0], b[1][1], b[1][2]), d2(b[1][1], b[1][2], b[1][3]), d2(b[2][0], b[2][1], b[2][2]),
                d2(b[2][1], b[2][2], b[2][3])};
    V dyy[4] = {dyyA[1], dyyA[2], dyyB[1], dyyB[2]};
    V dxxyy[4] = {d2(dyyA[0], dyyA[1], dyyA[2]), d2(dyyA[1], dyyA[2], dyyA[3]), d2(dyyB[0], dyyB[1], dyyB[2]),
                  d2(dyyB[1], dyyB[2], dyyB[3])};
    if (!direct) {
      const auto same = [&](auto mask, int to, int from) {
        for (V* q : {v, dxx, dyy, dxxyy}) q[to] = hn::IfThenElse(mask, q[from], q[to]);
      };
      const auto xEdge = hn::RebindMask(d, hn::Eq(hn::LoadU(di, t.xa.data() + k), xlast));
      const auto yEdge = hn::RebindMask(d, hn::Eq(hn::LoadU(di, t.ya.data() + k), ylast));
      same(xEdge, 1, 0);
      same(xEdge, 3, 2);
      same(yEdge, 2, 0);
      same(yEdge, 3, 1);
    }
    const V w0 = hn::LoadU(d, t.w0.data() + k), w1 = hn::LoadU(d, t.w1.data() + k);
    const V w2 = hn::LoadU(d, t.w2.data() + k), w3 = hn::LoadU(d, t.w3.data() + k);
    const auto sum = [&](const V* a) {
      return hn::Add(hn::Add(hn::Add(hn::Mul(w0, a[0]), hn::Mul(w1, a[1])), hn::Mul(w2, a[2])), hn::Mul(w3, a[3]));
    };
    const V cx = hn::LoadU(d, t.cx.data() + k), cy = hn::LoadU(d, t.cy.data() + k);
    const V r = hn::Sub(hn::Sub(sum(v), hn::Mul(sum(dxx), cx)), hn::Mul(sum(dyy), cy));
    hn::StoreU(hn::Add(r, hn::Mul(hn::LoadU(d, t.cxy.data() + k), sum(dxxyy))), d, o + k);
  }
}

void WarpBand(const float* HWY_RESTRICT src, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int W, int H,
              int y0, int y1) {
  const int yBegin = std::max(y0, 0), yEnd = std::min(y1, H);
  const size_t plane = static_cast<size_t>(H) * W;
  const size_t N = hn::Lanes(hn::ScalableTag<float>());
  const size_t vectors = static_cast<size_t>(W) / N * N;
  thread_local RowTaps t;
  t.reserve(static_cast<size_t>(W));
  for (int y = yBegin; y < yEnd; ++y) {
    const size_t row = static_cast<size_t>(y) * W;
    const float* g = grid + 2 * row;
    if (vectors > 0) {
      Positions(g, vectors, W, H, t);
      for (int c = 0; c < 3; ++c) Channel(t, src + c * plane, vectors, W, H, out + c * plane + row);
    }
    for (size_t x = vectors; x < static_cast<size_t>(W); ++x)
      WarpPixel(src, g[2 * x], g[2 * x + 1], out + row + x, W, H);
  }
}

}  // namespace
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
