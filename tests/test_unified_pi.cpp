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

// A keypoint frame whose lips are centred at (cx, cy): corners half_w apart
// from the centre (the right one lifted by tilt), outer lips 0.03 + open/2
// above and below, inner lips open/2. Other rows sit far from the mouth.
std::array<float, 63> lips(double cx, double cy, double half_w, double open, double tilt = 0) {
  std::array<float, 63> kp{};
  for (int r = 0; r < 21; ++r) {
    kp[3 * r] = static_cast<float>(-0.9 + 0.05 * r);
    kp[3 * r + 1] = -0.8f;
  }
  auto set = [&](int r, double x, double y) {
    kp[3 * r] = static_cast<float>(x);
    kp[3 * r + 1] = static_cast<float>(y);
  };
  set(12, cx - half_w, cy);
  set(14, cx + half_w, cy - tilt);
  set(6, cx, cy - 0.03 - open / 2);
  set(17, cx, cy + 0.03 + open / 2);
  set(19, cx, cy - open / 2);
  set(20, cx, cy + open / 2);
  return kp;
}

// The geometry, written down again from its definition.
struct Reference {
  int canvas;
  double pad_x, pad_y, down, gate_scale;
  bool corner;

  explicit Reference(const UnifiedPi& pi)
      : canvas(pi.canvas),
        pad_x(pi.pad_x),
        pad_y(pi.pad_y),
        down(pi.down),
        gate_scale(pi.prop_gate_scale),
        corner(pi.corner_recovery) {}

  double grid(int i) const { return canvas == 1 ? -1.0 : 2.0 * i / (canvas - 1) - 1.0; }

  struct Ell {
    double cx, cy, rx, ry;
  };
  static double ss(double u) { return u * u * (3 - 2 * u); }
  double value(const Ell& e, int x, int y) const {
    const double d = std::hypot((grid(x) - e.cx) / e.rx, (grid(y) - e.cy) / e.ry);
    const double t = (1 - d) * std::sqrt(e.rx * e.ry) * 256 / 10;
    return t < 0 ? 0 : ss(std::min(t, 1.0));
  }
  void stats(const float* kp, double* cx, double* cy, double* ax, double* ay) const {
    *cx = *cy = *ax = *ay = 0;
    for (int r : kLips) {
      *cx += kp[3 * r] / 6.0;
      *cy += kp[3 * r + 1] / 6.0;
    }
    for (int r : kLips) {
      *ax = std::max(*ax, std::fabs(kp[3 * r] - *cx));
      *ay = std::max(*ay, std::fabs(kp[3 * r + 1] - *cy));
    }
  }
  Ell lip(const float* kp) const {
    double cx, cy, ax, ay;
    stats(kp, &cx, &cy, &ax, &ay);
    double rx = std::max(0.1, ax + pad_x), ry = std::max(0.1, ay + pad_y), scale = 1;
    if (corner) {
      double r = 0;
      for (int k : kLips) r = std::max(r, std::hypot((kp[3 * k] - cx) / rx, (kp[3 * k + 1] - cy - down) / ry));
      scale = std::max(1.0, 5 / (std::sqrt(rx * ry) * 256) + r);
    }
    return {cx, cy + down, rx * scale, ry * scale};
  }
  double gateOpen(const float* kp) const {
    double cx, cy, ax, ay;
    stats(kp, &cx, &cy, &ax, &ay);
    return ss(std::clamp((ay - 0.02) / 0.01, 0.0, 1.0));
  }
  Ell gate(const float* kp) const {
    double cx, cy, ax, ay;
    stats(kp, &cx, &cy, &ax, &ay);
    return {cx, cy, std::max(0.004, ax) * gate_scale, std::max(0.004, ay) * gate_scale};
  }
  double pi(const float* kp, int x, int y) const {
    return std::max(value(lip(kp), x, y), value(gate(kp), x, y) * gateOpen(kp));
  }
};

UnifiedPi read(const std::string& pi, int canvas = 64) {
  return UnifiedPi::fromManifestJson(manifestWith(pi, ""), canvas);
}

TEST(UnifiedPi, RefusesWhatItCannotName) {
  const std::string noUnified =
      "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the pi "
      "geometry it was baked with; refusing to guess one";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"format": "le-bundle-v0", "crop": 64})", noUnified},
      {R"({"unified": [1]})", noUnified},
      {R"({"unified": {"crop": {"canvas": 64}}})", "teeth: member JSON lacks key 'pi'"},
      {manifestWith(R"({"corner_recovery": true})"), "teeth: member JSON lacks key 'mode'"},
      {manifestWith(R"({"mode": 7})"), "teeth-pi: unified.pi.mode is not a string"},
      {manifestWith(R"({"mode": "ellipse"})"),
       "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail loud, never adapt "
       "(the stamped-geometry rule)"},
      {manifestWith(piBlock("[0.05, 0.08, 0.015]", "\"corners\"")),
       "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never be "
       "guessed"},
      {manifestWith(piBlock("[0.05, 0.08, 0.015]", "1")),
       "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never be "
       "guessed"},
      {manifestWith(R"({"mode": "prop", "lip_idx": [6], "lip_geom_params": [0, 0, 0]})"),
       "teeth: member JSON lacks key 'prop_gate_scale'"},
      {manifestWith(piBlock("[0.05, 0.08, 0.015]", "false", "0")),
       "teeth-pi: unified.pi.prop_gate_scale is not a positive finite number — refusing"},
      {manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_geom_params": [0, 0, 0]})"),
       "teeth: member JSON lacks key 'lip_idx'"},
      {manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": [], "lip_geom_params": [0, 0, 0]})"),
       "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": 6, "lip_geom_params": [0, 0, 0]})"),
       "teeth-pi: unified.pi.lip_idx is not a non-empty array"},
      {manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": [6, 21], "lip_geom_params": [0, 0, 0]})"),
       "teeth-pi: unified.pi.lip_idx names keypoint row 21, and a keypoint row is 0..20 — refusing"},
      {manifestWith(R"({"mode": "prop", "prop_gate_scale": 1, "lip_idx": [6]})"),
       "teeth: member JSON lacks key 'lip_geom_params'"},
      {manifestWith(piBlock("[0.05, 0.08]")), "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifestWith(piBlock("[0.05, \"0.08\", 0]")),
       "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifestWith(piBlock("[0.05, 0.08, nan]")), "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]"},
      {manifestWith(piBlock(), R"(, "crop": {"canvas": 512})"),
       "teeth-pi: engine renders at canvas 64 but unified.crop.canvas is 512"},
      {R"({"unified": )", "teeth: manifest.json is not readable JSON: teeth: JSON truncated"},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { UnifiedPi::fromManifestJson(text, 64); }), want) << text;
}

TEST(UnifiedPi, ReadsTheStampedGeometry) {
  struct Case {
    std::string corner;
    bool on;
  };
  for (const Case& c : {Case{"false", false}, Case{"true", true}, Case{"\"lip_landmark_half\"", true}}) {
    const UnifiedPi pi = read(piBlock("[0.1, 0.08, 0.074]", c.corner, "1.5"));
    EXPECT_EQ(pi.corner_recovery, c.on) << c.corner;
  }
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
  const UnifiedPi one = UnifiedPi::fromManifestJson(manifestWith(piBlock(), ""), 1);
  EXPECT_EQ(one.grid_x, std::vector<float>{-1});
  EXPECT_EQ(one.grid_y, std::vector<float>{-1});
}

struct MaskCase {
  const char* name;
  std::array<float, 63> kp;
  std::string geom, corner, gate;
  int canvas;
};

std::vector<MaskCase> maskCases() {
  return {
      {"closed_v1", lips(0.02, 0.35, 0.15, 0.004), "[0.05, 0.08, 0.015]", "false", "1", 64},
      {"open_v2", lips(-0.1, 0.3, 0.18, 0.06), "[0.10, 0.08, 0.074]", "false", "1", 65},
      {"open_corner_scaled_gate", lips(0.05, 0.4, 0.2, 0.05, 0.06), "[0.02, 0.01, 0.05]", "\"lip_landmark_half\"",
       "1.3", 48},
      {"tilted_corner", lips(0.0, 0.2, 0.3, 0.01, 0.12), "[0.0, 0.0, 0.0]", "true", "0.8", 40},
      {"edge_of_canvas", lips(0.95, 0.9, 0.2, 0.08), "[0.14, 0.08, 0.074]", "false", "1", 32},
  };
}

TEST(UnifiedPi, MasksFollowTheFormulaPerPixel) {
  for (const MaskCase& c : maskCases()) {
    SCOPED_TRACE(c.name);
    const UnifiedPi pi = UnifiedPi::fromManifestJson(manifestWith(piBlock(c.geom, c.corner, c.gate), ""), c.canvas);
    const Reference ref(pi);
    const size_t n = static_cast<size_t>(c.canvas) * c.canvas;
    std::vector<float> lip(n), gate(n);
    std::vector<uint8_t> u8(n), boxed(n), shrunk(n);
    pi.lipMask(c.kp.data(), lip.data());
    pi.propTeethGate(c.kp.data(), gate.data());
    pi.piU8(c.kp.data(), u8.data());
    pi.piU8Boxed(c.kp.data(), boxed.data());
    // A shrink mask that is a ramp in x, zero in its left third.
    std::vector<float> shrink(n);
    for (size_t i = 0; i < n; ++i)
      shrink[i] = static_cast<float>(static_cast<int>(i % c.canvas) - c.canvas / 3) / c.canvas;
    const Box cut{c.canvas / 4, 0, c.canvas, c.canvas * 3 / 4};
    pi.piU8ShrunkBy(c.kp.data(), shrink.data(), cut, shrunk.data());
    const Box support = pi.supportBox(c.kp.data());
    int offByOne = 0, lipSeen = 0;
    for (int y = 0; y < c.canvas; ++y)
      for (int x = 0; x < c.canvas; ++x) {
        const size_t i = static_cast<size_t>(y) * c.canvas + x;
        const double l = ref.value(ref.lip(c.kp.data()), x, y);
        const double g = ref.value(ref.gate(c.kp.data()), x, y) * ref.gateOpen(c.kp.data());
        ASSERT_NEAR(lip[i], l, 1e-5) << x << "," << y;
        ASSERT_NEAR(gate[i], g, 1e-5) << x << "," << y;
        const double want = std::max(l, g) * 255;
        ASSERT_LE(std::fabs(u8[i] - want), 0.5 + 1e-6) << x << "," << y;
        offByOne += std::fabs(u8[i] - want) == 0.5 && std::nearbyint(want) != u8[i];
        lipSeen += l > 0;
        const bool inCut = x >= std::max(support.x0, cut.x0) && x < std::min(support.x1, cut.x1) &&
                           y >= std::max(support.y0, cut.y0) && y < std::min(support.y1, cut.y1);
        const double s = shrink[i];
        const double w = inCut && s > 0 ? std::min(s, std::max(l, g)) * 255 : 0;
        ASSERT_LE(std::fabs(shrunk[i] - w), 0.5 + 1e-6) << x << "," << y;
        // Nothing of pi lies outside its support box.
        if (l > 0 || g > 0) {
          ASSERT_TRUE(x >= support.x0 && x < support.x1 && y >= support.y0 && y < support.y1) << x << "," << y;
        }
      }
    EXPECT_EQ(boxed, u8);
    EXPECT_GT(lipSeen, 0);
    EXPECT_EQ(offByOne, 0) << "ties must round to even";
  }
}

TEST(UnifiedPi, CornerRuleHoldsEveryLipKeypointInside) {
  // Corners far outside the plain padded ellipse: wide, tilted, open lips.
  const std::array<float, 63> frames[] = {lips(0, 0.3, 0.32, 0.02, 0.15), lips(0.1, 0.2, 0.4, 0.1, -0.2),
                                          lips(-0.2, 0.5, 0.12, 0.01, 0.3)};
  const UnifiedPi off = read(piBlock("[0.0, 0.0, 0.074]", "false"), 512);
  const UnifiedPi on = read(piBlock("[0.0, 0.0, 0.074]", "\"lip_landmark_half\""), 512);
  for (const auto& kp : frames) {
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

TEST(UnifiedPi, TeethGateOpensOnlyWithTheLips) {
  const UnifiedPi pi = read(piBlock("[0.05, 0.08, 0.015]", "false"), 64);
  struct Case {
    float ay;  // largest vertical distance of a lip row from the lip centre
    bool open;
  };
  for (const Case& c : {Case{0.012f, false}, Case{0.019f, false}, Case{0.026f, true}, Case{0.05f, true}}) {
    // Outer lips at +-ay from the centre, inner lips closed on it.
    auto kp = lips(0, 0.3, 0.15, 0);
    kp[3 * 6 + 1] = 0.3f - c.ay;
    kp[3 * 17 + 1] = 0.3f + c.ay;
    std::vector<float> gate(64 * 64), lip(64 * 64);
    std::vector<uint8_t> u8(64 * 64);
    double g = -1;
    pi.gateParams(kp.data(), &g);
    pi.propTeethGate(kp.data(), gate.data());
    pi.lipMask(kp.data(), lip.data());
    pi.piU8(kp.data(), u8.data());
    const float peak = *std::max_element(gate.begin(), gate.end());
    EXPECT_EQ(peak > 0, c.open) << c.ay;
    EXPECT_EQ(g > 0, c.open) << c.ay;
    if (!c.open) {
      for (size_t i = 0; i < u8.size(); ++i)
        ASSERT_EQ(u8[i], static_cast<uint8_t>(std::nearbyint(lip[i] * 255.0))) << "closed lips: pi is the lip ellipse";
    }
  }
}

// Centroid of the bytes >= 128, from the reference values.
bool refCentroid(const Reference& ref, const float* kp, double* x, double* y) {
  double sx = 0, sy = 0, n = 0;
  for (int r = 0; r < ref.canvas; ++r)
    for (int c = 0; c < ref.canvas; ++c)
      if (std::nearbyint(ref.pi(kp, c, r) * 255) >= 128) sx += c, sy += r, ++n;
  if (n == 0) return false;
  *x = sx / n;
  *y = sy / n;
  return true;
}

TEST(UnifiedPi, CentroidsAndShifts) {
  const UnifiedPi pi = read(piBlock("[0.05, 0.08, 0.015]", "false"), 96);
  const Reference ref(pi);
  const double canon[2] = {40.3, 60.8};
  std::vector<uint8_t> mask(96 * 96);
  for (const auto& kp : {lips(0, 0.3, 0.15, 0.02), lips(-0.3, 0.1, 0.2, 0.06), lips(0.5, 0.6, 0.1, 0.0)}) {
    double wx, wy, x, y;
    ASSERT_TRUE(refCentroid(ref, kp.data(), &wx, &wy));
    int dy = 99, dx = 99;
    ASSERT_TRUE(pi.piU8AndShift(kp.data(), canon, mask.data(), &dy, &dx));
    EXPECT_EQ(dy, std::lround(wy - canon[1]));
    EXPECT_EQ(dx, std::lround(wx - canon[0]));
    ASSERT_TRUE(pi.piU8Centroid(mask.data(), &x, &y));
    EXPECT_NEAR(x, wx, 1e-9);
    EXPECT_NEAR(y, wy, 1e-9);
    // Inside a box that holds only the left half of the mask, the centroid moves left.
    ASSERT_TRUE(pi.piU8Centroid(mask.data(), Box{0, 0, static_cast<int>(wx), 96}, &x, &y));
    EXPECT_LT(x, wx - 1);
  }
  // Lips far off the canvas: nothing to centre on.
  const auto gone = lips(6, 6, 0.1, 0.01);
  int dy = 0, dx = 0;
  EXPECT_FALSE(pi.piU8AndShift(gone.data(), canon, mask.data(), &dy, &dx));
  EXPECT_EQ(std::count(mask.begin(), mask.end(), 0), 96 * 96);
  double x = 0, y = 0;
  EXPECT_EQ(le::test::errorOf([&] { pi.canonicalCentroid(gone.data(), 1, &x, &y); }),
            "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
            "is identified by");
  // Empty frames are left out of the mean.
  std::vector<float> frames;
  for (const auto& kp : {lips(0, 0.3, 0.15, 0.02), gone, lips(-0.3, 0.1, 0.2, 0.06)})
    frames.insert(frames.end(), kp.begin(), kp.end());
  double ax, ay, bx, by;
  refCentroid(ref, frames.data(), &ax, &ay);
  refCentroid(ref, frames.data() + 126, &bx, &by);
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
    const char* name;
    float pad_x, pad_y, down;
    double x = 0, y = 0;
  };
  std::vector<Row> rows = {{"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.10f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}};
  for (Row& row : rows) {
    UnifiedPi geometry = UnifiedPi::fromManifestJson(text, kCanvas);
    geometry.pad_x = row.pad_x, geometry.pad_y = row.pad_y, geometry.down = row.down, geometry.corner_recovery = false;
    const Reference ref(geometry);
    for (int f = 0; f < 3; ++f) {
      double x, y;
      ASSERT_TRUE(refCentroid(ref, frames.data() + 63 * f, &x, &y));
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

  auto startsEnds = [](const std::string& s, const std::string& head, const std::string& tail) {
    return s.rfind(head, 0) == 0 && s.size() >= head.size() + tail.size() &&
           s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  };
  const double atV2[2] = {rows[1].x, rows[1].y};
  const std::string ambiguous =
      le::test::errorOf([&] { UnifiedPi::corpusFromManifestJson(text, kCanvas, frames.data(), 3, atV2, nullptr); });
  EXPECT_TRUE(startsEnds(ambiguous, "teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —",
                         " — refusing to guess the bank frame"))
      << ambiguous;
  const double far[2] = {10, 20};
  const std::string none =
      le::test::errorOf([&] { UnifiedPi::corpusFromManifestJson(text, kCanvas, frames.data(), 3, far, nullptr); });
  EXPECT_TRUE(startsEnds(none,
                         "teeth-pi: no corpus pi geometry matches this bank's c_canon (10.00,20.00) within 8.00px —",
                         " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can "
                         "name"))
      << none;
  char v1At[64];
  std::snprintf(v1At, sizeof v1At, "v1 at %.2fpx", std::hypot(rows[0].x - 10, rows[0].y - 20));
  EXPECT_NE(none.find(v1At), std::string::npos) << none;
  const std::string missing =
      "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
      "supplied — refusing to fall back to the stamped geometry, which is the GRAPH's compose "
      "field";
  EXPECT_EQ(le::test::errorOf([&] { UnifiedPi::corpusFromManifestJson(text, kCanvas, nullptr, 3, far, nullptr); }),
            missing);
  EXPECT_EQ(
      le::test::errorOf([&] { UnifiedPi::corpusFromManifestJson(text, kCanvas, frames.data(), 0, far, nullptr); }),
      missing);
}

}  // namespace
