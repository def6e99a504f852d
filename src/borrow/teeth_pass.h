// The teeth pass: replaces the mouth interior of each rendered frame with real
// pixels borrowed from a bank of donor patches. Per frame it finds how far the
// mouth has moved from the bank's canonical position, retrieves the donors
// whose teeth look most like the frame's (a pooled score over every donor,
// then an exact score over a shortlist), keeps the donor set stable over time,
// lets the blend head weight the donors per pixel and composites the blend
// into the frame's mouth window under its delivery mask. Output runs one frame
// behind its input so that each frame's donor set can look one frame ahead.
//
// Every rectangle comes from the bank's geometry stamp; the pass never infers
// one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "borrow/head_weights.h"
#include "borrow/serve_config.h"

namespace le::tessera {

// Twelve integers that fix every rectangle of the borrow.
struct GeometryStamp {
  // The canvas the pass works on: canvas_w x canvas_h RGB.
  int32_t canvas_w = 0, canvas_h = 0;
  // The rectangle of the canvas the pass writes.
  int32_t window_x0 = 0, window_y0 = 0, window_w = 0, window_h = 0;
  // The largest mouth shift followed, in pixels.
  int32_t pad = 0;
  // The window rows and columns donors store, each widened by shift_margin
  // on both sides.
  int32_t band_r0 = 0, band_r1 = 0, band_c0 = 0, band_c1 = 0;
  int32_t shift_margin = 0;

  // The twelve values in field order.
  static GeometryStamp fromArray(const int32_t values[12]);

  // Throws std::runtime_error listing every violated rule, in rule order.
  void validate() const;

  // Size of one stored donor patch, in pixels.
  int32_t storedH() const { return band_r1 - band_r0 + 2 * shift_margin; }
  int32_t storedW() const { return band_c1 - band_c0 + 2 * shift_margin; }
};

// The donor bank a pass is built from.
struct BankData {
  std::vector<uint8_t> bank;     // n_donors stored patches in donor order, RGB
  std::vector<double> cent;      // per donor the mouth centre: x, y
  double c_canon[2] = {0, 0};    // the bank's canonical centre: x, y
  std::vector<double> aperture;  // per donor
  int32_t n_donors = 0;
  GeometryStamp stamp;

  // The bank of the C entry points' arrays: bank_rgb holds n_donors stored
  // patches, cent 2 n_donors, c_canon 2 and aperture n_donors values, stamp
  // the twelve integers. Throws the stamp's refusal.
  static BankData fromArrays(const uint8_t* bank_rgb, int32_t n_donors, const double* cent, const double* c_canon,
                             const double* aperture, const int32_t* stamp);
};

// What one emitted frame yields.
struct FrameResult {
  std::vector<uint8_t> window;  // window_h x window_w RGB; empty when passed through
  bool passed = false;          // nothing was composited
  std::string reason;           // why, when passed through
  int32_t donors = 0;           // candidates blended
  float syn_mean = -1.0f;       // synthesis weight over the supported pixels,
  float syn_max = -1.0f;        // -1 until a frame is composed
};

// Running totals over the frames a pass composed.
struct TeethStats {
  int64_t frames_composed = 0;
  int64_t supported_px = 0;
  double syn_mean_sum = 0;  // sum of the per-frame mean synthesis weights
  float syn_max = -1.0f;    // largest synthesis weight; -1 before the first frame
};

class TeethPass {
 public:
  // One frame held back for its look-ahead.
  struct Pending {
    int64_t frame = 0;
    std::vector<uint8_t> rgb;   // the canvas's window, RGB: all that emitting reads
    std::vector<uint8_t> mask;  // the delivery mask over the window, a byte per pixel
    int32_t dy = 0, dx = 0;     // mouth shift from the canonical position
    bool ok = false;            // the shift was derived
    std::string reason;         // why not
    std::vector<int32_t> donors;
  };

  // One retrieval's query, over the window placed at the frame's shift.
  struct RetrieveWork {
    int32_t oy = 0, ox = 0;                // window origin in the canvas
    std::vector<uint8_t> rgb;              // the placed window, RGB (black off the canvas)
    std::vector<float> planes;             // the same as three planes of value/255
    std::vector<float> weights;            // teeth weight per window pixel
    std::vector<uint32_t> weighted;        // indices of the non-zero weights, ascending
    std::vector<uint16_t> pooled_query;    // three planes of the 4 x 4 grid, f16
    std::vector<uint16_t> pooled_weights;  // f16
    float weight_sum = 1.0f;               // at least 1
    float pooled_weight_sum = 1e-4f;       // at least 1e-4
    int32_t r0 = 0, r1 = 0;                // rows holding a non-zero weight
  };

  // Throws std::runtime_error for an incoherent stamp, a bank of the wrong
  // size, sidecar arrays of the wrong length, no donor or no blend slot to
  // fill (n_donors, K or kshort below 1), or head weights without the cand
  // branch.
  TeethPass(BankData bank, HeadWeights head, ServeConfig config);

  // Hands in one frame: canvas RGB, delivery mask and optionally the mouth
  // shift (dy, dx). Returns true and fills out with the previously pushed
  // frame's result when one was held; false for the first frame.
  bool push(int64_t frame_index, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift, FrameResult& out);
  // Emits the held frame without look-ahead; false when none is held.
  bool flush(FrameResult& out);

  const GeometryStamp& stamp() const { return bank_.stamp; }
  const TeethStats& stats() const { return stats_; }
  // The candidates of the last composed frame, in blend order.
  const std::vector<int32_t>& lastCandidates() const { return candidates_; }
  // Donor d's pooled canonical window: three f16 planes of the 4 x 4 grid.
  const uint16_t* pooledIndex(int32_t d) const { return index_.data() + static_cast<size_t>(d) * 3 * gridH_ * gridW_; }

  // The steps of push, public so that they can be checked and timed one by
  // one.

  // Sets p's shift (the caller's, else from the mask's centroid) or the
  // reason there is none.
  void deriveShift(const uint8_t* mask, const int32_t* shift, Pending& p) const;
  // Fills work from the frame at shift (dy, dx) and advances the teeth
  // weights' memory.
  void retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int32_t dy, int32_t dx, RetrieveWork& work);
  // The donor list of a prepared frame: K donors, best first.
  std::vector<int32_t> retrieve(const RetrieveWork& work);
  // Pooled score of every donor into score (n_donors values).
  void scorePooled(const RetrieveWork& work, float* score) const;
  // Exact score of each listed donor into exact[i]: the weighted mean
  // absolute difference of the donor at its canonical place against the
  // frame, in f16 steps, summed over the weighted pixels in index order.
  void scoreExact(const RetrieveWork& work, const int32_t* donors, size_t n, float* exact) const;
  // The K donors kept from a shortlist given its exact scores (by position).
  std::vector<int32_t> retrieveSelect(const std::vector<int32_t>& shortlist, const float* exact) const;
  // The donor at its canonical place as three f16 planes of value/255.
  void canonicalWindowF16(int32_t donor, uint16_t* out) const;
  // The same for window rows [r0, r1) only; other rows are left alone.
  void canonicalWindowF16Rows(int32_t donor, int32_t r0, int32_t r1, uint16_t* out) const;

 private:
  // Scratch of one composed frame, kept to avoid per-frame allocation. The
  // candidates' windows and weight planes lie a cache line further apart than
  // their size, so that one pixel of every candidate does not crowd into a
  // single cache set.
  struct EmitWork {
    std::vector<uint8_t> windows;  // candidates' placed windows, RGB, windowStride bytes apart
    std::vector<uint8_t> support;  // delivered band pixels every candidate stores
    std::vector<float> frame;      // the frame's window pooled 2 x 2, three planes
    std::vector<float> rows;       // per candidate the logit rows upsampled to window width
    std::vector<float> weights;    // per candidate a plane of blend weights, weightStride apart
    std::vector<float> blend;      // three planes
    size_t windowStride = 0, weightStride = 0;
  };

  // Stored pixel offset of donor d at frame shift (dy, dx): window pixel
  // (y, x) reads stored (y + row, x + col).
  void placement(int32_t d, int32_t dy, int32_t dx, int32_t& row, int32_t& col) const;
  void buildIndex();
  // The n donors' windows at frame shift (dy, dx), RGB, `stride` bytes apart.
  void gatherWindowsU8(const int32_t* donors, size_t n, int32_t dy, int32_t dx, uint8_t* out, size_t stride) const;
  // Gathers the candidates' windows into work_.windows, fills work_.weights
  // with each candidate's blend weight per window pixel and work_.blend with
  // the blended window.
  void headForward(const Pending& p, size_t count);
  void emit(const Pending& p, const std::vector<int32_t>* ahead, FrameResult& out);

  BankData bank_;
  HeadWeights head_;
  ServeConfig config_;
  std::vector<int32_t> sy_, sx_;      // per donor shift from the canonical centre
  int32_t gridH_ = 0, gridW_ = 0;     // the 4 x 4 retrieval grid
  std::vector<uint16_t> index_;       // per donor three pooled planes, f16
  std::vector<uint16_t> indexLanes_;  // the same, one lane per donor (simd::retrieveTermPooledGroups)

  std::vector<float> prevWeights_;
  bool hasPrev_ = false;
  std::vector<int32_t> lastEmitted_;
  int64_t lastIndex_ = 0;
  bool hasLast_ = false;
  Pending held_, next_;
  bool holding_ = false;

  RetrieveWork retrieval_;
  EmitWork work_;
  std::vector<int32_t> candidates_;
  TeethStats stats_;
};

}  // namespace le::tessera
