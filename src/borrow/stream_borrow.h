// The teeth pass over a stream of rendered square crops: each crop comes with
// its keypoints, the stream builds the frame's delivery mask itself (the lip
// contour when the bundle carries one, else the pi ellipse), pushes the frame
// into the pass and writes the pass's window back into the caller's crop one
// frame later, as a delta that keeps the crop's sub-8-bit residual.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "borrow/teeth_pass.h"
#include "bundle/le_lip_contour.h"
#include "bundle/le_unified_pi.h"

namespace le::tessera {

class StreamBorrow : public TeethPass {
 public:
  // Throws std::runtime_error: the pass's own refusals, a canvas that is not
  // square or not the geometry's, a lip template that cannot be read.
  StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lip_template_text);

  // planes: R, G, B of side x side floats each, 0..1; kp: one keypoint frame
  // (21 x 3 floats). True when out holds the previous frame's result.
  bool push(const float* planes, const float* kp, FrameResult& out);
  // side x side RGBA bytes (alpha ignored).
  bool pushRgba(const uint8_t* rgba, const float* kp, FrameResult& out);
  using TeethPass::flush;

  // The result's window into a crop: the window's bytes replace the crop's
  // 8-bit values, the crop's residual below them is kept. A passed-through
  // result leaves the crop alone (the RGBA form still sets every alpha to 255).
  static void writeWindowDelta(float* planes, int side, const FrameResult& result, const GeometryStamp& stamp);
  static void writeWindowDeltaRgba(uint8_t* rgba, int side, const FrameResult& result, const GeometryStamp& stamp);

  bool hostSplit(FrameResult&) const { return false; }  // this build offers no host split
  const char* backend() const { return "cpu"; }
  int side() const { return side_; }

 private:
  // Canvas rows [y0, y1) and columns [x0, x1) the pass can read.
  struct Region {
    size_t y0, y1, x0, x1;
  };
  static Region readRegion(const GeometryStamp& s, int side);
  // The step both pushes share, on the RGB already in the buffer.
  bool pushSynth(const float* kp, FrameResult& out);

  UnifiedPi pi_;
  std::unique_ptr<LipContour> contour_;
  double canon_[2];
  int side_;
  Region region_;  // readRegion of the stamp, fixed for the stream
  int64_t frame_ = 0;
  std::vector<uint8_t> rgb_, mask_;
};

}  // namespace le::tessera
