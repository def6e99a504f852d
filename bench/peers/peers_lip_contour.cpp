// lip_contour_512: the renderer's per-frame lip contour (a 24-vertex lip
// polygon feathered by 8 px on the 512 crop, written over the whole canvas)
// against the same mask computed over the whole canvas: by OpenCV (fillPoly,
// the 3x3 chamfer distanceTransform with the same step costs, the smoothstep)
// and by our own contour with its box widened to the canvas. One thread each.
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bundle/le_lip_contour.h"
#include "peers.h"

namespace {

constexpr int kSide = 512, kVerts = 24;
constexpr double kFeather = 8.0;

// An open mouth a little below the crop's centre, as the sample avatar's.
std::vector<float> lipFrame() {
  std::vector<float> kp(63, -0.5f);
  const float rows[][3] = {{6, 0.01f, 0.29f}, {12, -0.14f, 0.36f}, {14, 0.16f, 0.355f},
                           {17, 0.0f, 0.44f}, {19, 0.005f, 0.34f}, {20, 0.0f, 0.39f}};
  for (const auto& r : rows) {
    kp[3 * static_cast<int>(r[0])] = r[1];
    kp[3 * static_cast<int>(r[0]) + 1] = r[2];
  }
  return kp;
}

le::tessera::LipContour lipTemplate() {
  std::vector<double> u;
  for (int k = 0; k < kVerts; ++k) {
    u.push_back(1.1 * std::cos(2 * M_PI * k / kVerts));
    u.push_back(1.05 * std::sin(2 * M_PI * k / kVerts));
  }
  const int32_t anchors[] = {6, 12, 14, 17, 19, 20};
  return le::tessera::LipContour(kSide, kFeather, u.data(), kVerts, anchors, 6);
}

const le::peers::Register lipContour("lip_contour_512", [] {
  cv::setNumThreads(1);
  const le::tessera::LipContour contour = lipTemplate();
  const std::vector<float> kp = lipFrame();
  std::vector<float> out(kSide * kSide);
  const double leMs = le::peers::medianMs([&] { contour.contourF32Canvas(kp.data(), out.data()); });

  cv::Mat fill(kSide, kSide, CV_8U), dist, mask(kSide, kSide, CV_32F);
  std::vector<double> v(2 * kVerts);
  std::vector<cv::Point> pts(kVerts);
  const double cvMs = le::peers::medianMs([&] {
    contour.polygon(kp.data(), v.data());
    // fillPoly's vertices in 1/256 pixel; its pixel centres sit at integers.
    for (int k = 0; k < kVerts; ++k)
      pts[k] = cv::Point(static_cast<int>(std::lround((v[2 * k] - 0.5) * 256)),
                         static_cast<int>(std::lround((v[2 * k + 1] - 0.5) * 256)));
    fill.setTo(255);
    cv::fillPoly(fill, std::vector<std::vector<cv::Point>>{pts}, cv::Scalar(0), cv::LINE_8, 8);
    cv::distanceTransform(fill, dist, cv::DIST_L2, cv::DIST_MASK_3, CV_32F);
    for (int y = 0; y < kSide; ++y) {
      const float* d = dist.ptr<float>(y);
      float* m = mask.ptr<float>(y);
      for (int x = 0; x < kSide; ++x) {
        const float t = std::min(1.0f, 1.0f - d[x] / static_cast<float>(kFeather));
        m[x] = t > 0 ? t * t * (3 - 2 * t) : 0.0f;
      }
    }
  });
  le::peers::report("lip_contour_512", leMs, "opencv_full_canvas", cvMs);

  const double fullMs = le::peers::medianMs([&] {
    contour.polygon(kp.data(), v.data());
    contour.contourF32(v.data(), le::tessera::Box{0, 0, kSide, kSide}, out.data());
  });
  le::peers::report("lip_contour_512", leMs, "le_full_canvas", fullMs);
});

}  // namespace
