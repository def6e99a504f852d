// Paste compositor: sharpens a rendered face crop (unsharp mask) and blends
// it into a packed RGB frame through an affine transform, Lanczos-8
// resampling and the bundle's feathered mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace le {

// Unsharp mask of the paste compositor, as the bundle manifest sets it.
struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int ksize = 13;
};

class Paste {
 public:
  // mask: side*side bytes, 0 keeps the frame, 255 takes the crop.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& u);

  // crop: planar 3 x side x side floats, multiplied by scale (the engine
  // passes 255). M = [a, b, tx, c, d, ty] maps crop to frame coordinates.
  // frame: W x H packed RGB, changed in place inside the crop's footprint.
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  int side() const { return S_; }
  int ksize() const { return K_; }
  int fastMode() const { return fast_; }
  const std::vector<float>& gauss() const { return gauss_; }
  const std::vector<float>& lanczosTable() const { return lanczos_; }
  const std::vector<float>& bilinTable() const { return bilin_; }
  const std::vector<float>& cubicTable() const { return cubic_; }

  // Unsharp mask of one side x side plane, in place.
  void unsharpPlane(std::vector<float>& plane);

 private:
  // unsharpPlane of scale * source into plane (source may be plane itself),
  // optionally interleaving each finished row into crop4.
  void sharpen(const float* source, float scale, std::vector<float>& plane, bool interleave);
  void interleaveRows(size_t b, size_t e);
  void blendLanczosRows(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double p0, double p1, double p2,
                        double p3);
  void blendFastRows(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double p0, double p1, double p2,
                     double p3);

  int S_;
  int K_;
  int P_ = 0;  // padded side, S_ + K_ - 1
  float amount_;
  int fast_ = 0;
  std::vector<uint8_t> mask_;
  std::vector<float> gauss_;
  std::vector<float> lanczos_;
  std::vector<float> bilin_;
  std::vector<float> cubic_;
  std::vector<float> planes_[3];
  std::vector<float> padded_;
  std::vector<float> filtered_;
  std::vector<float> crop4_;
  std::vector<int> colX_;
  std::vector<int> colY_;
};

}  // namespace le
