// Donor retrieval of the teeth pass: the pooled index built once per bank,
// the teeth weights of a frame, the pooled score over every donor, the exact
// score over the shortlist and the aperture-banded selection.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "borrow/teeth_pass.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"

namespace le::tessera {

namespace {

constexpr int kCell = 4;           // retrieval grid cell, pixels per side
constexpr size_t kExactGroup = 8;  // donors whose exact sums run side by side

float roundHalf(float v) { return le::f16ToF32(le::f32ToF16(v)); }

// Mean of each kCell x kCell block of a h x w plane into gh x gw cells.
void pool4(const float* plane, int32_t w, int32_t gh, int32_t gw, float* out) {
  for (int32_t cy = 0; cy < gh; ++cy)
    for (int32_t cx = 0; cx < gw; ++cx) {
      float s = 0;
      for (int y = 0; y < kCell; ++y)
        for (int x = 0; x < kCell; ++x) s += plane[static_cast<size_t>(cy * kCell + y) * w + cx * kCell + x];
      out[static_cast<size_t>(cy) * gw + cx] = s / (kCell * kCell);
    }
}

// Indices that sort v ascending; ties keep index order.
std::vector<int32_t> stableArgsort(const float* v, size_t n) {
  std::vector<int32_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return v[a] < v[b]; });
  return order;
}

}  // namespace

void TeethPass::canonicalWindowF16Rows(int32_t donor, int32_t r0, int32_t r1, uint16_t* out) const {
  const GeometryStamp& s = bank_.stamp;
  const size_t plane = static_cast<size_t>(s.window_h) * s.window_w;
  const int32_t sh = s.storedH(), sw = s.storedW();
  const uint8_t* patch = bank_.bank.data() + static_cast<size_t>(donor) * sh * sw * 3;
  int32_t row, col;
  placement(donor, 0, 0, row, col);
  // Columns of the window the patch covers, the same on every row.
  const int32_t xa = std::clamp(-col, 0, s.window_w), xb = std::clamp(sw - col, xa, s.window_w);
  for (int32_t y = r0; y < r1; ++y) {
    uint16_t* dst = out + static_cast<size_t>(y) * s.window_w;
    for (int k = 0; k < 3; ++k) std::fill_n(dst + k * plane, s.window_w, uint16_t{0});
    const int32_t sr = y + row;
    if (sr < 0 || sr >= sh || xa == xb) continue;
    simd::rgb8ToPlanarF16(patch + (static_cast<size_t>(sr) * sw + xa + col) * 3, dst + xa, plane,
                          static_cast<size_t>(xb - xa));
  }
}

void TeethPass::canonicalWindowF16(int32_t donor, uint16_t* out) const {
  canonicalWindowF16Rows(donor, 0, bank_.stamp.window_h, out);
}

void TeethPass::buildIndex() {
  const GeometryStamp& s = bank_.stamp;
  const size_t plane = static_cast<size_t>(s.window_h) * s.window_w;
  const size_t cells = static_cast<size_t>(gridH_) * gridW_;
  index_.assign(static_cast<size_t>(bank_.n_donors) * 3 * cells, 0);
  pool::parallelRange(static_cast<size_t>(bank_.n_donors), 1, [&](size_t b, size_t e) {
    std::vector<uint16_t> half(3 * plane);
    std::vector<float> full(3 * plane), pooled(3 * cells);
    for (size_t d = b; d < e; ++d) {
      canonicalWindowF16(static_cast<int32_t>(d), half.data());
      simd::f16ToF32(half.data(), full.data(), half.size());
      for (int k = 0; k < 3; ++k) pool4(full.data() + k * plane, s.window_w, gridH_, gridW_, pooled.data() + k * cells);
      simd::f32ToF16(pooled.data(), index_.data() + d * 3 * cells, pooled.size());
    }
  });
  // The same index lane by lane for the pooled score; a short last group
  // is padded with zeros.
  constexpr size_t G = simd::kPooledGroup;
  const size_t n = static_cast<size_t>(bank_.n_donors);
  indexLanes_.assign((n + G - 1) / G * G * 3 * cells, 0);
  for (size_t d = 0; d < n; ++d)
    for (size_t k = 0; k < 3; ++k)
      for (size_t i = 0; i < cells; ++i)
        indexLanes_[((d / G * cells + i) * 3 + k) * G + d % G] = index_[(d * 3 + k) * cells + i];
}

void TeethPass::retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int32_t dy, int32_t dx, RetrieveWork& work) {
  const GeometryStamp& s = bank_.stamp;
  const size_t plane = static_cast<size_t>(s.window_h) * s.window_w;
  work.oy = s.window_y0 + dy;
  work.ox = s.window_x0 + dx;
  work.rgb.assign(plane * 3, 0);
  work.planes.resize(plane * 3);
  work.weights.assign(plane, 0.0f);
  std::vector<uint8_t> inMask(plane, 0);
  double teeth = 0;
  for (int32_t y = 0; y < s.window_h; ++y) {
    const int32_t cy = work.oy + y;
    for (int32_t x = 0; x < s.window_w; ++x) {
      const int32_t cx = work.ox + x;
      const size_t i = static_cast<size_t>(y) * s.window_w + x;
      // A window shifted past the canvas edge sees black outside the mask.
      if (cy >= 0 && cy < s.canvas_h && cx >= 0 && cx < s.canvas_w) {
        const size_t c = static_cast<size_t>(cy) * s.canvas_w + cx;
        std::copy_n(rgb + c * 3, 3, work.rgb.data() + i * 3);
        inMask[i] = mask[c] / 255.0 > 0.5;
      }
      const double R = work.rgb[i * 3], G = work.rgb[i * 3 + 1], B = work.rgb[i * 3 + 2];
      for (int k = 0; k < 3; ++k) work.planes[k * plane + i] = work.rgb[i * 3 + k] / 255.0f;
      if (inMask[i] && 0.299 * R + 0.587 * G + 0.114 * B >= config_.teeth_luma_min &&
          std::fabs(G - R) < config_.teeth_chroma_max) {
        work.weights[i] = 1.0f;
        teeth += 1;
      }
    }
  }
  // Too few teeth to match on: match the whole mouth instead.
  if (teeth < config_.min_teeth_px)
    for (size_t i = 0; i < plane; ++i) work.weights[i] = inMask[i] ? 1.0f : 0.0f;
  if (hasPrev_)
    for (size_t i = 0; i < plane; ++i)
      work.weights[i] = std::max(static_cast<float>(config_.weight_decay * prevWeights_[i]), work.weights[i]);
  prevWeights_ = work.weights;
  hasPrev_ = true;

  double sum = 0;
  work.weighted.clear();
  work.r0 = work.r1 = 0;
  for (size_t i = 0; i < plane; ++i) {
    if (work.weights[i] == 0.0f) continue;
    sum += work.weights[i];
    work.weighted.push_back(static_cast<uint32_t>(i));
  }
  if (!work.weighted.empty()) {
    work.r0 = static_cast<int32_t>(work.weighted.front() / s.window_w);
    work.r1 = static_cast<int32_t>(work.weighted.back() / s.window_w) + 1;
  }
  work.weight_sum = static_cast<float>(std::max(1.0, sum));

  const size_t cells = static_cast<size_t>(gridH_) * gridW_;
  std::vector<float> pooled(3 * cells);
  for (int k = 0; k < 3; ++k)
    pool4(work.planes.data() + k * plane, s.window_w, gridH_, gridW_, pooled.data() + k * cells);
  work.pooled_query.resize(3 * cells);
  simd::f32ToF16(pooled.data(), work.pooled_query.data(), pooled.size());
  pool4(work.weights.data(), s.window_w, gridH_, gridW_, pooled.data());
  work.pooled_weights.resize(cells);
  simd::f32ToF16(pooled.data(), work.pooled_weights.data(), cells);
  simd::f16ToF32(work.pooled_weights.data(), pooled.data(), cells);
  float pooledSum = 0;
  for (size_t c = 0; c < cells; ++c) pooledSum += pooled[c];
  work.pooled_weight_sum = std::max(pooledSum, 1e-4f);
}

void TeethPass::scorePooled(const RetrieveWork& work, float* score) const {
  constexpr size_t G = simd::kPooledGroup;
  const size_t cells = static_cast<size_t>(gridH_) * gridW_, n = static_cast<size_t>(bank_.n_donors);
  std::vector<float> totals((n + G - 1) / G * G);
  pool::parallelRange(totals.size() / G, 1, [&](size_t b, size_t e) {
    simd::retrieveTermPooledGroups(indexLanes_.data() + b * G * 3 * cells, e - b, work.pooled_query.data(),
                                   work.pooled_weights.data(), cells, totals.data() + b * G);
  });
  for (size_t d = 0; d < n; ++d) score[d] = roundHalf(totals[d]) / work.pooled_weight_sum;
}

void TeethPass::scoreExact(const RetrieveWork& work, const int32_t* donors, size_t n, float* exact) const {
  const GeometryStamp& s = bank_.stamp;
  const size_t width = static_cast<size_t>(s.window_w), plane = static_cast<size_t>(s.window_h) * width;
  const size_t begin = static_cast<size_t>(work.r0) * width, end = static_cast<size_t>(work.r1) * width;
  // The frame's weighted rows as f16 planes, the donors' form; the sums read
  // no other rows. Kept per thread so that no frame allocates it.
  thread_local std::vector<uint16_t> scratch;
  scratch.resize(3 * plane);
  uint16_t* frame = scratch.data();
  simd::rgb8ToPlanarF16(work.rgb.data() + begin * 3, frame + begin, plane, end - begin);
  pool::parallelRange((n + kExactGroup - 1) / kExactGroup, 1, [&](size_t b, size_t e) {
    thread_local std::vector<uint16_t> windows;
    windows.resize(kExactGroup * 3 * plane);
    const uint16_t* images[kExactGroup];
    float totals[kExactGroup];
    for (size_t g = b; g < e; ++g) {
      const size_t first = g * kExactGroup, count = std::min(kExactGroup, n - first);
      for (size_t j = 0; j < count; ++j) {
        uint16_t* window = windows.data() + j * 3 * plane;
        canonicalWindowF16Rows(donors[first + j], work.r0, work.r1, window);
        images[j] = window;
      }
      simd::retrieveTermExactRangeMany(images, count, frame, work.weights.data(), plane, begin, end, totals);
      for (size_t j = 0; j < count; ++j) exact[first + j] = totals[j] / work.weight_sum;
    }
  });
}

std::vector<int32_t> TeethPass::retrieveSelect(const std::vector<int32_t>& shortlist, const float* exact) const {
  const std::vector<int32_t> order = stableArgsort(exact, shortlist.size());
  const int32_t best = shortlist[order[0]];
  const double a0 = bank_.aperture[best];
  const double band = std::max(1e-6, a0) * config_.aperture_tol;
  std::vector<int32_t> kept;
  const size_t walk = std::min(static_cast<size_t>(std::max(config_.cut, 0)), order.size());
  for (size_t i = 0; i < walk && kept.size() < static_cast<size_t>(config_.K); ++i) {
    const int32_t d = shortlist[order[i]];
    if (std::fabs(bank_.aperture[d] - a0) <= band) kept.push_back(d);
  }
  if (kept.empty()) kept.push_back(best);
  const int32_t last = kept.back();
  kept.resize(static_cast<size_t>(config_.K), last);
  return kept;
}

std::vector<int32_t> TeethPass::retrieve(const RetrieveWork& work) {
  const size_t n = static_cast<size_t>(bank_.n_donors);
  std::vector<float> pooled(n);
  scorePooled(work, pooled.data());
  std::vector<int32_t> shortlist = stableArgsort(pooled.data(), n);
  shortlist.resize(std::min(static_cast<size_t>(config_.kshort), n));
  std::vector<float> exact(shortlist.size());
  scoreExact(work, shortlist.data(), shortlist.size(), exact.data());
  return retrieveSelect(shortlist, exact.data());
}

}  // namespace le::tessera
