// The lip contour: a polygon of nv vertices in a canonical frame, deformed
// per frame from the lip keypoints, rasterised with a soft edge of
// feather_px pixels. It cuts the over-covering pi ellipse down to the lips
// (the mouth borrow's delivery mask) and is the director's compose mask.
// Read from the bundle member "lip_template.v1.json" (lip-template-v1, with an
// optional lip-map-v1 anchor-linear deformation map).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/le_unified_pi.h"

namespace le::tessera {

class LipContour {
 public:
  // Throws std::runtime_error, naming the member, on every defect.
  static LipContour fromTemplateJson(const std::string& text, int canvas);

  // u_canon: nv (x, y) pairs; lip_idx: n anchor rows, each 0..20.
  LipContour(int canvas, double feather_px, const double* u_canon, int nv, const int32_t* lip_idx, int n);
  // The anchor-linear map: W is rows x cols row-major, b has rows values;
  // rows must be 2 nv and cols 2 n for 1..8 rows of 0..20.
  void attachMap(const double* W, const double* b, int rows, int cols, const int32_t* lip_idx, int n);

  int canvas() const { return canvas_; }
  double featherPx() const { return feather_; }
  int vertexCount() const { return static_cast<int>(u_.size() / 2); }
  bool hasMap() const { return !mapRows_.empty(); }

  // The nv vertices (x, y interleaved, canvas pixels; pixel i spans [i, i+1))
  // for one keypoint frame (21 rows of x, y, z).
  void polygon(const float* kp, double* out) const;
  // Pixel bounds of the polygon widened by the feather, clamped to the
  // canvas: every pixel the contour can reach.
  Box box(const double* vertices) const;
  // 1 on the pixels of box whose centres the polygon holds, 0 on the other
  // pixels of box; out is canvas x canvas, nothing outside box is written.
  void fillScanline(const double* vertices, const Box& box, uint8_t* out) const;
  // The feathered contour on the pixels of box: 1 on the fill, smoothly to 0
  // at feather_px pixels from it (chamfer distance). Nothing outside box is
  // written.
  void contourF32(const double* vertices, const Box& box, float* out) const;
  // The contour of one keypoint frame over the whole canvas (zero outside
  // its box).
  void contourF32Canvas(const float* kp, float* out) const;

  // The delivery mask: pi cut down by the contour (zero where either is).
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // The same, and the shift (dy, dx) of its centroid from canon (x, y);
  // false when it is empty.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double canon[2], uint8_t* out, int* dy, int* dx);
  // The cut applied to an existing mask inside box: each byte becomes at
  // most the contour's byte there; outside box the mask is left alone.
  void shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);

 private:
  // Calls fn(row, x0, x1) for each run of filled pixels of box.
  template <class Fn>
  void forEachSpan(const double* vertices, const Box& box, Fn&& fn) const;
  // Contour of kp into scratch_ over its box; returns the box.
  Box contourScratch(const float* kp);
  // deliveredU8, returning the contour's box.
  Box delivered(const float* kp, const UnifiedPi& pi, uint8_t* out);

  int canvas_;
  double feather_;
  std::vector<double> u_;         // canonical vertices, x y interleaved
  std::vector<int32_t> anchors_;  // anchor keypoint rows
  std::vector<double> W_, b_;     // 2 nv x 2 m map and its offsets
  std::vector<int32_t> mapRows_;  // the map's keypoint rows (m)
  std::vector<float> scratch_;    // canvas x canvas, for the delivery masks
  std::vector<double> vertices_;  // 2 nv, for the delivery masks
};

}  // namespace le::tessera
