// The blend head of the teeth pass: at half resolution, three 3x3
// convolutions turn each candidate (with the frame and their difference) into
// a logit map; the maps are upsampled to the window, softmaxed across the
// candidates per pixel, and the candidates blended with those weights.
#include <algorithm>

#include "borrow/teeth_pass.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"

namespace le::tessera {

namespace {

constexpr int kInputs = 7;   // candidate RGB, frame RGB, mean |candidate - frame|
constexpr int kHidden = 16;  // channels of the two hidden layers
constexpr size_t kPixelGrain = 256;

// Elements between the hidden maps' planes: an odd number of cache lines, so
// that a row of all sixteen channels spreads over sixteen cache sets (planes a
// multiple of 4 KB apart would all land in one).
size_t hiddenStride(size_t plane) { return ((plane + 15) / 16 | 1) * 16; }

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

// Calls fn(row, x0, x1) for the pieces of window rows that pixels [b, e) cover.
template <class Fn>
void forRowPieces(size_t b, size_t e, size_t width, const Fn& fn) {
  for (size_t i = b; i < e;) {
    const size_t y = i / width, x0 = i % width, x1 = std::min(width, x0 + (e - i));
    fn(y, x0, x1);
    i += x1 - x0;
  }
}

}  // namespace

void TeethPass::headForward(const Pending& p, size_t count) {
  const GeometryStamp& s = bank_.stamp;
  const int32_t h2 = s.window_h / 2, w2 = s.window_w / 2;
  const size_t width = static_cast<size_t>(s.window_w);
  const size_t plane = static_cast<size_t>(s.window_h) * width, half = static_cast<size_t>(h2) * w2;
  const uint8_t* frameWindow = p.rgb.data();
  const Taps ty(s.window_h, h2), tx(s.window_w, w2);

  // The frame at the stamp's window: the donors, not the frame, carry the shift.
  work_.frame.resize(3 * half);
  simd::pool2Rgb8(frameWindow, width, h2, w2, work_.frame.data());

  // Each candidate's window is gathered and its logit map made and
  // upsampled along the rows at once: h2 rows of window width per candidate.
  work_.rows.resize(count * h2 * width);
  pool::parallelRange(count, 1, [&](size_t b, size_t e) {
    gatherWindowsU8(candidates_.data() + b, e - b, p.dy, p.dx, work_.windows.data() + b * work_.windowStride,
                    work_.windowStride);
    if (half == 0) return;
    // Per thread: one candidate's input, hidden and logit maps, reused; the
    // frame's planes stay in place for every candidate.
    thread_local std::vector<float> input, hidden1, hidden2, logits;
    const size_t stride = hiddenStride(half);
    input.resize(kInputs * half);
    hidden1.resize(kHidden * stride);
    hidden2.resize(kHidden * stride);
    logits.resize(half);
    std::copy(work_.frame.begin(), work_.frame.end(), input.begin() + 3 * half);
    for (size_t c = b; c < e; ++c) {
      simd::pool2Rgb8(work_.windows.data() + c * work_.windowStride, width, h2, w2, input.data());
      simd::meanAbsDiff3(input.data(), input.data() + 3 * half, half, input.data() + 6 * half);
      simd::conv3x3Planes(input.data(), half, kInputs, h2, w2, head_.cand0_w.data(), head_.cand0_b.data(),
                          hidden1.data(), stride, 0, kHidden, /*relu=*/true);
      simd::conv3x3Planes(hidden1.data(), stride, kHidden, h2, w2, head_.cand2_w.data(), head_.cand2_b.data(),
                          hidden2.data(), stride, 0, kHidden, /*relu=*/true);
      simd::conv3x3Planes(hidden2.data(), stride, kHidden, h2, w2, head_.cand4_w.data(), head_.cand4_b.data(),
                          logits.data(), half, 0, 1, /*relu=*/false);
      for (int32_t y = 0; y < h2; ++y)
        simd::lerpTaps(logits.data() + static_cast<size_t>(y) * w2, tx.lo.data(), tx.hi.data(), tx.frac.data(), width,
                       work_.rows.data() + (c * h2 + y) * width);
    }
  });

  // A row piece at a time, while its planes are in cache: the logits
  // upsampled down the columns, softmaxed across the candidates per pixel
  // (one weight plane per candidate), and the blend. A window too small for
  // a half-resolution map blends its candidates evenly. Supported pixels
  // blend the candidates; the others keep the frame's own value.
  const size_t stride = work_.weightStride;
  work_.weights.resize(count * stride);
  work_.blend.resize(3 * plane);
  pool::parallelRange(plane, kPixelGrain, [&](size_t b, size_t e) {
    forRowPieces(b, e, width, [&](size_t y, size_t x0, size_t x1) {
      for (size_t c = 0; c < count; ++c) {
        float* out = work_.weights.data() + c * stride + y * width + x0;
        if (half == 0) {
          std::fill(out, out + (x1 - x0), 0.0f);
          continue;
        }
        const float* rows = work_.rows.data() + c * h2 * width + x0;
        simd::lerp(rows + ty.lo[y] * width, rows + ty.hi[y] * width, ty.frac[y], x1 - x0, out);
      }
      const size_t end = y * width + x1;
      simd::softmaxPlanes(work_.weights.data(), count, stride, y * width + x0, end);
      for (size_t i = y * width + x0; i < end;) {
        size_t j = i;
        while (j < end && work_.support[j] == work_.support[i]) ++j;
        if (work_.support[i]) {
          simd::blendRgb8(work_.weights.data(), stride, work_.windows.data(), work_.windowStride, count, i, j,
                          work_.blend.data(), plane);
        } else {
          for (size_t x = i - y * width; x < j - y * width; ++x) {
            const uint8_t* px = frameWindow + (y * width + x) * 3;
            for (int k = 0; k < 3; ++k) work_.blend[k * plane + y * width + x] = px[k] / 255.0f;
          }
        }
        i = j;
      }
    });
  });
}

}  // namespace le::tessera
