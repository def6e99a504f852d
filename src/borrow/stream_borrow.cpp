#include "borrow/stream_borrow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "kernels/le_pool.h"

namespace le::tessera {

namespace {

constexpr size_t kRowGrain = 16;

// A 0..1 value as the byte it rounds to (half to even, the default rounding).
double quantised(double x) { return std::nearbyint(std::clamp(x, 0.0, 1.0) * 255.0); }

const GeometryStamp& checkedWindow(const FrameResult& result, const GeometryStamp& stamp) {
  const size_t bytes = size_t(stamp.window_w) * size_t(stamp.window_h) * 3;
  if (result.window.size() != bytes)
    throw std::runtime_error("teeth stream: window " + std::to_string(result.window.size()) +
                             " bytes does not match the stamp window " + std::to_string(stamp.window_w) + "x" +
                             std::to_string(stamp.window_h) + " \u2014 refusing to write back");
  return stamp;
}

// The window byte w in place of the crop value x's 8-bit part, x's residual kept.
double delta(uint8_t w, double x) { return w / 255.0 - quantised(x) / 255.0 + x; }

}  // namespace

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lip_template_text)
    : TeethPass(bank, head, config),
      pi_(pi),
      canon_{bank.c_canon[0], bank.c_canon[1]},
      side_(bank.stamp.canvas_w),
      region_(readRegion(bank.stamp, side_)) {
  const GeometryStamp& s = bank.stamp;
  if (s.canvas_w != s.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
                             std::to_string(s.canvas_h) + " \u2014 the engine renders a square crop");
  if (pi.canvas != s.canvas_w)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas_w) +
                             " \u2014 refusing to compose a mouth on a canvas the stamp does not name");
  if (!lip_template_text.empty()) {
    contour_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lip_template_text, side_));
    std::fprintf(stderr,
                 "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) \u2014 the ellipse is not reachable "
                 "in this session\n",
                 contour_->vertexCount(), contour_->featherPx());
  } else {
    std::fprintf(stderr,
                 "[borrow] !!! delivery mask: ELLIPSE \u2014 this bundle carries no %s, so it serves the over-covering "
                 "elliptical mask the contour replaces. BACKFILL IT: models/velisar-2/tools/bake_lip_templates\n",
                 "lip_template.v1.json");
  }
  const size_t pixels = size_t(side_) * size_t(side_);
  rgb_.resize(pixels * 3);
  mask_.resize(pixels);
}

// The pass reads the frame's pixels only in its window moved by at most pad,
// so only those rows and columns are converted; the rest of rgb_ stays as it
// was and is never read.
StreamBorrow::Region StreamBorrow::readRegion(const GeometryStamp& s, int side) {
  return {size_t(std::max(0, s.window_y0 - s.pad)), size_t(std::min(side, s.window_y0 + s.window_h + s.pad)),
          size_t(std::max(0, s.window_x0 - s.pad)), size_t(std::min(side, s.window_x0 + s.window_w + s.pad))};
}

bool StreamBorrow::push(const float* planes, const float* kp, FrameResult& out) {
  const size_t pixels = size_t(side_) * size_t(side_);
  const Region& r = region_;
  le::pool::parallelRange(r.y1 - r.y0, kRowGrain, [&](size_t begin, size_t end) {
    for (size_t y = r.y0 + begin; y < r.y0 + end; ++y)
      for (size_t x = r.x0; x < r.x1; ++x) {
        const size_t i = y * size_t(side_) + x;
        for (size_t c = 0; c < 3; ++c) rgb_[i * 3 + c] = uint8_t(quantised(planes[c * pixels + i]));
      }
  });
  return pushSynth(kp, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult& out) {
  const Region& r = region_;
  for (size_t y = r.y0; y < r.y1; ++y)
    for (size_t x = r.x0; x < r.x1; ++x) {
      const size_t i = y * size_t(side_) + x;
      for (size_t c = 0; c < 3; ++c) rgb_[i * 3 + c] = rgba[i * 4 + c];
    }
  return pushSynth(kp, out);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult& out) {
  int dy = 0, dx = 0;
  const bool found = contour_ ? contour_->deliveredU8AndShift(kp, pi_, canon_, mask_.data(), &dy, &dx)
                              : pi_.piU8AndShift(kp, canon_, mask_.data(), &dy, &dx);
  const int32_t shift[2] = {dy, dx};
  // Without a mask the pass derives the shift itself and reports the frame as empty.
  const bool emitted = TeethPass::push(frame_, rgb_.data(), mask_.data(), found ? shift : nullptr, out);
  ++frame_;
  return emitted;
}

void StreamBorrow::writeWindowDelta(float* planes, int side, const FrameResult& result, const GeometryStamp& stamp) {
  if (result.passed) return;
  const GeometryStamp& s = checkedWindow(result, stamp);
  const size_t pixels = size_t(side) * size_t(side);
  for (int r = 0; r < s.window_h; ++r)
    for (int col = 0; col < s.window_w; ++col) {
      const size_t at = size_t(s.window_y0 + r) * size_t(side) + size_t(s.window_x0 + col);
      const uint8_t* w = &result.window[(size_t(r) * size_t(s.window_w) + size_t(col)) * 3];
      for (size_t c = 0; c < 3; ++c) {
        float& x = planes[c * pixels + at];
        x = float(std::clamp(delta(w[c], x), 0.0, 1.0));
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int side, const FrameResult& result,
                                        const GeometryStamp& stamp) {
  const size_t pixels = size_t(side) * size_t(side);
  for (size_t i = 0; i < pixels; ++i) rgba[i * 4 + 3] = 255;
  if (result.passed) return;
  const GeometryStamp& s = checkedWindow(result, stamp);
  for (int r = 0; r < s.window_h; ++r)
    for (int col = 0; col < s.window_w; ++col) {
      uint8_t* px = &rgba[(size_t(s.window_y0 + r) * size_t(side) + size_t(s.window_x0 + col)) * 4];
      const uint8_t* w = &result.window[(size_t(r) * size_t(s.window_w) + size_t(col)) * 3];
      for (size_t c = 0; c < 3; ++c) px[c] = uint8_t(quantised(delta(w[c], px[c] / 255.0)));
    }
}

}  // namespace le::tessera
