// Plain scalar versions of the SIMD kernels, written straight from their
// definitions and independent of the kernels' own helpers; the tests compare
// every processor variant against them byte for byte.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace le::ref {

inline uint32_t bitsOf(float f) { return std::bit_cast<uint32_t>(f); }
inline float floatOf(uint32_t u) { return std::bit_cast<float>(u); }

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

inline void yuvRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step, uint8_t* rgb) {
  for (int x = 0; x < width; ++x, rgb += 3) {
    const int C = 298 * (y[x] - 16) + 128, D = u[(x >> 1) * step] - 128, E = v[(x >> 1) * step] - 128;
    rgb[0] = clamp255((C + 409 * E) >> 8);
    rgb[1] = clamp255((C - 100 * D - 208 * E) >> 8);
    rgb[2] = clamp255((C + 516 * D) >> 8);
  }
}

// binary16 by exact arithmetic in double: scale to an integer significand and
// round it with nearbyint (ties to even). NaN keeps its top payload bits and
// is quietened, as the F16C instructions do.
inline uint16_t toHalf(float f) {
  const uint32_t u = bitsOf(f);
  const uint16_t sign = (u >> 16) & 0x8000;
  if (std::isnan(f)) return sign | 0x7E00 | ((u >> 13) & 0x3FF);
  if (std::isinf(f)) return sign | 0x7C00;
  const double a = std::fabs(static_cast<double>(f));
  if (a < std::ldexp(1.0, -14)) return sign | static_cast<uint16_t>(std::nearbyint(a * std::ldexp(1.0, 24)));
  int e;
  std::frexp(a, &e);  // a = m * 2^e, m in [0.5, 1)
  e -= 1;             // a = s * 2^e, s in [1, 2)
  double s = std::nearbyint(std::ldexp(a, 10 - e));
  if (s == 2048.0) {
    s = 1024.0;
    ++e;
  }
  if (e > 15) return sign | 0x7C00;
  return sign | static_cast<uint16_t>(((e + 15) << 10) | (static_cast<int>(s) - 1024));
}

inline float fromHalf(uint16_t h) {
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  const int e = (h >> 10) & 31, m = h & 0x3FF;
  if (e == 31) return m == 0 ? sign * INFINITY : floatOf(((h & 0x8000u) << 16) | 0x7FC00000u | (m << 13));
  if (e == 0) return sign * std::ldexp(static_cast<float>(m), -24);
  return sign * std::ldexp(static_cast<float>(1024 + m), e - 25);
}

inline float h(float x) { return fromHalf(toHalf(x)); }

inline void conv3x3(const float* in, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                    float* out, int begin, int end) {
  for (int j = begin; j < end; ++j) {
    const int b = j / Cout, o = j % Cout;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        float s = 0.0f;
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx)
            for (int ci = 0; ci < Cin; ++ci) {
              const int iy = y + ky - 1, ix = x + kx - 1;
              if (iy < 0 || iy >= H || ix < 0 || ix >= W) continue;
              s += weight[((o * Cin + ci) * 3 + ky) * 3 + kx] * in[((b * Cin + ci) * H + iy) * W + ix];
            }
        out[(static_cast<size_t>(j) * H + y) * W + x] = bias[o] + s;
      }
  }
}

inline void pasteRow(const float* crop4, int side, const uint8_t* mask, const float* lanczos, const float* bilin,
                     const int* colX, const int* colY, int offX, int offY, int x0, int x1, uint8_t* dst) {
  auto maskAt = [&](int y, int x) -> float {
    return (y < 0 || x < 0 || y >= side || x >= side) ? 0.0f : mask[y * side + x];
  };
  for (int x = x0; x <= x1; ++x) {
    const int sx = colX[x - x0] + offX, sy = colY[x - x0] + offY;
    const int ix = sx >> 10, iy = sy >> 10, px = (sx >> 5) & 31, py = (sy >> 5) & 31;
    if (!(sx >= -1024 && sy >= -1024 && ix < side && iy < side)) continue;
    const float bx0 = bilin[2 * px], bx1 = bilin[2 * px + 1], by0 = bilin[2 * py], by1 = bilin[2 * py + 1];
    const float m = (maskAt(iy, ix) * bx0 + maskAt(iy, ix + 1) * bx1) * by0 +
                    (maskAt(iy + 1, ix) * bx0 + maskAt(iy + 1, ix + 1) * bx1) * by1;
    const float alpha = static_cast<float>(static_cast<int>(rintf(m))) / 255.0f;
    if (alpha <= 0) continue;
    for (int c = 0; c < 3; ++c) {
      float acc = 0.0f;
      for (int r = 0; r < 8; ++r) {
        const int yy = iy - 3 + r;
        if (yy < 0 || yy >= side) continue;
        float hr = 0.0f;
        for (int k = 0; k < 8; ++k) {
          const int xx = ix - 3 + k;
          if (xx >= 0 && xx < side) hr += lanczos[8 * px + k] * crop4[(yy * side + xx) * 4 + c];
        }
        acc += hr * lanczos[8 * py + r];
      }
      if (std::isnan(acc)) acc = 0.0f;  // a NaN colour composites as 0
      const float v = dst[3 * x + c] * (1 - alpha) + alpha * acc;
      dst[3 * x + c] = static_cast<uint8_t>(static_cast<int>(std::clamp(v, 0.0f, 255.0f)));
    }
  }
}

inline float meanAbsDiff(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float d[3];
  for (int k = 0; k < 3; ++k) d[k] = std::fabs(h(fromHalf(a[k * n + i]) - fromHalf(b[k * n + i])));
  return h((d[0] + d[1] + d[2]) / 3.0f);
}

inline float retrieveExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n, size_t begin, size_t end) {
  float total = 0.0f;
  for (size_t i = begin; i < end; ++i)
    if (w[i] != 0.0f) total += w[i] * meanAbsDiff(a, b, n, i);
  return total;
}

inline float retrievePooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float total = 0.0f;
  for (size_t i = 0; i < n; ++i) total += h(meanAbsDiff(a, b, n, i) * fromHalf(w[i]));
  return total;
}

inline void pool2Rgb8(const uint8_t* rgb, size_t stride, size_t h2, size_t w2, float* out) {
  for (size_t k = 0; k < 3; ++k)
    for (size_t y = 0; y < h2; ++y)
      for (size_t x = 0; x < w2; ++x) {
        float s = 0.0f;
        for (size_t dy = 0; dy < 2; ++dy)
          for (size_t dx = 0; dx < 2; ++dx) s += rgb[((2 * y + dy) * stride + 2 * x + dx) * 3 + k] / 255.0f;
        out[(k * h2 + y) * w2 + x] = s / 4.0f;
      }
}

inline void meanAbsDiff3(const float* a, const float* b, size_t n, float* out) {
  for (size_t i = 0; i < n; ++i)
    out[i] = (std::fabs(a[i] - b[i]) + std::fabs(a[n + i] - b[n + i]) + std::fabs(a[2 * n + i] - b[2 * n + i])) / 3.0f;
}

inline void relu(float* v, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = std::max(v[i], 0.0f);
}

inline void lerpTaps(const float* in, const int32_t* lo, const int32_t* hi, const float* frac, size_t n, float* out) {
  for (size_t x = 0; x < n; ++x) out[x] = (1.0f - frac[x]) * in[lo[x]] + frac[x] * in[hi[x]];
}

inline void lerp(const float* a, const float* b, float f, size_t n, float* out) {
  for (size_t x = 0; x < n; ++x) out[x] = (1.0f - f) * a[x] + f * b[x];
}

// e^x: reduction by n ln 2 (ln 2 in two parts), a degree-5 polynomial,
// then 2^n as two exponent-field scalings.
inline float exp(float x) {
  if (std::isnan(x)) return x;
  const float xc = std::min(std::max(x, -104.0f), 89.0f);
  const float n = std::nearbyint(xc * 1.44269504088896341f);
  const float r = (xc - n * 0.693359375f) - n * -2.12194440e-4f;
  const float p = (((((1.9875691500e-4f * r + 1.3981999507e-3f) * r + 8.3334519073e-3f) * r + 4.1665795894e-2f) * r +
                    1.6666665459e-1f) *
                       r +
                   5.0000001201e-1f) *
                      (r * r) +
                  r + 1.0f;
  const int k = static_cast<int>(n), half = k >> 1;
  return p * floatOf(static_cast<uint32_t>(half + 127) << 23) * floatOf(static_cast<uint32_t>(k - half + 127) << 23);
}

inline void softmaxPlanes(float* v, size_t count, size_t plane, size_t begin, size_t end) {
  std::vector<float> e(count);
  for (size_t i = begin; i < end; ++i) {
    float top = -INFINITY, sum = 0.0f;
    for (size_t c = 0; c < count; ++c) top = std::max(top, v[c * plane + i]);
    for (size_t c = 0; c < count; ++c) sum += e[c] = exp(v[c * plane + i] - top);
    for (size_t c = 0; c < count; ++c) v[c * plane + i] = e[c] / sum;
  }
}

inline void blendRgb8(const float* w, size_t wStride, const uint8_t* rgb, size_t rgbStride, size_t count, size_t begin,
                      size_t end, float* out, size_t outStride) {
  for (size_t k = 0; k < 3; ++k)
    for (size_t i = begin; i < end; ++i) {
      float s = 0.0f;
      for (size_t c = 0; c < count; ++c) s += w[c * wStride + i] * (rgb[c * rgbStride + i * 3 + k] / 255.0f);
      out[k * outStride + i] = s;
    }
}

inline void compositeRgb8(const uint8_t* frame, const uint8_t* mask, const float* blend, size_t planeStride, size_t n,
                          uint8_t* out) {
  for (size_t x = 0; x < n; ++x) {
    const float a = mask[x] / 255.0f;
    for (size_t k = 0; k < 3; ++k) {
      const float v = std::clamp((1.0f - a) * (frame[3 * x + k] / 255.0f) + a * blend[k * planeStride + x], 0.0f, 1.0f);
      out[3 * x + k] = static_cast<uint8_t>(std::clamp(std::rint(v * 255.0f), 0.0f, 255.0f));
    }
  }
}

}  // namespace le::ref
