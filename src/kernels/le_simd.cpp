// Half-precision conversions, the 3x3 convolution, the retrieval sums and
// the blend head's per-pixel steps, compiled once per processor target and
// dispatched by Highway.
#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

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
  ForEachLane(0, n, [&](auto d, size_t i) {
    hn::StoreU(HalfToFloat(d, hn::LoadU(HalfTag<decltype(d)>(), in + i)), d, out + i);
  });
}

void F32ToF16(const float* HWY_RESTRICT in, uint16_t* HWY_RESTRICT out, size_t n) {
  ForEachLane(0, n, [&](auto d, size_t i) {
    hn::StoreU(FloatToHalf(d, hn::LoadU(d, in + i)), HalfTag<decltype(d)>(), out + i);
  });
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT out, size_t planeStride, size_t count) {
  ForEachLane(0, count, [&](auto d, size_t i) {
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const hn::Rebind<int32_t, decltype(d)> di;
    const HalfTag<decltype(d)> dh;
    hn::Vec<decltype(d8)> c[3];
    hn::LoadInterleaved3(d8, rgb + 3 * i, c[0], c[1], c[2]);
    // For a byte, v * (1/255) can miss v / 255 by a bit of f32 but never
    // lands on the other side of an f16 rounding: the product is cheaper.
    const auto inv255 = hn::Set(d, 1.0f / 255.0f);
    for (size_t k = 0; k < 3; ++k)
      hn::StoreU(FloatToHalf(d, hn::Mul(hn::ConvertTo(d, hn::PromoteTo(di, c[k])), inv255)), dh,
                 out + k * planeStride + i);
  });
}

// One output value with every tap bounds-checked, for planes narrower than a
// vector and for the edge columns of channels with non-finite weights.
HWY_INLINE float Conv3x3At(const float* src, size_t plane, int Cin, int H, int W, const float* w, float bias, int y,
                           int x) {
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

// Lane i takes lane i - 1 of v, lane 0 becomes 0.
template <class D>
HWY_INLINE hn::Vec<D> ShiftUpOne(D d, hn::Vec<D> v) {
  const hn::RebindToSigned<D> di;
  const auto idx = hn::Max(hn::Sub(hn::Iota(di, 0), hn::Set(di, 1)), hn::Zero(di));
  return hn::IfThenZeroElse(hn::FirstN(d, 1), hn::TableLookupLanes(v, hn::IndicesFromVec(d, idx)));
}

// Lane i takes lane i + 1 of v, the last lane becomes 0.
template <class D>
HWY_INLINE hn::Vec<D> ShiftDownOne(D d, hn::Vec<D> v) {
  const hn::RebindToSigned<D> di;
  const int32_t last = static_cast<int32_t>(hn::Lanes(d)) - 1;
  const auto idx = hn::Min(hn::Iota(di, 1), hn::Set(di, last));
  return hn::IfThenElseZero(hn::FirstN(d, hn::Lanes(d) - 1), hn::TableLookupLanes(v, hn::IndicesFromVec(d, idx)));
}

// The target's vector registers hold a block's accumulators, its inputs and
// the broadcast weight.
constexpr size_t kVecRegs = HWY_TARGET <= HWY_AVX3 ? 32 : 16;
// Column vectors per block for G output channels: G accumulators and one
// input per vector, plus the weight.
template <size_t G>
constexpr size_t kMaxVecs = HWY_MIN(size_t{8}, (kVecRegs - 1) / (G + 1));
// Output channels fed by each input load.
constexpr size_t kConvGroup = HWY_TARGET <= HWY_AVX3 ? 8 : 4;
// A channel left over from the groups does one multiply per load, and one
// row's few accumulators would leave the adder waiting on its latency: it
// computes kConvRows rows at once instead, in blocks of up to kRowVecs
// vectors (the accumulators, one input and three weights in registers).
constexpr size_t kConvRows = HWY_TARGET <= HWY_AVX3 ? 4 : 3;
constexpr size_t kRowVecs = (kVecRegs - 5) / kConvRows;

// The one batch item's input rows and the first row of output being computed.
struct ConvRow {
  const float* src;  // channel 0 of the batch item
  size_t plane;      // elements between input channels
  size_t outPlane;   // elements between output channels
  int Cin, H, W, y;
};

// The convolution's lambdas hold its accumulators: inlined, they stay in
// registers.
#ifndef LE_INLINE_LAMBDA
#define LE_INLINE_LAMBDA __attribute__((always_inline))
#endif

// Which vector of a block reads past an image edge at a tap column: none, the
// first one's lane 0 (column -1) or the last one's top lane (column W).
enum class Edge { kNone, kLeft, kRight };

// Vector v of one tap column of a channel's input row: loaded from column
// base + v * lanes, the last one from base + last. Offsets fixed at compile
// time keep the addresses down to one register per input row. An edge vector is loaded inside the
// image and shifted by a lane, so the outside column reads 0: a finite weight
// times 0 is +-0, and adding that to a sum leaves it as it was (sums start
// at +0, so they are never -0).
template <size_t V, Edge kEdge, class D>
HWY_INLINE hn::Vec<D> TapVector(D d, const float* row, int base, int last, size_t v) {
  if (v + 1 == V) {
    const auto in = hn::LoadU(d, row + (base + last));
    if (kEdge == Edge::kRight) return ShiftDownOne(d, in);
    return kEdge == Edge::kLeft && V == 1 ? ShiftUpOne(d, in) : in;
  }
  if (v == 0 && kEdge == Edge::kLeft) return ShiftUpOne(d, hn::LoadU(d, row + (base + 1)));
  return hn::LoadU(d, row + (base + static_cast<int>(v * hn::Lanes(d))));
}

// TapVector's base and last offsets for tap column kx of a block whose vector
// v starts at column x0 + v * lanes, the last one at column xl: edge vectors
// read one column further in. Calls taps.template operator()<kEdge>(base, last).
template <size_t V, class Taps>
HWY_INLINE void ForTapColumn(int kx, int x0, int xl, bool leftEdge, bool rightEdge, const Taps& taps) {
  const int base = x0 + kx - 1, last = xl - x0;
  if (kx == 0 && leftEdge)
    taps.template operator()<Edge::kLeft>(base, V == 1 ? last + 1 : last);
  else if (kx == 2 && rightEdge)
    taps.template operator()<Edge::kRight>(base, last - 1);
  else
    taps.template operator()<Edge::kNone>(base, last);
}

// bias + one output row's sums (through relu when asked) to the block's columns.
template <size_t V, class D>
HWY_INLINE void StoreSums(D d, const hn::Vec<D> (&acc)[V], float bias, bool relu, int x0, int xl, float* dst) {
  const auto b = hn::Set(d, bias);
#pragma GCC unroll 8
  for (size_t v = 0; v < V; ++v) {
    auto s = hn::Add(b, acc[v]);
    if (relu) s = hn::IfThenZeroElse(hn::Lt(s, hn::Zero(d)), s);
    hn::StoreU(s, d, dst + (v + 1 < V ? x0 + static_cast<int>(v * hn::Lanes(d)) : xl));
  }
}

// Sets a block's accumulators to +0.
template <size_t A, size_t B, class D>
HWY_INLINE void ZeroAll(D d, hn::Vec<D> (&acc)[A][B]) {
#pragma GCC unroll 8
  for (size_t a = 0; a < A; ++a)
#pragma GCC unroll 8
    for (size_t b = 0; b < B; ++b) acc[a][b] = hn::Zero(d);
}

// Keeps v in a register. The compiler would otherwise fold its load into
// each multiply that uses it, loading it again for every one.
template <class V>
HWY_INLINE void KeepInRegister(V& v) {
#if HWY_ARCH_X86 && HWY_TARGET != HWY_EMU128 && HWY_TARGET != HWY_SCALAR
  asm("" : "+v"(v.raw));
#else
  (void)v;
#endif
}

// Output channels o..o+G-1 of row r.y at V column vectors: vector v starts
// at column x0 + v * lanes, the last one at column xl. Each value sums its
// taps in the reference order: ky, then kx, then ci.
template <size_t G, size_t V, class D>
HWY_INLINE void ConvBlock(D d, const ConvRow& r, const float* weight, const float* bias, int o, int x0, int xl,
                          bool leftEdge, bool rightEdge, bool relu, float* out) {
  hn::Vec<D> acc[G][V];
  ZeroAll(d, acc);
  const float* w[G];
  for (size_t g = 0; g < G; ++g) w[g] = weight + static_cast<size_t>(o + g) * r.Cin * 9;
  for (int ky = 0; ky < 3; ++ky) {
    const int iy = r.y + ky - 1;
    if (iy < 0 || iy >= r.H) continue;
    const float* row = r.src + static_cast<size_t>(iy) * r.W;
    for (int kx = 0; kx < 3; ++kx)
      ForTapColumn<V>(kx, x0, xl, leftEdge, rightEdge, [&]<Edge kEdge>(int base, int last) LE_INLINE_LAMBDA {
        for (int ci = 0; ci < r.Cin; ++ci) {
          const float* p = row + ci * r.plane;
          hn::Vec<D> in[V];
#pragma GCC unroll 8
          for (size_t v = 0; v < V; ++v) in[v] = TapVector<V, kEdge>(d, p, base, last, v);
          const int k = (ci * 3 + ky) * 3 + kx;
#pragma GCC unroll 8
          for (size_t g = 0; g < G; ++g) {
            const auto wv = hn::Set(d, w[g][k]);
#pragma GCC unroll 8
            for (size_t v = 0; v < V; ++v) acc[g][v] = hn::Add(acc[g][v], hn::Mul(wv, in[v]));
          }
        }
      });
  }
#pragma GCC unroll 8
  for (size_t g = 0; g < G; ++g)
    StoreSums(d, acc[g], bias[o + g], relu, x0, xl, out + g * r.outPlane + static_cast<size_t>(r.y) * r.W);
}

// Output channel o of rows r.y..r.y+R-1, every tap row of which lies inside
// the image, at the columns of ConvBlock. Input row r.y - 1 + j is tap row
// j - i of output row i, so one load feeds up to three rows; taking j
// upwards still gives each output its taps in ky, kx, ci order.
template <size_t R, size_t V, class D>
HWY_INLINE void ConvRowsBlock(D d, const ConvRow& r, const float* weight, const float* bias, int o, int x0, int xl,
                              bool leftEdge, bool rightEdge, bool relu, float* out) {
  hn::Vec<D> acc[R][V];
  ZeroAll(d, acc);
  const float* w = weight + static_cast<size_t>(o) * r.Cin * 9;
  const auto inputRow = [&]<size_t J>() LE_INLINE_LAMBDA {
    constexpr size_t i0 = J >= 2 ? J - 2 : 0, i1 = HWY_MIN(J, R - 1);
    const float* row = r.src + static_cast<size_t>(r.y - 1 + static_cast<int>(J)) * r.W;
    for (int kx = 0; kx < 3; ++kx)
      ForTapColumn<V>(kx, x0, xl, leftEdge, rightEdge, [&]<Edge kEdge>(int base, int last) LE_INLINE_LAMBDA {
        for (int ci = 0; ci < r.Cin; ++ci) {
          const float* p = row + ci * r.plane;
          hn::Vec<D> wv[i1 - i0 + 1];
#pragma GCC unroll 3
          for (size_t i = i0; i <= i1; ++i) wv[i - i0] = hn::Set(d, w[(ci * 3 + J - i) * 3 + kx]);
#pragma GCC unroll 8
          for (size_t v = 0; v < V; ++v) {
            auto in = TapVector<V, kEdge>(d, p, base, last, v);
            KeepInRegister(in);
#pragma GCC unroll 3
            for (size_t i = i0; i <= i1; ++i) acc[i][v] = hn::Add(acc[i][v], hn::Mul(wv[i - i0], in));
          }
        }
      });
  };
  [&]<size_t... J>(std::index_sequence<J...>) LE_INLINE_LAMBDA { (inputRow.template operator()<J>(), ...); }
  (std::make_index_sequence<R + 2>());
#pragma GCC unroll 8
  for (size_t i = 0; i < R; ++i)
    StoreSums(d, acc[i], bias[o], relu, x0, xl, out + static_cast<size_t>(r.y + static_cast<int>(i)) * r.W);
}

// Calls block.template operator()<V>() with V = vecs, for vecs in 1..kMax.
template <size_t kMax, class Block>
HWY_INLINE void WithVecs(size_t vecs, const Block& block) {
  if constexpr (kMax > 1) {
    if (vecs < kMax) return WithVecs<kMax - 1>(vecs, block);
  }
  block.template operator()<kMax>();
}

// Output channels o0..o1-1 of one batch item, kConvRows rows (1 next to the
// top and bottom edges) at a time so the input rows stay in cache for every
// channel. Groups of kConvGroup channels go a row at a time, a channel left
// over all the rows at once. Each row is split evenly into blocks of whole
// vectors; the last vector ends at column W - 1 and may overlap the one
// before it (it recomputes the same values).
void ConvChannels(const ConvRow& base, const float* weight, const float* bias, int o0, int o1, bool relu, float* out) {
  const hn::ScalableTag<float> d;
  const int lanes = static_cast<int>(hn::Lanes(d));
  const int W = base.W, H = base.H, nv = (W + lanes - 1) / lanes;
  const auto forBlocks = [&](int maxVecs, const auto& block) {
    const int blocks = (nv + maxVecs - 1) / maxVecs;
    for (int k = 0, v0 = 0; k < blocks; ++k) {
      const int vecs = nv / blocks + (k < nv % blocks);
      block(static_cast<size_t>(vecs), v0 * lanes, std::min((v0 + vecs - 1) * lanes, W - lanes), v0 == 0,
            v0 + vecs == nv);
      v0 += vecs;
    }
  };
  constexpr int kRows = static_cast<int>(kConvRows);
  for (int y = 0; y < H;) {
    const bool inside = y >= 1 && y + kRows <= H - 1;
    ConvRow r = base;
    for (int o = o0; o < o1;) {
      float* dst = out + static_cast<size_t>(o - o0) * base.outPlane;
      if (o + static_cast<int>(kConvGroup) <= o1) {
        for (r.y = y; r.y < y + (inside ? kRows : 1); ++r.y)
          forBlocks(kMaxVecs<kConvGroup>, [&](size_t vecs, int x0, int xl, bool left, bool right) {
            WithVecs<kMaxVecs<kConvGroup>>(vecs, [&]<size_t V>() {
              ConvBlock<kConvGroup, V>(d, r, weight, bias, o, x0, xl, left, right, relu, dst);
            });
          });
        o += kConvGroup;
      } else {
        r.y = y;
        forBlocks(kRowVecs, [&](size_t vecs, int x0, int xl, bool left, bool right) {
          WithVecs<kRowVecs>(vecs, [&]<size_t V>() {
            if (inside)
              ConvRowsBlock<kConvRows, V>(d, r, weight, bias, o, x0, xl, left, right, relu, dst);
            else
              ConvBlock<1, V>(d, r, weight, bias, o, x0, xl, left, right, relu, dst);
          });
        });
        o += 1;
      }
    }
    y += inside ? kRows : 1;
  }
}

// True when none of the n values is infinite or NaN.
HWY_INLINE bool AllFinite(const float* p, size_t n) {
  bool finite = true;
  ForEachLane(0, n, [&](auto d, size_t i) { finite = finite && hn::AllTrue(d, hn::IsFinite(hn::LoadU(d, p + i))); });
  return finite;
}

// Output channels o0..o1-1 of one image, channel o's plane at
// out + (o - o0) * r.outPlane.
void ConvImage(const ConvRow& r, const float* weight, const float* bias, int o0, int o1, bool relu, float* out) {
  const bool vectors = r.W >= static_cast<int>(hn::Lanes(hn::ScalableTag<float>()));
  if (vectors) ConvChannels(r, weight, bias, o0, o1, relu, out);
  float* dst = out;
  for (int o = o0; o < o1; ++o, dst += r.outPlane) {
    const float* w = weight + static_cast<size_t>(o) * r.Cin * 9;
    const auto at = [&](int y, int x) {
      const float v = Conv3x3At(r.src, r.plane, r.Cin, r.H, r.W, w, bias[o], y, x);
      dst[static_cast<size_t>(y) * r.W + x] = relu && v < 0.0f ? 0.0f : v;
    };
    if (!vectors) {
      for (int y = 0; y < r.H; ++y)
        for (int x = 0; x < r.W; ++x) at(y, x);
    } else if (!AllFinite(w, static_cast<size_t>(r.Cin) * 9)) {
      // A non-finite weight times the 0 read outside the image is NaN,
      // where the skipped tap adds nothing: redo the two edge columns.
      for (int y = 0; y < r.H; ++y) {
        at(y, 0);
        at(y, r.W - 1);
      }
    }
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, int /*N*/, int Cin, int H, int W, const float* HWY_RESTRICT weight,
                  const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, int begin, int end, bool relu) {
  const size_t plane = static_cast<size_t>(H) * W;
  // Runs of output channels within one batch item.
  for (int j = begin; j < end;) {
    const int b = j / Cout, o0 = j % Cout, o1 = std::min(Cout, o0 + (end - j));
    ConvImage({in + static_cast<size_t>(b) * Cin * plane, plane, plane, Cin, H, W, 0}, weight, bias, o0, o1, relu,
              out + static_cast<size_t>(j) * plane);
    j += o1 - o0;
  }
}

void Conv3x3Planes(const float* HWY_RESTRICT in, size_t inPlane, int Cin, int H, int W,
                   const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, float* HWY_RESTRICT out,
                   size_t outPlane, int begin, int end, bool relu) {
  if (begin >= end) return;
  ConvImage({in, inPlane, outPlane, Cin, H, W, 0}, weight, bias, begin, end, relu,
            out + static_cast<size_t>(begin) * outPlane);
}

// m = h((|h(a0-b0)| + |h(a1-b1)| + |h(a2-b2)|) / 3) per lane, from the
// three channels' widened halves.
template <class DF>
HWY_INLINE hn::Vec<DF> MeanAbsDiffOf(DF df, const hn::Vec<DF>* a, const hn::Vec<DF>* b) {
  hn::Vec<DF> d[3];
  for (size_t k = 0; k < 3; ++k) d[k] = hn::Abs(RoundToHalf(df, hn::Sub(a[k], b[k])));
  return RoundToHalf(df, hn::Div(hn::Add(hn::Add(d[0], d[1]), d[2]), hn::Set(df, 3.0f)));
}

// The three channels of a planar half image at the lanes at i, widened.
template <class DF>
HWY_INLINE void LoadHalves(DF df, const uint16_t* p, size_t n, size_t i, hn::Vec<DF>* out) {
  for (size_t k = 0; k < 3; ++k) out[k] = HalfToFloat(df, hn::LoadU(HalfTag<DF>(), p + k * n + i));
}

// MeanAbsDiffOf for the lanes at i of planar images.
template <class DF>
HWY_INLINE hn::Vec<DF> MeanAbsDiff(DF df, const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  hn::Vec<DF> fa[3], fb[3];
  LoadHalves(df, a, n, i, fa);
  LoadHalves(df, b, n, i, fb);
  return MeanAbsDiffOf(df, fa, fb);
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

float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b, const uint16_t* HWY_RESTRICT w,
                         size_t n) {
  float total = 0.0f;
  ForEachLane(0, n, [&](auto d, size_t i) {
    const auto wv = HalfToFloat(d, hn::LoadU(HalfTag<decltype(d)>(), w + i));
    AddInOrder(d, RoundToHalf(d, hn::Mul(MeanAbsDiff(d, a, b, n, i), wv)), total);
  });
  return total;
}

// One group of G images. A pixel's float addition has a four-cycle latency;
// G independent sums keep the adder busy while each stays in index order.
template <size_t G>
HWY_INLINE void ExactGroup(const uint16_t* const* a, const uint16_t* b, const float* w, size_t n, size_t begin,
                           size_t end, float* totals) {
  float total[G] = {};
  HWY_ALIGN float terms[G][hn::MaxLanes(hn::ScalableTag<float>())];
  ForEachLane(begin, end, [&](auto d, size_t i) {
    const auto wv = hn::LoadU(d, w + i);
    const auto on = hn::Ne(wv, hn::Zero(d));
    // Only +0 terms here: they leave every sum as it is.
    if (hn::AllFalse(d, on)) return;
    hn::Vec<decltype(d)> fb[3], fa[3];
    LoadHalves(d, b, n, i, fb);
    for (size_t g = 0; g < G; ++g) {
      LoadHalves(d, a[g], n, i, fa);
      hn::Store(hn::Mul(wv, MeanAbsDiffOf(d, fa, fb)), d, terms[g]);
    }
    // The weighted lanes in order; the others would add +0.
    uint8_t bytes[8] = {};
    hn::StoreMaskBits(d, on, bytes);
    uint64_t bits;
    std::memcpy(&bits, bytes, sizeof bits);
    for (; bits != 0; bits &= bits - 1)
      for (size_t g = 0; g < G; ++g) total[g] += terms[g][std::countr_zero(bits)];
  });
  std::copy_n(total, G, totals);
}

void RetrieveTermExactRangeMany(const uint16_t* const* HWY_RESTRICT a, size_t count, const uint16_t* HWY_RESTRICT b,
                                const float* HWY_RESTRICT w, size_t n, size_t begin, size_t end,
                                float* HWY_RESTRICT totals) {
  constexpr size_t kGroup = 8;
  size_t g = 0;
  for (; g + kGroup <= count; g += kGroup) ExactGroup<kGroup>(a + g, b, w, n, begin, end, totals + g);
  for (; g < count; ++g) ExactGroup<1>(a + g, b, w, n, begin, end, totals + g);
}

// One lane per image: each lane's sum runs in index order on its own, so
// no vector is ever summed across.
void RetrieveTermPooledGroups(const uint16_t* HWY_RESTRICT a, size_t groups, const uint16_t* HWY_RESTRICT b,
                              const uint16_t* HWY_RESTRICT w, size_t n, float* HWY_RESTRICT totals) {
  const hn::CappedTag<float, kPooledGroup> d;
  const HalfTag<decltype(d)> dh;
  for (size_t g = 0; g < groups; ++g)
    for (size_t j = 0; j < kPooledGroup; j += hn::Lanes(d)) {
      const uint16_t* p = a + g * n * 3 * kPooledGroup + j;
      auto total = hn::Zero(d);
      for (size_t i = 0; i < n; ++i, p += 3 * kPooledGroup) {
        hn::Vec<decltype(d)> fa[3], fb[3];
        for (size_t k = 0; k < 3; ++k) {
          fa[k] = HalfToFloat(d, hn::LoadU(dh, p + k * kPooledGroup));
          fb[k] = HalfToFloat(d, hn::Set(dh, b[k * n + i]));
        }
        const auto wv = HalfToFloat(d, hn::Set(dh, w[i]));
        total = hn::Add(total, RoundToHalf(d, hn::Mul(MeanAbsDiffOf(d, fa, fb), wv)));
      }
      hn::StoreU(total, d, totals + g * kPooledGroup + j);
    }
}

// Bytes to value/255, as the scalar division does it.
template <class DF>
HWY_INLINE hn::Vec<DF> UnitFromBytes(DF df, hn::Vec<hn::Rebind<uint8_t, DF>> v) {
  return hn::Div(hn::ConvertTo(df, hn::PromoteTo(hn::Rebind<int32_t, DF>(), v)), hn::Set(df, 255.0f));
}

void Pool2Rgb8(const uint8_t* HWY_RESTRICT rgb, size_t stride, size_t h2, size_t w2, float* HWY_RESTRICT out) {
  const size_t plane = h2 * w2;
  const hn::ScalableTag<float> d;
  const hn::Rebind<uint8_t, decltype(d)> d8;
  const size_t lanes = hn::Lanes(d);
  for (size_t y = 0; y < h2; ++y) {
    const uint8_t* top = rgb + 2 * y * stride * 3;
    const uint8_t* bottom = top + stride * 3;
    float* o = out + y * w2;
    size_t x = 0;
    for (; x + lanes <= w2; x += lanes) {
      // Columns 2x .. 2x + 2 lanes - 1 of both rows, split into even and odd.
      hn::Vec<decltype(d)> even[2][3], odd[2][3];
      for (size_t r = 0; r < 2; ++r) {
        const uint8_t* p = (r ? bottom : top) + 6 * x;
        hn::Vec<decltype(d8)> lo[3], hi[3];
        hn::LoadInterleaved3(d8, p, lo[0], lo[1], lo[2]);
        hn::LoadInterleaved3(d8, p + 3 * lanes, hi[0], hi[1], hi[2]);
        for (size_t k = 0; k < 3; ++k) {
          const auto a = UnitFromBytes(d, lo[k]), b = UnitFromBytes(d, hi[k]);
          even[r][k] = hn::ConcatEven(d, b, a);
          odd[r][k] = hn::ConcatOdd(d, b, a);
        }
      }
      for (size_t k = 0; k < 3; ++k) {
        const auto sum = hn::Add(hn::Add(hn::Add(even[0][k], odd[0][k]), even[1][k]), odd[1][k]);
        hn::StoreU(hn::Div(sum, hn::Set(d, 4.0f)), d, o + k * plane + x);
      }
    }
    for (; x < w2; ++x) {
      const uint8_t* p = top + 6 * x;
      const uint8_t* q = bottom + 6 * x;
      for (size_t k = 0; k < 3; ++k)
        o[k * plane + x] = (p[k] / 255.0f + p[3 + k] / 255.0f + q[k] / 255.0f + q[3 + k] / 255.0f) / 4.0f;
    }
  }
}

void MeanAbsDiff3(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, size_t n, float* HWY_RESTRICT out) {
  ForEachLane(0, n, [&](auto d, size_t i) {
    hn::Vec<decltype(d)> diff[3];
    for (size_t k = 0; k < 3; ++k) diff[k] = hn::Abs(hn::Sub(hn::LoadU(d, a + k * n + i), hn::LoadU(d, b + k * n + i)));
    hn::StoreU(hn::Div(hn::Add(hn::Add(diff[0], diff[1]), diff[2]), hn::Set(d, 3.0f)), d, out + i);
  });
}

void LerpTaps(const float* HWY_RESTRICT in, const int32_t* HWY_RESTRICT lo, const int32_t* HWY_RESTRICT hi,
              const float* HWY_RESTRICT frac, size_t n, float* HWY_RESTRICT out) {
  ForEachLane(0, n, [&](auto d, size_t i) {
    const hn::Rebind<int32_t, decltype(d)> di;
    const auto f = hn::LoadU(d, frac + i);
    const auto a = hn::GatherIndex(d, in, hn::LoadU(di, lo + i));
    const auto b = hn::GatherIndex(d, in, hn::LoadU(di, hi + i));
    hn::StoreU(hn::Add(hn::Mul(hn::Sub(hn::Set(d, 1.0f), f), a), hn::Mul(f, b)), d, out + i);
  });
}

void Lerp(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, float f, size_t n, float* HWY_RESTRICT out) {
  const float g = 1.0f - f;
  ForEachLane(0, n, [&](auto d, size_t i) {
    hn::StoreU(hn::Add(hn::Mul(hn::Set(d, g), hn::LoadU(d, a + i)), hn::Mul(hn::Set(d, f), hn::LoadU(d, b + i))), d,
               out + i);
  });
}

// e^x within one unit in the last place, the same bits on every target:
// x - n ln 2 in two parts, a degree-5 polynomial, and 2^n applied in two
// halves so that a subnormal result rounds once.
template <class DF>
HWY_INLINE hn::Vec<DF> Exp(DF df, hn::Vec<DF> x) {
  const hn::RebindToSigned<DF> di;
  // Beyond these e^x is 0 or infinite; inside, 2^n stays within reach.
  const auto xc = hn::Min(hn::Max(x, hn::Set(df, -104.0f)), hn::Set(df, 89.0f));
  const auto n = hn::Round(hn::Mul(xc, hn::Set(df, 1.44269504088896341f)));
  const auto r = hn::Sub(hn::Sub(xc, hn::Mul(n, hn::Set(df, 0.693359375f))), hn::Mul(n, hn::Set(df, -2.12194440e-4f)));
  auto p = hn::Set(df, 1.9875691500e-4f);
  for (const float c : {1.3981999507e-3f, 8.3334519073e-3f, 4.1665795894e-2f, 1.6666665459e-1f, 5.0000001201e-1f})
    p = hn::Add(hn::Mul(p, r), hn::Set(df, c));
  p = hn::Add(hn::Add(hn::Mul(p, hn::Mul(r, r)), r), hn::Set(df, 1.0f));
  const auto k = hn::ConvertTo(di, n);
  const auto half = hn::ShiftRight<1>(k);
  const auto pow2 = [&](hn::Vec<decltype(di)> e) {
    return hn::BitCast(df, hn::ShiftLeft<23>(hn::Add(e, hn::Set(di, 127))));
  };
  return hn::IfThenElse(hn::IsNaN(x), x, hn::Mul(hn::Mul(p, pow2(half)), pow2(hn::Sub(k, half))));
}

void Exponential(const float* HWY_RESTRICT in, float* HWY_RESTRICT out, size_t n) {
  ForEachLane(0, n, [&](auto d, size_t i) { hn::StoreU(Exp(d, hn::LoadU(d, in + i)), d, out + i); });
}

void SoftmaxPlanes(float* HWY_RESTRICT v, size_t count, size_t plane, size_t begin, size_t end) {
  ForEachLane(begin, end, [&](auto d, size_t i) {
    // Which NaN or signed zero the maximum keeps does not matter: a NaN
    // spoils the sum, and exp(+-0) is 1.
    auto top = hn::Set(d, -INFINITY);
    for (size_t c = 0; c < count; ++c) top = hn::Max(top, hn::LoadU(d, v + c * plane + i));
    auto sum = hn::Zero(d);
    for (size_t c = 0; c < count; ++c) {
      const auto e = Exp(d, hn::Sub(hn::LoadU(d, v + c * plane + i), top));
      hn::StoreU(e, d, v + c * plane + i);
      sum = hn::Add(sum, e);
    }
    for (size_t c = 0; c < count; ++c) hn::StoreU(hn::Div(hn::LoadU(d, v + c * plane + i), sum), d, v + c * plane + i);
  });
}

void BlendRgb8(const float* HWY_RESTRICT w, size_t wStride, const uint8_t* HWY_RESTRICT rgb, size_t rgbStride,
               size_t count, size_t begin, size_t end, float* HWY_RESTRICT out, size_t outStride) {
  ForEachLane(begin, end, [&](auto d, size_t i) {
    const hn::Rebind<uint8_t, decltype(d)> d8;
    hn::Vec<decltype(d)> acc[3] = {hn::Zero(d), hn::Zero(d), hn::Zero(d)};
    for (size_t c = 0; c < count; ++c) {
      const auto wv = hn::LoadU(d, w + c * wStride + i);
      hn::Vec<decltype(d8)> px[3];
      hn::LoadInterleaved3(d8, rgb + c * rgbStride + 3 * i, px[0], px[1], px[2]);
      for (size_t k = 0; k < 3; ++k) acc[k] = hn::Add(acc[k], hn::Mul(wv, UnitFromBytes(d, px[k])));
    }
    for (size_t k = 0; k < 3; ++k) hn::StoreU(acc[k], d, out + k * outStride + i);
  });
}

void CompositeRgb8(const uint8_t* HWY_RESTRICT frame, const uint8_t* HWY_RESTRICT mask, const float* HWY_RESTRICT blend,
                   size_t planeStride, size_t n, uint8_t* HWY_RESTRICT out) {
  ForEachLane(0, n, [&](auto d, size_t i) {
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const hn::Rebind<int32_t, decltype(d)> di;
    const auto a = UnitFromBytes(d, hn::LoadU(d8, mask + i));
    const auto keep = hn::Sub(hn::Set(d, 1.0f), a);
    hn::Vec<decltype(d8)> px[3];
    hn::LoadInterleaved3(d8, frame + 3 * i, px[0], px[1], px[2]);
    for (size_t k = 0; k < 3; ++k) {
      auto v = hn::Add(hn::Mul(keep, UnitFromBytes(d, px[k])), hn::Mul(a, hn::LoadU(d, blend + k * planeStride + i)));
      v = hn::Min(hn::Max(v, hn::Zero(d)), hn::Set(d, 1.0f));
      // v * 255 is within 0..255 already; Round is rint's ties-to-even.
      px[k] = hn::DemoteTo(d8, hn::ConvertTo(di, hn::Round(hn::Mul(v, hn::Set(d, 255.0f)))));
    }
    hn::StoreInterleaved3(px[0], px[1], px[2], d8, out + 3 * i);
  });
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
HWY_EXPORT(Conv3x3Planes);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExactRangeMany);
HWY_EXPORT(RetrieveTermPooledGroups);
HWY_EXPORT(Pool2Rgb8);
HWY_EXPORT(MeanAbsDiff3);
HWY_EXPORT(LerpTaps);
HWY_EXPORT(Lerp);
HWY_EXPORT(Exponential);
HWY_EXPORT(SoftmaxPlanes);
HWY_EXPORT(BlendRgb8);
HWY_EXPORT(CompositeRgb8);
HWY_EXPORT(ActiveTarget);

void f16ToF32(const uint16_t* in, float* out, size_t n) { HWY_DYNAMIC_DISPATCH(F16ToF32)(in, out, n); }

void f32ToF16(const float* in, uint16_t* out, size_t n) { HWY_DYNAMIC_DISPATCH(F32ToF16)(in, out, n); }

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* out, size_t planeStride, size_t count) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, out, planeStride, count);
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                  float* out, int begin, int end, bool relu) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weight, bias, Cout, out, begin, end, relu);
}

void conv3x3Planes(const float* in, size_t inPlane, int Cin, int H, int W, const float* weight, const float* bias,
                   float* out, size_t outPlane, int begin, int end, bool relu) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Planes)(in, inPlane, Cin, H, W, weight, bias, out, outPlane, begin, end, relu);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return retrieveTermExactRange(a, b, w, n, 0, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin, size_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, begin, end);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

void retrieveTermExactRangeMany(const uint16_t* const* a, size_t count, const uint16_t* b, const float* w, size_t n,
                                size_t begin, size_t end, float* totals) {
  HWY_DYNAMIC_DISPATCH(RetrieveTermExactRangeMany)(a, count, b, w, n, begin, end, totals);
}

void retrieveTermPooledGroups(const uint16_t* a, size_t groups, const uint16_t* b, const uint16_t* w, size_t n,
                              float* totals) {
  HWY_DYNAMIC_DISPATCH(RetrieveTermPooledGroups)(a, groups, b, w, n, totals);
}

void pool2Rgb8(const uint8_t* rgb, size_t stride, size_t h2, size_t w2, float* out) {
  HWY_DYNAMIC_DISPATCH(Pool2Rgb8)(rgb, stride, h2, w2, out);
}

void meanAbsDiff3(const float* a, const float* b, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(MeanAbsDiff3)(a, b, n, out);
}

void lerpTaps(const float* in, const int32_t* lo, const int32_t* hi, const float* frac, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(LerpTaps)(in, lo, hi, frac, n, out);
}

void lerp(const float* a, const float* b, float f, size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(Lerp)(a, b, f, n, out);
}

void exponential(const float* in, float* out, size_t n) { HWY_DYNAMIC_DISPATCH(Exponential)(in, out, n); }

void softmaxPlanes(float* v, size_t count, size_t plane, size_t begin, size_t end) {
  HWY_DYNAMIC_DISPATCH(SoftmaxPlanes)(v, count, plane, begin, end);
}

void blendRgb8(const float* w, size_t wStride, const uint8_t* rgb, size_t rgbStride, size_t count, size_t begin,
               size_t end, float* out, size_t outStride) {
  HWY_DYNAMIC_DISPATCH(BlendRgb8)(w, wStride, rgb, rgbStride, count, begin, end, out, outStride);
}

void compositeRgb8(const uint8_t* frame, const uint8_t* mask, const float* blend, size_t planeStride, size_t n,
                   uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(CompositeRgb8)(frame, mask, blend, planeStride, n, out);
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
