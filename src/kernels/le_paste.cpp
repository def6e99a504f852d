#include "kernels/le_paste.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "kernels/le_checked.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"

namespace le {
namespace {

constexpr size_t kGrain = 64;

// Mirror without repeating the edge sample; clamped for kernels wider than
// the crop itself.
int reflect(int i, int S) {
  int r = std::abs(i);
  if (r >= S) r = 2 * S - 2 - r;
  return std::clamp(r, 0, S - 1);
}

int fastModeFromEnv() {
  const char* v = std::getenv("LE_PASTE_FAST");
  if (!v) return 0;
  const long m = std::strtol(v, nullptr, 10);
  return (m >= 0 && m <= 2) ? static_cast<int>(m) : 0;
}

// LE_PASTE_KSIZE may only shrink the kernel, and only to an odd length > 2.
int ksizeFromEnv(int ksize) {
  const char* v = std::getenv("LE_PASTE_KSIZE");
  if (!v) return ksize;
  const long k = std::strtol(v, nullptr, 10);
  return (k > 2 && (k & 1) && k <= ksize) ? static_cast<int>(k) : ksize;
}

// The blur's inner loops. Each output adds its taps in order k = 0..K-1,
// starting from 0, so every clone gives the same bits.
// ThreadSanitizer instruments the clones' resolver, which the loader runs
// before the sanitizer's runtime exists; that build takes the default clone.
#if defined(__SANITIZE_THREAD__)
#define LE_PASTE_CLONES
#else
#define LE_PASTE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

// Sixteen floats, lowered by each clone to the registers it has; moved in
// and out with memcpy since rows need not be aligned.
typedef float Float16 __attribute__((vector_size(64)));

// out[i] = sum_k g[k] * src[i + k*stride] for i in [0, n); 64 outputs at a
// time stay in registers across the taps.
LE_PASTE_CLONES void blurRange(const float* src, size_t stride, const float* g, int K, float* out, size_t n) {
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    Float16 acc[4] = {};
    for (int k = 0; k < K; ++k) {
      const float gk = g[k];
      const float* s = src + k * stride + i;
      for (int j = 0; j < 4; ++j) {
        Float16 v;
        std::memcpy(&v, s + 16 * j, sizeof v);
        acc[j] += gk * v;
      }
    }
    std::memcpy(out + i, acc, sizeof acc);
  }
  for (; i < n; ++i) {
    float acc = 0.0f;
    for (int k = 0; k < K; ++k) acc += g[k] * src[k * stride + i];
    out[i] = acc;
  }
}

// A crop value as the compositor reads it: scaled, and 0 where it is NaN.
inline float cropValue(float scale, float v) {
  const float s = scale * v;
  return s == s ? s : 0.0f;
}

// row[x] = clamp(keep * crop value - amount * blur[x]) to [0, 255], NaN (of
// infinite crop values) to 0, so that the blends only ever read bytes'
// worth of colour; src may be row.
LE_PASTE_CLONES void sharpenRow(const float* src, float scale, const float* blur, float keep, float amount, int n,
                                float* row) {
  for (int x = 0; x < n; ++x) {
    const float v = keep * cropValue(scale, src[x]) - amount * blur[x];
    row[x] = v > 0.0f ? std::min(v, 255.0f) : 0.0f;
  }
}

int clampToInt(double v) { return static_cast<int>(std::clamp(v, -2147483648.0, 2147483647.0)); }

}  // namespace

Paste::Paste(std::vector<uint8_t> mask, int side, const Unsharp& u)
    : S_(side), K_(u.ksize), amount_(u.amount), mask_(std::move(mask)) {
  if (side <= 0 || mask_.size() != static_cast<size_t>(side) * side) throw std::runtime_error("paste: mask size");
  if (K_ % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  if (K_ < 1) throw std::runtime_error("paste: ksize must be positive");
  fast_ = fastModeFromEnv();
  K_ = ksizeFromEnv(K_);
  size_t paddedBytes = 0;
  if (K_ > INT_MAX - S_ + 1 || !checkedProduct({static_cast<size_t>(S_) + K_ - 1, static_cast<size_t>(S_) + K_ - 1,
                                                sizeof(float)}, &paddedBytes))
    throw std::runtime_error("paste: ksize " + std::to_string(K_) + " on a crop of " + std::to_string(S_) +
                             " makes a padded plane that does not fit \u2014 refusing");
  P_ = S_ + K_ - 1;

  const int half = (K_ - 1) / 2;
  const double sigma = u.sigma;
  std::vector<double> g(K_);
  double sum = 0;
  for (int i = 0; i < K_; ++i) {
    const double t = i - half;
    g[i] = std::exp(-(t * t) / (2 * sigma * sigma));
    sum += g[i];
  }
  gauss_.resize(K_);
  for (int i = 0; i < K_; ++i) gauss_[i] = static_cast<float>(g[i] / sum);

  bilin_.resize(64);
  for (int p = 0; p < 32; ++p) {
    const float f = p / 32.0f;
    bilin_[2 * p] = 1 - f;
    bilin_[2 * p + 1] = f;
  }

  // Lanczos a=4 through one sin/cos pair per phase: sin of each tap's angle
  // is a fixed combination of sin and cos of the first.
  constexpr double r = 0.7071067811865476;
  constexpr double A[8] = {1, -r, 0, r, -1, r, 0, -r};
  constexpr double B[8] = {0, -r, 1, -r, 0, r, -1, r};
  lanczos_.assign(32 * 8, 0.0f);
  for (int p = 0; p < 32; ++p) {
    const double x = p / 32.0;
    float* taps = &lanczos_[8 * p];
    if (x < 1e-7) {
      taps[3] = 1;
      continue;
    }
    const double y0 = -(x + 3) * M_PI / 4;
    const double s0 = std::sin(y0), c0 = std::cos(y0);
    double c[8], total = 0;
    for (int k = 0; k < 8; ++k) {
      const double yk = (x + 3 - k) * M_PI / 4;
      c[k] = (A[k] * s0 + B[k] * c0) / (yk * yk);
      total += c[k];
    }
    for (int k = 0; k < 8; ++k) taps[k] = static_cast<float>(c[k] / total);
  }

  cubic_.resize(32 * 4);
  for (int p = 0; p < 32; ++p) {
    const double t = p / 32.0;
    const float w0 = static_cast<float>(((-0.75 * (t + 1) + 3.75) * (t + 1) - 6) * (t + 1) + 3);
    const float w1 = static_cast<float>((1.25 * t - 2.25) * t * t + 1);
    const float w2 = static_cast<float>((1.25 * (1 - t) - 2.25) * (1 - t) * (1 - t) + 1);
    cubic_[4 * p] = w0;
    cubic_[4 * p + 1] = w1;
    cubic_[4 * p + 2] = w2;
    cubic_[4 * p + 3] = static_cast<float>(1 - static_cast<double>(w0) - w1 - static_cast<double>(w2));
  }

  const size_t n = static_cast<size_t>(S_) * S_;
  for (auto& plane : planes_) plane.assign(n, 0.0f);
  padded_.assign(static_cast<size_t>(P_) * P_, 0.0f);
  filtered_.assign(static_cast<size_t>(P_) * P_, 0.0f);
  crop4_.assign(4 * n, 0.0f);
}

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  const float a = M[0], b = M[1], tx = M[2], c = M[3], d = M[4], ty = M[5];
  const double det = static_cast<double>(d) * a - static_cast<double>(b) * c;
  if (det == 0) return;

  // Footprint: the crop square grown by the Lanczos support.
  const float lo = -4.0f, hi = static_cast<float>(S_ + 3);
  const float cx[4] = {lo, hi, lo, hi}, cy[4] = {lo, lo, hi, hi};
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    const float X = (cx[i] * a + cy[i] * b) + tx;
    const float Y = (cx[i] * c + cy[i] * d) + ty;
    minX = std::min(minX, X);
    maxX = std::max(maxX, X);
    minY = std::min(minY, Y);
    maxY = std::max(maxY, Y);
  }
  if (!(minX <= maxX) || !(minY <= maxY)) return;  // NaN in M
  const int x0 = std::max(clampToInt(std::floor(minX)), 0);
  const int x1 = std::min(W - 1, clampToInt(std::ceil(maxX)));
  const int y0 = std::max(clampToInt(std::floor(minY)), 0);
  const int y1 = std::min(H - 1, clampToInt(std::ceil(maxY)));
  if (x1 < x0 || y1 < y0) return;

  const double inv = 1.0 / det;
  const size_t cols = static_cast<size_t>(x1 - x0) + 1;
  if (colX_.size() < cols) {
    colX_.resize(cols);
    colY_.resize(cols);
  }
  for (int X = x0; X <= x1; ++X) {
    colX_[X - x0] = static_cast<int>(std::rint(X * (d * inv) * 1024));
    colY_[X - x0] = static_cast<int>(std::rint(X * (-c * inv) * 1024));
  }

  static std::once_flag announced;
  std::call_once(announced, [&] {
    std::fprintf(stderr, "[le-paste] executor=%s (side=%d, ksize=%d, threads=%d) — 1080p frame\n", "cpu", S_, K_,
                 pool::threads());
  });

  const double p0 = -b * inv, p1 = a * inv;
  const double p2 = -(tx * (d * inv) + ty * p0);
  const double p3 = -(tx * (-c * inv) + ty * p1);
  // The planes are scaled as they are read. The Lanczos blend reads crop4:
  // the last plane's pass fills it row by row as soon as all three planes of
  // the row are final. The fast modes sample the planes themselves.
  const size_t n = static_cast<size_t>(S_) * S_;
  sharpen(crop, scale, planes_[0], false);
  sharpen(crop + n, scale, planes_[1], false);
  sharpen(crop + 2 * n, scale, planes_[2], fast_ == 0);
  if (fast_ != 0)
    blendFastRows(frame, W, x0, x1, y0, y1, p0, p1, p2, p3);
  else
    blendLanczosRows(frame, W, x0, x1, y0, y1, p0, p1, p2, p3);
}

void Paste::unsharpPlane(std::vector<float>& plane) { sharpen(plane.data(), 1.0f, plane, false); }

void Paste::sharpen(const float* source, float scale, std::vector<float>& plane, bool interleave) {
  if (S_ > 1024) throw std::runtime_error("paste: side > 1024");
  const int S = S_, K = K_, P = P_, r = K / 2;
  const float* g = gauss_.data();
  float* padded = padded_.data();
  float* filtered = filtered_.data();

  // Padded row y is source row reflect(y - r), itself mirrored at both ends;
  // it is blurred while still in cache. Of each filtered row only the first
  // S columns are read later, so only those are computed.
  pool::parallelRange(P, kGrain, [&](size_t b, size_t e) {
    for (size_t y = b; y < e; ++y) {
      const float* src = source + static_cast<size_t>(reflect(static_cast<int>(y) - r, S)) * S;
      float* dst = padded + y * P;
      for (int x = 0; x < r; ++x) dst[x] = cropValue(scale, src[reflect(x - r, S)]);
      for (int x = 0; x < S; ++x) dst[r + x] = cropValue(scale, src[x]);  // P = S + 2r
      for (int x = r + S; x < P; ++x) dst[x] = cropValue(scale, src[reflect(x - r, S)]);
      blurRange(dst, 1, g, K, filtered + y * P, S);
    }
  });

  const float keep = 1 + amount_, amount = amount_;
  pool::parallelRange(S, kGrain, [&](size_t b, size_t e) {
    float blur[1024];
    for (size_t y = b; y < e; ++y) {
      blurRange(filtered + y * P, P, g, K, blur, S);
      sharpenRow(source + y * S, scale, blur, keep, amount, S, plane.data() + y * S);
      if (interleave) interleaveRows(y, y + 1);
    }
  });
}

void Paste::interleaveRows(size_t b, size_t e) {
  const float* r = planes_[0].data();
  const float* g = planes_[1].data();
  const float* bl = planes_[2].data();
  float* out = crop4_.data();
  for (size_t i = b * S_; i < e * S_; ++i) {
    out[4 * i] = r[i];
    out[4 * i + 1] = g[i];
    out[4 * i + 2] = bl[i];
    out[4 * i + 3] = 0.0f;
  }
}

void Paste::blendLanczosRows(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double p0, double p1,
                             double p2, double p3) {
  pool::parallelRange(static_cast<size_t>(y1 - y0) + 1, kGrain, [&](size_t b, size_t e) {
    for (size_t row = b; row < e; ++row) {
      const int Y = y0 + static_cast<int>(row);
      const int offX = static_cast<int>(std::rint((Y * p0 + p2) * 1024)) + 16;
      const int offY = static_cast<int>(std::rint((Y * p1 + p3) * 1024)) + 16;
      simd::pasteLanczos8Row(crop4_.data(), S_, mask_.data(), lanczos_.data(), bilin_.data(), colX_.data(),
                             colY_.data(), offX, offY, x0, x1, frame + static_cast<size_t>(3) * W * Y);
    }
  });
}

// The fast modes share the Lanczos path's positions, skip rule, mask and
// blend, and differ only in how the colour is sampled.
void Paste::blendFastRows(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double p0, double p1, double p2,
                          double p3) {
  const int S = S_;
  const uint8_t* mask = mask_.data();
  auto inside = [&](int y, int x) { return x >= 0 && y >= 0 && x < S && y < S; };
  auto maskAt = [&](int y, int x) -> float { return inside(y, x) ? mask[static_cast<size_t>(y) * S + x] : 0.0f; };
  auto sample = [&](int ch, int y, int x) -> float { return planes_[ch][static_cast<size_t>(y) * S + x]; };

  pool::parallelRange(static_cast<size_t>(y1 - y0) + 1, kGrain, [&](size_t b, size_t e) {
    for (size_t row = b; row < e; ++row) {
      const int Y = y0 + static_cast<int>(row);
      const int offX = static_cast<int>(std::rint((Y * p0 + p2) * 1024)) + 16;
      const int offY = static_cast<int>(std::rint((Y * p1 + p3) * 1024)) + 16;
      uint8_t* dst = frame + static_cast<size_t>(3) * W * Y;
      for (int X = x0; X <= x1; ++X) {
        const int sx = colX_[X - x0] + offX, sy = colY_[X - x0] + offY;
        const int ix = sx >> 10, iy = sy >> 10;
        if (sx < -1024 || sy < -1024 || ix >= S || iy >= S) continue;
        const int px = (sx >> 5) & 31, py = (sy >> 5) & 31;
        const float bx0 = bilin_[2 * px], bx1 = bilin_[2 * px + 1];
        const float by0 = bilin_[2 * py], by1 = bilin_[2 * py + 1];
        const float m = (maskAt(iy, ix) * bx0 + maskAt(iy, ix + 1) * bx1) * by0 +
                        (maskAt(iy + 1, ix) * bx0 + maskAt(iy + 1, ix + 1) * bx1) * by1;
        const float alpha = static_cast<float>(static_cast<int>(std::rintf(m))) / 255.0f;
        if (alpha <= 0) continue;
        for (int ch = 0; ch < 3; ++ch) {
          float acc = 0;
          if (fast_ == 1) {
            const float* wx = &cubic_[4 * px];
            const float* wy = &cubic_[4 * py];
            for (int r = 0; r < 4; ++r) {
              const int yy = iy - 1 + r;
              float h = 0;
              for (int k = 0; k < 4; ++k) {
                const int xx = ix - 1 + k;
                if (inside(yy, xx)) h += wx[k] * sample(ch, yy, xx);
              }
              acc += h * wy[r];
            }
          } else {
            auto p = [&](int y, int x) { return inside(y, x) ? sample(ch, y, x) : 0.0f; };
            acc = (p(iy, ix) * bx0 + p(iy, ix + 1) * bx1) * by0 + (p(iy + 1, ix) * bx0 + p(iy + 1, ix + 1) * bx1) * by1;
          }
          const float v = dst[3 * X + ch] * (1 - alpha) + alpha * acc;
          dst[3 * X + ch] = static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f));
        }
      }
    }
  });
}

}  // namespace le
