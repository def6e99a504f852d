// The stream borrow and the offline run on a generated bundle's own members
// (bank decoded from its track, head and serve config read from their files):
// the streamed windows equal the offline run's frame for frame, the windows
// write back exactly, and the construction and run refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "borrow/bank_decode.h"
#include "borrow/head_weights.h"
#include "borrow/serve_config.h"
#include "borrow/stream_borrow.h"
#include "bundle/le_tessera_members.h"
#include "bundle/le_unified_pi.h"
#include "bundle_fixtures.h"
#include "le/le_tessera.h"

namespace {

using le::tessera::FrameResult;
using le::tessera::StreamBorrow;
using le::test::readAll;

const std::string kBundle = std::string(LE_FIXTURE_DIR) + "/tiny_bank";

// Everything the pass is built from, read as a host would.
struct Members {
  le::TesseraAttachInputs in = le::loadTesseraMembers(kBundle);
  le::tessera::BankData bank;
  le::tessera::UnifiedPi pi;
  std::vector<float> keypoints;  // the bundle's target frames, 63 floats each

  Members() {
    bank = le::tessera::bankFromMembers(in);
    pi = le::tessera::UnifiedPi::fromManifestJson(in.manifest_json, bank.stamp.canvas_w);
    const std::string kp = readAll(kBundle + "/target_keypoints.bin");
    keypoints.resize(kp.size() / sizeof(float));
    std::memcpy(keypoints.data(), kp.data(), keypoints.size() * sizeof(float));
  }
  le::tessera::HeadWeights head() const { return le::tessera::loadHeadPt(in.head_pt); }
  le::tessera::ServeConfig config() const { return le::tessera::ServeConfig::fromHeadMemberJson(in.head_json); }
  StreamBorrow stream(const std::string& lips = "") const { return {bank, head(), config(), pi, lips}; }
  int side() const { return bank.stamp.canvas_w; }
  int frames() const { return int(keypoints.size() / 63); }
  const float* kp(int i) const { return keypoints.data() + 63 * size_t(i % frames()); }
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

TEST(StreamBorrow, StreamedWindowsEqualTheOfflineRunFrameForFrame) {
  const Members m;
  StreamBorrow stream = m.stream();
  const int side = m.side(), n = 8;
  const size_t canvas = size_t(side) * side;
  const size_t window = size_t(m.bank.stamp.window_w) * m.bank.stamp.window_h * 3;
  std::vector<uint8_t> frames, masks(n * canvas);
  std::vector<int32_t> shifts(2 * n);
  std::vector<FrameResult> streamed;
  FrameResult r;
  for (int i = 0; i < n; ++i) {
    const std::vector<float> planes = crop(side, i);
    const std::vector<uint8_t> rgb = rgbOf(planes, side);
    frames.insert(frames.end(), rgb.begin(), rgb.end());
    // The mask and shift the stream builds without a lip template: the pi ellipse.
    int dy = 0, dx = 0;
    ASSERT_TRUE(m.pi.piU8AndShift(m.kp(i), m.bank.c_canon, masks.data() + i * canvas, &dy, &dx));
    shifts[2 * i] = dy;
    shifts[2 * i + 1] = dx;
    if (stream.push(planes.data(), m.kp(i), r)) streamed.push_back(r);
  }
  if (stream.flush(r)) streamed.push_back(r);
  ASSERT_EQ(streamed.size(), size_t(n));

  std::vector<uint8_t> windows(n * window, 7), passed(n, 9);
  ASSERT_EQ(runOffline(m, frames, masks, shifts.data(), n, windows, passed), 0);
  int composited = 0;
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(passed[i], streamed[i].passed ? 1 : 0);
    if (streamed[i].passed) continue;
    ++composited;
    EXPECT_EQ(std::vector<uint8_t>(windows.begin() + i * window, windows.begin() + (i + 1) * window),
              streamed[i].window);
  }
  EXPECT_GT(composited, n / 2);

  // Shifts left to the pass (dy = -10000) are derived from the same masks.
  std::vector<int32_t> derive(2 * n, 0);
  for (int i = 0; i < n; ++i) derive[2 * i] = -10000;
  std::vector<uint8_t> derived(n * window), derivedPassed(n);
  ASSERT_EQ(runOffline(m, frames, masks, derive.data(), n, derived, derivedPassed), 0);
  EXPECT_EQ(derivedPassed, passed);
  for (int i = 0; i < n; ++i) {
    if (!passed[i]) {
      EXPECT_TRUE(
          std::equal(derived.begin() + i * window, derived.begin() + (i + 1) * window, windows.begin() + i * window));
    }
  }
}

TEST(StreamBorrow, OfflineRunAnswersEveryFrameOrFails) {
  const Members m;
  const int side = m.side();
  const size_t canvas = size_t(side) * side;
  const size_t window = size_t(m.bank.stamp.window_w) * m.bank.stamp.window_h * 3;
  const std::vector<uint8_t> frame = rgbOf(crop(side, 0), side);
  std::vector<uint8_t> mask(canvas);
  int dy, dx;
  ASSERT_TRUE(m.pi.piU8AndShift(m.kp(0), m.bank.c_canon, mask.data(), &dy, &dx));

  // One frame is answered at the flush; an empty mask without a shift passes through, its window untouched.
  std::vector<uint8_t> frames = frame, masks = mask;
  frames.insert(frames.end(), frame.begin(), frame.end());
  masks.insert(masks.end(), canvas, 0);
  std::vector<uint8_t> windows(2 * window, 7), passed(2, 9);
  ASSERT_EQ(runOffline(m, frames, masks, nullptr, 1, windows, passed), 0);
  EXPECT_EQ(passed[0], 0);
  EXPECT_EQ(passed[1], 9);
  ASSERT_EQ(runOffline(m, frames, masks, nullptr, 2, windows, passed), 0);
  EXPECT_EQ(passed[1], 1);
  EXPECT_TRUE(std::all_of(windows.begin() + window, windows.end(), [](uint8_t v) { return v == 7; }));

  std::string err;
  Members broken;
  broken.in.stamp[4] = 0;  // window_w
  EXPECT_EQ(runOffline(broken, frames, masks, nullptr, 1, windows, passed, &err), 1);
  EXPECT_EQ(err.rfind("teeth: GeometryStamp incoherent: window dims must be positive;", 0), 0u) << err;
  broken = Members();
  broken.in.head_pt.resize(broken.in.head_pt.size() / 2);
  EXPECT_EQ(runOffline(broken, frames, masks, nullptr, 1, windows, passed, &err), 1);
  EXPECT_EQ(err.rfind("teeth: ", 0), 0u) << err;
  EXPECT_EQ(le_tessera_run(nullptr, 1, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0,
                           nullptr, nullptr, nullptr, 0),
            1);
}

TEST(StreamBorrow, WindowsWriteBackAsADeltaKeepingTheResidual) {
  le::tessera::GeometryStamp s;
  s.canvas_w = s.canvas_h = 8;
  s.window_x0 = 2;
  s.window_y0 = 3;
  s.window_w = 3;
  s.window_h = 2;
  const int side = 8;
  FrameResult r;
  for (int i = 0; i < s.window_w * s.window_h * 3; ++i) r.window.push_back(uint8_t(40 * i % 256));
  const auto inWindow = [&](int y, int x) {
    return y >= s.window_y0 && y < s.window_y0 + s.window_h && x >= s.window_x0 && x < s.window_x0 + s.window_w;
  };

  // RGBA: the window's bytes exactly; every other pixel kept; alpha 255 everywhere.
  std::vector<uint8_t> rgba(side * side * 4);
  for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint8_t(i * 7);
  const std::vector<uint8_t> before = rgba;
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, r, s);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      for (int c = 0; c < 4; ++c) {
        const size_t at = (size_t(y) * side + x) * 4 + c;
        const uint8_t want = c == 3 ? 255
                             : inWindow(y, x)
                                 ? r.window[((size_t(y - s.window_y0) * s.window_w) + (x - s.window_x0)) * 3 + c]
                                 : before[at];
        ASSERT_EQ(rgba[at], want) << y << "," << x << "," << c;
      }
  FrameResult passed;
  passed.passed = true;
  rgba = before;
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), side, passed, s);
  for (size_t i = 0; i < rgba.size(); ++i) ASSERT_EQ(rgba[i], i % 4 == 3 ? 255 : before[i]);

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
  try {
    StreamBorrow::writeWindowDelta(planes.data(), side, r, s);
    FAIL() << "a short window was written back";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "teeth stream: window 17 bytes does not match the stamp window 3x2 \u2014 refusing to write back");
  }
}

TEST(StreamBorrow, RefusesCanvasesTheStampDoesNotNameAndNamesItsMask) {
  const Members m;
  testing::internal::CaptureStderr();
  { const StreamBorrow ellipse = m.stream(); }
  const std::string banner = testing::internal::GetCapturedStderr();
  EXPECT_EQ(banner.rfind("[borrow] !!! delivery mask: ELLIPSE \u2014 this bundle carries no lip_template.v1.json", 0),
            0u)
      << banner;
  EXPECT_EQ(banner.find('\n'), banner.size() - 1);

  le::tessera::UnifiedPi other = m.pi;
  other.canvas = m.side() * 2;
  try {
    StreamBorrow(m.bank, m.head(), m.config(), other, "");
    FAIL() << "a pi canvas the stamp does not name was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "teeth stream: manifest pi canvas " + std::to_string(m.side() * 2) +
                                         " != bank compose canvas " + std::to_string(m.side()) +
                                         " \u2014 refusing to compose a mouth on a canvas the stamp does not name");
  }
}

}  // namespace
