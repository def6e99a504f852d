// Half-precision conversions, the 3x3 convolution and the retrieval sums,
// compiled once per processor target and dispatched by Highway.
#include <algorithm>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/le_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "kernels/le_simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D>
using HalfTag = hn::Rebind<uint16_t, D>;

// f32 -> binary16 bits, round-to-nearest-even, overflow to infinity,
// subnormals kept, NaN quietened with its top payload bits (what F16C does).
template <class DF>
HWY_INLINE hn::Vec<HalfTag<DF>> FloatToHalf(DF df, hn::Vec<DF> v) {
#if HWY_TARGET >= HWY_SSE4
  // No F16C here, and the library's emulation truncates: round in integers.
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto mag = hn::And(bits, hn::Set(du, 0x7FFFFFFFu));
  const auto imag = hn::BitCast(di, mag);
  const auto sign = hn::ShiftRight<16>(hn::Xor(bits, mag));
  // Rebias the exponent by -112 and add 0xFFF plus the kept lsb, so the carry
  // out of the dropped 13 bits rounds half to even (and 65520 up to inf).
  const auto odd = hn::And(hn::ShiftRight<13>(mag), hn::Set(du, 1u));
  const auto normal = hn::ShiftRight<13>(hn::Add(hn::Add(mag, hn::Set(du, 0xC8000FFFu)), odd));
  // Below 2^-14 the FPU does the rounding: adding 0.5 aligns the subnormal
  // result in the low mantissa bits.
  const auto half = hn::Set(df, 0.5f);
  const auto sub = hn::Sub(hn::BitCast(du, hn::Add(hn::BitCast(df, mag), half)), hn::BitCast(du, half));
  const auto nan = hn::Or(hn::Set(du, 0x7E00u), hn::And(hn::ShiftRight<13>(mag), hn::Set(du, 0x3FFu)));
  auto r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(imag, hn::Set(di, 0x7F800000))), nan, hn::Set(du, 0x7C00u));
  r = hn::IfThenElse(hn::RebindMask(du, hn::Lt(imag, hn::Set(di, 0x47800000))), normal, r);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Lt(imag, hn::Set(di, 0x38800000))), sub, r);
  return hn::DemoteTo(HalfTag<DF>(), hn::BitCast(di, hn::Or(r, sign)));
#else
  return hn::BitCast(HalfTag<DF>(), hn::DemoteTo(hn::Rebind<hwy::float16_t, DF>(), v));
#endif
}

// binary16 bits -> f32, exact; NaN quietened like F16C.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfToFloat(DF df, hn::Vec<HalfTag<DF>> h) {
#if HWY_TARGET >= HWY_SSE4
  // The library's emulation turns infinities and NaN into large finite values.
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto h32 = hn::PromoteTo(du, h);
  const auto shifted = hn::ShiftLeft<13>(hn::And(h32, hn::Set(du, 0x7FFFu)));
  const auto ishifted = hn::BitCast(di, shifted);
  const auto normal = hn::Add(shifted, hn::Set(du, 112u << 23));
  // Exponent all ones: infinity, or NaN when the mantissa is not zero.
  auto r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(ishifted, hn::Set(di, 0x0F7FFFFF))),
                          hn::Add(normal, hn::Set(du, 112u << 23)), normal);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(ishifted, hn::Set(di, 0x0F800000))), hn::Or(r, hn::Set(du, 0x00400000u)),
                     r);
  // Subnormals: place the mantissa under 2^-14 and subtract the implicit one.
  const auto magic = hn::Set(du, 113u << 23);
  const auto sub = hn::BitCast(du, hn::Sub(hn::BitCast(df, hn::Add(shifted, magic)), hn::BitCast(df, magic)));
  r = hn::IfThenElse(hn::RebindMask(du, hn::Lt(ishifted, hn::Set(di, 0x00800000))), sub, r);
  return hn::BitCast(df, hn::Or(r, hn::ShiftLeft<16>(hn::And(h32, hn::Set(du, 0x8000u)))));
#else
  return hn::PromoteTo(df, hn::BitCast(hn::Rebind<hwy::float16_t, DF>(), h));
#endif
}

// h(x): round to binary16 and widen back.
template <class DF>
HWY_INLINE hn::Vec<DF> RoundToHalf(DF df, hn::Vec<DF> v) {
  return HalfToFloat(df, FloatToHalf(df, v));
}

// Runs body(d, i) over [begin, end): whole vectors, then one lane at a time
// with the same code, so the tail rounds exactly like the body.
template <class Body>
HWY_INLINE void ForEachLane(size_t begin, size_t end, const Body& body) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  size_t i = begin;
  for (; i + lanes <= end; i += lanes) body(df, i);
  const hn::CappedTag<float, 1> d1;
  for (; i < end; ++i) body(d1, i);
}

void F16ToF32(const uint16_t* HWY_RESTRICT in, float* HWY_RESTRICT out, size_t n) {
  ForEachLane(0, n, [&](auto d, size_t i) { hn::StoreU(HalfToFloat(d, hn::LoadU(HalfTag<decltype(d)>(), in + i)), d, out + i); });
}

void F32ToF16(const float* HWY_RESTRICT in, uint16_t* HWY_RESTRICT out, size_t n) {
  ForEachLane(0, n, [&](auto d, size_t i) {
    hn::StoreU(FloatToHalf(d, hn::LoadU(d, in + i)), HalfTag<decltype(d)>(), out + i);
  });
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT out, size_t planeStride,
                     size_t count) {
  ForEachLane(0, count, [&](auto d, size_t i) {
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const hn::Rebind<int32_t, decltype(d)> di;
    const HalfTag<decltype(d)> dh;
    hn::Vec<decltype(d8)> c[3];
    hn::LoadInterleaved3(d8, rgb + 3 * i, c[0], c[1], c[2]);
    const auto k255 = hn::Set(d, 255.0f);
    for (size_t k = 0; k < 3; ++k)
      hn::StoreU(FloatToHalf(d, hn::Div(hn::ConvertTo(d, hn::PromoteTo(di, c[k])), k255)), dh,
                 out + k * planeStride + i);
  });
}

// One output value with every tap bounds-checked; the vector block adds the
// same products in the same order.
HWY_INLINE float Conv3x3At(const float* src, size_t plane, int Cin, int H, int W, const float* w, float bias,
                           int y, int x) {
  float s = 0.0f;
  for (int ky = 0; ky < 3; ++ky) {
    const int iy = y + ky - 1;
    if (iy < 0 || iy >= H) continue;
    for (int kx = 0; kx < 3; ++kx) {
      const int ix = x + kx - 1;
      if (ix < 0 || ix >= W) continue;
      const float* p = src + static_cast<size_t>(iy) * W + ix;
      for (int ci = 0; ci < Cin; ++ci) s += w[(ci * 3 + ky) * 3 + kx] * p[ci * plane];
    }
  }
  return bias + s;
}

constexpr int kConvBlock = 32;

// Planes o0..o0+G-1 of one batch item, G at a time so that each input load
// feeds G output channels. Interior columns run in 32-column blocks (the last
// block may overlap the previous one: it recomputes the same values).
template <size_t G>
HWY_INLINE void ConvPlanes(const float* src, size_t plane, int Cin, int H, int W, const float* weight,
                           const float* bias, int o0, float* dst) {
  const hn::ScalableTag<float> df;
  constexpr size_t kVecs = kConvBlock / HWY_LANES(float);
  const size_t lanes = hn::Lanes(df);
  const float* w[G];
  for (size_t g = 0; g < G; ++g) w[g] = weight + static_cast<size_t>(o0 + g) * Cin * 9;
  for (int y = 0; y < H; ++y) {
    auto scalarAt = [&](int x) {
      for (size_t g = 0; g < G; ++g)
        dst[g * plane + static_cast<size_t>(y) * W + x] = Conv3x3At(src, plane, Cin, H, W, w[g], bias[o0 + g], y, x);
    };
    int done = 0;
    if (W > kConvBlock + 1) {
      scalarAt(0);
      for (int x = 1; x < W - 1; x += kConvBlock) {
        const int bx = std::min(x, W - 1 - kConvBlock);
        hn::Vec<decltype(df)> acc[G][kVecs];
        for (auto& ag : acc)
          for (auto& a : ag) a = hn::Zero(df);
        for (int ky = 0; ky < 3; ++ky) {
          const int iy = y + ky - 1;
          if (iy < 0 || iy >= H) continue;
          for (int kx = 0; kx < 3; ++kx) {
            const float* p = src + static_cast<size_t>(iy) * W + bx + kx - 1;
            for (int ci = 0; ci < Cin; ++ci) {
              const float* pc = p + ci * plane;
              hn::Vec<decltype(df)> in[kVecs];
              for (size_t v = 0; v < kVecs; ++v) in[v] = hn::LoadU(df, pc + v * lanes);
              for (size_t g = 0; g < G; ++g) {
                const auto wv = hn::Set(df, w[g][(ci * 3 + ky) * 3 + kx]);
                for (size_t v = 0; v < kVecs; ++v) acc[g][v] = hn::Add(acc[g][v], hn::Mul(wv, in[v]));
              }
            }
          }
        }
        for (size_t g = 0; g < G; ++g) {
          const auto b = hn::Set(df, bias[o0 + g]);
          float* row = dst + g * plane + static_cast<size_t>(y) * W + bx;
          for (size_t v = 0; v < kVecs; ++v) hn::StoreU(hn::Add(b, acc[g][v]), df, row + v * lanes);
        }
      }
      done = W - 1;
    }
    for (int x = done; x < W; ++x) scalarAt(x);
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, int /*N*/, int Cin, int H, int W, const float* HWY_RESTRICT weight,
                  const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, int begin, int end) {
  // Eight accumulators' worth of output channels per pass.
  constexpr size_t kGroup = HWY_MAX(size_t{1}, 8 * HWY_LANES(float) / kConvBlock);
  const size_t plane = static_cast<size_t>(H) * W;
  for (int j = begin; j < end;) {
    const int o = j % Cout;
    const float* src = in + static_cast<size_t>(j / Cout) * Cin * plane;
    float* dst = out + static_cast<size_t>(j) * plane;
    if (o + static_cast<int>(kGroup) <= Cout && j + static_cast<int>(kGroup) <= end) {
      ConvPlanes<kGroup>(src, plane, Cin, H, W, weight, bias, o, dst);
      j += kGroup;
    } else {
      ConvPlanes<1>(src, plane, Cin, H, W, weight, bias, o, dst);
      ++j;
    }
  }
}

// m = h((|h(a0-b0)| + |h(a1-b1)| + |h(a2-b2)|) / 3) for the lanes at i.
template <class DF>
HWY_INLINE hn::Vec<DF> MeanAbsDiff(DF df, const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  const HalfTag<DF> dh;
  hn::Vec<DF> d[3];
  for (size_t k = 0; k < 3; ++k) {
    const auto ak = HalfToFloat(df, hn::LoadU(dh, a + k * n + i));
    const auto bk = HalfToFloat(df, hn::LoadU(dh, b + k * n + i));
    d[k] = hn::Abs(RoundToHalf(df, hn::Sub(ak, bk)));
  }
  return RoundToHalf(df, hn::Div(hn::Add(hn::Add(d[0], d[1]), d[2]), hn::Set(df, 3.0f)));
}

// Adds the per-pixel terms of one vector into total in index order.
template <class DF>
HWY_INLINE void AddInOrder(DF df, hn::Vec<DF> terms, float& total) {
  HWY_ALIGN float t[hn::MaxLanes(hn::ScalableTag<float>())];
  hn::Store(terms, df, t);
  for (size_t l = 0; l < hn::Lanes(df); ++l) total += t[l];
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t n, size_t begin, size_t end) {
  float total = 0.0f;
  ForEachLane(begin, end, [&](auto d, size_t i) {
    const auto wv = hn::LoadU(d, w + i);
    // A zero weight drops the pixel even when m is NaN; adding +0 to a sum
    // that started at +0 changes nothing.
    AddInOrder(d, hn::IfThenElseZero(hn::Ne(wv, hn::Zero(d)), hn::Mul(wv, MeanAbsDiff(d, a, b, n, i))), total);
  });
  return total;
}

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, size_t n) {
  float total = 0.0f;
  ForEachLane(0, n, [&](auto d, size_t i) {
    const auto wv = HalfToFloat(d, hn::LoadU(HalfTag<decltype(d)>(), w + i));
    AddInOrder(d, RoundToHalf(d, hn::Mul(MeanAbsDiff(d, a, b, n, i), wv)), total);
  });
  return total;
}

const char* ActiveTarget() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(F16ToF32);
HWY_EXPORT(F32ToF16);
HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(Conv3x3Range);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(ActiveTarget);

void f16ToF32(const uint16_t* in, float* out, size_t n) { HWY_DYNAMIC_DISPATCH(F16ToF32)(in, out, n); }

void f32ToF16(const float* in, uint16_t* out, size_t n) { HWY_DYNAMIC_DISPATCH(F32ToF16)(in, out, n); }

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* out, size_t planeStride, size_t count) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, out, planeStride, count);
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                  float* out, int begin, int end) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weight, bias, Cout, out, begin, end);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return retrieveTermExactRange(a, b, w, n, 0, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                             size_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

const char* target() {
  const int64_t supported = hwy::SupportedTargets();
  return hwy::TargetName(supported & -supported);
}

std::vector<std::string> compiledTargets() {
  std::vector<std::string> names;
  // Lower bits are better targets.
  for (int64_t bits = HWY_TARGETS; bits != 0; bits &= bits - 1) names.emplace_back(hwy::TargetName(bits & -bits));
  return names;
}

void forEachTarget(const std::function<void(const char*)>& fn) {
  struct Restore {
    ~Restore() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  for (const int64_t t : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(t);
    fn(HWY_DYNAMIC_DISPATCH(ActiveTarget)());
  }
}

}  // namespace le::simd

namespace le {

uint16_t f32ToF16(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const uint32_t mag = bits & 0x7FFFFFFFu;
  const auto sign = static_cast<uint16_t>((bits ^ mag) >> 16);
  if (mag >= 0x47800000u) return sign | 0x7C00u;  // NaN too
  if (mag < 0x38800000u) {
    // Subnormal result: the FPU rounds when 0.5 aligns the mantissa.
    float f;
    std::memcpy(&f, &mag, sizeof f);
    f += 0.5f;
    uint32_t r;
    std::memcpy(&r, &f, sizeof r);
    return sign | static_cast<uint16_t>(r - 0x3F000000u);
  }
  return sign | static_cast<uint16_t>((mag + 0xC8000FFFu + ((mag >> 13) & 1u)) >> 13);
}

float f16ToF32(uint16_t h) {
  float out;
  simd::f16ToF32(&h, &out, 1);
  return out;
}

}  // namespace le
#endif  // HWY_ONCE
