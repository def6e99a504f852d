// The paste compositor's row blend (Lanczos-8 colour, bilinear mask), per
// processor target.
#include <cmath>
#include <cstdint>
#include <utility>

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

// Footprint crossing the crop edge: the four floats of one pixel at once,
// leaving out the taps outside the crop.
HWY_INLINE void LanczosClipped(const float* crop4, int side, int iy, int ix, const float* wx, const float* wy,
                               float* acc) {
  const hn::Full128<float> d4;
  const int k0 = ix - kBack < 0 ? kBack - ix : 0, k1 = ix - kBack + kTaps > side ? side - ix + kBack : kTaps;
  const int r0 = iy - kBack < 0 ? kBack - iy : 0, r1 = iy - kBack + kTaps > side ? side - iy + kBack : kTaps;
  auto sum = hn::Zero(d4);
  for (int r = r0; r < r1; ++r) {
    const float* p = crop4 + (static_cast<size_t>(iy - kBack + r) * side + (ix - kBack)) * 4;
    auto h = hn::Zero(d4);
    for (int k = k0; k < k1; ++k) h = hn::Add(h, hn::Mul(hn::Set(d4, wx[k]), hn::LoadU(d4, p + 4 * k)));
    sum = hn::Add(sum, hn::Mul(h, hn::Set(d4, wy[r])));
  }
  hn::StoreU(sum, d4, acc);
}

// Four floats at p[j] + off for pixel j, one pixel per block. The blocks are
// inserted into an undefined upper half: zeroing it first costs a move each.
template <class D>
HWY_INLINE hn::Vec<D> LoadPixels(D d, const float* const* p, size_t off) {
  constexpr size_t kBlocks = hn::MaxLanes(D()) / 4;
  if constexpr (kBlocks == 1) {
    return hn::LoadU(d, p[0] + off);
#if HWY_TARGET <= HWY_AVX2
  } else if constexpr (kBlocks == 2) {
    return hn::Vec<D>{_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p[0] + off)), _mm_loadu_ps(p[1] + off), 1)};
#endif
#if HWY_TARGET <= HWY_AVX3
  } else {
    const hn::Half<D> dh;
    return hn::Vec<D>{_mm512_insertf32x8(_mm512_castps256_ps512(LoadPixels(dh, p, off).raw),
                                         LoadPixels(dh, p + 2, off).raw, 1)};
#endif
  }
}

// Tap k of every pixel's weights, spread over its block.
template <int k>
HWY_INLINE hn::Vec<DF> Tap(hn::Vec<DF> lo, hn::Vec<DF> hi) {
  return hn::Broadcast<k & 3>(k < 4 ? lo : hi);
}

// One footprint row of every pixel: h_r, taps added in order.
template <size_t... k>
HWY_INLINE hn::Vec<DF> RowSum(const float* const* p, size_t off, const hn::Vec<DF>* w, std::index_sequence<k...>) {
  auto h = hn::Mul(w[0], LoadPixels(DF(), p, off));
  ((h = hn::Add(h, hn::Mul(w[k + 1], LoadPixels(DF(), p, off + 4 * (k + 1))))), ...);
  return h;
}

// Lanczos colour of kPix footprints that lie wholly inside the crop.
HWY_INLINE hn::Vec<DF> LanczosInside(const float* const* src, const float* const* wxp, const float* const* wyp,
                                     size_t stride) {
  const auto xlo = LoadPixels(DF(), wxp, 0), xhi = LoadPixels(DF(), wxp, 4);
  const hn::Vec<DF> w[kTaps] = {Tap<0>(xlo, xhi), Tap<1>(xlo, xhi), Tap<2>(xlo, xhi), Tap<3>(xlo, xhi),
                                Tap<4>(xlo, xhi), Tap<5>(xlo, xhi), Tap<6>(xlo, xhi), Tap<7>(xlo, xhi)};
  const auto ylo = LoadPixels(DF(), wyp, 0), yhi = LoadPixels(DF(), wyp, 4);
  const hn::Vec<DF> wy[kTaps] = {Tap<0>(ylo, yhi), Tap<1>(ylo, yhi), Tap<2>(ylo, yhi), Tap<3>(ylo, yhi),
                                 Tap<4>(ylo, yhi), Tap<5>(ylo, yhi), Tap<6>(ylo, yhi), Tap<7>(ylo, yhi)};
  auto sum = hn::Zero(DF());
  for (int r = 0; r < kTaps; ++r)
    sum = hn::Add(sum, hn::Mul(RowSum(src, r * stride, w, std::make_index_sequence<kTaps - 1>()), wy[r]));
  return sum;
}

#if HWY_TARGET <= HWY_AVX3
// Products of taps 4*half..4*half+3 of one row of the four pixels, lined up
// by tap: each pixel's taps are read at once and weighted in place, then a
// 4x4 block transpose gathers tap t of every pixel into out[t].
HWY_INLINE void WeightedTaps(const float* const* src, size_t off, const __m512* w, __m512* out) {
  const __m512 p0 = _mm512_mul_ps(_mm512_loadu_ps(src[0] + off), w[0]);
  const __m512 p1 = _mm512_mul_ps(_mm512_loadu_ps(src[1] + off), w[2]);
  const __m512 p2 = _mm512_mul_ps(_mm512_loadu_ps(src[2] + off), w[4]);
  const __m512 p3 = _mm512_mul_ps(_mm512_loadu_ps(src[3] + off), w[6]);
  const __m512 ab01 = _mm512_shuffle_f32x4(p0, p1, 0x44), ab23 = _mm512_shuffle_f32x4(p0, p1, 0xEE);
  const __m512 cd01 = _mm512_shuffle_f32x4(p2, p3, 0x44), cd23 = _mm512_shuffle_f32x4(p2, p3, 0xEE);
  out[0] = _mm512_shuffle_f32x4(ab01, cd01, 0x88);
  out[1] = _mm512_shuffle_f32x4(ab01, cd01, 0xDD);
  out[2] = _mm512_shuffle_f32x4(ab23, cd23, 0x88);
  out[3] = _mm512_shuffle_f32x4(ab23, cd23, 0xDD);
}

// Four pixels per vector with a quarter of the loads of LanczosInside.
HWY_INLINE hn::Vec<DF> LanczosInsideWide(const float* const* src, const float* const* wxp, const float* const* wyp,
                                         size_t stride) {
  const __m512i spreadLo = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
  const __m512i spreadHi = _mm512_add_epi32(spreadLo, _mm512_set1_epi32(4));
  // w[2j] spreads taps 0..3 of pixel j over its blocks, w[2j + 1] taps 4..7.
  __m512 w[8];
  for (int j = 0; j < 4; ++j) {
    const __m512 taps = _mm512_castps256_ps512(_mm256_loadu_ps(wxp[j]));
    w[2 * j] = _mm512_permutexvar_ps(spreadLo, taps);
    w[2 * j + 1] = _mm512_permutexvar_ps(spreadHi, taps);
  }
  const auto ylo = LoadPixels(DF(), wyp, 0), yhi = LoadPixels(DF(), wyp, 4);
  const hn::Vec<DF> wy[kTaps] = {Tap<0>(ylo, yhi), Tap<1>(ylo, yhi), Tap<2>(ylo, yhi), Tap<3>(ylo, yhi),
                                 Tap<4>(ylo, yhi), Tap<5>(ylo, yhi), Tap<6>(ylo, yhi), Tap<7>(ylo, yhi)};
  __m512 sum = _mm512_setzero_ps();
  for (int r = 0; r < kTaps; ++r) {
    __m512 lo[4], hi[4];
    WeightedTaps(src, r * stride, w, lo);
    WeightedTaps(src, r * stride + 16, w + 1, hi);
    __m512 h = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(lo[0], lo[1]), lo[2]), lo[3]);
    h = _mm512_add_ps(_mm512_add_ps(_mm512_add_ps(_mm512_add_ps(h, hi[0]), hi[1]), hi[2]), hi[3]);
    sum = _mm512_add_ps(sum, _mm512_mul_ps(h, wy[r].raw));
  }
  return hn::Vec<DF>{sum};
}
#endif

// Per-pixel values v[0..kPix) spread over each pixel's block. Built in
// registers: a vector load of freshly stored scalars would stall.
template <class D>
HWY_INLINE hn::Vec<D> SpreadPerPixel(D d, const float* v) {
  constexpr size_t kBlocks = hn::MaxLanes(D()) / 4;
  if constexpr (kBlocks == 1) {
    return hn::Set(d, v[0]);
#if HWY_TARGET <= HWY_AVX2
  } else if constexpr (kBlocks == 2) {
    const __m256i idx = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    return hn::Vec<D>{_mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_castpd_ps(_mm_load_sd(
                                                    reinterpret_cast<const double*>(v)))), idx)};
#endif
#if HWY_TARGET <= HWY_AVX3
  } else {
    const __m512i idx = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
    return hn::Vec<D>{_mm512_permutexvar_ps(idx, _mm512_castps128_ps512(_mm_loadu_ps(v)))};
#endif
  }
}

// The three frame bytes of each pixel, one pixel per 32-bit lane, as floats
// spread like the colour.
HWY_INLINE hn::Vec<DF> FramePixels(uint8_t* const* dst) {
  const DF d;
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint8_t, DF> d8;
  uint32_t p[kPix];
  for (int t = 0; t < kPix; ++t) p[t] = dst[t][0] | dst[t][1] << 8 | static_cast<uint32_t>(dst[t][2]) << 16;
  __m128i raw;
  if constexpr (kPix == 1) {
    raw = _mm_cvtsi32_si128(static_cast<int>(p[0]));
  } else if constexpr (kPix == 2) {
    raw = _mm_cvtsi64_si128(static_cast<long long>(p[0] | static_cast<uint64_t>(p[1]) << 32));
  } else {
    raw = _mm_setr_epi32(static_cast<int>(p[0]), static_cast<int>(p[1]), static_cast<int>(p[2]),
                         static_cast<int>(p[3]));
  }
  return hn::ConvertTo(d, hn::PromoteTo(di, hn::Vec<decltype(d8)>{raw}));
}

// Blend of the first `live` of kPix pixels, one per block, with the same
// arithmetic as Blend; NaN clamps to 0 there and here.
HWY_INLINE void BlendGroup(uint8_t* const* dst, const float* alpha, hn::Vec<DF> acc, int live) {
  const DF d;
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint8_t, DF> d8;
  const auto al = SpreadPerPixel(d, alpha);
  const auto v = hn::Add(hn::Mul(FramePixels(dst), hn::Sub(hn::Set(d, 1.0f), al)), hn::Mul(al, acc));
  const auto clamped = hn::Min(hn::Max(v, hn::Zero(d)), hn::Set(d, 255.0f));
  alignas(16) uint8_t bytes[4 * kPix];
  hn::Store(hn::DemoteTo(d8, hn::ConvertTo(di, clamped)), d8, bytes);
  for (int t = 0; t < live; ++t)
    for (int c = 0; c < 3; ++c) dst[t][c] = bytes[4 * t + c];
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
      q.alpha[j + t] = q.alpha[j + live - 1];
      q.dst[j + t] = q.dst[j + live - 1];
    }
#if HWY_TARGET <= HWY_AVX3
    const auto acc = LanczosInsideWide(q.src + j, q.wx + j, q.wy + j, stride);
#else
    const auto acc = LanczosInside(q.src + j, q.wx + j, q.wy + j, stride);
#endif
    BlendGroup(q.dst + j, q.alpha + j, acc, live);
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
      const int level = static_cast<int>(std::rint(m));
      if (level <= 0) continue;  // alpha <= 0, decided before the division
      const float alpha = static_cast<float>(level) / 255.0f;
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
        float acc[4];
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
