// Compose geometry reader on arbitrary manifest text: it may refuse, never
// crash; a geometry it accepts gives the same pi computed on the whole
// canvas and inside its support box, and the corpus match refuses or names a
// geometry.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_unified_pi.h"

namespace {

constexpr int kCanvas = 64;

// Two target frames: lips closed, then open and to the left.
std::vector<float> targetFrames() {
  std::vector<float> kp(2 * 63, -0.5f);
  const float rows[][5] = {{6, 0.0f, 0.3f, -0.2f, 0.25f},   {12, -0.15f, 0.34f, -0.38f, 0.33f},
                           {14, 0.15f, 0.34f, 0.0f, 0.34f}, {17, 0.0f, 0.38f, -0.2f, 0.45f},
                           {19, 0.0f, 0.335f, -0.2f, 0.3f}, {20, 0.0f, 0.345f, -0.2f, 0.4f}};
  for (const auto& r : rows) {
    const int row = static_cast<int>(r[0]);
    kp[3 * row] = r[1];
    kp[3 * row + 1] = r[2];
    kp[63 + 3 * row] = r[3];
    kp[63 + 3 * row + 1] = r[4];
  }
  return kp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::tessera::UnifiedPi;
  static const std::vector<float> frames = targetFrames();
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const UnifiedPi pi = UnifiedPi::fromManifestJson(text, kCanvas);
    std::vector<uint8_t> whole(kCanvas * kCanvas), boxed(kCanvas * kCanvas);
    for (int f = 0; f < 2; ++f) {
      pi.piU8(frames.data() + 63 * f, whole.data());
      pi.piU8Boxed(frames.data() + 63 * f, boxed.data());
      if (whole != boxed) __builtin_trap();
    }
    const double canon[2] = {31.0, 42.0};
    std::string detail;
    const UnifiedPi named = UnifiedPi::corpusFromManifestJson(text, kCanvas, frames.data(), 2, canon, &detail);
    if (detail.empty() || named.canvas != kCanvas) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
