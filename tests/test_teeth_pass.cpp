// The teeth pass on small synthetic banks: the stamp's rules and the bank
// refusals, frame flow and pass-through, the teeth weights, the pooled and
// exact scores against a double-precision evaluation of their formulas, the
// aperture-banded selection, the temporal candidate list, and the whole blend
// against a naive 3x3 convolution head written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "borrow/teeth_pass.h"
#include "bundle_fixtures.h"
#include "simd_reference.h"

namespace {

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::GeometryStamp;
using le::tessera::HeadWeights;
using le::tessera::ServeConfig;
using le::tessera::TeethPass;
using le::test::errorOf;

// Canvas 64, window 32 x 24 at (16, 20) centred on (32, 32), pad 4, band
// rows 4..20 and columns 4..28 widened by 2: patches of 20 x 28 pixels.
constexpr int32_t kStamp[12] = {64, 64, 16, 20, 32, 24, 4, 4, 20, 4, 28, 2};
constexpr int kCanvas = 64, kWx = 16, kWy = 20, kWw = 32, kWh = 24, kPad = 4;
constexpr int kSh = 20, kSw = 28;
constexpr double kCanon = 32.0;

using Image = std::vector<uint8_t>;

ServeConfig config(int kshort, int cut, int K, int hysteresis = 8, int lookahead = 0, double tol = 0.3) {
  return {kshort, tol, cut, K, hysteresis, lookahead};
}

// Random cand weights of the right shapes (scale 0 gives a zero head).
HeadWeights head(float scale, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-scale, scale);
  HeadWeights h;
  h.cand0_w.resize(1008), h.cand0_b.resize(16), h.cand2_w.resize(2304);
  h.cand2_b.resize(16), h.cand4_w.resize(144), h.cand4_b.resize(1);
  for (auto* v : {&h.cand0_w, &h.cand0_b, &h.cand2_w, &h.cand2_b, &h.cand4_w, &h.cand4_b})
    for (float& x : *v) x = u(rng);
  return h;
}

// A head whose logit is `gain` times the candidate's red (centre taps only):
// brighter candidates win the softmax.
HeadWeights brightnessHead(float gain) {
  HeadWeights h = head(0, 0);
  h.cand0_w[4] = 1;  // out 0 <- cand R
  h.cand2_w[4] = 1;  // out 0 <- hidden 0
  h.cand4_w[4] = gain;
  return h;
}

struct Donor {
  uint8_t gray = 0;  // 0 for random pixels
  double cx = kCanon, cy = kCanon, aperture = 1.0;
};

BankData bank(const std::vector<Donor>& donors, unsigned seed = 1) {
  std::mt19937 rng(seed);
  BankData b;
  b.stamp = GeometryStamp::fromArray(kStamp);
  b.n_donors = static_cast<int32_t>(donors.size());
  b.c_canon[0] = b.c_canon[1] = kCanon;
  for (const Donor& d : donors) {
    for (int i = 0; i < kSh * kSw * 3; ++i) b.bank.push_back(d.gray ? d.gray : static_cast<uint8_t>(rng()));
    b.cent.push_back(d.cx);
    b.cent.push_back(d.cy);
    b.aperture.push_back(d.aperture);
  }
  return b;
}

Image uniform(uint8_t v) { return Image(kCanvas * kCanvas * 3, v); }

Image noise(unsigned seed) {
  std::mt19937 rng(seed);
  Image f(kCanvas * kCanvas * 3);
  for (auto& v : f) v = static_cast<uint8_t>(rng());
  return f;
}

// value inside the canvas rectangle rows [y0, y1) x columns [x0, x1), 0 elsewhere.
Image rectMask(int y0, int y1, int x0, int x1, uint8_t value = 255) {
  Image m(kCanvas * kCanvas, 0);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) m[y * kCanvas + x] = value;
  return m;
}

// The mouth of the gray-level tests: window rows 6..17, columns 6..25, where
// every donor at shift 0 stores its pixels.
Image mouthMask() { return rectMask(kWy + 6, kWy + 18, kWx + 6, kWx + 26); }

// Donor d's pixel (channel k) at window pixel (y, x) for frame shift (dy, dx),
// straight from the placement rule; -1 where the patch stores nothing.
int donorPixel(const BankData& b, int d, int dy, int dx, int y, int x, int k) {
  const int sy = static_cast<int>(std::rint(b.cent[2 * d + 1] - kCanon));
  const int sx = static_cast<int>(std::rint(b.cent[2 * d] - kCanon));
  const int row = std::clamp(kPad + sy - dy, 0, 2 * kPad) + y - (kStamp[7] + kPad - kStamp[11]);
  const int col = std::clamp(kPad + sx - dx, 0, 2 * kPad) + x - (kStamp[9] + kPad - kStamp[11]);
  if (row < 0 || row >= kSh || col < 0 || col >= kSw) return -1;
  return b.bank[((static_cast<size_t>(d) * kSh + row) * kSw + col) * 3 + k];
}

// The mean of f(y, x) over the n x n block of pixels at block (by, bx).
template <class F>
double boxMean(F&& f, int n, int by, int bx) {
  double s = 0;
  for (int y = n * by; y < n * by + n; ++y)
    for (int x = n * bx; x < n * bx + n; ++x) s += f(y, x);
  return s / (n * n);
}

TEST(TeethStamp, ReportsEveryViolatedRuleInOrder) {
  struct Case {
    int field;
    int32_t value;
    std::string reasons;
  };
  const Case cases[] = {
      {-1, 0, ""},
      {4, 0, " window dims must be positive; band cols escape window; stored band cols escape patch;"},
      {2, 40, " window x-range escapes canvas;"},
      {3, -1, " window y-range escapes canvas;"},
      {8, 4, " band rows escape window;"},
      {9, 28, " band cols escape window;"},
      {6, 0, " pad/shift_margin must be positive;"},
      {11, -1, " pad/shift_margin must be positive;"},
      {11, 9, " stored band rows escape patch; stored band cols escape patch;"},
  };
  for (const Case& c : cases) {
    int32_t v[12];
    std::copy(std::begin(kStamp), std::end(kStamp), v);
    if (c.field >= 0) v[c.field] = c.value;
    EXPECT_EQ(errorOf([&] { GeometryStamp::fromArray(v).validate(); }),
              c.reasons.empty() ? "(no error)" : "teeth: GeometryStamp incoherent:" + c.reasons)
        << "field " << c.field << " = " << c.value;
  }
}

TEST(TeethPassBuild, RefusesBanksHeadsAndConfigsItCannotServe) {
  const std::string sizeNote =
      " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format "
      "would land here";
  const std::string noDonor = " leave no donor to blend — refusing";
  const std::string noCand = "teeth: head weights lack the BlendHead(16) cand branch — refusing";
  struct Case {
    void (*spoil)(BankData&, HeadWeights&, ServeConfig&);
    std::string message;
  };
  const Case cases[] = {
      {[](BankData& b, HeadWeights&, ServeConfig&) { b.bank.pop_back(); },
       "teeth: reference track is 1679 bytes, the stamp requires 1680" + sizeNote},
      {[](BankData& b, HeadWeights&, ServeConfig&) { b.n_donors = 2; },
       "teeth: reference track is 1680 bytes, the stamp requires 3360" + sizeNote},
      {[](BankData& b, HeadWeights&, ServeConfig&) { b.cent.push_back(0); },
       "teeth: bank sidecar arrays disagree with n_donors"},
      {[](BankData& b, HeadWeights&, ServeConfig&) { b.aperture.clear(); },
       "teeth: bank sidecar arrays disagree with n_donors"},
      {[](BankData& b, HeadWeights&, ServeConfig&) {
         b.bank.clear();
         b.stamp.band_r1 = b.stamp.band_r0;
       },
       "teeth: GeometryStamp incoherent: band rows escape window;"},
      // No donor, no shortlist or no blend slot: no frame could be blended.
      {[](BankData& b, HeadWeights&, ServeConfig&) { b = bank({}); }, "teeth: n_donors=0, K=4, kshort=512" + noDonor},
      {[](BankData&, HeadWeights&, ServeConfig& c) { c.K = 0; }, "teeth: n_donors=1, K=0, kshort=512" + noDonor},
      {[](BankData&, HeadWeights&, ServeConfig& c) { c.kshort = -1; }, "teeth: n_donors=1, K=4, kshort=-1" + noDonor},
      // A head without every cand vector at its shape (a syn-only file, a
      // narrower head).
      {[](BankData&, HeadWeights& h, ServeConfig&) { h.cand4_b.clear(); }, noCand},
      {[](BankData&, HeadWeights& h, ServeConfig&) { h.cand0_w.resize(8 * 7 * 9); }, noCand},
      {[](BankData&, HeadWeights& h, ServeConfig&) { h.cand2_w.pop_back(); }, noCand},
  };
  for (const Case& c : cases) {
    BankData b = bank({{}});
    HeadWeights h = head(0, 0);
    ServeConfig cfg = config(512, 96, 4);
    c.spoil(b, h, cfg);
    EXPECT_EQ(errorOf([&] { TeethPass(b, h, cfg); }), c.message);
  }
  // The smallest pass that can serve builds.
  EXPECT_EQ(errorOf([&] { TeethPass(bank({{}}), head(0, 0), config(1, 1, 1)); }), "(no error)");
}

TEST(TeethPassFlow, OutputRunsOneFrameBehindWithItsReason) {
  TeethPass pass(bank({{}, {}}), head(0.2f, 3), config(512, 96, 2));
  const Image rgb = noise(5), mouth = mouthMask(), none = rectMask(0, kCanvas, 0, kCanvas, 127);
  // A centroid pad + 1 right of the canonical one.
  const Image far = rectMask(28, 37, 32 + kPad + 1 - 5, 32 + kPad + 1 + 6);
  // Exactly pad below it: still followed.
  const Image edge = rectMask(32 + kPad - 3, 32 + kPad + 4, 27, 38);
  const int32_t tooFar[2] = {0, -kPad - 1}, given[2] = {1, -2};
  struct Step {
    const Image* mask;
    const int32_t* shift;
    std::string reason;  // empty: composed
  };
  const Step steps[] = {{&none, nullptr, "empty-pi"},           {&mouth, nullptr, ""},
                        {&far, nullptr, "shift-out-of-range"},  {&edge, nullptr, ""},
                        {&mouth, tooFar, "shift-out-of-range"}, {&none, given, ""}};
  FrameResult r;
  for (size_t i = 0; i <= std::size(steps); ++i) {
    const bool emitted = i < std::size(steps)
                             ? pass.push(static_cast<int64_t>(i), rgb.data(), steps[i].mask->data(), steps[i].shift, r)
                             : pass.flush(r);
    ASSERT_EQ(emitted, i > 0) << "step " << i;
    if (!emitted) continue;
    const Step& s = steps[i - 1];
    EXPECT_EQ(r.passed, !s.reason.empty()) << "frame " << i - 1;
    EXPECT_EQ(r.reason, s.reason) << "frame " << i - 1;
    EXPECT_EQ(r.window.size(), s.reason.empty() ? size_t{kWw * kWh * 3} : 0u);
    EXPECT_EQ(r.donors, s.reason.empty() ? 2 : 0);
    EXPECT_EQ(r.syn_mean, s.reason.empty() ? 0.0f : -1.0f);
  }
  EXPECT_FALSE(pass.flush(r));
  EXPECT_EQ(pass.stats().frames_composed, 3);
}

TEST(TeethRetrieval, TeethWeightsFollowLumaChromaAndDecay) {
  // Rows of pixels inside the mouth mask, each (R, G, B); teeth when luma >= 100
  // and |G - R| < 25, inside when the mask byte is >= 128.
  struct Px {
    uint8_t r, g, b, m;
    bool teeth;
  };
  const Px kinds[] = {{200, 200, 200, 255, true}, {110, 134, 110, 255, true}, {110, 135, 110, 255, false},
                      {80, 80, 80, 255, false},   {200, 200, 200, 128, true}, {200, 200, 200, 127, false}};
  struct Case {
    int perKind;  // pixels of each kind, in one run along the window rows
  };
  for (const Case c : {Case{16}, Case{8}}) {
    TeethPass pass(bank({{}}), head(0, 0), config(512, 96, 1));
    Image rgb = uniform(0), mask(kCanvas * kCanvas, 0);
    std::vector<float> teeth(kWw * kWh, 0.0f), inside(kWw * kWh, 0.0f);
    int i = 0, count = 0;
    for (const Px& p : kinds)
      for (int n = 0; n < c.perKind; ++n, ++i) {
        const int y = 3 + i / kWw, x = i % kWw, at = (kWy + 1 + y) * kCanvas + kWx - 1 + x;
        rgb[at * 3] = p.r, rgb[at * 3 + 1] = p.g, rgb[at * 3 + 2] = p.b, mask[at] = p.m;
        // The frame is shifted by (1, -1): window pixel (y, x) is canvas (y0 + 1 + y, x0 - 1 + x).
        teeth[y * kWw + x] = p.teeth;
        inside[y * kWw + x] = p.m >= 128;
        count += p.teeth;
      }
    TeethPass::RetrieveWork w;
    pass.retrievePrepare(rgb.data(), mask.data(), 1, -1, w);
    const std::vector<float>& want = count >= 32 ? teeth : inside;
    EXPECT_EQ(w.weights, want) << c.perKind << " per kind";
    EXPECT_EQ(w.r0, 3);
    EXPECT_EQ(w.r1, 3 + (i - 1) / kWw + 1);
    EXPECT_EQ(w.weight_sum, std::max(1.0f, static_cast<float>(std::count(want.begin(), want.end(), 1.0f))));

    // A frame with nothing delivered keeps the last weights, decayed.
    const Image empty(kCanvas * kCanvas, 0);
    pass.retrievePrepare(rgb.data(), empty.data(), 0, 0, w);
    for (size_t j = 0; j < want.size(); ++j) EXPECT_FLOAT_EQ(w.weights[j], 0.6f * want[j]);
  }
}

TEST(TeethRetrieval, ScoresMatchTheWeightedMeanAbsoluteDifference) {
  // Shifted donors leave parts of the window black; the frame moves too.
  const std::vector<Donor> donors = {{}, {0, kCanon + 2, kCanon - 1}, {0, kCanon - 3, kCanon + 2}, {200}, {}};
  const BankData b = bank(donors, 7);
  TeethPass pass(b, head(0, 0), config(512, 96, 3));
  const Image rgb = noise(9);
  Image mask = rectMask(kWy - 2, kWy + 20, kWx, kWx + 30);
  for (int x = kWx; x < kWx + 30; ++x) mask[(kWy + 5) * kCanvas + x] = 100;  // one row outside
  TeethPass::RetrieveWork w;
  pass.retrievePrepare(rgb.data(), mask.data(), -2, 1, w);

  auto frame = [&](int y, int x, int k) { return rgb[((kWy - 2 + y) * kCanvas + kWx + 1 + x) * 3 + k] / 255.0; };
  auto donor = [&](int d, int y, int x, int k) { return std::max(0, donorPixel(b, d, 0, 0, y, x, k)) / 255.0; };
  std::vector<float> pooled(donors.size());
  pass.scorePooled(w, pooled.data());
  for (int d = 0; d < static_cast<int>(donors.size()); ++d) {
    double exact = 0, wsum = 0;
    for (int y = 0; y < kWh; ++y)
      for (int x = 0; x < kWw; ++x) {
        const double wt = w.weights[y * kWw + x];
        double e = 0;
        for (int k = 0; k < 3; ++k) e += std::fabs(frame(y, x, k) - donor(d, y, x, k)) / 3;
        exact += wt * e;
        wsum += wt;
      }
    float got;
    pass.scoreExact(w, &d, 1, &got);
    EXPECT_NEAR(got, exact / std::max(1.0, wsum), 2e-3 * exact / wsum + 1e-4) << "donor " << d;

    double num = 0, den = 0;
    for (int cy = 0; cy < kWh / 4; ++cy)
      for (int cx = 0; cx < kWw / 4; ++cx) {
        const double pw = boxMean([&](int y, int x) { return w.weights[y * kWw + x]; }, 4, cy, cx);
        double e = 0;
        for (int k = 0; k < 3; ++k)
          e += std::fabs(boxMean([&](int y, int x) { return frame(y, x, k) - donor(d, y, x, k); }, 4, cy, cx)) / 3;
        num += pw * e;
        den += pw;
      }
    EXPECT_NEAR(pooled[d], num / den, 4e-3 * num / den + 1e-4) << "donor " << d;
  }
}

TEST(TeethRetrieval, ExactScoresTakeTheirHalfPrecisionStepsInPixelOrder) {
  // q(v) = v/255 as f16, D = |q(b) - q(a)| as f16, each pixel's term the f16
  // of the channels' mean, weighted and summed pixel by pixel.
  float q[256];
  for (int v = 0; v < 256; ++v) q[v] = le::ref::h(v / 255.0f);
  auto D = [&](int a, int b) { return le::ref::h(std::fabs(q[b] - q[a])); };
  // More donors than are summed side by side, some shifted so that their
  // canonical windows hold black columns and rows.
  std::vector<Donor> donors;
  for (int d = 0; d < 11; ++d)
    donors.push_back({0, kCanon + (d % 5) - 2 - 2 * (d == 3), kCanon + (d % 3) - 1 + 3 * (d == 7)});
  const BankData b = bank(donors, 21);
  struct Case {
    int dy, dx;
    std::vector<int32_t> list;
  };
  const Case cases[] = {
      {0, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}, {-2, 1, {10, 3, 3, 7}}, {3, -4, {7, 0, 9, 1, 8, 2, 6, 3, 5}}};
  TeethPass pass(b, head(0, 0), config(512, 96, 3));
  const Image rgb = noise(22);
  for (const Case& c : cases) {
    // A second frame with a smaller mouth leaves decayed weights around it.
    TeethPass::RetrieveWork w;
    pass.retrievePrepare(rgb.data(), rectMask(kWy + 2, kWy + 22, kWx + 1, kWx + 31).data(), c.dy, c.dx, w);
    pass.retrievePrepare(rgb.data(), rectMask(kWy + 8, kWy + 14, kWx + 5, kWx + 20).data(), c.dy, c.dx, w);
    std::vector<float> got(c.list.size());
    pass.scoreExact(w, c.list.data(), c.list.size(), got.data());
    for (size_t j = 0; j < c.list.size(); ++j) {
      float total = 0;
      for (int i = 0; i < kWh * kWw; ++i) {
        if (w.weights[i] == 0.0f) continue;
        float sum = 0;
        for (int k = 0; k < 3; ++k)
          sum += D(w.rgb[i * 3 + k], std::max(0, donorPixel(b, c.list[j], 0, 0, i / kWw, i % kWw, k)));
        total += w.weights[i] * le::ref::h(sum / 3.0f);
      }
      EXPECT_EQ(got[j], total / w.weight_sum) << "shift " << c.dy << "," << c.dx << " donor " << c.list[j];
    }
  }
}

TEST(TeethRetrieval, SelectionKeepsTheApertureBandInExactOrder) {
  // Uniform donors against a uniform frame of 140: the distance is the gray
  // gap, so the exact order is 4 (10), 0 (20), 1 (50), 3 (65), 2 (80).
  const uint8_t grays[] = {120, 190, 60, 205, 150};
  struct Case {
    ServeConfig cfg;
    std::vector<double> apertures;
    std::vector<int32_t> want;
  };
  const std::vector<double> same(5, 1.0);
  const Case cases[] = {
      {config(512, 96, 5), same, {4, 0, 1, 3, 2}},          // fewer donors than the shortlist
      {config(2, 96, 5), same, {4, 0, 0, 0, 0}},            // shortlist of 2, padded with its last
      {config(512, 96, 3), same, {4, 0, 1}},                // K cuts the walk
      {config(512, 2, 5), same, {4, 0, 0, 0, 0}},           // cut stops the walk
      {config(512, 0, 5), same, {4, 4, 4, 4, 4}},           // an empty walk keeps the best
      {config(512, 96, 4), {2, 2, 2, 2, 1}, {4, 4, 4, 4}},  // every other aperture outside the band
      {config(512, 96, 5), {0.8, 1.5, 1.0, 1.25, 1.0}, {4, 0, 3, 2, 2}},
      {config(512, 96, 5, 8, 0, 0.1), {0.8, 1.5, 1.0, 1.05, 1.0}, {4, 3, 2, 2, 2}},
  };
  for (const Case& c : cases) {
    std::vector<Donor> donors;
    for (int d = 0; d < 5; ++d) donors.push_back({grays[d], kCanon, kCanon, c.apertures[d]});
    TeethPass pass(bank(donors), head(0, 0), c.cfg);
    TeethPass::RetrieveWork w;
    const Image rgb = uniform(140), mask = mouthMask();
    pass.retrievePrepare(rgb.data(), mask.data(), 0, 0, w);
    EXPECT_EQ(pass.retrieve(w), c.want) << "kshort " << c.cfg.kshort << " cut " << c.cfg.cut << " K " << c.cfg.K;
  }
}

TEST(TeethPassFlow, MostUsedDonorsLeadTheNextFrame) {
  // Retrieval by gray gap (as above); the head favours the brightest
  // candidate. Frame gray 140 selects 4, 0, 1; frame gray 60 selects 2, 0, 4.
  const uint8_t grays[] = {120, 190, 60, 205, 150};
  struct Case {
    int lookahead;
    int64_t second;  // frame index of the second frame
    std::vector<int32_t> first, then;
  };
  const Case cases[] = {
      // Usage of 4, 0, 1 ranks 1 (190) then 4 (150): they lead frame 1.
      {0, 1, {4, 0, 1}, {1, 4, 2}},
      // A gap in frame indices breaks the chain.
      {0, 2, {4, 0, 1}, {2, 0, 4}},
      // Frame 1's best donor (2) is looked ahead into frame 0.
      {1, 1, {2, 4, 0}, {4, 0, 2}},
  };
  std::vector<Donor> donors;
  for (uint8_t g : grays) donors.push_back({g});
  for (const Case& c : cases) {
    TeethPass pass(bank(donors), brightnessHead(40), config(512, 96, 3, 2, c.lookahead));
    const Image a = uniform(140), b = uniform(60), mask = mouthMask();
    FrameResult r;
    pass.push(0, a.data(), mask.data(), nullptr, r);
    ASSERT_TRUE(pass.push(c.second, b.data(), mask.data(), nullptr, r));
    EXPECT_EQ(pass.lastCandidates(), c.first) << "lookahead " << c.lookahead << " second " << c.second;
    ASSERT_TRUE(pass.flush(r));
    EXPECT_EQ(pass.lastCandidates(), c.then) << "lookahead " << c.lookahead << " second " << c.second;
    EXPECT_EQ(r.donors, 3);
  }
}

// out[o] = bias[o] + sum over ci, ky, kx of w * in (zero padding), in double.
std::vector<double> conv(const std::vector<double>& in, int cin, int h, int w, const std::vector<float>& wt,
                         const std::vector<float>& bias, int cout, bool relu) {
  std::vector<double> out(static_cast<size_t>(cout) * h * w);
  for (int o = 0; o < cout; ++o)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        double s = bias[o];
        for (int ci = 0; ci < cin; ++ci)
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int sy = y + ky - 1, sx = x + kx - 1;
              if (sy >= 0 && sy < h && sx >= 0 && sx < w)
                s += wt[((o * cin + ci) * 3 + ky) * 3 + kx] * in[(static_cast<size_t>(ci) * h + sy) * w + sx];
            }
        out[(static_cast<size_t>(o) * h + y) * w + x] = relu ? std::max(s, 0.0) : s;
      }
  return out;
}

TEST(TeethPassBlend, MatchesANaiveHeadAndKeepsUndeliveredPixels) {
  const std::vector<Donor> donors = {{}, {0, kCanon + 1, kCanon - 2}, {}, {0, kCanon - 2, kCanon + 3}};
  const BankData b = bank(donors, 11);
  const HeadWeights hw = head(0.3f, 12);
  TeethPass pass(b, hw, config(512, 96, 4));
  const Image rgb = noise(13);
  Image mask = rectMask(kWy, kWy + kWh, kWx, kWx + kWw);
  for (int x = kWx; x < kWx + kWw; ++x) mask[(kWy + 9) * kCanvas + x] = 0;
  for (int y = kWy + 12; y < kWy + 16; ++y)
    for (int x = kWx + 3; x < kWx + 20; ++x) mask[y * kCanvas + x] = 90;
  const int dy = 1, dx = -1;
  const int32_t shift[2] = {dy, dx};
  FrameResult r;
  ASSERT_FALSE(pass.push(0, rgb.data(), mask.data(), shift, r));
  ASSERT_TRUE(pass.flush(r));
  ASSERT_FALSE(r.passed);
  const std::vector<int32_t> cands = pass.lastCandidates();
  ASSERT_EQ(cands.size(), 4u);
  const int C = 4, h2 = kWh / 2, w2 = kWw / 2, hw2 = h2 * w2;

  auto frame = [&](int y, int x, int k) { return rgb[((kWy + y) * kCanvas + kWx + x) * 3 + k] / 255.0; };
  auto cand = [&](int c, int y, int x, int k) { return std::max(0, donorPixel(b, cands[c], dy, dx, y, x, k)) / 255.0; };
  std::vector<std::vector<double>> logits;
  for (int c = 0; c < C; ++c) {
    std::vector<double> in(7 * hw2);
    for (int y = 0; y < h2; ++y)
      for (int x = 0; x < w2; ++x)
        for (int k = 0; k < 3; ++k) {
          const double cv = boxMean([&](int yy, int xx) { return cand(c, yy, xx, k); }, 2, y, x);
          const double fv = boxMean([&](int yy, int xx) { return frame(yy, xx, k); }, 2, y, x);
          in[k * hw2 + y * w2 + x] = cv;
          in[(3 + k) * hw2 + y * w2 + x] = fv;
          in[6 * hw2 + y * w2 + x] += std::fabs(cv - fv) / 3;
        }
    const auto h1 = conv(in, 7, h2, w2, hw.cand0_w, hw.cand0_b, 16, true);
    const auto h2m = conv(h1, 16, h2, w2, hw.cand2_w, hw.cand2_b, 16, true);
    logits.push_back(conv(h2m, 16, h2, w2, hw.cand4_w, hw.cand4_b, 1, false));
  }
  auto tap = [](int i, int n, int& lo, int& hi) {
    const double s = std::max((i + 0.5) * 0.5 - 0.5, 0.0);
    lo = static_cast<int>(s);
    hi = std::min(lo + 1, n - 1);
    return s - lo;
  };
  int far = 0, supported = 0;
  for (int y = 0; y < kWh; ++y)
    for (int x = 0; x < kWw; ++x) {
      int y0, y1, x0, x1;
      const double fy = tap(y, h2, y0, y1), fx = tap(x, w2, x0, x1);
      std::vector<double> e(C);
      double sum = 0;
      bool covered = y >= kStamp[7] && y < kStamp[8] && x >= kStamp[9] && x < kStamp[10];
      for (int c = 0; c < C; ++c) {
        const auto& L = logits[c];
        e[c] = std::exp((1 - fy) * ((1 - fx) * L[y0 * w2 + x0] + fx * L[y0 * w2 + x1]) +
                        fy * ((1 - fx) * L[y1 * w2 + x0] + fx * L[y1 * w2 + x1]));
        sum += e[c];
        covered = covered && donorPixel(b, cands[c], dy, dx, y, x, 0) >= 0;
      }
      const double a = mask[(kWy + y) * kCanvas + kWx + x] / 255.0;
      supported += covered && a > 0;
      for (int k = 0; k < 3; ++k) {
        double blend = frame(y, x, k);
        if (covered && a > 0) {
          blend = 0;
          for (int c = 0; c < C; ++c) blend += e[c] / sum * cand(c, y, x, k);
        }
        const double v = std::clamp((1 - a) * frame(y, x, k) + a * blend, 0.0, 1.0);
        const int got = r.window[(y * kWw + x) * 3 + k];
        if (a == 0) {
          EXPECT_EQ(got, rgb[((kWy + y) * kCanvas + kWx + x) * 3 + k]) << y << "," << x;
        }
        far += std::abs(got - static_cast<int>(std::lround(v * 255))) > 1;
      }
    }
  EXPECT_EQ(far, 0) << "bytes more than 1 off the naive head";
  EXPECT_EQ(pass.stats().supported_px, supported);
  EXPECT_GT(supported, 100);
}

}  // namespace
