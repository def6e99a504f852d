#include "render/int8conv_vnni.h"

#include <cpuid.h>

#include <immintrin.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kernels/le_pool.h"
#include "render/le_domains.h"
#include "render/le_ort_kernel.h"

// Per-instruction-set regions: the same tile loop compiled once per target.
#define LE_PRAGMA(x) _Pragma(#x)
#if defined(__clang__)
#define LE_TARGET_BEGIN(t) LE_PRAGMA(clang attribute push(__attribute__((target(t))), apply_to = function))
#define LE_TARGET_END LE_PRAGMA(clang attribute pop)
#else
#define LE_TARGET_BEGIN(t) LE_PRAGMA(GCC push_options) LE_PRAGMA(GCC target(t))
#define LE_TARGET_END LE_PRAGMA(GCC pop_options)
#endif

namespace le {
namespace {

// Everything the convolution loops read; shapes are small enough for int.
struct ConvJob {
  const uint8_t* act;     // quantised X: [N][group][c4][H][W][4 channels]
  const int8_t* weights;  // packed: [group][ocBlocks][tap][c4][16 output channels] entries
  const int32_t* wsum;    // [Cout] sum of all weights
  const int32_t* tapSum;  // [Cout][kh * kw] sum over input channels
  const float* mul;       // [Cout] activation scale x weight scale
  const float* bias;      // [Cout]
  float* out;             // [N][Cout][OH][OW]
  int32_t zp;
  int h, w, oh, ow, kh, kw, sh, sw, pt, pl, dh, dw;
  int group, coutG, c4, ocBlocks;
};

inline int32_t load32(const void* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Fallback for processors without AVX2: one pixel at a time.
namespace scalar {
using V = int32_t;
using A = uint32_t;
constexpr int kLanes = 1, kOcTile = 16, kEntry = 4;
inline V zero() { return 0; }
inline V bcast(int32_t v) { return v; }
inline V loadFull(const uint8_t* p, int) { return load32(p); }
inline V loadPart(const uint8_t* p, int, unsigned m) { return m ? load32(p) : 0; }
inline A prep(V a) { return static_cast<uint32_t>(a); }
inline V dot(V acc, A a, const int8_t* w) {
  for (int i = 0; i < 4; ++i) acc += static_cast<int32_t>((a >> (8 * i)) & 255) * w[i];
  return acc;
}
inline V maskedAdd(V c, unsigned m, int32_t v) { return m ? c + v : c; }
inline void store(float* out, V acc, V corr, float mul, float bias, unsigned m) {
  if (m) *out = static_cast<float>(acc - corr) * mul + bias;
}
#include "render/int8conv_vnni.inc"
}  // namespace scalar

LE_TARGET_BEGIN("avx2")
// 8-pixel vectors, shared by the AVX2 and the AVX-VNNI sequences.
namespace ymm {
using V = __m256i;
constexpr int kLanes = 8, kOcTile = 8;
inline V zero() { return _mm256_setzero_si256(); }
inline V bcast(int32_t v) { return _mm256_set1_epi32(v); }
inline V laneMask(unsigned m) {
  const V bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(m)), bits), bits);
}
inline V laneOffsets(int step) { return _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), bcast(step)); }
inline V loadFull(const uint8_t* p, int step) {
  if (step == 4) return _mm256_loadu_si256(reinterpret_cast<const V*>(p));
  return _mm256_i32gather_epi32(reinterpret_cast<const int*>(p), laneOffsets(step), 1);
}
// Masked-off lanes read nothing and come back zero.
inline V loadPart(const uint8_t* p, int step, unsigned m) {
  if (step == 4) return _mm256_maskload_epi32(reinterpret_cast<const int*>(p), laneMask(m));
  return _mm256_mask_i32gather_epi32(zero(), reinterpret_cast<const int*>(p), laneOffsets(step), laneMask(m), 1);
}
inline V maskedAdd(V c, unsigned m, int32_t v) { return _mm256_add_epi32(c, _mm256_and_si256(laneMask(m), bcast(v))); }
inline void store(float* out, V acc, V corr, float mul, float bias, unsigned m) {
  const __m256 f = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(acc, corr)), _mm256_set1_ps(mul)),
                                 _mm256_set1_ps(bias));
  if (m == 0xFF)
    _mm256_storeu_ps(out, f);
  else
    _mm256_maskstore_ps(out, laneMask(m), f);
}
}  // namespace ymm

// vpmaddubsw would saturate its 16-bit pair sums, so the activation bytes are
// widened to 16 bits (even and odd channels apart) and multiplied with 16-bit
// weights by vpmaddwd, whose 32-bit pair sums are exact.
namespace avx2 {
using namespace ymm;
// Entry: the weights of channels 0, 2, 1, 3 as int16.
constexpr int kEntry = 8;
struct A {
  V even, odd;
};
inline A prep(V a) { return {_mm256_and_si256(a, _mm256_set1_epi32(0x00FF00FF)), _mm256_srli_epi16(a, 8)}; }
inline V dot(V acc, const A& a, const int8_t* w) {
  const V even = _mm256_madd_epi16(a.even, bcast(load32(w)));
  const V odd = _mm256_madd_epi16(a.odd, bcast(load32(w + 4)));
  return _mm256_add_epi32(acc, _mm256_add_epi32(even, odd));
}
#include "render/int8conv_vnni.inc"
}  // namespace avx2

// Folds the minimum and maximum of x into lo and hi.
void minmax_avx2(const float* x, size_t n, float& lo, float& hi) {
  __m256 vlo = _mm256_set1_ps(lo), vhi = _mm256_set1_ps(hi);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    vlo = _mm256_min_ps(vlo, v);
    vhi = _mm256_max_ps(vhi, v);
  }
  alignas(32) float l[8], h[8];
  _mm256_store_ps(l, vlo);
  _mm256_store_ps(h, vhi);
  for (int k = 0; k < 8; ++k) {
    lo = std::min(lo, l[k]);
    hi = std::max(hi, h[k]);
  }
  for (; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
}
LE_TARGET_END

LE_TARGET_BEGIN("avx2,avxvnni")
namespace avxvnni {
using namespace ymm;
constexpr int kEntry = 4;
using A = V;
inline A prep(V a) { return a; }
inline V dot(V acc, A a, const int8_t* w) { return _mm256_dpbusd_avx_epi32(acc, a, bcast(load32(w))); }
#include "render/int8conv_vnni.inc"
}  // namespace avxvnni
LE_TARGET_END

LE_TARGET_BEGIN("avx2,avx512f,avx512bw,avx512vl,avx512vnni")
namespace avx512vnni {
using V = __m512i;
using A = V;
constexpr int kLanes = 16, kOcTile = 16, kEntry = 4;
inline V zero() { return _mm512_setzero_si512(); }
inline V bcast(int32_t v) { return _mm512_set1_epi32(v); }
inline V laneOffsets(int step) {
  return _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), bcast(step));
}
// The masked forms stand in for the plain ones, whose undefined start values
// GCC 12 warns about.
inline V loadPart(const uint8_t* p, int step, unsigned m) {
  if (step == 4) return _mm512_maskz_loadu_epi32(static_cast<__mmask16>(m), p);
  return _mm512_mask_i32gather_epi32(zero(), static_cast<__mmask16>(m), laneOffsets(step), p, 1);
}
inline V loadFull(const uint8_t* p, int step) {
  if (step == 4) return _mm512_loadu_si512(p);
  return loadPart(p, step, 0xFFFF);
}
inline A prep(V a) { return a; }
// The weight broadcast folds into the instruction's memory operand.
inline V dot(V acc, A a, const int8_t* w) { return _mm512_dpbusd_epi32(acc, a, bcast(load32(w))); }
inline V maskedAdd(V c, unsigned m, int32_t v) {
  return _mm512_mask_add_epi32(c, static_cast<__mmask16>(m), c, bcast(v));
}
inline void store(float* out, V acc, V corr, float mul, float bias, unsigned m) {
  const __m512 sum = _mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_sub_epi32(acc, corr));
  const __m512 f = _mm512_add_ps(_mm512_mul_ps(sum, _mm512_set1_ps(mul)), _mm512_set1_ps(bias));
  _mm512_mask_storeu_ps(out, static_cast<__mmask16>(m), f);
}
#include "render/int8conv_vnni.inc"
}  // namespace avx512vnni
LE_TARGET_END

void minmaxScalar(const float* x, size_t n, float& lo, float& hi) {
  for (size_t i = 0; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
}

inline uint8_t quantise(float x, float scale, int32_t zp) {
  return static_cast<uint8_t>(std::clamp(static_cast<int32_t>(std::nearbyint(x / scale)) + zp, 0, 255));
}

// One 4-channel group: n pixels of up to four channel planes (null for a
// channel past the end, which quantises to 0) interleaved into dst.
void quantiseScalar(const float* const src[4], size_t n, float scale, int32_t zp, uint8_t* dst) {
  for (size_t i = 0; i < n; ++i)
    for (int c = 0; c < 4; ++c) dst[4 * i + c] = src[c] ? quantise(src[c][i], scale, zp) : 0;
}

__attribute__((target("avx2"))) void quantiseAvx2(const float* const src[4], size_t n, float scale, int32_t zp,
                                                  uint8_t* dst) {
  const __m256 vscale = _mm256_set1_ps(scale);
  const __m256i vzp = _mm256_set1_epi32(zp), vmax = _mm256_set1_epi32(255), vzero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256i packed = vzero;
    for (int c = 0; c < 4; ++c) {
      if (!src[c]) continue;
      // Rounds to nearest even, as nearbyint does.
      __m256i q = _mm256_cvtps_epi32(_mm256_div_ps(_mm256_loadu_ps(src[c] + i), vscale));
      q = _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(q, vzp), vzero), vmax);
      packed = _mm256_or_si256(packed, _mm256_sllv_epi32(q, _mm256_set1_epi32(8 * c)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * i), packed);
  }
  const float* rest[4];
  for (int c = 0; c < 4; ++c) rest[c] = src[c] ? src[c] + i : nullptr;
  quantiseScalar(rest, n - i, scale, zp, dst + 4 * i);
}

bool hasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// AVX-VNNI (the VEX form) is CPUID leaf 7, sub-leaf 1, EAX bit 4; not every
// compiler's feature builtin knows its name.
bool hasAvxVnni() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return hasAvx2() && __get_cpuid_count(7, 1, &eax, &ebx, &ecx, &edx) && (eax & (1u << 4));
}

// One per Int8Dot, in its order.
struct Variant {
  const char* name;
  bool (*supported)();
  void (*minmax)(const float*, size_t, float&, float&);
  void (*quantise)(const float* const*, size_t, float, int32_t, uint8_t*);
  void (*rows)(const ConvJob&, size_t, size_t);
  int entryBytes;
};

const Variant kVariants[] = {
    {"scalar", [] { return true; }, minmaxScalar, quantiseScalar, scalar::rows, scalar::kEntry},
    {"avx2", hasAvx2, minmax_avx2, quantiseAvx2, avx2::rows, avx2::kEntry},
    {"avxvnni", hasAvxVnni, minmax_avx2, quantiseAvx2, avxvnni::rows, avxvnni::kEntry},
    {"avx512vnni",
     [] {
       return hasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
              __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
     },
     minmax_avx2, quantiseAvx2, avx512vnni::rows, avx512vnni::kEntry},
};

const Variant& variantOf(Int8Dot dot) { return kVariants[static_cast<int>(dot)]; }

// Grain of the parallel min/max scan, in values.
constexpr size_t kScanGrain = 4096;

int toInt(int64_t v, const char* what) {
  if (v < 0 || v > (int64_t{1} << 30)) throw std::runtime_error(std::string("Int8ConvVNNI: bad ") + what);
  return static_cast<int>(v);
}

}  // namespace

struct Int8ConvKernel::Packed {
  std::vector<int64_t> wShape;
  int coutG = 0, cg = 0, c4 = 0, ocBlocks = 0;
  std::vector<int8_t> w;
  std::vector<int32_t> wsum, tapSum;
};

bool int8DotSupported(Int8Dot dot) { return variantOf(dot).supported(); }

Int8Dot bestInt8Dot() {
  for (Int8Dot d : {Int8Dot::Avx512Vnni, Int8Dot::AvxVnni, Int8Dot::Avx2})
    if (int8DotSupported(d)) return d;
  return Int8Dot::Scalar;
}

const char* int8DotName(Int8Dot dot) { return variantOf(dot).name; }

Int8ConvKernel::Int8ConvKernel(const Int8ConvAttrs& attrs, Int8Dot dot) : attrs_(attrs), dot_(dot) {
  if (!int8DotSupported(dot))
    throw std::runtime_error(std::string("Int8ConvVNNI: ") + int8DotName(dot) + " is not supported here");
  if (attrs_.strideH < 1 || attrs_.strideW < 1 || attrs_.dilationH < 1 || attrs_.dilationW < 1 || attrs_.group < 1 ||
      attrs_.padTop < 0 || attrs_.padLeft < 0 || attrs_.padBottom < 0 || attrs_.padRight < 0)
    throw std::runtime_error("Int8ConvVNNI: strides, dilations and group must be positive, pads not negative");
}

namespace {

Int8ConvAttrs attrsOf(const OrtKernelInfo* info) {
  const Ort::ConstKernelInfo ki(info);
  const auto strides = ki.GetAttributes<int64_t>("strides");
  const auto pads = ki.GetAttributes<int64_t>("pads");
  const auto dilations = ki.GetAttributes<int64_t>("dilations");
  Int8ConvAttrs a;
  a.group = ki.GetAttribute<int64_t>("group");
  if (strides.size() >= 2) a.strideH = strides[0], a.strideW = strides[1];
  if (pads.size() >= 4) a.padTop = pads[0], a.padLeft = pads[1], a.padBottom = pads[2], a.padRight = pads[3];
  if (dilations.size() >= 2) a.dilationH = dilations[0], a.dilationW = dilations[1];
  return a;
}

}  // namespace

Int8ConvKernel::Int8ConvKernel(const OrtKernelInfo* info) : Int8ConvKernel(attrsOf(info), bestInt8Dot()) {}

Int8ConvKernel::~Int8ConvKernel() = default;

std::vector<int64_t> Int8ConvKernel::outputShape(const std::vector<int64_t>& xs, const std::vector<int64_t>& ws) const {
  if (xs.size() != 4 || ws.size() != 4) throw std::runtime_error("Int8ConvVNNI: X and W must be 4-D");
  if (xs[1] != ws[1] * attrs_.group || ws[0] % attrs_.group != 0)
    throw std::runtime_error("Int8ConvVNNI: channels of X " + std::to_string(xs[1]) + " and W [" +
                             std::to_string(ws[0]) + ", " + std::to_string(ws[1]) + "] disagree with group " +
                             std::to_string(attrs_.group));
  const int64_t oh =
      (xs[2] + attrs_.padTop + attrs_.padBottom - attrs_.dilationH * (ws[2] - 1) - 1) / attrs_.strideH + 1;
  const int64_t ow =
      (xs[3] + attrs_.padLeft + attrs_.padRight - attrs_.dilationW * (ws[3] - 1) - 1) / attrs_.strideW + 1;
  if (oh < 1 || ow < 1) throw std::runtime_error("Int8ConvVNNI: kernel larger than the padded input");
  return {xs[0], ws[0], oh, ow};
}

void Int8ConvKernel::pack(const int8_t* w, const std::vector<int64_t>& ws) {
  auto p = std::make_unique<Packed>();
  const int cout = toInt(ws[0], "W shape"), cg = toInt(ws[1], "W shape");
  const int taps = toInt(ws[2] * ws[3], "W shape"), group = static_cast<int>(attrs_.group);
  p->wShape = ws;
  p->coutG = cout / group;
  p->cg = cg;
  p->c4 = (cg + 3) / 4;
  p->ocBlocks = (p->coutG + 15) / 16;
  const int entry = variantOf(dot_).entryBytes;
  p->w.assign(size_t(group) * p->ocBlocks * taps * p->c4 * 16 * entry, 0);
  p->wsum.assign(cout, 0);
  p->tapSum.assign(size_t(cout) * taps, 0);
  // Within an entry the AVX2 sequence wants channels 0, 2, 1, 3 as int16;
  // that order is its own inverse, so it also maps a channel to its slot.
  static constexpr int kInt16Order[4] = {0, 2, 1, 3};
  for (int oc = 0; oc < cout; ++oc) {
    const int g = oc / p->coutG, ocg = oc % p->coutG;
    for (int t = 0; t < taps; ++t)
      for (int ci = 0; ci < cg; ++ci) {
        const int8_t v = w[(size_t(oc) * cg + ci) * taps + t];
        p->wsum[oc] += v;
        p->tapSum[size_t(oc) * taps + t] += v;
        const size_t e = (((size_t(g) * p->ocBlocks + ocg / 16) * taps + t) * p->c4 + ci / 4) * 16 + ocg % 16;
        int8_t* dst = p->w.data() + e * entry;
        if (entry == 4) {
          dst[ci % 4] = v;
        } else {
          const int16_t wide = v;
          std::memcpy(dst + 2 * kInt16Order[ci % 4], &wide, 2);
        }
      }
  }
  packed_ = std::move(p);
}

void Int8ConvKernel::run(const float* x, const std::vector<int64_t>& xs, const int8_t* w,
                         const std::vector<int64_t>& ws, const float* wscale, const float* bias, float* out) {
  const std::vector<int64_t> os = outputShape(xs, ws);
  std::call_once(packOnce_, [&] { pack(w, ws); });
  const Packed& p = *packed_;
  if (p.wShape != ws) throw std::runtime_error("Int8ConvVNNI: W changed shape after its weights were packed");
  const Variant& v = variantOf(dot_);

  const int n = toInt(xs[0], "X shape"), h = toInt(xs[2], "X shape"), wd = toInt(xs[3], "X shape");
  const size_t count = size_t(n) * toInt(xs[1], "X shape") * h * wd;
  float lo = 0, hi = 0;
  if (pool::parts(count, kScanGrain) >= 2) {
    std::mutex m;
    pool::parallelRange(count, kScanGrain, [&](size_t b, size_t e) {
      float l = 0, u = 0;
      v.minmax(x + b, e - b, l, u);
      std::lock_guard lock(m);
      lo = std::min(lo, l);
      hi = std::max(hi, u);
    });
  } else {
    v.minmax(x, count, lo, hi);
  }
  float scale = (hi - lo) / 255.0f;
  if (!(scale > 0)) scale = 1.0f;
  const int32_t zp = std::clamp(static_cast<int32_t>(std::nearbyint(-lo / scale)), 0, 255);

  const int group = static_cast<int>(attrs_.group);
  const size_t plane = size_t(h) * wd;
  auto act = std::make_unique_for_overwrite<uint8_t[]>(size_t(n) * group * p.c4 * plane * 4);
  pool::parallelRange(size_t(n) * group * p.c4, 1, [&](size_t b, size_t e) {
    for (size_t item = b; item < e; ++item) {
      const size_t sample = item / (size_t(group) * p.c4), g = item / p.c4 % group, c = item % p.c4;
      const float* src[4];
      for (int k = 0; k < 4; ++k) {
        const size_t ci = c * 4 + k;
        src[k] = ci < size_t(p.cg) ? x + ((sample * group + g) * p.cg + ci) * plane : nullptr;
      }
      v.quantise(src, plane, scale, zp, act.get() + item * plane * 4);
    }
  });

  const int cout = toInt(ws[0], "W shape");
  std::vector<float> mul(cout);
  for (int oc = 0; oc < cout; ++oc) mul[oc] = scale * wscale[oc];
  const ConvJob job{act.get(),
                    p.w.data(),
                    p.wsum.data(),
                    p.tapSum.data(),
                    mul.data(),
                    bias,
                    out,
                    zp,
                    h,
                    wd,
                    toInt(os[2], "output shape"),
                    toInt(os[3], "output shape"),
                    toInt(ws[2], "W shape"),
                    toInt(ws[3], "W shape"),
                    toInt(attrs_.strideH, "strides"),
                    toInt(attrs_.strideW, "strides"),
                    toInt(attrs_.padTop, "pads"),
                    toInt(attrs_.padLeft, "pads"),
                    toInt(attrs_.dilationH, "dilations"),
                    toInt(attrs_.dilationW, "dilations"),
                    group,
                    p.coutG,
                    p.c4,
                    p.ocBlocks};
  pool::parallelRange(size_t(n) * job.oh, 1, [&](size_t b, size_t e) { v.rows(job, b, e); });
}

void Int8ConvKernel::Compute(OrtKernelContext* context) {
  const Ort::KernelContext ctx(context);
  const auto x = ctx.GetInput(0), w = ctx.GetInput(1), wscale = ctx.GetInput(2), bias = ctx.GetInput(3);
  const auto xs = x.GetTensorTypeAndShapeInfo().GetShape();
  const auto ws = w.GetTensorTypeAndShapeInfo().GetShape();
  const auto os = outputShape(xs, ws);
  if (wscale.GetTensorTypeAndShapeInfo().GetElementCount() != size_t(ws[0]) ||
      bias.GetTensorTypeAndShapeInfo().GetElementCount() != size_t(ws[0]))
    throw std::runtime_error("Int8ConvVNNI: weight scale and bias need " + std::to_string(ws[0]) + " values");
  auto y = ctx.GetOutput(0, os);
  run(x.GetTensorData<float>(), xs, w.GetTensorData<int8_t>(), ws, wscale.GetTensorData<float>(),
      bias.GetTensorData<float>(), y.GetTensorMutableData<float>());
}

OrtStatus* Int8ConvKernel::ComputeV2(OrtKernelContext* context) {
  return asStatus([&] { Compute(context); });
}

namespace {

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo* info, void** kernel) const {
    return asStatus([&] { *kernel = new Int8ConvKernel(info); });
  }
  const char* GetName() const { return "Int8ConvVNNI"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t index) const {
    return index == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

void int8DomainOps(Ort::CustomOpDomain& domain) {
  static const Int8ConvOp op;
  domain.Add(&op);
}

void registerInt8ConvVNNI(Ort::SessionOptions& options) { options.Add(*customDomains().int8); }

}  // namespace le
