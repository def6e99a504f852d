// The lip contour: the template and lip-map refusals, the polygon with and
// without the map against hand-computed vertices, the fill and feathered
// contour against a point-in-polygon test and the chamfer distance written
// out per pixel, and the delivery masks cut from pi.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_lip_contour.h"
#include "bundle/le_unified_pi.h"
#include "bundle_fixtures.h"

namespace {

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;

using le::test::JsonFields;
using le::test::jsonObject;

const JsonFields kTemplate = {{"format", R"("lip-template-v1")"},
                              {"canvas", "100"},
                              {"feather_px", "3"},
                              {"u_canon", "[[1.2, 0.1], [0, -1], [-0.5, 0.3], [0.25, 1.5]]"},
                              {"lip_idx", "[6, 12, 14, 17]"}};

// Four vertices from the anchors 12 and 14 (see the polygon test).
const JsonFields kMap = {{"schema", R"("lip-map-v1")"},
                         {"kind", R"("anchor-linear")"},
                         {"lip_idx", "[12, 14]"},
                         {"W",
                          "[[0, 0, 1, 0], [0, 0, 0, 1], [0.5, 0, 0.5, 0], [0, 1, 0, 1], [1, 0, 0, 0], [0, 1, 0, 0], "
                          "[0, 0, 0, 0], [0.1, 0, 0, 0]]"},
                         {"b", "[2, 0, 0, -5, -1, 0, 0, 6]"},
                         {"canvas", "100"}};

// The template with edits, and the template carrying the map with edits.
std::string tmpl(const JsonFields& edits = {}) { return jsonObject(kTemplate, edits); }
std::string mapped(const JsonFields& edits = {}, const JsonFields& tmplEdits = {}) {
  JsonFields all = tmplEdits;
  all.emplace_back("lip_map", jsonObject(kMap, edits));
  return jsonObject(kTemplate, all);
}

TEST(LipContour, RefusesEveryTemplateDefect) {
  const std::string p = "lip_template.v1.json: ";
  const std::pair<std::string, std::string> cases[] = {
      {"{", p + "is not parseable JSON (teeth: JSON truncated)"},
      {"[1, 2]", p + "is not a JSON object"},
      {tmpl({{"format", ""}}), p + "carries no string `format`"},
      {tmpl({{"format", "1"}}), p + "carries no string `format`"},
      {tmpl({{"format", R"("lip-template-v2")"}}),
       p + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it"},
      {tmpl({{"edge", R"("outward")"}}),
       p + "declares edge 'outward', and the contour feather is OUTWARD — refusing to serve a mask this runtime does "
           "not compute"},
      {tmpl({{"canvas", ""}}), p + "carries no numeric `canvas`"},
      {tmpl({{"canvas", R"("100")"}}), p + "carries no numeric `canvas`"},
      {tmpl({{"canvas", "512"}}),
       p + "was baked on a 512 canvas but this bundle composes on 100 — refusing to deform a polygon onto a canvas it "
           "does not name"},
      {tmpl({{"feather_px", ""}}), p + "carries no numeric `feather_px`"},
      {tmpl({{"feather_px", "0"}}), p + "declares feather_px 0.000000, which is not positive"},
      {tmpl({{"u_canon", "[]"}}), p + "carries no non-empty `u_canon` array"},
      {tmpl({{"u_canon", R"({"a": [1, 2]})"}}), p + "carries no non-empty `u_canon` array"},
      {tmpl({{"u_canon", "[[1, 0], [1, 2, 3]]"}}),
       p + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template"},
      {tmpl({{"u_canon", "[[1, 0], [0, 1], 5]"}}),
       p + "u_canon row 2 is not a 2-vector — this is not an nv x 2 template"},
      {tmpl({{"lip_idx", "[]"}}), p + "carries a `lip_idx` that is not a non-empty array"},
      {tmpl({{"lip_idx", "12"}}), p + "carries a `lip_idx` that is not a non-empty array"},
      {tmpl({{"lip_idx", "[6, 21]"}}), p + "lip_idx names keypoint row 21, and a kd row is 0..20"},
      {tmpl({{"lip_idx", "[-1]"}}), p + "lip_idx names keypoint row -1, and a kd row is 0..20"},
      {tmpl({{"lip_map", "[1]"}}), p + "lip_map is not a JSON object"},
      {mapped({{"schema", R"("lip-map-v2")"}}),
       p + "lip_map declares schema 'lip-map-v2', not 'lip-map-v1' — this runtime cannot evaluate it"},
      {mapped({{"kind", R"("pca")"}}), p + "lip_map kind is not 'anchor-linear'"},
      {mapped({{"lip_idx", "[12, 14, 6, 17, 19, 20, 0, 1, 2]"}}), p + "lip_map lip_idx is not 1..8 kd rows"},
      {mapped({{"lip_idx", "[]"}}), p + "lip_map lip_idx is not 1..8 kd rows"},
      {mapped({{"lip_idx", "[12, 30]"}}), p + "lip_map lip_idx names a row outside 0..20"},
      {mapped({{"W", ""}}), p + "lip_map carries no W/b arrays"},
      {mapped({{"b", "{}"}}), p + "lip_map carries no W/b arrays"},
      {mapped({{"b", "[2, 0, 0, -5, -1, 0, 0]"}}), p + "lip_map W/b have 8/7 rows, not 2*nv=8"},
      {mapped({{"W", "[[0, 0, 1, 0]]"}}), p + "lip_map W/b have 1/8 rows, not 2*nv=8"},
      {mapped({{"W", "[[0, 0, 1, 0], [0, 0, 0, 1], [0, 0, 0, 0], [0, 1, 0], [], [], [], []]"}}),
       p + "lip_map W row 3 is not 4 wide"},
      {mapped({{"b", "[2, 0, 0, -5, -1, 0, 1e999, 6]"}}), p + "lip_map carries a non-finite coefficient"},
      {mapped({{"b", R"([2, 0, 0, -5, -1, 0, "0", 6])"}}), p + "lip_map carries a non-finite coefficient"},
      {mapped({{"canvas", "64"}}), p + "lip_map was fitted on another canvas than this bundle composes on"},
      {mapped({{"canvas", ""}}), p + "lip_map was fitted on another canvas than this bundle composes on"},
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(le::test::errorOf([&] { LipContour::fromTemplateJson(text, 100); }), want) << text;

  // Any edge but "outward" is served.
  for (const std::string& text : {tmpl(), tmpl({{"edge", R"("inward")"}}), tmpl({{"edge", "5"}})}) {
    const LipContour c = LipContour::fromTemplateJson(text, 100);
    EXPECT_EQ(std::make_tuple(c.vertexCount(), c.featherPx(), c.hasMap()), std::make_tuple(4, 3.0, false)) << text;
  }
  EXPECT_TRUE(LipContour::fromTemplateJson(mapped(), 100).hasMap());
}

std::array<float, 63> frame(std::initializer_list<std::tuple<int, float, float>> rows) {
  std::array<float, 63> kp{};
  for (const auto& [r, x, y] : rows) {
    kp[3 * r] = x;
    kp[3 * r + 1] = y;
  }
  return kp;
}

TEST(LipContour, PolygonFromTheAnchorsWithAndWithoutTheMap) {
  // Canvas 100: X = (x + 1) 50. Anchors 6, 12, 14, 17 at (50, 65), (40, 70),
  // (60, 68), (50, 75): mean (50, 69.5), spread sx 10, sy 5.5. The map reads
  // rows 12 and 14: f = (-10, 0.5, 10, -1.5).
  const auto kp = frame({{6, 0.0f, 0.3f}, {12, -0.2f, 0.4f}, {14, 0.2f, 0.36f}, {17, 0.0f, 0.5f}, {19, 0.9f, 0.9f}});
  // Anchors collapsed on (55, 65): the polygon sits there, its scales 1e-6.
  const auto collapsed = frame({{6, 0.1f, 0.3f}, {12, 0.1f, 0.3f}, {14, 0.1f, 0.3f}, {17, 0.1f, 0.3f}});
  const std::tuple<std::string, std::array<float, 63>, std::vector<double>> cases[] = {
      {tmpl(), kp, {62, 70.05, 50, 64, 45, 71.15, 52.5, 77.75}},
      {mapped(), kp, {62, 68, 50, 63.5, 39, 70, 50, 74.5}},
      {tmpl(), collapsed, {55, 65, 55, 65, 55, 65, 55, 65}},
  };
  for (const auto& [text, frame, want] : cases) {
    std::vector<double> v(8);
    LipContour::fromTemplateJson(text, 100).polygon(frame.data(), v.data());
    for (size_t j = 0; j < 8; ++j) EXPECT_NEAR(v[j], want[j], 1e-4) << text << " coordinate " << j;
  }
}

// Pixel centre (x + 0.5, y + 0.5) inside the polygon, by crossing number.
bool inside(const std::vector<double>& v, int x, int y) {
  const double px = x + 0.5, py = y + 0.5;
  bool in = false;
  const size_t n = v.size() / 2;
  for (size_t i = 0, j = n - 1; i < n; j = i++) {
    const double xi = v[2 * i], yi = v[2 * i + 1], xj = v[2 * j], yj = v[2 * j + 1];
    if ((yi > py) != (yj > py) && px < (xj - xi) * (py - yi) / (yj - yi) + xi) in = !in;
  }
  return in;
}

// The contour value of every canvas pixel: the chamfer distance to the
// nearest filled pixel (cost 0.955 per straight and 1.3693 per diagonal
// step), through the smoothstep of 1 - D / feather. d receives D.
std::vector<double> referenceContour(const std::vector<double>& v, int canvas, double feather, std::vector<double>* d) {
  std::vector<std::pair<int, int>> fill;
  for (int y = 0; y < canvas; ++y)
    for (int x = 0; x < canvas; ++x)
      if (inside(v, x, y)) fill.emplace_back(x, y);
  std::vector<double> out(static_cast<size_t>(canvas) * canvas);
  d->assign(out.size(), 1e10);
  for (int y = 0; y < canvas; ++y)
    for (int x = 0; x < canvas; ++x) {
      double& D = (*d)[static_cast<size_t>(y) * canvas + x];
      for (const auto& [fx, fy] : fill) {
        const int a = std::abs(fx - x), b = std::abs(fy - y);
        D = std::min(D, 0.955 * (std::max(a, b) - std::min(a, b)) + 1.3693 * std::min(a, b));
      }
      const double u = std::min(1.0, 1.0 - D / feather);
      out[static_cast<size_t>(y) * canvas + x] = u <= 0 ? 0 : u * u * (3 - 2 * u);
    }
  return out;
}

TEST(LipContour, FeatheredContourIsTheChamferDistanceThroughASmoothstep) {
  constexpr int kCanvas = 48;
  struct Case {
    const char* name;
    std::vector<double> v;
    double feather;
  };
  const Case cases[] = {
      {"lip_lens", {10.3, 24.2, 17.6, 18.7, 30.1, 19.4, 38.7, 24.9, 29.8, 30.3, 18.2, 29.6}, 3.5},
      {"concave_arrow", {12.2, 12.3, 36.7, 20.1, 12.4, 36.8, 20.6, 21.3}, 6.0},
      {"thin_sliver", {5.3, 40.2, 44.6, 38.1, 44.2, 39.3}, 1.0},
      {"over_the_edge", {-8.3, -6.1, 14.7, 2.2, 6.2, 15.6}, 4.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t nv = c.v.size() / 2;
    const LipContour contour(kCanvas, c.feather, c.v.data(), static_cast<int>(nv), std::array<int32_t, 1>{12}.data(),
                             1);
    const Box box = contour.box(c.v.data());
    std::vector<float> out(kCanvas * kCanvas, -7.0f);
    std::vector<uint8_t> fill(kCanvas * kCanvas, 7);
    contour.contourF32(c.v.data(), box, out.data());
    contour.fillScanline(c.v.data(), box, fill.data());
    std::vector<double> D;
    const std::vector<double> want = referenceContour(c.v, kCanvas, c.feather, &D);
    int filled = 0, soft = 0;
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        const size_t i = static_cast<size_t>(y) * kCanvas + x;
        const bool inBox = x >= box.x0 && x < box.x1 && y >= box.y0 && y < box.y1;
        if (!inBox) {
          // Nothing is written outside the box, and the contour does not reach there.
          ASSERT_EQ(out[i], -7.0f) << x << "," << y;
          ASSERT_EQ(fill[i], 7) << x << "," << y;
          ASSERT_EQ(want[i], 0.0) << x << "," << y;
          continue;
        }
        ASSERT_EQ(fill[i], inside(c.v, x, y) ? 1 : 0) << x << "," << y;
        ASSERT_NEAR(out[i], want[i], 1e-4) << x << "," << y << " D " << D[i];
        if (D[i] == 0) {
          ASSERT_EQ(out[i], 1.0f) << "filled " << x << "," << y;
        }
        if (D[i] >= c.feather) {
          ASSERT_EQ(out[i], 0.0f) << "beyond the feather " << x << "," << y;
        }
        // Monotone: a neighbour farther from the fill is never brighter.
        if (x + 1 < box.x1 && D[i + 1] > D[i]) {
          ASSERT_LE(out[i + 1], out[i]) << x << "," << y;
        }
        if (y + 1 < box.y1 && D[i + kCanvas] > D[i]) {
          ASSERT_LE(out[i + kCanvas], out[i]) << x << "," << y;
        }
        filled += D[i] == 0;
        soft += out[i] > 0 && out[i] < 1;
      }
    EXPECT_GT(filled, 0);
    EXPECT_GT(soft, 0);
  }
}

std::array<float, 63> lips(float cx, float cy, float half_w, float open) {
  return frame({{12, cx - half_w, cy},
                {14, cx + half_w, cy},
                {6, cx, cy - 0.03f - open / 2},
                {17, cx, cy + 0.03f + open / 2},
                {19, cx, cy - open / 2},
                {20, cx, cy + open / 2}});
}

// A template of an ellipse of 16 vertices, radius_u times the anchor spread.
std::string ellipseTemplate(int canvas, double radius_u, double feather) {
  std::string u;
  for (int k = 0; k < 16; ++k)
    u += (k ? ", [" : "[") + std::to_string(radius_u * std::cos(k * M_PI / 8)) + ", " +
         std::to_string(radius_u * std::sin(k * M_PI / 8)) + "]";
  return tmpl(
      {{"canvas", std::to_string(canvas)}, {"u_canon", "[" + u + "]"}, {"feather_px", std::to_string(feather)}});
}

uint8_t byteOf(double v) { return static_cast<uint8_t>(std::nearbyint(std::clamp(v, 0.0, 1.0) * 255)); }

TEST(LipContour, DeliveryIsPiCutDownByTheContour) {
  constexpr int kCanvas = 100;
  constexpr size_t kPixels = kCanvas * kCanvas;
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      R"({"unified": {"pi": {"mode": "prop", "prop_gate_scale": 1, "lip_idx": [6, 12, 14, 17, 19, 20],
          "lip_geom_params": [0.05, 0.08, 0.015]}, "crop": {"canvas": 100}}})",
      kCanvas);
  const double canon[2] = {48.2, 63.7};
  struct Case {
    const char* name;
    double radius_u;  // the contour inside pi, or reaching past its support box
    std::array<float, 63> kp;
  };
  const Case cases[] = {
      {"lips_inside_pi", 1.1, lips(0.0, 0.3, 0.15, 0.04)},
      {"contour_beyond_pi", 2.6, lips(-0.1, 0.35, 0.12, 0.01)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LipContour contour = LipContour::fromTemplateJson(ellipseTemplate(kCanvas, c.radius_u, 2.5), kCanvas);
    std::vector<float> cf(kPixels, -1.0f);
    std::vector<uint8_t> piBytes(kPixels), out(kPixels, 9), shifted(kPixels, 9);
    contour.contourF32Canvas(c.kp.data(), cf.data());
    pi.piU8(c.kp.data(), piBytes.data());
    contour.deliveredU8(c.kp.data(), pi, out.data());
    int dy = 0, dx = 0;
    ASSERT_TRUE(contour.deliveredU8AndShift(c.kp.data(), pi, canon, shifted.data(), &dy, &dx));
    EXPECT_EQ(shifted, out);
    const Box support = pi.supportBox(c.kp.data());
    double sx = 0, sy = 0, n = 0;
    int cutBySupport = 0, delivered = 0;
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        const size_t i = static_cast<size_t>(y) * kCanvas + x;
        const bool inSupport = x >= support.x0 && x < support.x1 && y >= support.y0 && y < support.y1;
        const uint8_t want = inSupport && cf[i] > 0 ? std::min(byteOf(cf[i]), piBytes[i]) : 0;
        ASSERT_EQ(out[i], want) << x << "," << y;
        cutBySupport += !inSupport && cf[i] > 0;
        delivered += out[i] > 0;
        if (out[i] >= 128) sx += x, sy += y, ++n;
      }
    EXPECT_GT(delivered, 0);
    EXPECT_EQ(cutBySupport > 0, c.radius_u > 2) << "the wide contour reaches past pi's support box";
    EXPECT_EQ(dx, std::lround(sx / n - canon[0]));
    EXPECT_EQ(dy, std::lround(sy / n - canon[1]));

    // The same cut on an existing mask, inside a box only.
    std::vector<uint8_t> mask(kPixels, 200);
    const Box cut{20, 30, 70, 90};
    contour.shrinkU8InPlace(c.kp.data(), cut, mask.data());
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        const size_t i = static_cast<size_t>(y) * kCanvas + x;
        const bool inCut = x >= cut.x0 && x < cut.x1 && y >= cut.y0 && y < cut.y1;
        ASSERT_EQ(mask[i], inCut ? std::min<uint8_t>(200, byteOf(cf[i])) : 200) << x << "," << y;
      }
  }
}

TEST(LipContour, CollapsedOrLostAnchorsDeliverNothing) {
  constexpr int kCanvas = 64;
  const UnifiedPi pi = UnifiedPi::fromManifestJson(
      R"({"unified": {"pi": {"mode": "prop", "prop_gate_scale": 1, "lip_idx": [6, 12, 14, 17],
          "lip_geom_params": [0.05, 0.08, 0.015]}}})",
      kCanvas);
  const std::string plain = tmpl({{"canvas", "64"}}), withMap = mapped({{"canvas", "64"}}, {{"canvas", "64"}});
  // The map's offsets keep a collapsed polygon open, so only lost anchors count there.
  const std::tuple<const char*, std::array<float, 63>, std::vector<std::string>> cases[] = {
      {"collapsed", frame({{6, 0.1f, 0.3f}, {12, 0.1f, 0.3f}, {14, 0.1f, 0.3f}, {17, 0.1f, 0.3f}}), {plain}},
      {"off_canvas", lips(9.0f, -9.0f, 0.15f, 0.04f), {plain, withMap}},
      {"not_a_number", lips(NAN, 0.3f, 0.15f, 0.04f), {plain, withMap}},
  };
  for (const auto& [name, kp, texts] : cases)
    for (const std::string& text : texts) {
      SCOPED_TRACE(std::string(name) + (text == withMap ? " mapped" : " plain"));
      LipContour contour = LipContour::fromTemplateJson(text, kCanvas);
      std::vector<float> cf(kCanvas * kCanvas, 5.0f);
      std::vector<uint8_t> out(kCanvas * kCanvas, 9);
      contour.contourF32Canvas(kp.data(), cf.data());
      EXPECT_EQ(std::count(cf.begin(), cf.end(), 0.0f), kCanvas * kCanvas);
      int dy = 0, dx = 0;
      const double canon[2] = {30, 40};
      EXPECT_FALSE(contour.deliveredU8AndShift(kp.data(), pi, canon, out.data(), &dy, &dx));
      EXPECT_EQ(std::count(out.begin(), out.end(), 0), kCanvas * kCanvas);
    }
}

}  // namespace
