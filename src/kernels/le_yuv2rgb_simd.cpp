// BT.601 limited-range 4:2:0 rows to packed RGB24, per processor target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/le_yuv2rgb_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "kernels/le_simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

HWY_INLINE uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

HWY_INLINE void PixelToRgb(int Y, int U, int V, uint8_t* out) {
  const int C = 298 * (Y - 16) + 128;
  const int D = U - 128;
  const int E = V - 128;
  out[0] = Clamp255((C + 409 * E) >> 8);
  out[1] = Clamp255((C - 100 * D - 208 * E) >> 8);
  out[2] = Clamp255((C + 516 * D) >> 8);
}

// 8 pixels per step on 128-bit targets, 16 on AVX2, 32 on AVX-512.
using D16 = hn::CappedTag<int16_t, 32>;
using D8 = hn::Rebind<uint8_t, D16>;
using D32 = hn::Repartition<uint32_t, D16>;

// Chroma of pixels x..x+N-1 as 16-bit lanes, each sample repeated for its two
// pixels (one 32-bit lane holds the pair).
template <int kStep>
HWY_INLINE void LoadChroma(const uint8_t* u, const uint8_t* v, size_t x, hn::Vec<D16>& uu, hn::Vec<D16>& vv) {
  const D16 d16;
  const D32 d32;
  if constexpr (kStep == 1) {
    const hn::Rebind<uint8_t, D32> dc;
    const auto cu = hn::PromoteTo(d32, hn::LoadU(dc, u + x / 2));
    const auto cv = hn::PromoteTo(d32, hn::LoadU(dc, v + x / 2));
    uu = hn::BitCast(d16, hn::Or(cu, hn::ShiftLeft<16>(cu)));
    vv = hn::BitCast(d16, hn::Or(cv, hn::ShiftLeft<16>(cv)));
  } else {
    // Interleaved UV: v is u + 1, so one load of N bytes holds both.
    const auto uv = hn::BitCast(d32, hn::PromoteTo(hn::RebindToUnsigned<D16>(), hn::LoadU(D8(), u + x)));
    const auto lo = hn::And(uv, hn::Set(d32, 0xFFFFu));
    const auto hi = hn::AndNot(hn::Set(d32, 0xFFFFu), uv);
    uu = hn::BitCast(d16, hn::Or(lo, hn::ShiftLeft<16>(lo)));
    vv = hn::BitCast(d16, hn::Or(hi, hn::ShiftRight<16>(hi)));
  }
}

#if HWY_TARGET == HWY_AVX3_DL
// Byte permute indices for 32 pixels: output byte 3p + c taken from the
// saturating packs RG (R and G of 8 pixels per 128-bit block) and BB.
struct RgbPermute {
  alignas(64) uint8_t idx[128];
  constexpr RgbPermute() : idx() {
    for (int p = 0; p < 32; ++p) {
      const int base = 16 * (p / 8) + p % 8;
      idx[3 * p] = static_cast<uint8_t>(base);
      idx[3 * p + 1] = static_cast<uint8_t>(base + 8);
      idx[3 * p + 2] = static_cast<uint8_t>(64 + base);
    }
  }
};
constexpr RgbPermute kRgbPermute;

// Two two-source byte permutes (VBMI) instead of the generic interleave.
HWY_INLINE void StoreRgb(hn::Vec<D16> r, hn::Vec<D16> g, hn::Vec<D16> b, uint8_t* out) {
  const __m512i rg = _mm512_packus_epi16(r.raw, g.raw);
  const __m512i bb = _mm512_packus_epi16(b.raw, b.raw);
  const __m512i lo = _mm512_permutex2var_epi8(rg, _mm512_load_si512(kRgbPermute.idx), bb);
  const __m512i hi = _mm512_permutex2var_epi8(rg, _mm512_load_si512(kRgbPermute.idx + 64), bb);
  _mm512_storeu_si512(out, lo);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64), _mm512_castsi512_si256(hi));
}
#else
HWY_INLINE void StoreRgb(hn::Vec<D16> r, hn::Vec<D16> g, hn::Vec<D16> b, uint8_t* out) {
  const D8 d8;
  hn::StoreInterleaved3(hn::DemoteTo(d8, r), hn::DemoteTo(d8, g), hn::DemoteTo(d8, b), d8, out);
}
#endif

// 298(Y-16) + k·chroma + 128 overflows 16 bits, so each channel is split into
// a multiple of 256 taken outside the shift plus a remainder that fits:
//   R = (Y' + 2E) + ((42Y' - 103E + 128) >> 8)
//   G = (Y' - E)  + ((42Y' - 100D + 48E + 128) >> 8)
//   B = (Y' + 2D) + ((42Y' + 4D + 128) >> 8)
// which is exactly the 32-bit formula with Y' = Y - 16.
template <int kStep>
HWY_INLINE size_t VectorRows(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                             const uint8_t* HWY_RESTRICT v, size_t width, uint8_t* HWY_RESTRICT rgb) {
  const D16 d16;
  const D8 d8;
  const size_t lanes = hn::Lanes(d16);
  const auto k16 = hn::Set(d16, int16_t{16});
  const auto k128 = hn::Set(d16, int16_t{128});
  const auto k42 = hn::Set(d16, int16_t{42});
  const auto k103 = hn::Set(d16, int16_t{103});
  const auto k100 = hn::Set(d16, int16_t{100});
  const auto k48 = hn::Set(d16, int16_t{48});
  size_t x = 0;
  for (; x + lanes <= width; x += lanes) {
    hn::Vec<D16> uu, vv;
    LoadChroma<kStep>(u, v, x, uu, vv);
    const auto yp = hn::Sub(hn::PromoteTo(d16, hn::LoadU(d8, y + x)), k16);
    const auto D = hn::Sub(uu, k128);
    const auto E = hn::Sub(vv, k128);
    const auto t = hn::Add(hn::Mul(yp, k42), k128);
    const auto r = hn::Add(hn::Add(yp, hn::Add(E, E)), hn::ShiftRight<8>(hn::Sub(t, hn::Mul(E, k103))));
    const auto g = hn::Add(hn::Sub(yp, E), hn::ShiftRight<8>(hn::Add(hn::Sub(t, hn::Mul(D, k100)), hn::Mul(E, k48))));
    const auto b = hn::Add(hn::Add(yp, hn::Add(D, D)), hn::ShiftRight<8>(hn::Add(t, hn::ShiftLeft<2>(D))));
    StoreRgb(r, g, b, rgb + 3 * x);
  }
  return x;
}

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u, const uint8_t* HWY_RESTRICT v,
                      int width, int chromaStep, uint8_t* HWY_RESTRICT rgb) {
  size_t x = 0;
  const size_t w = width > 0 ? static_cast<size_t>(width) : 0;
  if (w >= 8) {
    if (chromaStep == 1) x = VectorRows<1>(y, u, v, w, rgb);
    if (chromaStep == 2) x = VectorRows<2>(y, u, v, w, rgb);
  }
  for (; x < w; ++x) {
    const size_t c = (x >> 1) * static_cast<size_t>(chromaStep);
    PixelToRgb(y[x], u[c], v[c], rgb + 3 * x);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

}  // namespace le::simd
#endif  // HWY_ONCE
