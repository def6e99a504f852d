// Lip template and lip-map reader on arbitrary text: it may refuse, never
// crash; a template it accepts rasterises a lip frame into a contour within
// 0..1 and a delivery mask never above pi.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_lip_contour.h"
#include "bundle/le_unified_pi.h"

namespace {

constexpr int kCanvas = 64;

// Open lips a little right of the centre; the other rows elsewhere on the face.
std::vector<float> lipFrame() {
  std::vector<float> kp(63);
  for (int r = 0; r < 21; ++r) {
    kp[3 * r] = -0.6f + 0.06f * static_cast<float>(r);
    kp[3 * r + 1] = -0.5f;
  }
  const float rows[][3] = {{6, 0.05f, 0.32f},  {12, -0.12f, 0.38f}, {14, 0.2f, 0.37f},
                           {17, 0.05f, 0.46f}, {19, 0.05f, 0.36f},  {20, 0.05f, 0.42f}};
  for (const auto& r : rows) {
    kp[3 * static_cast<int>(r[0])] = r[1];
    kp[3 * static_cast<int>(r[0]) + 1] = r[2];
  }
  return kp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::tessera::LipContour;
  using le::tessera::UnifiedPi;
  static const UnifiedPi pi = UnifiedPi::fromManifestJson(
      R"({"unified": {"pi": {"mode": "prop", "prop_gate_scale": 1, "lip_idx": [6, 12, 14, 17, 19, 20],
          "lip_geom_params": [0.05, 0.08, 0.015]}}})",
      kCanvas);
  static const std::vector<float> kp = lipFrame();
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    LipContour contour = LipContour::fromTemplateJson(text, kCanvas);
    std::vector<double> v(2 * static_cast<size_t>(contour.vertexCount()));
    contour.polygon(kp.data(), v.data());
    const le::tessera::Box box = contour.box(v.data());
    if (!box.empty() && (box.x0 < 0 || box.y0 < 0 || box.x1 > kCanvas || box.y1 > kCanvas)) __builtin_trap();
    std::vector<float> mask(kCanvas * kCanvas);
    contour.contourF32Canvas(kp.data(), mask.data());
    for (const float m : mask)
      if (!(m >= 0.0f && m <= 1.0f)) __builtin_trap();
    std::vector<uint8_t> delivered(kCanvas * kCanvas), piBytes(kCanvas * kCanvas);
    const double canon[2] = {33.5, 44.5};
    int dy = 0, dx = 0;
    contour.deliveredU8AndShift(kp.data(), pi, canon, delivered.data(), &dy, &dx);
    pi.piU8(kp.data(), piBytes.data());
    for (size_t i = 0; i < delivered.size(); ++i)
      if (delivered[i] > piBytes[i]) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
