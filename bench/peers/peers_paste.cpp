// paste_512_to_1080p: our compositor against the same pipeline in OpenCV
// (Gaussian unsharp, Lanczos-4 affine warp of the footprint, mask blend),
// both on le::pool::threads() threads.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <vector>

#include "kernels/le_paste.h"
#include "kernels/le_pool.h"
#include "peers.h"

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;

struct Scene {
  std::vector<float> crop = std::vector<float>(3 * kSide * kSide);
  std::vector<uint8_t> mask = std::vector<uint8_t>(kSide * kSide);
  std::vector<uint8_t> frame = std::vector<uint8_t>(kW * kH * 3);
  // A slightly turned and scaled face placement in the middle of the frame.
  float M[6] = {1.05f * std::cos(0.1f), -1.05f * std::sin(0.1f), 700, 1.05f * std::sin(0.1f),
                1.05f * std::cos(0.1f), 250};
  le::Unsharp unsharp{1.3f, 2.0f, 13};

  Scene() {
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
          crop[(c * kSide + y) * kSide + x] = 0.5f + 0.4f * std::sin(0.05f * x + c) * std::cos(0.07f * y);
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const double dx = (x - 256.0) / 230, dy = (y - 256.0) / 230;
        mask[y * kSide + x] = static_cast<uint8_t>(255 * std::clamp((1 - std::sqrt(dx * dx + dy * dy)) * 5, 0.0, 1.0));
      }
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  }
};

// The same steps with OpenCV's building blocks.
class OpenCvPaste {
 public:
  explicit OpenCvPaste(const Scene& s) {
    cv::Mat(kSide, kSide, CV_8U, const_cast<uint8_t*>(s.mask.data())).convertTo(mask_, CV_32F, 1.0 / 255);
  }

  void composite(const Scene& s, uint8_t* frame) {
    std::vector<cv::Mat> planes;
    for (int c = 0; c < 3; ++c)
      planes.emplace_back(kSide, kSide, CV_32F, const_cast<float*>(s.crop.data()) + c * kSide * kSide);
    cv::merge(planes, crop_);
    crop_ *= 255.0;
    cv::GaussianBlur(crop_, blur_, cv::Size(s.unsharp.ksize, s.unsharp.ksize), s.unsharp.sigma, s.unsharp.sigma,
                     cv::BORDER_REFLECT_101);
    cv::addWeighted(crop_, 1 + s.unsharp.amount, blur_, -s.unsharp.amount, 0, sharp_);
    cv::min(cv::max(sharp_, 0.0), 255.0, sharp_);

    // Footprint of the crop in the frame, and the warp restricted to it.
    std::vector<cv::Point2f> corners, mapped;
    for (float y : {-4.0f, kSide + 3.0f})
      for (float x : {-4.0f, kSide + 3.0f}) corners.emplace_back(x, y);
    const cv::Matx23f A(s.M[0], s.M[1], s.M[2], s.M[3], s.M[4], s.M[5]);
    cv::transform(corners, mapped, A);
    const cv::Rect roi = cv::boundingRect(mapped) & cv::Rect(0, 0, kW, kH);
    const cv::Matx23f Aroi(s.M[0], s.M[1], s.M[2] - roi.x, s.M[3], s.M[4], s.M[5] - roi.y);
    cv::warpAffine(sharp_, warped_, Aroi, roi.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(mask_, alpha_, Aroi, roi.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);

    cv::Mat dst(kH, kW, CV_8UC3, frame);
    cv::Mat view = dst(roi);
    view.convertTo(dstF_, CV_32FC3);
    cv::Mat alpha3;
    cv::merge(std::vector<cv::Mat>{alpha_, alpha_, alpha_}, alpha3);
    dstF_ += alpha3.mul(warped_ - dstF_);
    dstF_.convertTo(view, CV_8UC3);
  }

 private:
  cv::Mat mask_, crop_, blur_, sharp_, warped_, alpha_, dstF_;
};

le::peers::Register paste("paste_512_to_1080p", [] {
  cv::setNumThreads(le::pool::threads());
  Scene s;
  le::Paste ours(s.mask, kSide, s.unsharp);
  OpenCvPaste theirs(s);
  std::vector<uint8_t> a = s.frame, b = s.frame;
  const double leMs = le::peers::medianMs([&] { ours.composite(s.crop.data(), 255.0f, s.M, a.data(), kW, kH); });
  const double cvMs = le::peers::medianMs([&] { theirs.composite(s, b.data()); });
  le::peers::report("paste_512_to_1080p", leMs, "opencv", cvMs);
});

}  // namespace
