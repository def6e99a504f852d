// The paste compositor's row blend (Lanczos-8 colour, bilinear mask), per
// processor target.
#include <algorithm>
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

// Columns are sorted one vector of 32-bit lanes at a time; footprints wholly
// inside wait in a queue until a batch of them is ready.
using DI = hn::ScalableTag<int32_t>;
constexpr int kLanes = static_cast<int>(hn::MaxLanes(DI()));
constexpr int kBatch = 128;
constexpr int kQueueCap = kBatch + 2 * kLanes;  // room for one more vector store

// Lane offsets are 32-bit: iy * side + ix must fit.
constexpr int kMaxLaneSide = 46340;

struct RowArgs {
  const float* crop4;
  int side;
  const uint8_t* mask;
  const float* lanczos;
  const float* bilin;
  uint8_t* dstRow;
};

struct InsideQueue {
  int n = 0;
  int32_t src[kQueueCap];  // crop pixel of the footprint's top-left tap
  int32_t wx[kQueueCap];   // offsets into the Lanczos table
  int32_t wy[kQueueCap];
  float alpha[kQueueCap];
  int32_t col[kQueueCap];  // output column
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

// A NaN colour composites as 0; with it gone the blend is a finite or
// infinite value that the clamp brings into the byte range.
HWY_INLINE void Blend(uint8_t* dst, float alpha, const float* acc) {
  for (int c = 0; c < 3; ++c) {
    const float colour = acc[c] == acc[c] ? acc[c] : 0.0f;
    const float v = dst[c] * (1.0f - alpha) + alpha * colour;
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
    const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v));  // may alias the floats
    return hn::Vec<D>{_mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_castsi128_ps(two)), idx)};
#endif
#if HWY_TARGET <= HWY_AVX3
  } else {
    const __m512i idx = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
    return hn::Vec<D>{_mm512_permutexvar_ps(idx, _mm512_castps128_ps512(_mm_loadu_ps(v)))};
#endif
  }
}

// The three frame bytes of each pixel in a 32-bit lane, built in registers.
template <int kN>
HWY_INLINE __m128i FrameBytes(uint8_t* const* dst) {
  auto word = [](const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16; };
  __m128i raw = _mm_cvtsi32_si128(word(dst[0]));
  if constexpr (kN >= 2) raw = _mm_insert_epi32(raw, word(dst[1]), 1);
  if constexpr (kN == 4) {
    raw = _mm_insert_epi32(raw, word(dst[2]), 2);
    raw = _mm_insert_epi32(raw, word(dst[3]), 3);
  }
  return raw;
}

// Writes the low three bytes of each 32-bit lane back, moved out through
// registers: a store and narrow reloads would stall. Repeated filler pixels
// get the same bytes again.
template <int kN>
HWY_INLINE void StoreFrameBytes(__m128i bytes, uint8_t* const* dst) {
  auto put = [](uint8_t* p, int w) {
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w >> 16);
  };
  put(dst[0], _mm_cvtsi128_si32(bytes));
  if constexpr (kN >= 2) put(dst[1], _mm_extract_epi32(bytes, 1));
  if constexpr (kN == 4) {
    put(dst[2], _mm_extract_epi32(bytes, 2));
    put(dst[3], _mm_extract_epi32(bytes, 3));
  }
}

// Truncation toward zero of values already clamped to [0, 255], so without
// the overflow fix-up of ConvertTo.
template <class D>
HWY_INLINE hn::Vec<hn::RebindToSigned<D>> TruncateInRange(D, hn::Vec<D> v) {
  constexpr size_t kBlocks = hn::MaxLanes(D()) / 4;
  if constexpr (kBlocks == 1) {
    return {_mm_cvttps_epi32(v.raw)};
#if HWY_TARGET <= HWY_AVX2
  } else if constexpr (kBlocks == 2) {
    return {_mm256_cvttps_epi32(v.raw)};
#endif
#if HWY_TARGET <= HWY_AVX3
  } else {
    return {_mm512_cvttps_epi32(v.raw)};
#endif
  }
}

// Blend of kPix pixels, one per block, with the same arithmetic as Blend,
// a NaN colour included.
HWY_INLINE void BlendGroup(uint8_t* const* dst, const float* alpha, hn::Vec<DF> acc) {
  const DF d;
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint8_t, DF> d8;
  const auto al = SpreadPerPixel(d, alpha);
  const auto frame = hn::ConvertTo(d, hn::PromoteTo(di, hn::Vec<decltype(d8)>{FrameBytes<kPix>(dst)}));
  const auto colour = hn::IfThenZeroElse(hn::IsNaN(acc), acc);
  const auto v = hn::Add(hn::Mul(frame, hn::Sub(hn::Set(d, 1.0f), al)), hn::Mul(al, colour));
  const auto clamped = hn::Min(hn::Max(v, hn::Zero(d)), hn::Set(d, 255.0f));
  StoreFrameBytes<kPix>(hn::DemoteTo(d8, TruncateInRange(d, clamped)).raw, dst);
}

// Blends the queued pixels kPix at a time; with flush, a short last group is
// filled up by repeating its last pixel, otherwise it stays queued.
// Kept out of line: its vector loop needs every register to itself.
HWY_NOINLINE void DrainQueue(InsideQueue& q, const RowArgs& a, bool flush) {
  const size_t stride = static_cast<size_t>(a.side) * 4;
  const int full = flush ? q.n : q.n - q.n % kPix;
  int j = 0;
  for (; j < full; j += kPix) {
    const int live = full - j < kPix ? full - j : kPix;
    const float* src[kPix];
    const float* wx[kPix];
    const float* wy[kPix];
    alignas(16) float alpha[kPix];
    uint8_t* dst[kPix];
    for (int t = 0; t < kPix; ++t) {
      const int k = j + (t < live ? t : live - 1);
      src[t] = a.crop4 + 4 * static_cast<size_t>(q.src[k]);
      wx[t] = a.lanczos + q.wx[k];
      wy[t] = a.lanczos + q.wy[k];
      alpha[t] = q.alpha[k];
      dst[t] = a.dstRow + 3 * static_cast<size_t>(q.col[k]);
    }
#if HWY_TARGET <= HWY_AVX3
    const auto acc = LanczosInsideWide(src, wx, wy, stride);
#else
    const auto acc = LanczosInside(src, wx, wy, stride);
#endif
    BlendGroup(dst, alpha, acc);
  }
  for (int t = j; t < q.n; ++t) {
    q.src[t - j] = q.src[t];
    q.wx[t - j] = q.wx[t];
    q.wy[t - j] = q.wy[t];
    q.alpha[t - j] = q.alpha[t];
    q.col[t - j] = q.col[t];
  }
  q.n -= j;
}

// Any pixel of the row, on its own; footprints crossing the crop edge leave
// out the taps outside.
HWY_INLINE void PixelOnItsOwn(const RowArgs& a, int32_t sx, int32_t sy, int x) {
  const int ix = sx >> 10;
  const int iy = sy >> 10;
  if (sx < -1024 || sy < -1024 || ix >= a.side || iy >= a.side) return;
  const int px = (sx >> 5) & 31;
  const int py = (sy >> 5) & 31;
  const float m = MaskAt(a.mask, a.side, iy, ix, a.bilin + 2 * px, a.bilin + 2 * py);
  if (!(m > 0.5f)) return;  // the level rounds to 0 or below: alpha <= 0
  const float alpha = static_cast<float>(static_cast<int>(std::rint(m))) / 255.0f;
  float acc[4];
  LanczosClipped(a.crop4, a.side, iy, ix, a.lanczos + kTaps * px, a.lanczos + kTaps * py, acc);
  Blend(a.dstRow + 3 * static_cast<size_t>(x), alpha, acc);
}

// Sorts the valid lanes of one vector of columns (output column x + lane):
// footprints wholly inside with a visible mask join the queue, the other
// in-range ones are done on their own, the rest are skipped.
HWY_INLINE void SortColumns(const RowArgs& a, hn::Vec<DI> sx, hn::Vec<DI> sy, hn::Mask<DI> valid, int x,
                            InsideQueue& q) {
  const DI di;
  const hn::Rebind<float, DI> df;
  const auto ix = hn::ShiftRight<10>(sx);
  const auto iy = hn::ShiftRight<10>(sy);
  const auto side = hn::Set(di, a.side);
  // Footprint columns ix - 3 .. ix + 4 inside [0, side), likewise the rows.
  const auto lo = hn::Set(di, kBack - 1), hi = hn::Set(di, a.side - (kTaps - kBack - 1));
  const auto inner = hn::And(valid, hn::And(hn::And(hn::Gt(ix, lo), hn::Lt(ix, hi)),
                                            hn::And(hn::Gt(iy, lo), hn::Lt(iy, hi))));
  const auto minPos = hn::Set(di, -1025);
  const auto inRange = hn::And(valid, hn::And(hn::And(hn::Gt(sx, minPos), hn::Gt(sy, minPos)),
                                              hn::And(hn::Lt(ix, side), hn::Lt(iy, side))));
  const auto edge = hn::AndNot(inner, inRange);
  if (!hn::AllFalse(di, edge)) {
    alignas(64) int32_t ex[kLanes], ey[kLanes], on[kLanes];
    hn::Store(sx, di, ex);
    hn::Store(sy, di, ey);
    hn::Store(hn::VecFromMask(di, edge), di, on);
    for (int t = 0; t < kLanes; ++t)
      if (on[t]) PixelOnItsOwn(a, ex[t], ey[t], x + t);
  }
  if (hn::AllFalse(di, inner)) return;

  const auto phaseMask = hn::Set(di, 31);
  const auto px = hn::And(hn::ShiftRight<5>(sx), phaseMask);
  const auto py = hn::And(hn::ShiftRight<5>(sy), phaseMask);
  // Mask bytes (iy, ix), (iy, ix + 1) and the row below, four bytes read per
  // row; lanes not inside read at 0 and are dropped below.
  const auto at = hn::IfThenElseZero(inner, hn::Add(hn::Mul(iy, side), ix));
  const auto top = hn::GatherOffset(di, reinterpret_cast<const int32_t*>(a.mask), at);
  const auto below = hn::GatherOffset(di, reinterpret_cast<const int32_t*>(a.mask + a.side), at);
  const auto byte = hn::Set(di, 0xFF);
  const auto m00 = hn::ConvertTo(df, hn::And(top, byte)), m01 = hn::ConvertTo(df, hn::And(hn::ShiftRight<8>(top), byte));
  const auto m10 = hn::ConvertTo(df, hn::And(below, byte));
  const auto m11 = hn::ConvertTo(df, hn::And(hn::ShiftRight<8>(below), byte));
  const auto px2 = hn::Add(px, px), py2 = hn::Add(py, py);
  const auto bx0 = hn::GatherIndex(df, a.bilin, px2), bx1 = hn::GatherIndex(df, a.bilin + 1, px2);
  const auto by0 = hn::GatherIndex(df, a.bilin, py2), by1 = hn::GatherIndex(df, a.bilin + 1, py2);
  const auto m = hn::Add(hn::Mul(hn::Add(hn::Mul(m00, bx0), hn::Mul(m01, bx1)), by0),
                         hn::Mul(hn::Add(hn::Mul(m10, bx0), hn::Mul(m11, bx1)), by1));
  const auto blend = hn::And(inner, hn::RebindMask(di, hn::Gt(m, hn::Set(df, 0.5f))));
  const auto alpha = hn::Div(hn::ConvertTo(df, hn::NearestInt(m)), hn::Set(df, 255.0f));
  const auto src = hn::Add(hn::Mul(hn::Sub(iy, hn::Set(di, kBack)), side), hn::Sub(ix, hn::Set(di, kBack)));
  const auto wx = hn::ShiftLeft<3>(px), wy = hn::ShiftLeft<3>(py), col = hn::Iota(di, x);
  const int n = q.n;
  if (hn::AllTrue(di, blend)) {
    hn::StoreU(src, di, q.src + n);
    hn::StoreU(wx, di, q.wx + n);
    hn::StoreU(wy, di, q.wy + n);
    hn::StoreU(alpha, df, q.alpha + n);
    hn::StoreU(col, di, q.col + n);
    q.n = n + kLanes;
    return;
  }
  // Mixed lanes only where the kinds of columns change, a few per row; the
  // compress of the narrower targets would rebuild its tables every call.
  alignas(64) int32_t on[kLanes], lane[4][kLanes];
  alignas(64) float al[kLanes];
  hn::Store(hn::VecFromMask(di, blend), di, on);
  hn::Store(src, di, lane[0]);
  hn::Store(wx, di, lane[1]);
  hn::Store(wy, di, lane[2]);
  hn::Store(col, di, lane[3]);
  hn::Store(alpha, df, al);
  int k = n;
  for (int t = 0; t < kLanes; ++t) {
    if (!on[t]) continue;
    q.src[k] = lane[0][t];
    q.wx[k] = lane[1][t];
    q.wy[k] = lane[2][t];
    q.col[k] = lane[3][t];
    q.alpha[k] = al[t];
    ++k;
  }
  q.n = k;
}

void PasteLanczos8Row(const float* HWY_RESTRICT crop4, int side, const uint8_t* HWY_RESTRICT mask,
                      const float* HWY_RESTRICT lanczosTable, const float* HWY_RESTRICT bilinTable,
                      const int* HWY_RESTRICT colX, const int* HWY_RESTRICT colY, int offX, int offY, int x0, int x1,
                      uint8_t* HWY_RESTRICT dstRow) {
  if (x0 > x1) return;
  const RowArgs a{crop4, side, mask, lanczosTable, bilinTable, dstRow};
  const int n = x1 - x0 + 1;
  // Positions wrap like 32-bit hardware adds; out-of-range ones are skipped.
  auto position = [](int col, int off) {
    return static_cast<int32_t>(static_cast<uint32_t>(col) + static_cast<uint32_t>(off));
  };
  if (side > kMaxLaneSide) {
    for (int i = 0; i < n; ++i) PixelOnItsOwn(a, position(colX[i], offX), position(colY[i], offY), x0 + i);
    return;
  }
  const DI di;
  const auto ox = hn::Set(di, offX), oy = hn::Set(di, offY);
  const auto all = hn::FirstN(di, kLanes);
  InsideQueue q;
  int i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    SortColumns(a, hn::Add(hn::LoadU(di, colX + i), ox), hn::Add(hn::LoadU(di, colY + i), oy), all, x0 + i, q);
    if (q.n >= kBatch) DrainQueue(q, a, false);
  }
  if (i < n) {
    alignas(64) int32_t tx[kLanes] = {}, ty[kLanes] = {};
    std::copy(colX + i, colX + n, tx);
    std::copy(colY + i, colY + n, ty);
    SortColumns(a, hn::Add(hn::Load(di, tx), ox), hn::Add(hn::Load(di, ty), oy), hn::FirstN(di, n - i), x0 + i, q);
  }
  DrainQueue(q, a, true);
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
