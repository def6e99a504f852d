// The blend head of the teeth pass: at half resolution, three 3x3
// convolutions turn each candidate (with the frame and their difference) into
// a logit map; the maps are upsampled to the window, softmaxed across the
// candidates per pixel, and the candidates blended with those weights.
#include <algorithm>
#include <cmath>

#include "borrow/teeth_pass.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"

namespace le::tessera {

namespace {

constexpr int kInputs = 7;          // candidate RGB, frame RGB, mean |candidate - frame|
constexpr int kHidden = 16;         // channels of the two hidden layers
constexpr size_t kPixelGrain = 256;

// Mean of each 2x2 block of an RGB byte image (row stride `stride` pixels)
// into three planes of h2 x w2 values/255.
void pool2(const uint8_t* rgb, size_t stride, int32_t h2, int32_t w2, float* out) {
  const size_t plane = static_cast<size_t>(h2) * w2;
  for (int32_t y = 0; y < h2; ++y)
    for (int32_t x = 0; x < w2; ++x) {
      const uint8_t* p = rgb + (2 * y * stride + 2 * x) * 3;
      const uint8_t* q = p + stride * 3;
      for (int k = 0; k < 3; ++k)
        out[k * plane + static_cast<size_t>(y) * w2 + x] =
            (p[k] / 255.0f + p[3 + k] / 255.0f + q[k] / 255.0f + q[3 + k] / 255.0f) / 4.0f;
    }
}

void relu(float* v, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = std::max(v[i], 0.0f);
}

// Bilinear taps of a half-resolution axis for each full-resolution index,
// half-pixel centres, clamped at the edges.
struct Taps {
  std::vector<int32_t> lo, hi;
  std::vector<float> frac;
  Taps(int32_t full, int32_t half) : lo(full), hi(full), frac(full) {
    for (int32_t i = 0; i < full; ++i) {
      const float s = std::max((i + 0.5f) * 0.5f - 0.5f, 0.0f);
      lo[i] = std::min(static_cast<int32_t>(s), half - 1);
      hi[i] = std::min(lo[i] + 1, half - 1);
      frac[i] = s - static_cast<float>(lo[i]);
    }
  }
};

}  // namespace

void TeethPass::headForward(const Pending& p, size_t count) {
  const GeometryStamp& s = bank_.stamp;
  const int32_t h2 = s.window_h / 2, w2 = s.window_w / 2;
  const size_t plane = static_cast<size_t>(s.window_h) * s.window_w, half = static_cast<size_t>(h2) * w2;

  // The frame at the stamp's window: the donors, not the frame, carry the shift.
  std::vector<float> frame(3 * half);
  pool2(p.rgb.data() + (static_cast<size_t>(s.window_y0) * s.canvas_w + s.window_x0) * 3, s.canvas_w, h2, w2,
        frame.data());

  work_.logits.resize(count * half);
  pool::parallelRange(count, 1, [&](size_t b, size_t e) {
    // Per thread: one candidate's input and hidden maps, reused.
    thread_local std::vector<float> input, hidden1, hidden2;
    input.resize(kInputs * half);
    hidden1.resize(kHidden * half);
    hidden2.resize(kHidden * half);
    for (size_t c = b; c < e; ++c) {
      pool2(work_.windows.data() + c * plane * 3, s.window_w, h2, w2, input.data());
      std::copy(frame.begin(), frame.end(), input.begin() + 3 * half);
      for (size_t i = 0; i < half; ++i)
        input[6 * half + i] = (std::fabs(input[i] - frame[i]) + std::fabs(input[half + i] - frame[half + i]) +
                               std::fabs(input[2 * half + i] - frame[2 * half + i])) /
                              3.0f;
      simd::conv3x3Range(input.data(), 1, kInputs, h2, w2, head_.cand0_w.data(), head_.cand0_b.data(), kHidden,
                         hidden1.data(), 0, kHidden);
      relu(hidden1.data(), hidden1.size());
      simd::conv3x3Range(hidden1.data(), 1, kHidden, h2, w2, head_.cand2_w.data(), head_.cand2_b.data(), kHidden,
                         hidden2.data(), 0, kHidden);
      relu(hidden2.data(), hidden2.size());
      simd::conv3x3Range(hidden2.data(), 1, kHidden, h2, w2, head_.cand4_w.data(), head_.cand4_b.data(), 1,
                         work_.logits.data() + c * half, 0, 1);
    }
  });

  // Softmax across the candidates of the upsampled logits. A window too small
  // for a half-resolution map blends its candidates evenly.
  const Taps ty(s.window_h, h2), tx(s.window_w, w2);
  work_.weights.resize(plane * count);
  pool::parallelRange(plane, kPixelGrain, [&](size_t b, size_t e) {
    std::vector<float> v(count);
    for (size_t i = b; i < e; ++i) {
      const size_t y = i / s.window_w, x = i % s.window_w;
      float top = -INFINITY;
      for (size_t c = 0; c < count; ++c) {
        if (half == 0) {
          v[c] = 0.0f;
        } else {
          const float* L = work_.logits.data() + c * half;
          const float fy = ty.frac[y], fx = tx.frac[x];
          const float* r0 = L + static_cast<size_t>(ty.lo[y]) * w2;
          const float* r1 = L + static_cast<size_t>(ty.hi[y]) * w2;
          v[c] = (1.0f - fy) * ((1.0f - fx) * r0[tx.lo[x]] + fx * r0[tx.hi[x]]) +
                 fy * ((1.0f - fx) * r1[tx.lo[x]] + fx * r1[tx.hi[x]]);
        }
        top = std::max(top, v[c]);
      }
      float sum = 0.0f;
      for (size_t c = 0; c < count; ++c) {
        v[c] = std::exp(v[c] - top);
        sum += v[c];
      }
      for (size_t c = 0; c < count; ++c) work_.weights[i * count + c] = v[c] / sum;
    }
  });

  // Unsupported pixels keep the frame's own value.
  work_.blend.resize(3 * plane);
  const uint8_t* windows = work_.windows.data();
  pool::parallelRange(3 * plane, kPixelGrain, [&](size_t b, size_t e) {
    for (size_t j = b; j < e; ++j) {
      const size_t k = j / plane, i = j % plane;
      if (!work_.support[i]) {
        const size_t y = i / s.window_w, x = i % s.window_w;
        work_.blend[j] = p.rgb[((s.window_y0 + y) * s.canvas_w + s.window_x0 + x) * 3 + k] / 255.0f;
        continue;
      }
      const float* w = work_.weights.data() + i * count;
      float sum = 0.0f;
      for (size_t c = 0; c < count; ++c) sum += w[c] * (windows[(c * plane + i) * 3 + k] / 255.0f);
      work_.blend[j] = sum;
    }
  });
}

}  // namespace le::tessera
