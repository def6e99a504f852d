// Hand-vectorised inner loops, compiled for every x86 target Highway offers
// and dispatched once per process. Every variant gives the same bytes: fixed
// summation order, no fused multiply-add, round-to-nearest-even halves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace le::simd {

// One row of BT.601 limited-range 4:2:0 video to packed R,G,B. chromaStep is
// 1 for planar chroma rows, 2 for interleaved UV (u = uv, v = uv + 1).
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep, uint8_t* rgb);

// Packed RGB bytes to three f16 planes of value/255.
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* out, size_t planeStride, size_t count);

void f16ToF32(const uint16_t* in, float* out, size_t n);
void f32ToF16(const float* in, uint16_t* out, size_t n);

// Stride-1, zero-padded 3x3 convolution (NCHW) of output planes
// j = b*Cout + o in [begin, end). With relu, each output v then becomes
// v < 0 ? 0 : v (so -0 and NaN stay as they are).
void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                  float* out, int begin, int end, bool relu = false);
// The same for one image whose channel planes lie inPlane (input) and
// outPlane (output) elements apart, both at least H*W: output channel o in
// [begin, end) at out + o * outPlane. Planes a multiple of 4 KB apart would
// share the few cache sets their rows map to.
void conv3x3Planes(const float* in, size_t inPlane, int Cin, int H, int W, const float* weight, const float* bias,
                   float* out, size_t outPlane, int begin, int end, bool relu);

// One output row of the paste compositor: Lanczos-8 colour, bilinear mask.
void pasteLanczos8Row(const float* crop4, int side, const uint8_t* mask, const float* lanczosTable,
                      const float* bilinTable, const int* colX, const int* colY, int offX, int offY, int x0, int x1,
                      uint8_t* dstRow);

// Weighted mean-absolute-difference sums of the mouth-borrow retrieval.
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n);
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin, size_t end);
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n);
// Pooled sums of images laid out lane by lane: groups of kPooledGroup
// images, value (channel k, element i) of image j of group g at
// a[((g * n + i) * 3 + k) * kPooledGroup + j]. totals[g * kPooledGroup + j]
// is retrieveTermPooled of that image against b and w.
constexpr size_t kPooledGroup = 16;
void retrieveTermPooledGroups(const uint16_t* a, size_t groups, const uint16_t* b, const uint16_t* w, size_t n,
                              float* totals);
// totals[g] = retrieveTermExactRange(a[g], b, w, n, begin, end) for g in
// [0, count): the images share b and w, and their sums run side by side.
void retrieveTermExactRangeMany(const uint16_t* const* a, size_t count, const uint16_t* b, const float* w, size_t n,
                                size_t begin, size_t end, float* totals);

// The mouth-borrow blend head's per-pixel steps. Planar 3-channel images
// have plane stride n (or plane), each plane k starting at element k * n.

// Mean of each 2 x 2 block of packed RGB bytes (rows `stride` pixels apart)
// into three planes of h2 x w2: ((p00/255 + p01/255) + p10/255 + p11/255) / 4.
void pool2Rgb8(const uint8_t* rgb, size_t stride, size_t h2, size_t w2, float* out);
// out[i] = (|a0 - b0| + |a1 - b1| + |a2 - b2|) / 3 per pixel, summed in channel order.
void meanAbsDiff3(const float* a, const float* b, size_t n, float* out);
// out[x] = (1 - frac[x]) * in[lo[x]] + frac[x] * in[hi[x]].
void lerpTaps(const float* in, const int32_t* lo, const int32_t* hi, const float* frac, size_t n, float* out);
// out[x] = (1 - f) * a[x] + f * b[x].
void lerp(const float* a, const float* b, float f, size_t n, float* out);
// e^x for each value, within one unit in the last place of the exact value
// (NaN stays NaN).
void exponential(const float* in, float* out, size_t n);
// Softmax across count planes of stride `plane`, in place, for the pixels in
// [begin, end): subtract the largest value, exponentiate (as exponential
// does), divide by the sum taken in plane order.
void softmaxPlanes(float* v, size_t count, size_t plane, size_t begin, size_t end);
// out[k * outStride + i] = the sum in candidate order of
// w[c * wStride + i] * (rgb[c * rgbStride + 3 * i + k] / 255), for i in [begin, end).
void blendRgb8(const float* w, size_t wStride, const uint8_t* rgb, size_t rgbStride, size_t count, size_t begin,
               size_t end, float* out, size_t outStride);
// One row of the composite: with a = mask/255 and f = frame/255 per channel,
// out = rint(255 * clamp((1 - a) * f + a * blend, 0, 1)) as packed RGB.
void compositeRgb8(const uint8_t* frame, const uint8_t* mask, const float* blend, size_t planeStride, size_t n,
                   uint8_t* out);

// Highway's name of the best target the processor supports (compiled or not).
const char* target();

// Names of the targets compiled into this build, best first.
std::vector<std::string> compiledTargets();

// Test hook: forces each compiled target the processor supports in turn and
// calls fn with the name of the variant the entry points then run; restores
// the normal choice afterwards. Not thread-safe with concurrent kernel calls.
void forEachTarget(const std::function<void(const char*)>& fn);

}  // namespace le::simd

namespace le {
// Scalar f32 -> f16, round-to-nearest-even; any input whose exponent
// overflows binary16 (NaN included) becomes +-infinity.
uint16_t f32ToF16(float v);
// Exact f16 -> f32.
float f16ToF32(uint16_t h);
}  // namespace le
