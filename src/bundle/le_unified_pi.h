// The compose-mask geometry of the mouth borrow ("pi"): read from the
// manifest's `unified` block exactly as the bundle was baked with it, it turns
// one keypoint frame into a soft mask on the square compose canvas. It also
// names which known geometry a donor bank was built against, by matching
// canonical centroids. Nothing is guessed: what it cannot name, it refuses.
//
// Keypoint frames are 21 rows of (x, y, z) float32, x and y normalised to
// -1..1 across the canvas; only x and y are read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

// Half-open pixel ranges [x0, x1) x [y0, y1).
struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;

  bool empty() const { return x1 <= x0 || y1 <= y0; }
  Box intersect(const Box& o) const;
  Box unite(const Box& o) const;
};

class UnifiedPi {
 public:
  // An ellipse in normalised canvas coordinates; edge = sqrt(rx ry) 256 sets
  // how sharply its soft edge falls.
  struct EllParams {
    double cx = 0, cy = 0, rx = 0, ry = 0, edge = 0;
  };

  int32_t canvas = 0;
  std::string mode;              // always "prop"
  bool corner_recovery = false;  // the "lip_landmark_half" corner rule
  float prop_gate_scale = 1.0f;
  std::vector<int32_t> lip_idx;       // keypoint rows that outline the lips
  float pad_x = 0, pad_y = 0;         // lip ellipse padding (normalised units)
  float down = 0;                     // downward shift of the lip ellipse centre
  std::vector<float> grid_x, grid_y;  // normalised pixel centres, canvas each

  // The geometry of the manifest's `unified` block; throws std::runtime_error
  // on everything it cannot name.
  static UnifiedPi fromManifestJson(const std::string& manifest_text, int canvas);
  // The known geometry the bank was built against: the corpus row whose
  // canonical centroid over the bundle's own target frames (n_frames x 63)
  // lies nearest the bank's c_canon (x, y in canvas pixels), refused when
  // none is near enough or two are too close to call. detail (may be null)
  // receives a description of the match.
  static UnifiedPi corpusFromManifestJson(const std::string& manifest_text, int canvas, const float* xs_target,
                                          int n_frames, const double c_canon[2], std::string* detail);

  EllParams lipParams(const float* kp) const;
  // gate (may be null) receives the opening gate 0..1.
  EllParams gateParams(const float* kp, double* gate) const;
  Box ellBox(const EllParams& e) const;
  Box supportBox(const float* kp) const;

  // Float masks of canvas x canvas.
  void ellMask(const float* kp, float pad_x, float pad_y, float min_rx, float min_ry, float scale, float down,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  // Byte masks of canvas x canvas: max(lip, gate) as 0..255.
  void piU8(const float* kp, uint8_t* out) const;
  // The same values, computed only inside supportBox (zero elsewhere).
  void piU8Boxed(const float* kp, uint8_t* out) const;
  // min(shrink, pi) where shrink (canvas x canvas floats) is positive, inside
  // supportBox intersected with box; zero elsewhere.
  void piU8ShrunkBy(const float* kp, const float* shrink, const Box& box, uint8_t* out) const;

  // Mean column and row of the bytes >= 128 (inside box); false when none.
  bool piU8Centroid(const uint8_t* mask, double* x, double* y) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double* x, double* y) const;
  // The boxed mask and the shift (dy, dx) of its centroid from canon (x, y),
  // in whole pixels; false when the mask is empty.
  bool piU8AndShift(const float* kp, const double canon[2], uint8_t* out, int* dy, int* dx) const;
  // Mean centroid of piU8 over the n frames (63 floats each) whose mask is
  // not empty; throws when every one is.
  void canonicalCentroid(const float* frames, int n, double* x, double* y) const;

 private:
  struct LipStats {
    double cx = 0, cy = 0, ax = 0, ay = 0;
  };
  LipStats lipStats(const float* kp) const;
  EllParams ellParams(const LipStats& st, double pad_x, double pad_y, double min_rx, double min_ry, double scale,
                      double down) const;
  double cornerScale(const float* kp, const LipStats& st) const;
  // max(lip, gate) per pixel of box through fn(index, value).
  template <class Fn>
  void forEachPi(const float* kp, const Box& box, Fn&& fn) const;
};

// pi-style byte of a mask value: clamped to 0..1, times 255, rounded half to even.
uint8_t maskByte(double v);

// Centroid shift of a byte mask from canon (x, y), rounded to whole pixels;
// false when no byte >= 128 lies inside box.
bool maskShift(const uint8_t* mask, int canvas, const Box& box, const double canon[2], int* dy, int* dx);

}  // namespace le::tessera
