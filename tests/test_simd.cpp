// Every SIMD kernel, on every compiled target this processor supports,
// against the scalar references of simd_reference.h, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kernels/le_simd.h"
#include "simd_reference.h"

namespace {

using le::ref::bitsOf;
using le::ref::floatOf;

// Runs body once per target, with the target's name in failure messages.
template <class Body>
void onEveryTarget(const Body& body) {
  le::simd::forEachTarget([&](const char* name) {
    SCOPED_TRACE(std::string("target ") + name);
    body();
  });
}

// Floats are equal when their bits are, or when both are NaN (which NaN an
// arithmetic instruction propagates depends on operand order).
::testing::AssertionResult sameFloat(float a, float b) {
  if (bitsOf(a) == bitsOf(b) || (std::isnan(a) && std::isnan(b))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " (0x" << std::hex << bitsOf(a) << ") vs " << b << " (0x" << bitsOf(b)
                                       << ")";
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint16_t> randomHalves(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<uint16_t> v(n);
  for (auto& x : v) x = le::ref::toHalf(dist(rng));
  return v;
}

TEST(SimdTargets, VisitsEachSupportedCompiledTargetOnce) {
  const auto compiled = le::simd::compiledTargets();
  std::vector<std::string> seen;
  le::simd::forEachTarget([&](const char* name) { seen.emplace_back(name); });
  // Distinct compiled targets, the best first (what target() names), the fallback last.
  ASSERT_TRUE(!seen.empty() && std::set<std::string>(seen.begin(), seen.end()).size() == seen.size());
  for (const auto& s : seen) EXPECT_NE(std::find(compiled.begin(), compiled.end(), s), compiled.end()) << s;
  EXPECT_EQ(seen.back(), "SSSE3");
  EXPECT_TRUE(std::find(compiled.begin(), compiled.end(), le::simd::target()) == compiled.end() ||
              seen.front() == le::simd::target());
}

TEST(SimdYuv, RowsMatchReferenceForBothChromaLayouts) {
  // Black, white and red (studio range), then random rows.
  const uint8_t corners[][6] = {{16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255}, {81, 90, 240, 255, 0, 0}};
  std::mt19937 rng(1);
  std::vector<int> widths = {47, 48, 63, 64, 65, 95, 96, 111, 127, 1920};  // around the 32- and 16-pixel steps
  for (int w = 1; w <= 40; ++w) widths.push_back(w);
  onEveryTarget([&] {
    for (const auto& c : corners) {
      const std::vector<uint8_t> y(40, c[0]), u(20, c[1]), v(20, c[2]);
      std::vector<uint8_t> rgb(3 * 40);
      le::simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), 40, 1, rgb.data());
      for (int x = 0; x < 40; ++x) EXPECT_TRUE(std::equal(c + 3, c + 6, &rgb[3 * x])) << int(c[0]) << " at " << x;
    }
    for (int width : widths) {
      const auto y = randomBytes(rng, width);
      const auto u = randomBytes(rng, (width + 1) / 2);
      const auto v = randomBytes(rng, (width + 1) / 2);
      // Interleaved UV sized exactly for the row, so any overread shows under ASan.
      const auto uv = randomBytes(rng, 2 * ((width + 1) / 2));
      for (int step : {1, 2}) {
        const uint8_t* pu = step == 1 ? u.data() : uv.data();
        const uint8_t* pv = step == 1 ? v.data() : uv.data() + 1;
        std::vector<uint8_t> got(3 * width), want(3 * width);
        le::simd::yuv420RowToRgb24(y.data(), pu, pv, width, step, got.data());
        le::ref::yuvRow(y.data(), pu, pv, width, step, want.data());
        EXPECT_EQ(got, want) << "width " << width << " step " << step;
      }
    }
  });
}

TEST(SimdHalf, EveryHalfWidensExactly) {
  std::vector<uint16_t> all(65536);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  onEveryTarget([&] {
    // Odd offsets and lengths put patterns in the one-lane tail too.
    for (size_t off : {0, 3}) {
      std::vector<float> out(all.size() - off);
      le::simd::f16ToF32(all.data() + off, out.data(), out.size());
      for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(bitsOf(out[i]), bitsOf(le::ref::fromHalf(all[i + off]))) << std::hex << all[i + off];
    }
  });
}

std::vector<float> narrowingInputs() {
  const auto p2 = [](float m, int e) { return std::ldexp(m, e); };
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 65504.0f, 65519.99f, 65520.0f, -65520.0f, 65536.0f, 1e30f, INFINITY,
                          -INFINITY, std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                          floatOf(0x7F800001),  // signalling NaN whose payload does not survive narrowing
                          floatOf(0x7FA02000), floatOf(0xFFC00001),
                          // Normal/subnormal edges, ties and near-ties, ties to even down and up.
                          p2(1, -14), p2(1, -24), p2(1, -25), p2(1, -25) * 1.0000001f, p2(1, -26), p2(1023.5f, -24),
                          p2(1.5f, -24), p2(2.5f, -24), p2(2047.5f, -25), p2(1, -149), 1 + p2(1, -11),
                          1 + 3 * p2(1, -11), 2049.0f, 2051.0f, 1.0f / 3.0f, -0.1f};
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> range(-70000.0f, 70000.0f);
  for (int i = 0; i < 200000; ++i) v.push_back(floatOf(static_cast<uint32_t>(rng())));
  for (int i = 0; i < 40000; ++i) v.push_back(i % 2 ? range(rng) : std::ldexp(range(rng), -30));
  return v;
}

TEST(SimdHalf, NarrowingRoundsToNearestEven) {
  const auto in = narrowingInputs();
  EXPECT_EQ(le::ref::toHalf(65520.0f), 0x7C00);
  EXPECT_EQ(le::ref::toHalf(65519.99f), 0x7BFF);
  onEveryTarget([&] {
    for (size_t n : {in.size(), size_t{1}, size_t{5}, size_t{17}, size_t{33}}) {
      std::vector<uint16_t> out(n + 1, 0xABCD);
      le::simd::f32ToF16(in.data(), out.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], le::ref::toHalf(in[i])) << std::hexfloat << in[i];
      EXPECT_EQ(out[n], 0xABCD);
    }
  });
  // The scalar form sends NaN to infinity.
  for (const float f : in) {
    const uint16_t want = std::isnan(f) ? ((bitsOf(f) >> 16) & 0x8000) | 0x7C00 : le::ref::toHalf(f);
    ASSERT_EQ(le::f32ToF16(f), want) << std::hexfloat << f;
  }
}

TEST(SimdHalf, RgbBytesToPlanarHalves) {
  std::mt19937 rng(4);
  // Every byte in every channel once, then random runs.
  std::vector<uint8_t> every(3 * 256);
  for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<uint8_t>(i * 97 / 3);
  onEveryTarget([&] {
    for (size_t count : {256, 1, 3, 16, 37, 4096}) {
      const auto rgb = count == 256 ? every : randomBytes(rng, 3 * count);
      const size_t stride = count + 5;
      std::vector<uint16_t> out(3 * stride, 0xEEEE);
      le::simd::rgb8ToPlanarF16(rgb.data(), out.data(), stride, count);
      for (size_t c = 0; c < 3; ++c)
        for (size_t i = 0; i < stride; ++i) {
          const uint16_t want = i < count ? le::ref::toHalf(rgb[3 * i + c] / 255.0f) : 0xEEEE;
          ASSERT_EQ(out[c * stride + i], want) << "count " << count << " c " << c << " i " << i;
        }
    }
  });
}

TEST(SimdConv, MatchesReferenceOnNarrowAndWidePlanes) {
  struct Case {
    int N, Cin, H, W, Cout;
  };
  // The teeth head's layers at its two window sizes, then every width up to
  // three vectors of the widest target (narrower than a vector, exactly one,
  // one more, a last vector overlapping the one before), with channel counts
  // that leave a remainder after the grouped channels (computed several rows
  // at a time) and heights that end those row blocks anywhere.
  std::vector<Case> cases = {{1, 7, 70, 86, 16},  {1, 16, 70, 86, 16}, {1, 16, 70, 86, 1}, {1, 16, 48, 64, 1},
                             {1, 16, 48, 64, 16}, {1, 1, 1, 99, 1},    {2, 3, 1, 40, 6}};
  for (int w = 1; w <= 50; ++w) cases.push_back({2, 3, 3 + w % 8, w, w % 2 ? 11 : 6});
  std::mt19937 rng(5);
  std::normal_distribution<float> dist;
  onEveryTarget([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "Cin " << c.Cin << " H " << c.H << " W " << c.W << " Cout " << c.Cout);
      std::vector<float> in(static_cast<size_t>(c.N) * c.Cin * c.H * c.W), w(c.Cout * c.Cin * 9), bias(c.Cout);
      for (auto* v : {&in, &w, &bias})
        for (auto& x : *v) x = dist(rng);
      // 16 input channels are a hidden layer's: ReLU outputs, never negative.
      if (c.Cin == 16)
        for (auto& x : in) x = std::max(x, 0.0f);
      // Non-finite weights on taps that fall left and right of the image at
      // the edge columns, which must not spread there; a last channel of -0
      // weights and bias, which gives +0 only when its sums start at +0.
      w[0] = NAN;
      if (c.Cout > 2) {
        w[(2 * c.Cin - 1) * 9 + 8] = INFINITY;
        std::fill(w.end() - c.Cin * 9, w.end(), -0.0f);
        bias.back() = -0.0f;
      }
      in[1] = INFINITY;
      const size_t plane = static_cast<size_t>(c.H) * c.W, planes = static_cast<size_t>(c.N) * c.Cout;
      std::vector<float> got(planes * plane, -7.0f), want(planes * plane, -7.0f);
      // Ranges that start and end inside a batch item (the planes outside
      // stay untouched), then an empty one.
      const int p = static_cast<int>(planes), begin = p > 1 ? 1 : 0;
      // With relu the outputs are what the reference's relu makes of them.
      for (const bool relu : {false, true})
        for (const auto& [b, e] : {std::pair{begin, std::max(begin, p - 1)}, {begin, p}, {p, p}}) {
          le::simd::conv3x3Range(in.data(), c.N, c.Cin, c.H, c.W, w.data(), bias.data(), c.Cout, got.data(), b, e,
                                 relu);
          le::ref::conv3x3(in.data(), c.Cin, c.H, c.W, w.data(), bias.data(), c.Cout, want.data(), b, e);
          if (relu) le::ref::relu(want.data() + b * plane, (e - b) * plane);
          for (size_t i = 0; i < got.size(); ++i)
            ASSERT_TRUE(sameFloat(got[i], want[i])) << "relu " << relu << " range " << b << ".." << e << " i " << i;
        }
      // The test must not pass on all-NaN planes.
      EXPECT_TRUE(std::any_of(got.begin() + begin * plane, got.end(), [](float v) { return std::isfinite(v); }));

      // The first batch item again with its planes spread apart (by 4 KB plus
      // a cache line, and by an odd gap), output channels 1.. only: the same
      // values, and the gaps and channel 0 left alone.
      const size_t inPlane = plane + 1024 + 16, outPlane = plane + 3;
      std::vector<float> spread(c.Cin * inPlane, NAN), out(c.Cout * outPlane, -7.0f);
      for (int ci = 0; ci < c.Cin; ++ci) std::copy_n(in.begin() + ci * plane, plane, spread.begin() + ci * inPlane);
      const int o0 = c.Cout > 1 ? 1 : 0;
      le::simd::conv3x3Planes(spread.data(), inPlane, c.Cin, c.H, c.W, w.data(), bias.data(), out.data(), outPlane, o0,
                              c.Cout, false);
      le::ref::conv3x3(in.data(), c.Cin, c.H, c.W, w.data(), bias.data(), c.Cout, want.data(), 0, c.Cout);
      for (int o = 0; o < c.Cout; ++o)
        for (size_t i = 0; i < outPlane; ++i) {
          const float expected = o >= o0 && i < plane ? want[o * plane + i] : -7.0f;
          ASSERT_TRUE(sameFloat(out[o * outPlane + i], expected)) << "spread planes, channel " << o << " i " << i;
        }
    }
  });
}

// Rows of footprints of five kinds, in runs that start and end anywhere
// within the column vectors of every target and across batches: 'i' wholly
// inside the crop (the vector path), 'z' inside but over a mask of 0 (left
// as it was), 'e' crossing an edge (the clipped path), 's' skipped. Some
// footprints reach NaN and infinite colours (NaN composites as 0).
TEST(SimdPaste, RunsOfEveryFootprintKindMatchReference) {
  std::mt19937 rng(9);
  constexpr int side = 40, kZeroCols = 18;
  std::vector<float> crop4(4 * side * side), lanczos(32 * 8), bilin(64);
  std::uniform_real_distribution<float> colour(0.0f, 255.0f), tap(-0.2f, 0.9f);
  for (size_t i = 0; i < crop4.size(); ++i) crop4[i] = (i % 4 == 3) ? 0.0f : colour(rng);
  for (auto& t : lanczos) t = tap(rng);
  for (int p = 0; p < 32; ++p) bilin[2 * p] = 1.0f - p / 32.0f, bilin[2 * p + 1] = p / 32.0f;
  const float special[] = {NAN, INFINITY, -INFINITY};
  for (int k = 0; k < 3; ++k) crop4[4 * (38 * side + 20 + 7 * k) + k] = special[k];
  // Mask columns 0..17 are 0, the rest never; rows up to 19 are faint (1
  // or 2), so levels near the skip threshold occur.
  std::vector<uint8_t> mask(side * side);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      mask[y * side + x] = x < kZeroCols ? 0 : static_cast<uint8_t>(1 + rng() % (y < 20 ? 2 : 255));
  auto within = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo * 1024, hi * 1024 - 1)(rng); };
  auto place = [&](char kind, int& sx, int& sy) {
    // Bilinear samples at ix and ix + 1: both in the zero columns for 'z'.
    sx = kind == 'z' ? within(3, kZeroCols - 2) : within(kZeroCols, side - 4);
    sy = within(3, side - 4);
    int& other = rng() % 2 ? sx : sy;
    if (kind == 'e') other = rng() % 2 ? within(-1, 3) : within(side - 4, side);
    if (kind == 's') other = rng() % 2 ? std::uniform_int_distribution<int>(-5000, -1025)(rng) : within(side, side + 3);
  };
  std::vector<std::string> patterns;
  // Every run length mod 4 (and mod 2), cut by one or two pixels of the other kinds.
  for (int run = 0; run <= 9; ++run)
    for (const std::string sep : {"e", "s", "es", "se", "ss", "z"})
      patterns.push_back(sep + std::string(run, 'i') + sep + std::string(run + 1, 'i') + sep);
  // Rows longer than the kernel's batches of columns, in random mixes.
  for (const char* mix : {"iiiiiiies", "iiiizzzes"})
    for (int n : {127, 128, 129, 300, 700}) {
      std::string row;
      for (int k = 0; k < n; ++k) row += mix[rng() % 9];
      patterns.push_back(row);
    }
  patterns.push_back(std::string(261, 'i'));
  onEveryTarget([&] {
    for (const auto& pattern : patterns) {
      std::vector<int> colX(pattern.size()), colY(pattern.size());
      // Offsets move every position by the same amount; shift the table back.
      const int offX = static_cast<int>(rng() % 2048) - 1024, offY = static_cast<int>(rng() % 2048) - 1024;
      for (size_t k = 0; k < pattern.size(); ++k) {
        place(pattern[k], colX[k], colY[k]);
        colX[k] -= offX;
        colY[k] -= offY;
      }
      const int x0 = static_cast<int>(rng() % 3);
      const auto frame = randomBytes(rng, 3 * (x0 + pattern.size()));
      // The whole row, so pixels before x0 and over the zero mask count too.
      auto got = frame, want = frame;
      const int x1 = x0 + static_cast<int>(pattern.size()) - 1;
      le::simd::pasteLanczos8Row(crop4.data(), side, mask.data(), lanczos.data(), bilin.data(), colX.data(),
                                 colY.data(), offX, offY, x0, x1, got.data());
      le::ref::pasteRow(crop4.data(), side, mask.data(), lanczos.data(), bilin.data(), colX.data(), colY.data(), offX,
                        offY, x0, x1, want.data());
      ASSERT_EQ(got, want) << pattern;
    }
  });
}

TEST(SimdRetrieve, SumsMatchReferenceInIndexOrder) {
  std::mt19937 rng(8);
  const size_t n = 3 * 64 * 64 + 5;
  const auto a = randomHalves(rng, 3 * n, -1.0f, 2.0f), b = randomHalves(rng, 3 * n, -1.0f, 2.0f);
  std::vector<float> w(n);
  std::uniform_real_distribution<float> wd(-1.0f, 3.0f);
  for (size_t i = 0; i < n; ++i) w[i] = (i % 7 == 0) ? 0.0f : wd(rng);
  const auto wh = randomHalves(rng, n, 0.0f, 4.0f);
  onEveryTarget([&] {
    EXPECT_TRUE(sameFloat(le::simd::retrieveTermExact(a.data(), b.data(), w.data(), n),
                          le::ref::retrieveExact(a.data(), b.data(), w.data(), n, 0, n)));
    for (auto [begin, end] : {std::pair<size_t, size_t>{0, 1}, {3, 40}, {17, 17}, {5, n}})
      EXPECT_TRUE(sameFloat(le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), n, begin, end),
                            le::ref::retrieveExact(a.data(), b.data(), w.data(), n, begin, end)))
          << begin << ".." << end;
    EXPECT_TRUE(sameFloat(le::simd::retrieveTermPooled(a.data(), b.data(), wh.data(), n),
                          le::ref::retrievePooled(a.data(), b.data(), wh.data(), n)));
  });
}

TEST(SimdRetrieve, ZeroWeightsDropNaNButPooledKeepsIt) {
  const size_t n = 37;
  const std::vector<uint16_t> nanImage(3 * n, 0x7E00), zeros(3 * n, 0), pooledW(n, 0x3C00);
  std::vector<float> w(n, 0.0f);
  onEveryTarget([&] {
    EXPECT_EQ(bitsOf(le::simd::retrieveTermExact(nanImage.data(), zeros.data(), w.data(), n)), 0u);
    EXPECT_EQ(bitsOf(le::simd::retrieveTermExactRange(nanImage.data(), zeros.data(), w.data(), n, 2, 30)), 0u);
    EXPECT_TRUE(std::isnan(le::simd::retrieveTermPooled(nanImage.data(), zeros.data(), pooledW.data(), n)));
  });
  w[20] = 0.5f;
  onEveryTarget(
      [&] { EXPECT_TRUE(std::isnan(le::simd::retrieveTermExact(nanImage.data(), zeros.data(), w.data(), n))); });
}

// Every float of got and want is the same, and none outside [begin, end)
// of a plane was touched (both start from the same fill).
void expectSameFloats(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(sameFloat(got[i], want[i])) << what << " at " << i;
}

std::vector<float> randomFloats(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = dist(rng);
  return v;
}

TEST(SimdRetrieve, ManySumsMatchOneImageAtATime) {
  std::mt19937 rng(10);
  const size_t n = 700;
  const auto b = randomHalves(rng, 3 * n, 0.0f, 1.0f);
  std::vector<float> w = randomFloats(rng, n, 0.0f, 1.0f);
  // Runs of zero weights longer than any vector, and single ones.
  std::fill(w.begin() + 100, w.begin() + 260, 0.0f);
  for (size_t i = 0; i < n; i += 5) w[i] = 0.0f;
  struct Case {
    size_t count, begin, end;
  };
  const Case cases[] = {{1, 0, n}, {8, 0, n}, {11, 3, 301}, {17, 99, 261}, {9, 120, 250}, {3, 7, 7}};
  for (const Case& c : cases) {
    std::vector<std::vector<uint16_t>> images;
    for (size_t g = 0; g < c.count; ++g) images.push_back(randomHalves(rng, 3 * n, 0.0f, 1.0f));
    // NaN under a zero weight drops out; under a weight it spoils only its own image's sum.
    images[0][n + 100] = 0x7E00;
    images.back()[2 * n + 301] = 0x7E00;
    std::vector<const uint16_t*> a;
    for (const auto& im : images) a.push_back(im.data());
    onEveryTarget([&] {
      std::vector<float> got(c.count + 1, -1.0f);
      le::simd::retrieveTermExactRangeMany(a.data(), c.count, b.data(), w.data(), n, c.begin, c.end, got.data());
      for (size_t g = 0; g < c.count; ++g)
        EXPECT_TRUE(sameFloat(got[g], le::ref::retrieveExact(a[g], b.data(), w.data(), n, c.begin, c.end)))
            << "count " << c.count << " image " << g << " range " << c.begin << ".." << c.end;
      EXPECT_EQ(got[c.count], -1.0f);
    });
  }
}

TEST(SimdRetrieve, PooledGroupsMatchOneImageAtATime) {
  std::mt19937 rng(14);
  constexpr size_t G = le::simd::kPooledGroup;
  struct Case {
    size_t n, groups;
  };
  for (const Case& c : {Case{1, 1}, Case{37, 3}, Case{192, 2}}) {
    const auto b = randomHalves(rng, 3 * c.n, 0.0f, 1.0f);
    auto w = randomHalves(rng, c.n, 0.0f, 1.0f);
    w[0] = 0;  // zero weights still count: 0 * NaN is NaN
    std::vector<std::vector<uint16_t>> images;
    for (size_t j = 0; j < c.groups * G; ++j) images.push_back(randomHalves(rng, 3 * c.n, 0.0f, 1.0f));
    images[G - 1][c.n - 1] = 0x7E00;
    images.back()[0] = 0x7C00;
    std::vector<uint16_t> lanes(c.groups * G * 3 * c.n);
    for (size_t j = 0; j < images.size(); ++j)
      for (size_t k = 0; k < 3; ++k)
        for (size_t i = 0; i < c.n; ++i) lanes[(((j / G) * c.n + i) * 3 + k) * G + j % G] = images[j][k * c.n + i];
    onEveryTarget([&] {
      std::vector<float> got(images.size() + 1, -1.0f);
      le::simd::retrieveTermPooledGroups(lanes.data(), c.groups, b.data(), w.data(), c.n, got.data());
      for (size_t j = 0; j < images.size(); ++j)
        EXPECT_TRUE(sameFloat(got[j], le::ref::retrievePooled(images[j].data(), b.data(), w.data(), c.n)))
            << "n " << c.n << " image " << j;
      EXPECT_EQ(got.back(), -1.0f);
    });
  }
}

TEST(SimdHead, PoolingAndDifferenceMatchReference) {
  std::mt19937 rng(11);
  struct Case {
    size_t h2, w2, stride;  // stride in pixels, at least 2 w2
  };
  const Case cases[] = {{1, 1, 2}, {2, 3, 7}, {5, 17, 34}, {3, 40, 85}, {48, 64, 128}, {4, 33, 66}};
  for (const Case& c : cases) {
    const auto rgb = randomBytes(rng, 3 * c.stride * 2 * c.h2);
    const size_t n = c.h2 * c.w2;
    const auto a = randomFloats(rng, 3 * n, 0.0f, 1.0f), b = randomFloats(rng, 3 * n, 0.0f, 1.0f);
    std::vector<float> pooled(3 * n), diff(n);
    le::ref::pool2Rgb8(rgb.data(), c.stride, c.h2, c.w2, pooled.data());
    le::ref::meanAbsDiff3(a.data(), b.data(), n, diff.data());
    onEveryTarget([&] {
      const std::string size = std::to_string(c.h2) + " x " + std::to_string(c.w2);
      std::vector<float> got(3 * n, -1.0f);
      le::simd::pool2Rgb8(rgb.data(), c.stride, c.h2, c.w2, got.data());
      expectSameFloats(got, pooled, "pool2 " + size);
      got.assign(n, -1.0f);
      le::simd::meanAbsDiff3(a.data(), b.data(), n, got.data());
      expectSameFloats(got, diff, "meanAbsDiff3 " + size);
    });
  }
}

TEST(SimdHead, InterpolationMatchesReference) {
  std::mt19937 rng(12);
  for (size_t n : {1, 5, 16, 31, 128, 261}) {
    const size_t m = n / 2 + 1;
    const auto in = randomFloats(rng, m, -10.0f, 10.0f), a = randomFloats(rng, n, -10.0f, 10.0f),
               b = randomFloats(rng, n, -10.0f, 10.0f), frac = randomFloats(rng, n, 0.0f, 1.0f);
    std::vector<int32_t> lo(n), hi(n);
    for (size_t x = 0; x < n; ++x) {
      lo[x] = static_cast<int32_t>(rng() % m);
      hi[x] = static_cast<int32_t>(rng() % m);
    }
    std::vector<float> taps(n);
    le::ref::lerpTaps(in.data(), lo.data(), hi.data(), frac.data(), n, taps.data());
    onEveryTarget([&] {
      std::vector<float> got(n);
      le::simd::lerpTaps(in.data(), lo.data(), hi.data(), frac.data(), n, got.data());
      expectSameFloats(got, taps, "lerpTaps " + std::to_string(n));
      for (float f : {0.0f, 0.25f, 0.75f, 1.0f, frac[0]}) {
        std::vector<float> want(n);
        le::ref::lerp(a.data(), b.data(), f, n, want.data());
        le::simd::lerp(a.data(), b.data(), f, n, got.data());
        expectSameFloats(got, want, "lerp " + std::to_string(n) + " f " + std::to_string(f));
      }
    });
  }
}

TEST(SimdHead, ExponentialIsWithinAnUlpAndTheSameOnEveryTarget) {
  std::mt19937 rng(16);
  std::vector<float> x = randomFloats(rng, 200000, -106.0f, 90.0f);
  const std::vector<float> near0 = randomFloats(rng, 20000, -1e-3f, 1e-3f);
  x.insert(x.end(), near0.begin(), near0.end());
  // Subnormal results, the edges of the range and the special values.
  for (float v = -104.0f; v < -87.0f; v += 0.01f) x.push_back(v);
  for (const float v : {0.0f, -0.0f, -INFINITY, INFINITY, NAN, 88.72f, 88.7228394f, 88.73f, -103.97f, -103.98f,
                        -87.33655f, 1e-30f, -1e-30f})
    x.push_back(v);
  std::vector<float> want(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    want[i] = le::ref::exp(x[i]);
    // The reference itself: one unit in the last place of the exact value.
    const double exact = std::exp(static_cast<double>(x[i]));
    const float rounded = static_cast<float>(exact);
    if (std::isnan(x[i])) {
      ASSERT_TRUE(std::isnan(want[i]));
    } else if (std::isinf(rounded) || rounded == 0.0f) {
      ASSERT_EQ(want[i], rounded) << std::hexfloat << x[i];
    } else {
      const int64_t ulps = static_cast<int64_t>(bitsOf(want[i])) - static_cast<int64_t>(bitsOf(rounded));
      ASSERT_LE(std::abs(ulps), 1) << std::hexfloat << x[i] << " gives " << want[i] << " for " << exact;
    }
  }
  EXPECT_EQ(want[x.size() - 13], 1.0f);
  onEveryTarget([&] {
    std::vector<float> got(x.size() + 1, -1.0f);
    le::simd::exponential(x.data(), got.data(), x.size());
    EXPECT_EQ(got.back(), -1.0f);
    got.pop_back();
    expectSameFloats(got, want, "exponential");
  });
}

TEST(SimdHead, SoftmaxAndBlendMatchReference) {
  std::mt19937 rng(13);
  struct Case {
    size_t count, plane, begin, end;
  };
  const Case cases[] = {{1, 7, 0, 7}, {3, 40, 5, 37}, {64, 300, 0, 300}, {5, 129, 17, 128}, {2, 10, 4, 4}};
  for (const Case& c : cases) {
    std::vector<float> logits = randomFloats(rng, c.count * c.plane, -20.0f, 20.0f);
    // A pixel of -inf everywhere (NaN weights), a NaN in the first and in a
    // later plane, and an infinite logit.
    const size_t last = c.end > c.begin ? c.end - 1 : c.begin;
    for (size_t k = 0; k < c.count; ++k) logits[k * c.plane + last] = -INFINITY;
    logits[c.begin] = NAN;
    logits[(c.count - 1) * c.plane + c.plane / 2] = c.count > 1 ? NAN : INFINITY;
    std::vector<float> weights = logits;
    le::ref::softmaxPlanes(weights.data(), c.count, c.plane, c.begin, c.end);
    // The blend's weight planes, windows and output planes each with a stride of their own.
    const size_t wStride = c.plane + 3, rgbStride = 3 * c.plane + 5, outStride = c.plane + 1;
    const auto rgb = randomBytes(rng, c.count * rgbStride);
    const std::vector<float> w = randomFloats(rng, c.count * wStride, 0.0f, 1.0f);
    std::vector<float> blend(3 * outStride, -1.0f);
    le::ref::blendRgb8(w.data(), wStride, rgb.data(), rgbStride, c.count, c.begin, c.end, blend.data(), outStride);
    onEveryTarget([&] {
      const std::string size = std::to_string(c.count) + " x " + std::to_string(c.plane);
      std::vector<float> got = logits;
      le::simd::softmaxPlanes(got.data(), c.count, c.plane, c.begin, c.end);
      expectSameFloats(got, weights, "softmax " + size);
      got.assign(3 * outStride, -1.0f);
      le::simd::blendRgb8(w.data(), wStride, rgb.data(), rgbStride, c.count, c.begin, c.end, got.data(), outStride);
      expectSameFloats(got, blend, "blend " + size);
    });
  }
}

TEST(SimdHead, CompositeMatchesReference) {
  std::mt19937 rng(15);
  for (size_t n : {1, 7, 16, 33, 128, 200}) {
    const auto frame = randomBytes(rng, 3 * n);
    auto mask = randomBytes(rng, n);
    mask[0] = 255;
    if (n > 1) mask[1] = 0;
    // Blends beyond 0..1 clamp; k/510 lands v * 255 on halves where the mask is 255.
    std::vector<float> blend = randomFloats(rng, 3 * n + 5, -0.5f, 1.5f);
    for (size_t i = 0; i < blend.size(); i += 3) blend[i] = static_cast<float>(rng() % 511) / 510.0f;
    std::vector<uint8_t> want(3 * n);
    le::ref::compositeRgb8(frame.data(), mask.data(), blend.data(), n + 1, n, want.data());
    onEveryTarget([&] {
      std::vector<uint8_t> got(3 * n + 1, 7);
      le::simd::compositeRgb8(frame.data(), mask.data(), blend.data(), n + 1, n, got.data());
      EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "n " << n;
      EXPECT_EQ(got.back(), 7);
    });
  }
}

}  // namespace
