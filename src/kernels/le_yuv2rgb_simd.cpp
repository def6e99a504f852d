// BT.601 limited-range 4:2:0 rows to packed RGB24, per processor target.
#include <cstring>

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
// pshufb tables over the saturating packs RG (R and G of 8 pixels per
// 128-bit block) and BB: output bytes [first, first + count) of the block's 24,
// placed from byte `at` of the block; other bytes 0.
struct BlockShuffle {
  alignas(32) uint8_t rg[32], bb[32];
  constexpr BlockShuffle(int first, int count, int at) : rg(), bb() {
    for (int i = 0; i < 32; ++i) rg[i] = bb[i] = 0x80;
    for (int half = 0; half < 2; ++half)
      for (int k = 0; k < count; ++k) {
        const int i = first + k, p = i / 3, c = i % 3;
        rg[16 * half + at + k] = c == 2 ? 0x80 : static_cast<uint8_t>(p + 8 * c);
        bb[16 * half + at + k] = c == 2 ? static_cast<uint8_t>(p) : 0x80;
      }
  }
};
struct RgbShuffle {
  BlockShuffle head{0, 16, 0}, tail{16, 8, 0}, pre{0, 8, 8}, post{8, 16, 0};
};
constexpr RgbShuffle kRgbShuffle;

#if HWY_TARGET == HWY_AVX3
HWY_INLINE void StoreRgb(hn::Vec<D16> r, hn::Vec<D16> g, hn::Vec<D16> b, uint8_t* out) {
  const __m512i rg = _mm512_packus_epi16(r.raw, g.raw);
  const __m512i bb = _mm512_packus_epi16(b.raw, b.raw);
  auto pick = [&](const BlockShuffle& t) {
    auto table = [](const uint8_t* b) {
      return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(b)));
    };
    return _mm512_or_si512(_mm512_shuffle_epi8(rg, table(t.rg)), _mm512_shuffle_epi8(bb, table(t.bb)));
  };
  const __m512i head = pick(kRgbShuffle.head), tail = pick(kRgbShuffle.tail);
  alignas(64) uint8_t heads[64], tails[64];
  _mm512_store_si512(heads, head);
  _mm512_store_si512(tails, tail);
  for (int blk = 0; blk < 4; ++blk) {
    std::memcpy(out + 24 * blk, heads + 16 * blk, 16);
    std::memcpy(out + 24 * blk + 16, tails + 16 * blk, 8);
  }
}
#elif HWY_TARGET == HWY_AVX2
// Saturating packs and one table pair: output bytes of each block.
HWY_INLINE __m256i PickRgb(__m256i rg, __m256i bb, const BlockShuffle& t) {
  return _mm256_or_si256(_mm256_shuffle_epi8(rg, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.rg))),
                         _mm256_shuffle_epi8(bb, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.bb))));
}

HWY_INLINE void StoreRgb(hn::Vec<D16> r, hn::Vec<D16> g, hn::Vec<D16> b, uint8_t* out) {
  const __m256i rg = _mm256_packus_epi16(r.raw, g.raw);
  const __m256i bb = _mm256_packus_epi16(b.raw, b.raw);
  const __m256i head = PickRgb(rg, bb, kRgbShuffle.head), tail = PickRgb(rg, bb, kRgbShuffle.tail);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(head));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_castsi256_si128(tail));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), _mm256_extracti128_si256(head, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 40), _mm256_extracti128_si256(tail, 1));
}

// 32 pixels per step from (Y, V) and (Y, U) byte pairs with u8 x s8
// multiply-adds. Each channel is hi + (inner >> 8) as in VectorRows, the
// constants folded in; no sum leaves int16 (|inner| stays below 26266):
//   R: hi = Y + 2V - 272,  inner = 42Y - 103V + 12640
//   G: hi = Y - V + 112,   inner = 42Y + 48V - 100U + 6112
//   B: hi = Y + 2U - 272,  inner = 42Y + 4U - 1056
struct PairCoefficients {
  alignas(32) int8_t rHi[32], rIn[32], gHi[32], gInV[32], gInU[32], bHi[32], bIn[32];
  alignas(32) uint8_t dup[32], evenDup[32], oddDup[32];
  constexpr PairCoefficients()
      : rHi(), rIn(), gHi(), gInV(), gInU(), bHi(), bIn(), dup(), evenDup(), oddDup() {
    auto pair = [](int8_t* t, int a, int b) {
      for (int i = 0; i < 32; i += 2) {
        t[i] = static_cast<int8_t>(a);
        t[i + 1] = static_cast<int8_t>(b);
      }
    };
    pair(rHi, 1, 2);
    pair(rIn, 42, -103);
    pair(gHi, 1, -1);
    pair(gInV, 42, 48);
    pair(gInU, 0, -100);
    pair(bHi, 1, 2);
    pair(bIn, 42, 4);
    for (int i = 0; i < 32; ++i) {
      dup[i] = static_cast<uint8_t>((i & 15) / 2 + (i < 16 ? 0 : 8));  // 16 planar samples, each twice
      evenDup[i] = static_cast<uint8_t>((i & 15) & ~1);                // U of interleaved UV, twice
      oddDup[i] = static_cast<uint8_t>(((i & 15) & ~1) + 1);           // V likewise
    }
  }
};
constexpr PairCoefficients kPair;

HWY_INLINE __m256i Load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
HWY_INLINE __m256i Coef(const int8_t* t) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(t)); }

// R, G, B of 16 pixels from their (Y, V) and (Y, U) pairs, packed to bytes as
// RG and BB.
HWY_INLINE void PairsToRgb(__m256i yv, __m256i yu, __m256i& rg, __m256i& bb) {
  auto channel = [](__m256i hi, int16_t hiAdd, __m256i inner, int16_t innerAdd) {
    return _mm256_add_epi16(_mm256_add_epi16(hi, _mm256_set1_epi16(hiAdd)),
                            _mm256_srai_epi16(_mm256_add_epi16(inner, _mm256_set1_epi16(innerAdd)), 8));
  };
  const __m256i r = channel(_mm256_maddubs_epi16(yv, Coef(kPair.rHi)), -272,
                            _mm256_maddubs_epi16(yv, Coef(kPair.rIn)), 12640);
  const __m256i g = channel(_mm256_maddubs_epi16(yv, Coef(kPair.gHi)), 112,
                            _mm256_add_epi16(_mm256_maddubs_epi16(yv, Coef(kPair.gInV)),
                                             _mm256_maddubs_epi16(yu, Coef(kPair.gInU))),
                            6112);
  const __m256i b = channel(_mm256_maddubs_epi16(yu, Coef(kPair.bHi)), -272,
                            _mm256_maddubs_epi16(yu, Coef(kPair.bIn)), -1056);
  rg = _mm256_packus_epi16(r, g);
  bb = _mm256_packus_epi16(b, b);
}

template <int kStep>
HWY_INLINE size_t PairRows(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                           const uint8_t* HWY_RESTRICT v, size_t width, uint8_t* HWY_RESTRICT rgb) {
  size_t x = 0;
  for (; x + 32 <= width; x += 32) {
    // Chroma bytes each repeated for its two pixels: [c0 c0 .. c7 c7 | c8 c8 .. c15 c15].
    __m256i ud, vd;
    if constexpr (kStep == 1) {
      const __m256i dup = Load256(kPair.dup);
      ud = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x / 2))), dup);
      vd = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x / 2))), dup);
    } else {
      const __m256i uv = Load256(u + x);  // v is u + 1
      ud = _mm256_shuffle_epi8(uv, Load256(kPair.evenDup));
      vd = _mm256_shuffle_epi8(uv, Load256(kPair.oddDup));
    }
    // Pixels [0..7 | 16..23] in the low unpacks, [8..15 | 24..31] in the high.
    const __m256i yy = Load256(y + x);
    __m256i rgA, bbA, rgB, bbB;
    PairsToRgb(_mm256_unpacklo_epi8(yy, vd), _mm256_unpacklo_epi8(yy, ud), rgA, bbA);
    PairsToRgb(_mm256_unpackhi_epi8(yy, vd), _mm256_unpackhi_epi8(yy, ud), rgB, bbB);
    // Per block A gives 24 bytes as head 16 + tail 8, B as pre 8 + post 16;
    // tail and pre share a register, so three 32-byte stores cover the 96.
    const __m256i head = PickRgb(rgA, bbA, kRgbShuffle.head);
    const __m256i mid = _mm256_or_si256(PickRgb(rgA, bbA, kRgbShuffle.tail), PickRgb(rgB, bbB, kRgbShuffle.pre));
    const __m256i post = PickRgb(rgB, bbB, kRgbShuffle.post);
    uint8_t* out = rgb + 3 * x;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(head, mid, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), _mm256_permute2x128_si256(post, head, 0x30));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64), _mm256_permute2x128_si256(mid, post, 0x31));
  }
  return x;
}
#else
HWY_INLINE void StoreRgb(hn::Vec<D16> r, hn::Vec<D16> g, hn::Vec<D16> b, uint8_t* out) {
  const __m128i rg = _mm_packus_epi16(r.raw, g.raw);
  const __m128i bb = _mm_packus_epi16(b.raw, b.raw);
  auto pick = [&](const BlockShuffle& t) {
    return _mm_or_si128(_mm_shuffle_epi8(rg, _mm_load_si128(reinterpret_cast<const __m128i*>(t.rg))),
                        _mm_shuffle_epi8(bb, _mm_load_si128(reinterpret_cast<const __m128i*>(t.bb))));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), pick(kRgbShuffle.head));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), pick(kRgbShuffle.tail));
}
#endif
#endif

// Hides a constant's value so that the compiler keeps one multiply instead of
// expanding it into a longer chain of shifts and adds.
template <class V>
HWY_INLINE V Opaque(V v) {
  asm("" : "+v"(v.raw));
  return v;
}

// 298(Y-16) + k·chroma + 128 overflows 16 bits, so each channel is split into
// a multiple of 256 taken outside the shift plus a remainder that fits:
//   R = (Y' + 2E) + ((42Y' - 103E + 128) >> 8)
//   G = (Y' - E)  + ((42Y' - 100D + 48E + 128) >> 8)
//   B = (Y' + 2D) + ((42Y' + 4D + 128) >> 8)
// which is exactly the 32-bit formula with Y' = Y - 16.
template <int kStep>
HWY_INLINE size_t VectorRows(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                             const uint8_t* HWY_RESTRICT v, size_t x, size_t width, uint8_t* HWY_RESTRICT rgb) {
  const D16 d16;
  const D8 d8;
  const size_t lanes = hn::Lanes(d16);
  const auto k16 = hn::Set(d16, int16_t{16});
  const auto k128 = hn::Set(d16, int16_t{128});
  const auto k42 = Opaque(hn::Set(d16, int16_t{42}));
  const auto k103 = Opaque(hn::Set(d16, int16_t{103}));
  const auto k100 = Opaque(hn::Set(d16, int16_t{100}));
  const auto k48 = Opaque(hn::Set(d16, int16_t{48}));
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
#if HWY_TARGET == HWY_AVX2
    if (chromaStep == 1) x = PairRows<1>(y, u, v, w, rgb);
    if (chromaStep == 2) x = PairRows<2>(y, u, v, w, rgb);
#endif
    if (chromaStep == 1) x = VectorRows<1>(y, u, v, x, w, rgb);
    if (chromaStep == 2) x = VectorRows<2>(y, u, v, x, w, rgb);
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
