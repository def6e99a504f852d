// The paste compositor's row blend (Lanczos-8 colour, bilinear mask), per
// processor target.
#include <cmath>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/le_paste_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "kernels/le_simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr int kTaps = 8;
constexpr int kBack = 3;  // taps reach from floor - 3 to floor + 4

// A vector holds one pixel (R, G, B, 0) per 128-bit block, so each lane keeps
// its own pixel's summation order: 1 pixel per vector on 128-bit targets, 2 on
// AVX2, 4 on AVX-512.
using DF = hn::CappedTag<float, 16>;
constexpr int kPix = static_cast<int>(hn::MaxLanes(DF()) / 4);

// Columns are classified this many at a time; footprints wholly inside wait
// in a queue until they fill a vector.
constexpr int kBatch = 128;

struct InsideQueue {
  int n = 0;
  const float* src[kBatch + 2 * kPix];  // top-left tap of the footprint
  const float* wx[kBatch + 2 * kPix];
  const float* wy[kBatch + 2 * kPix];
  float alpha[kBatch + 2 * kPix];
  uint8_t* dst[kBatch + 2 * kPix];
};

// Bilinear mask sample around (iy, ix), samples outside the crop counting 0.
HWY_INLINE float MaskAt(const uint8_t* mask, int side, int iy, int ix, const float* bx, const float* by) {
  if (static_cast<unsigned>(ix) < static_cast<unsigned>(side - 1) &&
      static_cast<unsigned>(iy) < static_cast<unsigned>(side - 1)) {
    const uint8_t* m = mask + static_cast<size_t>(iy) * side + ix;
    return (m[0] * bx[0] + m[1] * bx[1]) * by[0] + (m[side] * bx[0] + m[side + 1] * bx[1]) * by[1];
  }
  auto m = [&](int yy, int xx) -> float {
    return (yy < 0 || xx < 0 || yy >= side || xx >= side) ? 0.0f : mask[yy * side + xx];
  };
  return (m(iy, ix) * bx[0] + m(iy, ix + 1) * bx[1]) * by[0] + (m(iy + 1, ix) * bx[0] + m(iy + 1, ix + 1) * bx[1]) * by[1];
}

HWY_INLINE void Blend(uint8_t* dst, float alpha, const float* acc) {
  for (int c = 0; c < 3; ++c) {
    const float v = dst[c] * (1.0f - alpha) + alpha * acc[c];
    dst[c] = static_cast<uint8_t>(static_cast<int>(v < 0.0f ? 0.0f : (v > 255.0f ? 255.0f : v)));
  }
}

// Footprint crossing the crop edge: per channel, leaving out the outside taps.
HWY_INLINE void LanczosClipped(const float* crop4, int side, int iy, int ix, const float* wx, const float* wy,
                               float* acc) {
  for (int c = 0; c < 3; ++c) {
    float sum = 0.0f;
    for (int r = 0; r < kTaps; ++r) {
      const int yy = iy - kBack + r;
      if (yy < 0 || yy >= side) continue;
      float h = 0.0f;
      for (int k = 0; k < kTaps; ++k) {
        const int xx = ix - kBack + k;
        if (xx < 0 || xx >= side) continue;
        h += wx[k] * crop4[(static_cast<size_t>(yy) * side + xx) * 4 + c];
      }
      sum += h * wy[r];
    }
    acc[c] = sum;
  }
}

// Four floats at p[j] + off for pixel j, one pixel per block.
template <class D>
HWY_INLINE hn::Vec<D> LoadPixels(D d, const float* const* p, size_t off) {
  constexpr size_t kBlocks = hn::MaxLanes(D()) / 4;
  if constexpr (kBlocks == 1) {
    return hn::LoadU(d, p[0] + off);
  } else {
    const hn::Half<D> dh;
    return hn::Combine(d, LoadPixels(dh, p + kBlocks / 2, off), LoadPixels(dh, p, off));
  }
}

// Tap k of every pixel's weights, spread over its block.
template <int k>
HWY_INLINE hn::Vec<DF> Tap(hn::Vec<DF> lo, hn::Vec<DF> hi) {
  return hn::Broadcast<k & 3>(k < 4 ? lo : hi);
}

// One footprint row of every pixel: h_r, taps added in order.
HWY_INLINE hn::Vec<DF> RowSum(const float* const* p, size_t off, const hn::Vec<DF>* w) {
  auto h = hn::Mul(w[0], LoadPixels(DF(), p, off));
  for (int k = 1; k < kTaps; ++k) h = hn::Add(h, hn::Mul(w[k], LoadPixels(DF(), p, off + 4 * k)));
  return h;
}

// Lanczos colour of kPix footprints that lie wholly inside the crop.
HWY_INLINE hn::Vec<DF> LanczosInside(const float* const* src, const float* const* wxp, const float* const* wyp,
                                     size_t stride) {
  const auto xlo = LoadPixels(DF(), wxp, 0), xhi = LoadPixels(DF(), wxp, 4);
  const hn::Vec<DF> w[kTaps] = {Tap<0>(xlo, xhi), Tap<1>(xlo, xhi), Tap<2>(xlo, xhi), Tap<3>(xlo, xhi),
                                Tap<4>(xlo, xhi), Tap<5>(xlo, xhi), Tap<6>(xlo, xhi), Tap<7>(xlo, xhi)};
  const auto ylo = LoadPixels(DF(), wyp, 0), yhi = LoadPixels(DF(), wyp, 4);
  auto sum = hn::Zero(DF());
  sum = hn::Add(sum, hn::Mul(RowSum(src, 0 * stride, w), Tap<0>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 1 * stride, w), Tap<1>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 2 * stride, w), Tap<2>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 3 * stride, w), Tap<3>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 4 * stride, w), Tap<4>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 5 * stride, w), Tap<5>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 6 * stride, w), Tap<6>(ylo, yhi)));
  sum = hn::Add(sum, hn::Mul(RowSum(src, 7 * stride, w), Tap<7>(ylo, yhi)));
  return sum;
}

// Blends the queued pixels kPix at a time; with flush, a short last group is
// filled up by repeating its last pixel, otherwise it stays queued.
HWY_INLINE void DrainQueue(InsideQueue& q, size_t stride, bool flush) {
  const int full = flush ? q.n : q.n - q.n % kPix;
  int j = 0;
  for (; j < full; j += kPix) {
    const int live = full - j < kPix ? full - j : kPix;
    for (int t = live; t < kPix; ++t) {
      q.src[j + t] = q.src[j + live - 1];
      q.wx[j + t] = q.wx[j + live - 1];
      q.wy[j + t] = q.wy[j + live - 1];
    }
    alignas(64) float acc[4 * kPix];
    hn::Store(LanczosInside(q.src + j, q.wx + j, q.wy + j, stride), DF(), acc);
    for (int t = 0; t < live; ++t) Blend(q.dst[j + t], q.alpha[j + t], acc + 4 * t);
  }
  for (int t = j; t < q.n; ++t) {
    q.src[t - j] = q.src[t];
    q.wx[t - j] = q.wx[t];
    q.wy[t - j] = q.wy[t];
    q.alpha[t - j] = q.alpha[t];
    q.dst[t - j] = q.dst[t];
  }
  q.n -= j;
}

void PasteLanczos8Row(const float* HWY_RESTRICT crop4, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTable, const float* HWY_RESTRICT bilinTable,
                      const int* HWY_RESTRICT colX, const int* HWY_RESTRICT colY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT dstRow) {
  const size_t stride = static_cast<size_t>(side) * 4;
  const auto innerSpan = static_cast<unsigned>(side - kTaps);  // ix - kBack and iy - kBack may reach it
  InsideQueue q;
  for (int b = x0; b <= x1; b += kBatch) {
    const int e = x1 - b < kBatch ? x1 : b + kBatch - 1;
    for (int x = b; x <= e; ++x) {
      const int i = x - x0;
      // Positions wrap like 32-bit hardware adds; out-of-range ones are skipped.
      const auto sx = static_cast<int32_t>(static_cast<uint32_t>(colX[i]) + static_cast<uint32_t>(offX));
      const auto sy = static_cast<int32_t>(static_cast<uint32_t>(colY[i]) + static_cast<uint32_t>(offY));
      const int ix = sx >> 10;
      const int iy = sy >> 10;
      if (sx < -1024 || sy < -1024 || ix >= side || iy >= side) continue;
      const int px = (sx >> 5) & 31;
      const int py = (sy >> 5) & 31;
      const float m = MaskAt(mask, side, iy, ix, bilinTable + 2 * px, bilinTable + 2 * py);
      const float alpha = static_cast<float>(static_cast<int>(std::rint(m))) / 255.0f;
      if (alpha <= 0.0f) continue;
      const float* wx = lanczosTable + kTaps * px;
      const float* wy = lanczosTable + kTaps * py;
      uint8_t* dst = dstRow + 3 * static_cast<size_t>(x);
      if (side >= kTaps && static_cast<unsigned>(ix - kBack) <= innerSpan &&
          static_cast<unsigned>(iy - kBack) <= innerSpan) {
        const int n = q.n++;
        q.src[n] = crop4 + (static_cast<size_t>(iy - kBack) * side + (ix - kBack)) * 4;
        q.wx[n] = wx;
        q.wy[n] = wy;
        q.alpha[n] = alpha;
        q.dst[n] = dst;
      } else {
        float acc[3];
        LanczosClipped(crop4, side, iy, ix, wx, wy, acc);
        Blend(dst, alpha, acc);
      }
    }
    DrainQueue(q, stride, e == x1);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(PasteLanczos8Row);

void pasteLanczos8Row(const float* crop4, int side, const uint8_t* mask, const float* lanczosTable,
                      const float* bilinTable, const int* colX, const int* colY, int offX, int offY, int x0, int x1,
                      uint8_t* dstRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(crop4, side, mask, lanczosTable, bilinTable, colX, colY, offX, offY, x0,
                                         x1, dstRow);
}

}  // namespace le::simd
#endif  // HWY_ONCE
