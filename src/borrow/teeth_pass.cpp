// The teeth pass's geometry and frame flow: the stamp's coherence rules, the
// checks of a bank, the mouth shift, the one-frame hold with its look-ahead,
// the temporally stable candidate list and the composite of the blend into
// the frame's window.
#include "borrow/teeth_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>

#include "kernels/le_pool.h"
#include "kernels/le_simd.h"

namespace le::tessera {

namespace {

constexpr size_t kCompositeGrain = 4;  // window rows
constexpr size_t kUsageGroup = 8;      // candidates
constexpr size_t kLine = 64;           // bytes in a cache line

bool contains(const std::vector<int32_t>& list, int32_t d) {
  return std::find(list.begin(), list.end(), d) != list.end();
}

// The first min(n, size) entries of list.
std::vector<int32_t> head(const std::vector<int32_t>& list, int32_t n) {
  return {list.begin(), list.begin() + std::clamp<ptrdiff_t>(n, 0, static_cast<ptrdiff_t>(list.size()))};
}

}  // namespace

GeometryStamp GeometryStamp::fromArray(const int32_t v[12]) {
  return {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11]};
}

void GeometryStamp::validate() const {
  const std::pair<bool, const char*> rules[] = {
      {window_w > 0 && window_h > 0, "window dims must be positive"},
      {window_x0 >= 0 && window_x0 + window_w <= canvas_w, "window x-range escapes canvas"},
      {window_y0 >= 0 && window_y0 + window_h <= canvas_h, "window y-range escapes canvas"},
      {0 <= band_r0 && band_r0 < band_r1 && band_r1 <= window_h, "band rows escape window"},
      {0 <= band_c0 && band_c0 < band_c1 && band_c1 <= window_w, "band cols escape window"},
      {pad > 0 && shift_margin >= 0, "pad/shift_margin must be positive"},
      {band_r0 + pad >= shift_margin && band_r1 + shift_margin <= window_h + pad, "stored band rows escape patch"},
      {band_c0 + pad >= shift_margin && band_c1 + shift_margin <= window_w + pad, "stored band cols escape patch"},
  };
  std::string reasons;
  for (const auto& [holds, reason] : rules)
    if (!holds) reasons += std::string(" ") + reason + ";";
  if (!reasons.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + reasons);
}

BankData BankData::fromArrays(const uint8_t* bank_rgb, int32_t n_donors, const double* cent, const double* c_canon,
                              const double* aperture, const int32_t* stamp) {
  BankData b;
  b.stamp = GeometryStamp::fromArray(stamp);
  b.stamp.validate();
  const size_t n = size_t(std::max(n_donors, 0));
  b.n_donors = n_donors;
  b.bank.assign(bank_rgb, bank_rgb + n * size_t(b.stamp.storedH()) * size_t(b.stamp.storedW()) * 3);
  b.cent.assign(cent, cent + 2 * n);
  b.aperture.assign(aperture, aperture + n);
  b.c_canon[0] = c_canon[0];
  b.c_canon[1] = c_canon[1];
  return b;
}

TeethPass::TeethPass(BankData bank, HeadWeights head, ServeConfig config)
    : bank_(std::move(bank)), head_(std::move(head)), config_(config) {
  const GeometryStamp& s = bank_.stamp;
  s.validate();
  const int64_t n = bank_.n_donors;
  const int64_t expected = n * s.storedH() * s.storedW() * 3;
  if (static_cast<int64_t>(bank_.bank.size()) != expected)
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank_.bank.size()) +
                             " bytes, the stamp requires " + std::to_string(expected) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format "
                             "would land here");
  if (static_cast<int64_t>(bank_.cent.size()) != 2 * n || static_cast<int64_t>(bank_.aperture.size()) != n)
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  // Without a donor, a shortlist or a blend slot no frame has a best donor.
  if (n < 1 || config_.K < 1 || config_.kshort < 1)
    throw std::runtime_error("teeth: n_donors=" + std::to_string(n) + ", K=" + std::to_string(config_.K) +
                             ", kshort=" + std::to_string(config_.kshort) + " leave no donor to blend — refusing");
  if (head_.cand0_w.size() != 16 * 7 * 9 || head_.cand0_b.size() != 16 || head_.cand2_w.size() != 16 * 16 * 9 ||
      head_.cand2_b.size() != 16 || head_.cand4_w.size() != 16 * 9 || head_.cand4_b.size() != 1)
    throw std::runtime_error("teeth: head weights lack the BlendHead(16) cand branch — refusing");

  sy_.resize(n);
  sx_.resize(n);
  for (int64_t d = 0; d < n; ++d) {
    sx_[d] = static_cast<int32_t>(std::rint(bank_.cent[2 * d] - bank_.c_canon[0]));
    sy_[d] = static_cast<int32_t>(std::rint(bank_.cent[2 * d + 1] - bank_.c_canon[1]));
  }
  gridH_ = s.window_h / 4;
  gridW_ = s.window_w / 4;
  buildIndex();
}

void TeethPass::placement(int32_t d, int32_t dy, int32_t dx, int32_t& row, int32_t& col) const {
  const GeometryStamp& s = bank_.stamp;
  row = std::clamp(s.pad + sy_[d] - dy, 0, 2 * s.pad) - (s.band_r0 + s.pad - s.shift_margin);
  col = std::clamp(s.pad + sx_[d] - dx, 0, 2 * s.pad) - (s.band_c0 + s.pad - s.shift_margin);
}

void TeethPass::deriveShift(const uint8_t* mask, const int32_t* shift, Pending& p) const {
  const GeometryStamp& s = bank_.stamp;
  p.ok = false;
  p.reason.clear();
  if (shift) {
    p.dy = shift[0];
    p.dx = shift[1];
  } else {
    double rows = 0, cols = 0, count = 0;
    for (int32_t y = 0; y < s.canvas_h; ++y) {
      const uint8_t* m = mask + static_cast<size_t>(y) * s.canvas_w;
      for (int32_t x = 0; x < s.canvas_w; ++x)
        if (m[x] >= 128) {
          rows += y;
          cols += x;
          count += 1;
        }
    }
    if (count == 0) {
      p.reason = "empty-pi";
      return;
    }
    p.dy = static_cast<int32_t>(std::rint(rows / count - bank_.c_canon[1]));
    p.dx = static_cast<int32_t>(std::rint(cols / count - bank_.c_canon[0]));
  }
  if (std::abs(p.dy) > s.pad || std::abs(p.dx) > s.pad) {
    p.reason = "shift-out-of-range";
    return;
  }
  p.ok = true;
}

void TeethPass::gatherWindowsU8(const int32_t* donors, size_t n, int32_t dy, int32_t dx, uint8_t* out,
                                size_t stride) const {
  const GeometryStamp& s = bank_.stamp;
  const size_t rowBytes = static_cast<size_t>(s.window_w) * 3;
  const int32_t sh = s.storedH(), sw = s.storedW();
  for (size_t c = 0; c < n; ++c) {
    const uint8_t* patch = bank_.bank.data() + static_cast<size_t>(donors[c]) * sh * sw * 3;
    int32_t row, col;
    placement(donors[c], dy, dx, row, col);
    const int32_t xa = std::clamp(-col, 0, s.window_w), xb = std::clamp(sw - col, xa, s.window_w);
    for (int32_t y = 0; y < s.window_h; ++y) {
      uint8_t* dst = out + c * stride + y * rowBytes;
      const int32_t sr = y + row;
      if (sr < 0 || sr >= sh || xa == xb) {
        std::fill_n(dst, rowBytes, uint8_t{0});
        continue;
      }
      std::fill(dst, dst + xa * 3, uint8_t{0});
      std::copy_n(patch + (static_cast<size_t>(sr) * sw + xa + col) * 3, static_cast<size_t>(xb - xa) * 3,
                  dst + static_cast<size_t>(xa) * 3);
      std::fill(dst + xb * 3, dst + rowBytes, uint8_t{0});
    }
  }
}

bool TeethPass::push(int64_t frame_index, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift,
                     FrameResult& out) {
  const GeometryStamp& s = bank_.stamp;
  const size_t width = static_cast<size_t>(s.window_w);
  Pending& p = next_;
  p.frame = frame_index;
  p.rgb.resize(width * s.window_h * 3);
  p.mask.resize(width * s.window_h);
  for (int32_t y = 0; y < s.window_h; ++y) {
    const size_t c = static_cast<size_t>(s.window_y0 + y) * s.canvas_w + s.window_x0;
    std::copy_n(rgb + c * 3, width * 3, p.rgb.data() + y * width * 3);
    std::copy_n(mask + c, width, p.mask.data() + y * width);
  }
  p.donors.clear();
  deriveShift(mask, shift, p);
  if (p.ok) {
    retrievePrepare(rgb, mask, p.dy, p.dx, retrieval_);
    p.donors = retrieve(retrieval_);
  }
  const bool emitted = holding_;
  if (holding_) emit(held_, p.ok ? &p.donors : nullptr, out);
  std::swap(held_, next_);
  holding_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult& out) {
  if (!holding_) return false;
  emit(held_, nullptr, out);
  holding_ = false;
  return true;
}

void TeethPass::emit(const Pending& p, const std::vector<int32_t>* ahead, FrameResult& out) {
  if (!p.ok) {
    out = FrameResult{};
    out.passed = true;
    out.reason = p.reason;
    return;
  }
  const GeometryStamp& s = bank_.stamp;
  const std::vector<int32_t> cur = head(p.donors, config_.K);
  const std::vector<int32_t> next =
      ahead && config_.lookahead_on ? head(*ahead, config_.lookahead) : std::vector<int32_t>{};
  std::vector<int32_t> rest;
  for (int32_t d : cur)
    if (!contains(next, d)) rest.push_back(d);

  // Donors that carried the last frame lead, so the blend does not flicker
  // between near-equal donor sets.
  if (hasLast_ && p.frame == lastIndex_ + 1) {
    candidates_ = lastEmitted_;
    for (const std::vector<int32_t>& list : {std::cref(next), std::cref(rest)})
      for (int32_t d : list)
        if (!contains(candidates_, d)) candidates_.push_back(d);
  } else {
    candidates_ = next;
    candidates_.insert(candidates_.end(), rest.begin(), rest.end());
  }
  candidates_ = head(candidates_, config_.K);
  const size_t count = candidates_.size();

  const size_t plane = static_cast<size_t>(s.window_h) * s.window_w;
  work_.windowStride = (plane * 3 + kLine - 1) / kLine * kLine + kLine;
  work_.weightStride = (plane * sizeof(float) + kLine - 1) / kLine * kLine / sizeof(float) + kLine / sizeof(float);
  work_.windows.resize(count * work_.windowStride);

  // A band pixel is supported when it is delivered and every candidate stores it.
  int32_t y0 = s.band_r0, y1 = s.band_r1, x0 = s.band_c0, x1 = s.band_c1;
  for (int32_t d : candidates_) {
    int32_t row, col;
    placement(d, p.dy, p.dx, row, col);
    y0 = std::max(y0, -row);
    y1 = std::min(y1, s.storedH() - row);
    x0 = std::max(x0, -col);
    x1 = std::min(x1, s.storedW() - col);
  }
  work_.support.assign(plane, 0);
  int64_t supported = 0;
  for (int32_t y = y0; y < y1; ++y)
    for (int32_t x = x0; x < x1; ++x) {
      const size_t i = static_cast<size_t>(y) * s.window_w + x;
      const bool on = p.mask[i] != 0;
      work_.support[i] = on;
      supported += on;
    }

  headForward(p, count);

  // The synthesis branch contributes nothing: its weight is 0 on every pixel.
  out.syn_mean = 0.0f;
  out.syn_max = 0.0f;
  stats_.frames_composed += 1;
  stats_.supported_px += supported;
  stats_.syn_mean_sum += out.syn_mean;
  stats_.syn_max = std::max(stats_.syn_max, out.syn_max);

  // Each candidate's usage sums its plane in pixel order; eight sums run side
  // by side to hide the adder's latency (short groups repeat a plane).
  std::vector<double> usage(count, 0.0);
  pool::parallelRange((count + kUsageGroup - 1) / kUsageGroup, 1, [&](size_t b, size_t e) {
    for (size_t g = b; g < e; ++g) {
      const size_t c0 = g * kUsageGroup, n = std::min(kUsageGroup, count - c0);
      const float* w[kUsageGroup];
      for (size_t j = 0; j < kUsageGroup; ++j)
        w[j] = work_.weights.data() + (c0 + (j < n ? j : 0)) * work_.weightStride;
      double sum[kUsageGroup] = {};
      for (size_t i = 0; i < plane; ++i)
#pragma GCC unroll 8
        for (size_t j = 0; j < kUsageGroup; ++j) sum[j] += w[j][i];
      std::copy_n(sum, n, usage.begin() + c0);
    }
  });
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return usage[a] > usage[b]; });
  order.resize(std::min(count, static_cast<size_t>(std::max(config_.hysteresis, 0))));
  lastEmitted_.clear();
  for (size_t c : order) lastEmitted_.push_back(candidates_[c]);
  lastIndex_ = p.frame;
  hasLast_ = true;

  out.window.resize(plane * 3);
  pool::parallelRange(static_cast<size_t>(s.window_h), kCompositeGrain, [&](size_t b, size_t e) {
    for (size_t y = b; y < e; ++y) {
      const size_t i = y * s.window_w;
      simd::compositeRgb8(p.rgb.data() + i * 3, p.mask.data() + i, work_.blend.data() + i, plane, s.window_w,
                          out.window.data() + i * 3);
    }
  });
  out.passed = false;
  out.reason.clear();
  out.donors = static_cast<int32_t>(count);
}

}  // namespace le::tessera
