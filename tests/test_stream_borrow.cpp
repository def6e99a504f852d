// The stream borrow and the offline run on a generated bundle's own members
// (bank decoded from its track, head and serve config read from their files):
// the bank's canonical centre picks the compose geometry, the streamed windows
// equal the offline run's frame for frame, the windows write back exactly, and
// the construction and run refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "borrow/stream_borrow.h"
#include "bundle_fixtures.h"
#include "le/le_tessera.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::StreamBorrow;
using le::tessera::UnifiedPi;

// The members, and the compose geometry the manifest names.
struct Members : le::test::BorrowMembers {
  Members() : BorrowMembers(LE_FIXTURE_DIR "/tiny_bank"), pi(UnifiedPi::fromManifestJson(in.manifest_json, side())) {}
  StreamBorrow stream() const { return {bank, head(), config(), pi, ""}; }
  int side() const { return bank.stamp.canvas_w; }
  size_t windowBytes() const { return size_t(bank.stamp.window_w) * bank.stamp.window_h * 3; }
  UnifiedPi pi;
};

// Three float planes of a smooth face-coloured image that changes per frame.
std::vector<float> crop(int side, int frame) {
  std::vector<float> planes(3 * size_t(side) * side);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x)
        planes[(size_t(c) * side + y) * side + x] =
            float(0.45 + 0.2 * c + 0.15 * std::sin(0.09 * x + 0.05 * y * (c + 1) + 0.4 * frame));
  return planes;
}

// The bytes the stream rounds a float crop to, packed RGB.
std::vector<uint8_t> rgbOf(const std::vector<float>& planes, int side) {
  const size_t n = size_t(side) * side;
  std::vector<uint8_t> rgb(3 * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t c = 0; c < 3; ++c)
      rgb[3 * i + c] = uint8_t(std::nearbyint(std::clamp(planes[c * n + i], 0.f, 1.f) * 255));
  return rgb;
}

// n frames through le_tessera_run_shift; 0, or 1 with the refusal in *err.
int runOffline(const Members& m, const std::vector<uint8_t>& frames, const std::vector<uint8_t>& masks,
               const int32_t* shifts, int n, std::vector<uint8_t>& windows, std::vector<uint8_t>& passed,
               std::string* err = nullptr) {
  char text[512] = "";
  const int rc = le_tessera_run_shift(m.bank.bank.data(), m.bank.n_donors, m.bank.cent.data(), m.bank.c_canon,
                                      m.bank.aperture.data(), m.in.stamp.data(), m.in.head_pt.data(),
                                      uint32_t(m.in.head_pt.size()), m.in.head_json.c_str(), frames.data(),
                                      masks.data(), shifts, n, windows.data(), passed.data(), text, sizeof text);
  if (err) *err = text;
  return rc;
}

TEST(StreamBorrow, TheBanksCanonicalCentreSinglesOutOneGeometry) {
  // The generator's c_canon against the engine's centroid of the geometry
  // it picks over the bundle's own template frames.
  const Members m;
  std::string detail;
  const UnifiedPi pi = m.corpusPi(&detail);
  EXPECT_EQ(detail.rfind("corpus pi geometry v1: ", 0), 0u) << detail;
  double x = 0, y = 0;
  pi.canonicalCentroid(m.keypoints.data(), m.frames(), &x, &y);
  EXPECT_NEAR(x, m.bank.c_canon[0], 1e-3);
  EXPECT_NEAR(y, m.bank.c_canon[1], 1e-3);
}

TEST(StreamBorrow, StreamedWindowsEqualTheOfflineRunFrameForFrame) {
  const Members m;
  StreamBorrow stream = m.stream();
  const int side = m.side(), n = 8;
  const size_t canvas = size_t(side) * side, window = m.windowBytes();
  std::vector<uint8_t> frames, masks(n * canvas);
  std::vector<int32_t> shifts(2 * n), derive(2 * n, 0);
  std::vector<FrameResult> streamed;
  FrameResult r;
  for (int i = 0; i < n; ++i) {
    const std::vector<float> planes = crop(side, i);
    const std::vector<uint8_t> rgb = rgbOf(planes, side);
    frames.insert(frames.end(), rgb.begin(), rgb.end());
    // The mask and shift the stream builds without a lip template: the pi ellipse.
    ASSERT_TRUE(
        m.pi.piU8AndShift(m.kp(i), m.bank.c_canon, masks.data() + i * canvas, &shifts[2 * i], &shifts[2 * i + 1]));
    derive[2 * i] = -10000;  // left to the pass: derived from the same mask
    if (stream.push(planes.data(), m.kp(i), r)) streamed.push_back(r);
  }
  if (stream.flush(r)) streamed.push_back(r);
  ASSERT_EQ(streamed.size(), size_t(n));

  for (const std::vector<int32_t>* given : {&shifts, &derive}) {
    SCOPED_TRACE(given == &shifts ? "shifts given" : "shifts derived");
    std::vector<uint8_t> windows(n * window, 7), passed(n, 9);
    ASSERT_EQ(runOffline(m, frames, masks, given->data(), n, windows, passed), 0);
    int composited = 0;
    for (int i = 0; i < n; ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(passed[i], streamed[i].passed ? 1 : 0);
      if (streamed[i].passed) continue;
      ++composited;
      EXPECT_TRUE(std::equal(streamed[i].window.begin(), streamed[i].window.end(), windows.begin() + i * window));
    }
    EXPECT_GT(composited, n / 2);
  }
}

TEST(StreamBorrow, OfflineRunAnswersEveryFrameOrFails) {
  const Members m;
  const size_t canvas = size_t(m.side()) * m.side(), window = m.windowBytes();
  std::vector<uint8_t> frames = rgbOf(crop(m.side(), 0), m.side()), masks(canvas);
  int dy, dx;
  ASSERT_TRUE(m.pi.piU8AndShift(m.kp(0), m.bank.c_canon, masks.data(), &dy, &dx));
  // A second frame whose empty mask, without a shift, passes it through.
  frames.insert(frames.end(), frames.begin(), frames.end());
  masks.insert(masks.end(), canvas, 0);

  // One frame is answered at the flush; the second's slots stay as they were.
  std::vector<uint8_t> windows(2 * window, 7), passed(2, 9);
  ASSERT_EQ(runOffline(m, frames, masks, nullptr, 1, windows, passed), 0);
  EXPECT_EQ(passed, (std::vector<uint8_t>{0, 9}));
  ASSERT_EQ(runOffline(m, frames, masks, nullptr, 2, windows, passed), 0);
  EXPECT_EQ(passed[1], 1);
  EXPECT_TRUE(std::all_of(windows.begin() + window, windows.end(), [](uint8_t v) { return v == 7; }));

  struct Case {
    void (*spoil)(Members&);
    std::string prefix;
  };
  const Case cases[] = {
      {[](Members& b) { b.in.stamp[4] = 0; }, "teeth: GeometryStamp incoherent: window dims must be positive;"},
      {[](Members& b) { b.in.head_pt.resize(b.in.head_pt.size() / 2); }, "teeth: "},
  };
  for (const Case& c : cases) {
    Members broken = m;
    c.spoil(broken);
    std::string err;
    EXPECT_EQ(runOffline(broken, frames, masks, nullptr, 1, windows, passed, &err), 1);
    EXPECT_EQ(err.rfind(c.prefix, 0), 0u) << err;
  }
  EXPECT_EQ(le_tessera_run(nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0,
                           nullptr, nullptr, nullptr, 0),
            1);
}

TEST(StreamBorrow, WindowsWriteBackAsADeltaKeepingTheResidual) {
  // An 8 x 8 canvas with a 3 x 2 window at (2, 3).
  le::tessera::GeometryStamp s;
  s.canvas_w = s.canvas_h = 8;
  s.window_x0 = 2, s.window_y0 = 3, s.window_w = 3, s.window_h = 2;
  const int side = 8;
  FrameResult r, passed;
  for (int i = 0; i < 3 * 2 * 3; ++i) r.window.push_back(uint8_t(40 * i % 256));
  passed.passed = true;

  // RGBA: the window's bytes exactly, every other pixel kept, alpha 255
  // everywhere; a passed-through frame only sets the alpha.
  std::vector<uint8_t> before(side * side * 4);
  for (size_t i = 0; i < before.size(); ++i) before[i] = uint8_t(i * 7);
  for (const FrameResult* result : {&r, &passed}) {
    std::vector<uint8_t> rgba = before;
    StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, *result, s);
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x)
        for (int c = 0; c < 4; ++c) {
          const size_t at = (size_t(y) * side + x) * 4 + c;
          const bool inside = !result->passed && y >= 3 && y < 5 && x >= 2 && x < 5;
          const uint8_t want = c == 3 ? 255 : inside ? r.window[((y - 3) * 3 + x - 2) * 3 + c] : before[at];
          ASSERT_EQ(rgba[at], want) << y << "," << x << "," << c << (result->passed ? " passed" : "");
        }
  }

  // Floats: a value whose byte the window repeats keeps its residual; others become window byte + residual.
  std::vector<float> planes(3 * side * side, 0.5004f);
  r.window.assign(r.window.size(), 128);  // 0.5004 * 255 = 127.6 rounds to 128
  r.window[0] = 200;
  StreamBorrow::writeWindowDelta(planes.data(), side, r, s);
  const size_t first = size_t(s.window_y0) * side + s.window_x0;
  EXPECT_FLOAT_EQ(planes[first + side * side], 0.5004f);                   // G of the first window pixel
  EXPECT_NEAR(planes[first], 200 / 255.0 + (0.5004 - 128 / 255.0), 1e-6);  // R: window byte, residual kept
  EXPECT_EQ(planes[0], 0.5004f);                                           // outside the window

  r.window.pop_back();
  EXPECT_EQ(le::test::errorOf([&] { StreamBorrow::writeWindowDelta(planes.data(), side, r, s); }),
            "teeth stream: window 17 bytes does not match the stamp window 3x2 \u2014 refusing to write back");
}

TEST(StreamBorrow, RefusesCanvasesTheStampDoesNotNameAndNamesItsMask) {
  const Members m;
  const std::string banner = le::test::stderrOf([&] { m.stream(); });
  EXPECT_EQ(banner.rfind("[borrow] !!! delivery mask: ELLIPSE \u2014 this bundle carries no lip_template.v1.json", 0),
            0u)
      << banner;
  EXPECT_EQ(banner.find('\n'), banner.size() - 1);

  UnifiedPi other = m.pi;
  other.canvas = m.side() * 2;
  EXPECT_EQ(le::test::errorOf([&] { StreamBorrow(m.bank, m.head(), m.config(), other, ""); }),
            "teeth stream: manifest pi canvas " + std::to_string(m.side() * 2) + " != bank compose canvas " +
                std::to_string(m.side()) + " \u2014 refusing to compose a mouth on a canvas the stamp does not name");
}

}  // namespace
