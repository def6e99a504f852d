// Paste compositor: tables, the whole composite against its plain steps
// (unsharp, footprint clipping, blend), and the fast modes against Lanczos.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bundle_fixtures.h"
#include "kernels/le_paste.h"
#include "kernels/le_simd.h"
#include "simd_reference.h"

namespace {

using Frame = std::vector<uint8_t>;

std::vector<uint8_t> fullMask(int S, uint8_t v = 255) { return std::vector<uint8_t>(static_cast<size_t>(S) * S, v); }

// A smooth crop: low-frequency gradients per channel.
std::vector<float> smoothCrop(int S) {
  std::vector<float> crop(3 * static_cast<size_t>(S) * S);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x)
        crop[(static_cast<size_t>(c) * S + y) * S + x] =
            0.5f + 0.3f * std::sin(0.07f * x + 0.5f * c) * std::cos(0.05f * y - 0.3f * c);
  return crop;
}

std::vector<uint8_t> ellipseMask(int S) {
  std::vector<uint8_t> m(static_cast<size_t>(S) * S);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const double dx = (x - S / 2.0) / (S * 0.45), dy = (y - S / 2.0) / (S * 0.45);
      const double r = std::sqrt(dx * dx + dy * dy);
      m[static_cast<size_t>(y) * S + x] = static_cast<uint8_t>(255 * std::clamp((1.0 - r) * 4, 0.0, 1.0));
    }
  return m;
}

Frame noiseFrame(int W, int H, unsigned seed) {
  std::mt19937 rng(seed);
  Frame f(static_cast<size_t>(W) * H * 3);
  for (auto& v : f) v = static_cast<uint8_t>(rng());
  return f;
}

TEST(PasteTables, PhasesAreNormalisedAndPhaseZeroIsTheSample) {
  le::Paste p(fullMask(8), 8, le::Unsharp{0, 1, 5});
  const auto &t = p.lanczosTable(), &g = p.gauss(), &c = p.cubicTable();
  ASSERT_EQ(t.size(), 256u);
  EXPECT_EQ(std::vector<float>(t.begin(), t.begin() + 8), (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 0}));
  for (int ph = 0; ph < 32; ++ph) {
    // The centre taps dominate and move with the phase.
    EXPECT_NEAR(std::accumulate(t.begin() + 8 * ph, t.begin() + 8 * ph + 8, 0.0), 1.0, 1e-6) << ph;
    EXPECT_GT(t[8 * ph + 3] + t[8 * ph + 4], 0.9f);
    EXPECT_NEAR(std::accumulate(c.begin() + 4 * ph, c.begin() + 4 * ph + 4, 0.0), 1.0, 1e-6) << ph;
  }
  EXPECT_FLOAT_EQ(t[8 * 16 + 3], t[8 * 16 + 4]);  // half-way is symmetric
  EXPECT_NEAR(std::accumulate(g.begin(), g.end(), 0.0), 1.0, 1e-6);
  EXPECT_FLOAT_EQ(g[0], g[4]);
}

TEST(PasteConstruction, RefusalsAndEnvironmentOverrides) {
  for (const auto& [side, ksize, text] : {std::tuple{7, 5, "paste: mask size"}, {8, 4, "paste: ksize must be odd"}})
    EXPECT_EQ(le::test::errorOf([&] { le::Paste(fullMask(side), 8, le::Unsharp{0, 1, ksize}); }), text);
  // LE_PASTE_KSIZE only shrinks the kernel, to odd lengths of 3 or more.
  for (const auto& [env, ksize] : {std::pair{"3", 3}, {"7", 5}, {"4", 5}, {"2", 5}, {"1", 5}, {"x", 5}, {"5", 5}}) {
    setenv("LE_PASTE_KSIZE", env, 1);
    EXPECT_EQ(le::Paste(fullMask(8), 8, le::Unsharp{0, 1, 5}).ksize(), ksize) << env;
  }
  unsetenv("LE_PASTE_KSIZE");
}

TEST(PasteComposite, ZeroMaskSingularTransformAndOffFrameFootprintLeaveTheFrame) {
  const int S = 16, W = 40, H = 30;
  const std::vector<float> crop(3 * S * S, 0.5f);
  const Frame before = noiseFrame(W, H, 2);
  // Over a zero mask, singular, off each side, NaN.
  const std::vector<float> transforms[] = {{1.1f, 0.1f, 5, -0.1f, 1.1f, 3}, {1, 2, 0, 2, 4, 0}, {1, 0, 500, 0, 1, 0},
                                           {1, 0, -100, 0, 1, 0}, {1, 0, 0, 0, 1, 1e9f}, {NAN, 0, 0, 0, 1, 0}};
  for (const auto& M : transforms) {
    le::Paste p(fullMask(S, &M == transforms ? 0 : 255), S, le::Unsharp{1.3f, 2, 13});
    Frame f = before;
    p.composite(crop.data(), 255.0f, M.data(), f.data(), W, H);
    EXPECT_EQ(f, before) << M[0] << " " << M[2] << " " << M[5];
  }
}

TEST(PasteComposite, FastModesAgreeWithLanczosOnSmoothContent) {
  const int S = 64, W = 120, H = 100;
  const auto crop = smoothCrop(S);
  const float M[6] = {1.2f, 0.25f, 20, -0.25f, 1.2f, 15};
  auto run = [&](const char* mode) {
    if (mode) setenv("LE_PASTE_FAST", mode, 1);
    le::Paste p(ellipseMask(S), S, le::Unsharp{0.5f, 2, 7});
    unsetenv("LE_PASTE_FAST");
    Frame f = noiseFrame(W, H, 4);
    p.composite(crop.data(), 255.0f, M, f.data(), W, H);
    return f;
  };
  const Frame lanczos = run(nullptr), cubic = run("1"), bilinear = run("2"), base = noiseFrame(W, H, 4);
  int changed = 0, maxCubic = 0, maxBilinear = 0;
  for (size_t i = 0; i < lanczos.size(); ++i) {
    changed += lanczos[i] != base[i];
    maxCubic = std::max(maxCubic, std::abs(lanczos[i] - cubic[i]));
    maxBilinear = std::max(maxBilinear, std::abs(lanczos[i] - bilinear[i]));
  }
  EXPECT_GT(changed, S * S);
  EXPECT_TRUE(cubic != lanczos && bilinear != lanczos && bilinear != cubic);  // the modes were taken
  EXPECT_TRUE(maxCubic <= 3 && maxBilinear <= 4) << maxCubic << " " << maxBilinear;
}

// The compositor written out plainly from its definition: unsharp through a
// reflected padded plane, interleave, then the row blend reference over the
// footprint with the same fixed-point positions.
Frame referenceComposite(const le::Paste& p, const std::vector<float>& crop, const std::vector<uint8_t>& mask,
                         float amount, const float* M, Frame f, int W, int H) {
  const int S = p.side(), K = p.ksize(), r = K / 2, P = S + K - 1;
  const auto& g = p.gauss();
  auto reflect = [&](int i) {
    int a = std::abs(i);
    if (a >= S) a = 2 * S - 2 - a;
    return std::clamp(a, 0, S - 1);
  };
  std::vector<float> crop4(4 * static_cast<size_t>(S) * S, 0.0f);
  for (int c = 0; c < 3; ++c) {
    std::vector<float> plane(static_cast<size_t>(S) * S), padded(static_cast<size_t>(P) * P),
        filtered(static_cast<size_t>(P) * P);
    for (size_t i = 0; i < plane.size(); ++i) plane[i] = 255.0f * crop[c * plane.size() + i];
    for (int y = 0; y < P; ++y)
      for (int x = 0; x < P; ++x) padded[y * P + x] = plane[reflect(y - r) * S + reflect(x - r)];
    for (size_t i = 0; i + K - 1 < padded.size(); ++i) {
      float sum = 0.0f;
      for (int k = 0; k < K; ++k) sum += g[k] * padded[i + k];
      filtered[i] = sum;
    }
    for (int y = 0; y < S; ++y)
      for (int x = 0; x < S; ++x) {
        float blur = 0.0f;
        for (int k = 0; k < K; ++k) blur += g[k] * filtered[(y + k) * P + x];
        const float v = std::clamp((1 + amount) * plane[y * S + x] - amount * blur, 0.0f, 255.0f);
        crop4[4 * (static_cast<size_t>(y) * S + x) + c] = v;
      }
  }
  const float a = M[0], b = M[1], tx = M[2], c = M[3], d = M[4], ty = M[5];
  float minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
  for (float cy : {-4.0f, S + 3.0f})
    for (float cx : {-4.0f, S + 3.0f}) {
      const float X = (cx * a + cy * b) + tx, Y = (cx * c + cy * d) + ty;
      minX = std::min(minX, X), maxX = std::max(maxX, X), minY = std::min(minY, Y), maxY = std::max(maxY, Y);
    }
  const int x0 = std::max(static_cast<int>(std::floor(minX)), 0), x1 = std::min(W - 1, static_cast<int>(std::ceil(maxX)));
  const int y0 = std::max(static_cast<int>(std::floor(minY)), 0), y1 = std::min(H - 1, static_cast<int>(std::ceil(maxY)));
  const double inv = 1.0 / (static_cast<double>(d) * a - static_cast<double>(b) * c);
  std::vector<int> colX, colY;
  for (int X = x0; X <= x1; ++X) {
    colX.push_back(static_cast<int>(std::rint(X * (d * inv) * 1024)));
    colY.push_back(static_cast<int>(std::rint(X * (-c * inv) * 1024)));
  }
  const double p0 = -b * inv, p1 = a * inv, p2 = -(tx * (d * inv) + ty * p0), p3 = -(tx * (-c * inv) + ty * p1);
  for (int Y = y0; Y <= y1; ++Y)
    le::ref::pasteRow(crop4.data(), S, mask.data(), p.lanczosTable().data(), p.bilinTable().data(), colX.data(),
                      colY.data(), static_cast<int>(std::rint((Y * p0 + p2) * 1024)) + 16,
                      static_cast<int>(std::rint((Y * p1 + p3) * 1024)) + 16, x0, x1, f.data() + 3 * W * Y);
  return f;
}

TEST(PasteComposite, MatchesThePlainStepsByteForByte) {
  const int W = 150, H = 130;
  const struct {
    int S, ksize;
    float amount, gain;  // gain > 1 drives the crop beyond [0, 1]
    std::vector<float> M;
  } cases[] = {{64, 13, 0.6f, 1, {1.6f, 0.3f, -10, -0.3f, 1.6f, 5}},  // cut by the left and top edges
               {40, 5, 0.8f, 1, {1, 1, 110, -1, 1, 110}},              // cut by the right and bottom edges
               {20, 1, 2.0f, 5, {0.9f, 0, 60, 0, 0.9f, 70}},
               {100, 9, 1.0f, 1, {0.95f, 0.15f, 20, -0.15f, 0.95f, 25}}};  // blur blocks and a tail
  for (const auto& c : cases) {
    std::vector<float> crop = smoothCrop(c.S);
    std::mt19937 rng(c.S);
    // Texture for the unsharp.
    for (auto& v : crop) v = 0.5f + c.gain * (v - 0.5f + 0.05f * static_cast<float>(rng() % 100) / 100.0f);
    const auto mask = ellipseMask(c.S);
    le::Paste p(mask, c.S, le::Unsharp{c.amount, 1.7f, c.ksize});
    Frame f = noiseFrame(W, H, 5);
    const Frame want = referenceComposite(p, crop, mask, c.amount, c.M.data(), f, W, H);
    p.composite(crop.data(), 255.0f, c.M.data(), f.data(), W, H);
    EXPECT_EQ(f, want) << "side " << c.S;
    EXPECT_NE(f, noiseFrame(W, H, 5));
  }
}

// A NaN crop value composites exactly as a crop value of 0 would: on the
// Lanczos path and in both fast modes, with the unsharp mask on and off, on
// every SIMD target.
TEST(PasteComposite, NaNCropValuesCompositeAsZero) {
  const int S = 40, W = 90, H = 80;
  std::vector<float> zeroed = smoothCrop(S), withNaN = zeroed;
  std::mt19937 rng(12);
  auto plant = [&](size_t i) {
    withNaN[i] = NAN;
    zeroed[i] = 0.0f;
  };
  for (size_t i = 0; i < zeroed.size(); i += 1 + rng() % 97) plant(i);
  for (int x = 0; x < S; ++x) plant(static_cast<size_t>(S) * S + 17 * S + x);  // a whole row of one plane
  plant(3 * static_cast<size_t>(S) * S - 1);                                     // the last pixel
  const float M[6] = {1.1f, 0.2f, 12, -0.2f, 1.1f, 18};
  const std::tuple<const char*, float, int> modes[] = {{"0", 1.3f, 7}, {"0", 0, 1}, {"1", 1.3f, 7}, {"2", 0, 1}};
  le::simd::forEachTarget([&](const char* target) {
    for (const auto& [fast, amount, ksize] : modes) {
      setenv("LE_PASTE_FAST", fast, 1);
      le::Paste p(fullMask(S), S, le::Unsharp{amount, 1.5f, ksize});
      unsetenv("LE_PASTE_FAST");
      Frame got = noiseFrame(W, H, 6), want = got;
      p.composite(withNaN.data(), 255.0f, M, got.data(), W, H);
      p.composite(zeroed.data(), 255.0f, M, want.data(), W, H);
      EXPECT_EQ(got, want) << target << " fast " << fast << " amount " << amount << " ksize " << ksize;
    }
  });
}

}  // namespace
