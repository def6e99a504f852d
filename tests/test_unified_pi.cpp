// The compose geometry: the manifest block and its refusals, the masks
// against the formula evaluated per pixel in double precision, the corner
// rule and the teeth gate, centroids, and the corpus match.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "bundle/le_unified_pi.h"
#include "bundle_fixtures.h"

namespace {

using le::tessera::Box;
using le::tessera::UnifiedPi;

constexpr int kLips[] = {6, 12, 14, 17, 19, 20};

std::string manifestWith(const std::string& pi, const std::string& rest = R"(, "crop": {"canvas": 64})") {
  return R"({"format": "le-bundle-v0", "crop": 64, "unified": {"pi": )" + pi + rest + "}}";
}

std::string piBlock(const std::string& geom = "[0.05, 0.08, 0.015]", const std::string& corner = "false",
                    const std::string& gate = "1.0") {
  return R"({"mode": "prop", "corner_recovery": )" + corner + R"(, "prop_gate_scale": )" + gate +
         R"(, "lip_idx": [6, 12, 14, 17, 19, 20], "lip_geom_params": )" + geom + "}";
}

UnifiedPi read(const std::string& pi, int canvas) { return UnifiedPi::fromManifestJson(manifestWith(pi, ""), canvas); }

// A keypoint frame whose lips are centred at (cx, cy): corners half_w apart
// from the centre (the right one lifted by tilt), outer lips outer + open/2
// above and below, inner lips open/2. Other rows sit far from the mouth.
std::array<float, 63> lips(double cx, double cy, double half_w, double open, double tilt = 0, double outer = 0.03) {
  std::array<float, 63> kp{};
  const auto set = [&](int r, double x, double y) { kp[3 * r] = float(x), kp[3 * r + 1] = float(y); };
  for (int r = 0; r < 21; ++r) set(r, -0.9 + 0.05 * r, -0.8);
  set(12, cx - half_w, cy);
  set(14, cx + half_w, cy - tilt);
  set(6, cx, cy - outer - open / 2);
  set(17, cx, cy + outer + open / 2);
  set(19, cx, cy - open / 2);
  set(20, cx, cy + open / 2);
  return kp;
}

double smoothstep(double u) { return u * u * (3 - 2 * u); }

// The geometry, written down again from its definition.
struct Reference {
  struct Ell {
    double cx, cy, rx, ry;
  };
  UnifiedPi g;

  double grid(int i) const { return g.canvas == 1 ? -1.0 : 2.0 * i / (g.canvas - 1) - 1.0; }
  double value(const Ell& e, int x, int y) const {
    const double t =
        (1 - std::hypot((grid(x) - e.cx) / e.rx, (grid(y) - e.cy) / e.ry)) * std::sqrt(e.rx * e.ry) * 256 / 10;
    return t < 0 ? 0 : smoothstep(std::min(t, 1.0));
  }
  // The lips' mean (cx, cy) and largest distance from it per axis (as rx, ry).
  static Ell stats(const float* kp) {
    Ell s{0, 0, 0, 0};
    for (int r : kLips) s.cx += kp[3 * r] / 6.0, s.cy += kp[3 * r + 1] / 6.0;
    for (int r : kLips)
      s.rx = std::max(s.rx, std::fabs(kp[3 * r] - s.cx)), s.ry = std::max(s.ry, std::fabs(kp[3 * r + 1] - s.cy));
    return s;
  }
  Ell lip(const float* kp) const {
    const Ell s = stats(kp);
    const double rx = std::max(0.1, s.rx + g.pad_x), ry = std::max(0.1, s.ry + g.pad_y);
    double scale = 1;
    if (g.corner_recovery) {
      double r = 0;
      for (int k : kLips) r = std::max(r, std::hypot((kp[3 * k] - s.cx) / rx, (kp[3 * k + 1] - s.cy - g.down) / ry));
      scale = std::max(1.0, 5 / (std::sqrt(rx * ry) * 256) + r);
    }
    return {s.cx, s.cy + g.down, rx * scale, ry * scale};
  }
  static double gateOpen(const float* kp) { return smoothstep(std::clamp((stats(kp).ry - 0.02) / 0.01, 0.0, 1.0)); }
  Ell gate(const float* kp) const {
    const Ell s = stats(kp);
    return {s.cx, s.cy, std::max(0.004, s.rx) * g.prop_gate_scale, std::max(0.004, s.ry) * g.prop_gate_scale};
  }
  double pi(const float* kp, int x, int y) const {
    return std::max(value(lip(kp), x, y), value(gate(kp), x, y) * gateOpen(kp));
  }
  // Centroid of the bytes >= 128; false when there are none.
  bool centroid(const float* kp, double* x, double* y) const {
    double sx = 0, sy = 0, n = 0;
    for (int r = 0; r < g.canvas; ++r)
      for (int c = 0; c < g.canvas; ++c)
        if (std::nearbyint(pi(kp, c, r) * 255) >= 128) sx += c, sy += r, ++n;
    if (n == 0) return false;
    *x = sx / n, *y = sy / n;
    return true;
  }
};

TEST(UnifiedPi, RefusesWhatItCannotName) {
  const std::string noUnified =
      "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the pi "
      "geometry it was baked with; refusing to guess one";
  const std::string corner =
      "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never be "
      "guessed";
  const std::string geom = "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]";
  const auto idx = [](const std::string& v) {
    return manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, )" + v + "}");
  };
  const std::pair<std::string, std::string> cases[] = {
      {R"({"format": "le-bundle-v0", "crop": 64})", noUnified},
      {R"({"unified": [1]})", noUnified},
      {R"({"unified": {"crop": {"canvas": 64}}})", "teeth: member JSON lacks key 'pi'"},
      {manifestWith(R"({"corner_recovery": true})"), "teeth: member JSON lacks key 'mode'"},
      {manifestWith(R"({"mode": 7})"), "teeth-pi: unified.pi.mode is not a string"},
      {manifestWith(R"({"mode": "ellipse"})"),
       "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail loud, never adapt "
       "(the stamped-geometry rule)"},
      {manifestWith(piBlock("[0.05, 0.08, 0.015]", "\"corners\"")), corner},
      {manifestWith(piBlock("[0.05, 0.08, 0.015]", "1")), corner},
      {manifestWith(R"({"mode": "prop", "lip_idx": [6], "lip_geom_params": [0, 0, 0]})"),
       "teeth: member JSON lacks key 'prop_gate_scale'"},
      {manifestWith(piBlock("[0.05, 0.08, 0.015]", "false", "0")),
       "teeth-pi: unified.pi.prop_gate_scale is not a positive finite number — refusing"},
      {idx(R"("lip_geom_params": [0, 0, 0])"), "teeth: member JSON lacks key 'lip_idx'"},
      {idx(R"("lip_idx": [], "lip_geom_params": [0, 0, 0])"), "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {idx(R"("lip_idx": 6, "lip_geom_params": [0, 0, 0])"), "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {idx(R"("lip_idx": [6, 21], "lip_geom_params": [0, 0, 0])"),
       "teeth-pi: unified.pi.lip_idx names keypoint row 21, and a keypoint row is 0..20 — refusing"},
      {idx(R"("lip_idx": [6])"), "teeth: member JSON lacks key 'lip_geom_params'"},
      {manifestWith(piBlock("[0.05, 0.08]")), geom},
      {manifestWith(piBlock("[0.05, \"0.08\", 0]")), geom},
      {manifestWith(piBlock("[0.05, 0.08, nan]")), geom},
      {manifestWith(piBlock(), R"(, "crop": {"canvas": 512})"),
       "teeth-pi: engine renders at canvas 64 but unified.crop.canvas is 512"},
      {R"({"unified": )", "teeth: manifest.json is not readable JSON: teeth: JSON truncated"},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { UnifiedPi::fromManifestJson(text, 64); }), want) << text;
}

TEST(UnifiedPi, ReadsTheStampedGeometry) {
  for (const auto& [corner, on] :
       {std::pair<std::string, bool>{"false", false}, {"true", true}, {"\"lip_landmark_half\"", true}})
    EXPECT_EQ(read(piBlock("[0.1, 0.08, 0.074]", corner, "1.5"), 64).corner_recovery, on) << corner;
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      manifestWith(
          R"({"mode": "prop", "prop_gate_scale": 2, "lip_idx": [6.9, 12], "lip_geom_params": [0.1, 0.2, 0.3]})",
          R"(, "crop": {"canvas": 5})"),
      5);
  EXPECT_EQ(pi.mode, "prop");
  EXPECT_FALSE(pi.corner_recovery);
  EXPECT_EQ(pi.lip_idx, (std::vector<int32_t>{6, 12}));
  EXPECT_EQ(std::vector<float>({pi.pad_x, pi.pad_y, pi.down, pi.prop_gate_scale}),
            std::vector<float>({0.1f, 0.2f, 0.3f, 2.0f}));
  EXPECT_EQ(pi.grid_x, (std::vector<float>{-1, -0.5, 0, 0.5, 1}));
  EXPECT_EQ(pi.grid_y, pi.grid_x);
  const UnifiedPi one = read(piBlock(), 1);
  EXPECT_EQ(one.grid_x, std::vector<float>{-1});
  EXPECT_EQ(one.grid_y, std::vector<float>{-1});
}

// Every mask and the gate's opening against the reference, pixel by pixel:
// the gate shut, half open and open, corners plain and recovered.
TEST(UnifiedPi, MasksFollowTheFormulaPerPixel) {
  struct Case {
    const char* name;
    std::array<float, 63> kp;
    std::string geom, corner, gate;
    int canvas;
  };
  const Case cases[] = {
      {"closed_v1", lips(0.02, 0.35, 0.15, 0.004), "[0.05, 0.08, 0.015]", "false", "1", 64},
      {"open_v2", lips(-0.1, 0.3, 0.18, 0.06), "[0.10, 0.08, 0.074]", "false", "1", 65},
      {"open_corner_scaled_gate", lips(0.05, 0.4, 0.2, 0.05, 0.06), "[0.02, 0.01, 0.05]", "\"lip_landmark_half\"",
       "1.3", 48},
      {"tilted_corner", lips(0.0, 0.2, 0.3, 0.01, 0.12), "[0.0, 0.0, 0.0]", "true", "0.8", 40},
      {"edge_of_canvas", lips(0.95, 0.9, 0.2, 0.08), "[0.14, 0.08, 0.074]", "false", "1", 32},
      {"gate_shut", lips(0, 0.3, 0.15, 0, 0, 0.012), "[0.05, 0.08, 0.015]", "false", "1", 64},
      {"gate_barely_shut", lips(0, 0.3, 0.15, 0, 0, 0.019), "[0.05, 0.08, 0.015]", "false", "1", 64},
      {"gate_half_open", lips(0, 0.3, 0.15, 0, 0, 0.026), "[0.05, 0.08, 0.015]", "false", "1", 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const UnifiedPi pi = read(piBlock(c.geom, c.corner, c.gate), c.canvas);
    const Reference ref{pi};
    const float* kp = c.kp.data();
    const size_t n = static_cast<size_t>(c.canvas) * c.canvas;
    std::vector<float> lip(n), gate(n), shrink(n);
    std::vector<uint8_t> u8(n), boxed(n), shrunk(n);
    pi.lipMask(kp, lip.data());
    pi.propTeethGate(kp, gate.data());
    pi.piU8(kp, u8.data());
    pi.piU8Boxed(kp, boxed.data());
    double open = -1;
    pi.gateParams(kp, &open);
    EXPECT_NEAR(open, ref.gateOpen(kp), 1e-9);
    // A shrink mask that is a ramp in x, zero in its left third.
    for (size_t i = 0; i < n; ++i)
      shrink[i] = static_cast<float>(static_cast<int>(i % c.canvas) - c.canvas / 3) / c.canvas;
    const Box cut{c.canvas / 4, 0, c.canvas, c.canvas * 3 / 4};
    pi.piU8ShrunkBy(kp, shrink.data(), cut, shrunk.data());
    const Box s = pi.supportBox(kp);
    int offByOne = 0, lipSeen = 0;
    for (int y = 0; y < c.canvas; ++y)
      for (int x = 0; x < c.canvas; ++x) {
        const size_t i = static_cast<size_t>(y) * c.canvas + x;
        const double l = ref.value(ref.lip(kp), x, y), g = ref.value(ref.gate(kp), x, y) * ref.gateOpen(kp);
        ASSERT_NEAR(lip[i], l, 1e-5) << x << "," << y;
        ASSERT_NEAR(gate[i], g, 1e-5) << x << "," << y;
        const double want = std::max(l, g) * 255;
        ASSERT_LE(std::fabs(u8[i] - want), 0.5 + 1e-6) << x << "," << y;
        offByOne += std::fabs(u8[i] - want) == 0.5 && std::nearbyint(want) != u8[i];
        lipSeen += l > 0;
        const bool inSupport = x >= s.x0 && x < s.x1 && y >= s.y0 && y < s.y1;
        const bool inCut = inSupport && x >= cut.x0 && x < cut.x1 && y >= cut.y0 && y < cut.y1;
        const double w = inCut && shrink[i] > 0 ? std::min<double>(shrink[i], std::max(l, g)) * 255 : 0;
        ASSERT_LE(std::fabs(shrunk[i] - w), 0.5 + 1e-6) << x << "," << y;
        ASSERT_TRUE(inSupport || (l == 0 && g == 0)) << "pi outside its support box at " << x << "," << y;
      }
    EXPECT_EQ(boxed, u8);
    EXPECT_GT(lipSeen, 0);
    EXPECT_EQ(offByOne, 0) << "ties must round to even";
  }
}

TEST(UnifiedPi, CornerRuleHoldsEveryLipKeypointInside) {
  // Corners far outside the plain padded ellipse: wide, tilted, open lips.
  const UnifiedPi off = read(piBlock("[0.0, 0.0, 0.074]", "false"), 512);
  const UnifiedPi on = read(piBlock("[0.0, 0.0, 0.074]", "\"lip_landmark_half\""), 512);
  for (const auto& kp :
       {lips(0, 0.3, 0.32, 0.02, 0.15), lips(0.1, 0.2, 0.4, 0.1, -0.2), lips(-0.2, 0.5, 0.12, 0.01, 0.3)}) {
    // Largest normalised radius of a lip keypoint, and the soft-edge
    // argument t there (the mask is smoothstep(t): one half at t = 0.5).
    auto worst = [&](const UnifiedPi& pi, double* t) {
      const UnifiedPi::EllParams e = pi.lipParams(kp.data());
      double r = 0;
      for (int k : kLips) r = std::max(r, std::hypot((kp[3 * k] - e.cx) / e.rx, (kp[3 * k + 1] - e.cy) / e.ry));
      *t = (1 - r) * std::sqrt(e.rx * e.ry) * 256 / 10;
      return r;
    };
    double t = 0;
    EXPECT_GT(worst(off, &t), 1.0);
    EXPECT_LT(worst(on, &t), 1.0);
    EXPECT_GE(t, 0.5 - 1e-9) << "the edge margin puts the mask at one half or more on every lip keypoint";
  }
}

TEST(UnifiedPi, CentroidsAndShifts) {
  const UnifiedPi pi = read(piBlock("[0.05, 0.08, 0.015]", "false"), 96);
  const Reference ref{pi};
  const double canon[2] = {40.3, 60.8};
  std::vector<uint8_t> mask(96 * 96);
  const auto gone = lips(6, 6, 0.1, 0.01);  // far off the canvas: nothing to centre on
  std::vector<float> frames;
  for (const auto& kp : {lips(0, 0.3, 0.15, 0.02), gone, lips(-0.3, 0.1, 0.2, 0.06), lips(0.5, 0.6, 0.1, 0.0)}) {
    frames.insert(frames.end(), kp.begin(), kp.end());
    double wx, wy, x, y;
    int dy = 99, dx = 99;
    const bool seen = ref.centroid(kp.data(), &wx, &wy);
    ASSERT_EQ(pi.piU8AndShift(kp.data(), canon, mask.data(), &dy, &dx), seen);
    if (!seen) {
      EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), 96 * 96);
      continue;
    }
    EXPECT_EQ(dy, std::lround(wy - canon[1]));
    EXPECT_EQ(dx, std::lround(wx - canon[0]));
    ASSERT_TRUE(pi.piU8Centroid(mask.data(), &x, &y));
    EXPECT_NEAR(x, wx, 1e-9);
    EXPECT_NEAR(y, wy, 1e-9);
    // Inside a box that holds only the left half of the mask, the centroid moves left.
    ASSERT_TRUE(pi.piU8Centroid(mask.data(), Box{0, 0, static_cast<int>(wx), 96}, &x, &y));
    EXPECT_LT(x, wx - 1);
  }
  double x = 0, y = 0;
  EXPECT_EQ(le::test::errorOf([&] { pi.canonicalCentroid(gone.data(), 1, &x, &y); }),
            "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
            "is identified by");
  // Empty frames are left out of the mean.
  double ax, ay, bx, by;
  ref.centroid(frames.data(), &ax, &ay);
  ref.centroid(frames.data() + 126, &bx, &by);
  pi.canonicalCentroid(frames.data(), 3, &x, &y);
  EXPECT_NEAR(x, (ax + bx) / 2, 1e-9);
  EXPECT_NEAR(y, (ay + by) / 2, 1e-9);
}

TEST(UnifiedPi, CorpusNamesTheBankGeometry) {
  constexpr int kCanvas = 256;
  const std::string text = manifestWith(piBlock("[0.3, 0.3, 0.3]", "true", "1.2"), R"(, "crop": {"canvas": 256})");
  std::vector<float> frames;
  for (const auto& kp : {lips(0, 0.3, 0.15, 0.02), lips(0.02, 0.32, 0.16, 0.05), lips(-0.02, 0.28, 0.14, 0.0)})
    frames.insert(frames.end(), kp.begin(), kp.end());
  // Each corpus row's canonical centroid from the reference geometry.
  struct Row {
    float pad_x, pad_y, down;
    double x = 0, y = 0;
  };
  Row rows[] = {{0.05f, 0.08f, 0.015f}, {0.10f, 0.08f, 0.074f}, {0.14f, 0.08f, 0.074f}};  // v1, v2, v3
  for (Row& row : rows) {
    Reference ref{UnifiedPi::fromManifestJson(text, kCanvas)};
    ref.g.pad_x = row.pad_x, ref.g.pad_y = row.pad_y, ref.g.down = row.down, ref.g.corner_recovery = false;
    for (int f = 0; f < 3; ++f) {
      double x, y;
      ASSERT_TRUE(ref.centroid(frames.data() + 63 * f, &x, &y));
      row.x += x / 3, row.y += y / 3;
    }
  }
  // v2 and v3 differ only in width, so they centre within a pixel of each other; v1 sits higher.
  ASSERT_LT(std::hypot(rows[1].x - rows[2].x, rows[1].y - rows[2].y), 3.0);
  ASSERT_GT(std::hypot(rows[0].x - rows[1].x, rows[0].y - rows[1].y), 6.0);

  std::string detail;
  const double nearV1[2] = {rows[0].x + 1.0, rows[0].y - 2.0};
  const UnifiedPi v1 = UnifiedPi::corpusFromManifestJson(text, kCanvas, frames.data(), 3, nearV1, &detail);
  EXPECT_EQ(std::vector<float>({v1.pad_x, v1.pad_y, v1.down}), std::vector<float>({0.05f, 0.08f, 0.015f}));
  EXPECT_FALSE(v1.corner_recovery);
  EXPECT_EQ(v1.prop_gate_scale, 1.2f);
  EXPECT_EQ(v1.lip_idx, std::vector<int32_t>(std::begin(kLips), std::end(kLips)));
  EXPECT_NE(detail.find("v1"), std::string::npos) << detail;

  const auto refusal = [&](const float* xs, int n, double x, double y) {
    const double at[2] = {x, y};
    return le::test::errorOf([&] { UnifiedPi::corpusFromManifestJson(text, kCanvas, xs, n, at, nullptr); });
  };
  const auto framed = [](const std::string& s, const std::string& head, const std::string& tail) {
    return s.rfind(head, 0) == 0 && s.size() >= head.size() + tail.size() &&
           s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  };
  const std::string ambiguous = refusal(frames.data(), 3, rows[1].x, rows[1].y);
  EXPECT_TRUE(framed(ambiguous, "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —",
                     " — refusing to guess the bank frame"))
      << ambiguous;
  const std::string none = refusal(frames.data(), 3, 10, 20);
  EXPECT_TRUE(framed(none, "teeth-pi: no corpus pi geometry matches this bank's c_canon (10.00,20.00) within 8.00px —",
                     " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can "
                     "name"))
      << none;
  char v1At[64];
  std::snprintf(v1At, sizeof v1At, "v1 at %.2fpx", std::hypot(rows[0].x - 10, rows[0].y - 20));
  EXPECT_NE(none.find(v1At), std::string::npos) << none;
  const std::string missing =
      "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing to "
      "fall back to the stamped geometry, which is the GRAPH's compose field";
  EXPECT_EQ(refusal(nullptr, 3, 10, 20), missing);
  EXPECT_EQ(refusal(frames.data(), 0, 10, 20), missing);
}

}  // namespace
