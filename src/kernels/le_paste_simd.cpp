// The paste compositor's row blend (Lanczos-8 colour, bilinear mask), per
// processor target.
#include <cmath>

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

// Bilinear mask sample around (iy, ix), samples outside the crop counting 0.
HWY_INLINE float MaskAt(const uint8_t* mask, int side, int iy, int ix, const float* bx, const float* by) {
  auto m = [&](int yy, int xx) -> float {
    return (yy < 0 || xx < 0 || yy >= side || xx >= side) ? 0.0f : mask[yy * side + xx];
  };
  return (m(iy, ix) * bx[0] + m(iy, ix + 1) * bx[1]) * by[0] + (m(iy + 1, ix) * bx[0] + m(iy + 1, ix + 1) * bx[1]) * by[1];
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

// Footprint wholly inside: the four floats of a pixel at once, same order.
HWY_INLINE void LanczosInside(const float* crop4, int side, int iy, int ix, const float* wx, const float* wy,
                              float* acc) {
  const hn::Full128<float> d4;
  hn::Vec<decltype(d4)> w[kTaps];
  for (int k = 0; k < kTaps; ++k) w[k] = hn::Set(d4, wx[k]);
  const size_t stride = static_cast<size_t>(side) * 4;
  const float* p = crop4 + (static_cast<size_t>(iy - kBack) * side + (ix - kBack)) * 4;
  auto sum = hn::Zero(d4);
  for (int r = 0; r < kTaps; ++r, p += stride) {
    auto h = hn::Mul(w[0], hn::LoadU(d4, p));
    for (int k = 1; k < kTaps; ++k) h = hn::Add(h, hn::Mul(w[k], hn::LoadU(d4, p + 4 * k)));
    sum = hn::Add(sum, hn::Mul(h, hn::Set(d4, wy[r])));
  }
  hn::StoreU(sum, d4, acc);
}

void PasteLanczos8Row(const float* HWY_RESTRICT crop4, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTable, const float* HWY_RESTRICT bilinTable,
                      const int* HWY_RESTRICT colX, const int* HWY_RESTRICT colY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT dstRow) {
  for (int x = x0; x <= x1; ++x) {
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
    float acc[4];
    if (ix >= kBack && iy >= kBack && ix + kTaps - kBack <= side && iy + kTaps - kBack <= side)
      LanczosInside(crop4, side, iy, ix, wx, wy, acc);
    else
      LanczosClipped(crop4, side, iy, ix, wx, wy, acc);
    uint8_t* dst = dstRow + 3 * static_cast<size_t>(x);
    for (int c = 0; c < 3; ++c) {
      const float v = dst[c] * (1.0f - alpha) + alpha * acc[c];
      dst[c] = static_cast<uint8_t>(static_cast<int>(v < 0.0f ? 0.0f : (v > 255.0f ? 255.0f : v)));
    }
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
