// Int8ConvVNNI: every dot-product sequence this processor runs against a
// plain evaluation of the operator's definition (bit for bit), the operator
// inside ONNX Runtime against ONNX Runtime's own Conv, and the conv backend
// seam.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "render/int8conv_vnni.h"
#include "render/le_conv.h"

namespace {

using le::Int8ConvAttrs;
using le::Int8ConvKernel;
using le::Int8Dot;

struct Case {
  std::vector<int64_t> xs, ws;
  Int8ConvAttrs a;
  std::vector<float> x, wscale, bias;
  std::vector<int8_t> w;
};

struct Quant {
  float scale;
  int zp;
  int q(float v) const { return std::clamp(static_cast<int>(std::nearbyint(v / scale)) + zp, 0, 255); }
};

Quant quantOf(const std::vector<float>& x) {
  float lo = 0, hi = 0;
  for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  float scale = (hi - lo) / 255.0f;
  if (!(scale > 0)) scale = 1.0f;
  return {scale, std::clamp(static_cast<int>(std::nearbyint(-lo / scale)), 0, 255)};
}

// The operator's definition, one output at a time.
std::vector<float> reference(const Case& c) {
  const Quant qt = quantOf(c.x);
  const int64_t n = c.xs[0], cin = c.xs[1], h = c.xs[2], w = c.xs[3];
  const int64_t cout = c.ws[0], cg = c.ws[1], kh = c.ws[2], kw = c.ws[3];
  const int64_t oh = (h + c.a.padTop + c.a.padBottom - c.a.dilationH * (kh - 1) - 1) / c.a.strideH + 1;
  const int64_t ow = (w + c.a.padLeft + c.a.padRight - c.a.dilationW * (kw - 1) - 1) / c.a.strideW + 1;
  const int64_t coutG = cout / c.a.group;
  std::vector<float> out(n * cout * oh * ow);
  for (int64_t b = 0; b < n; ++b)
    for (int64_t oc = 0; oc < cout; ++oc)
      for (int64_t oy = 0; oy < oh; ++oy)
        for (int64_t ox = 0; ox < ow; ++ox) {
          int32_t acc = 0, used = 0;
          for (int64_t ci = 0; ci < cg; ++ci)
            for (int64_t ky = 0; ky < kh; ++ky)
              for (int64_t kx = 0; kx < kw; ++kx) {
                const int64_t iy = oy * c.a.strideH - c.a.padTop + ky * c.a.dilationH;
                const int64_t ix = ox * c.a.strideW - c.a.padLeft + kx * c.a.dilationW;
                if (iy < 0 || iy >= h || ix < 0 || ix >= w) continue;
                const int32_t wv = c.w[((oc * cg + ci) * kh + ky) * kw + kx];
                const int64_t channel = oc / coutG * cg + ci;
                acc += qt.q(c.x[((b * cin + channel) * h + iy) * w + ix]) * wv;
                used += wv;
              }
          out[((b * cout + oc) * oh + oy) * ow + ox] =
              static_cast<float>(acc - qt.zp * used) * (qt.scale * c.wscale[oc]) + c.bias[oc];
        }
  return out;
}

Case makeCase(std::mt19937& rng, std::vector<int64_t> xs, int64_t cout, int64_t kh, int64_t kw, Int8ConvAttrs a,
              float lo = -2.0f, float hi = 3.0f) {
  Case c{xs, {cout, xs[1] / a.group, kh, kw}, a, std::vector<float>(xs[0] * xs[1] * xs[2] * xs[3]), {}, {},
         std::vector<int8_t>(cout * (xs[1] / a.group) * kh * kw)};
  std::uniform_real_distribution<float> xv(lo, hi), sv(0.001f, 0.05f), bv(-1.0f, 1.0f);
  std::uniform_int_distribution<int> wv(-128, 127);
  for (float& v : c.x) v = xv(rng);
  for (int8_t& v : c.w) v = static_cast<int8_t>(wv(rng));
  for (int64_t i = 0; i < cout; ++i) c.wscale.push_back(sv(rng)), c.bias.push_back(bv(rng));
  return c;
}

std::vector<float> runKernel(Int8ConvKernel& k, const Case& c) {
  const auto os = k.outputShape(c.xs, c.ws);
  std::vector<float> out(os[0] * os[1] * os[2] * os[3], std::nanf(""));
  k.run(c.x.data(), c.xs, c.w.data(), c.ws, c.wscale.data(), c.bias.data(), out.data());
  return out;
}

// Every supported sequence must give exactly the reference's floats.
void expectAllDotsMatch(const Case& c, const std::string& what) {
  const std::vector<float> want = reference(c);
  for (Int8Dot d : {Int8Dot::Scalar, Int8Dot::Avx2, Int8Dot::AvxVnni, Int8Dot::Avx512Vnni}) {
    if (!le::int8DotSupported(d)) continue;
    Int8ConvKernel k(c.a, d);
    const std::vector<float> got = runKernel(k, c);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << what << " on "
                                                                                    << le::int8DotName(d);
  }
}

Int8ConvAttrs attrs(int64_t sh, int64_t sw, std::array<int64_t, 4> pads, int64_t dh, int64_t dw, int64_t group) {
  return {sh, sw, pads[0], pads[1], pads[2], pads[3], dh, dw, group};
}

TEST(Int8ConvKernels, MatchReferenceOnChosenAndRandomShapes) {
  std::mt19937 rng(1);
  // Many channels over interior and edge tiles, depthwise, a kernel wider than the input.
  const auto pad1 = attrs(1, 1, {1, 1, 1, 1}, 1, 1, 1);
  for (const Case& c : {makeCase(rng, {1, 64, 19, 37}, 24, 3, 3, pad1),
                        makeCase(rng, {1, 8, 9, 21}, 8, 3, 3, attrs(1, 1, {1, 1, 1, 1}, 1, 1, 8)),
                        makeCase(rng, {1, 5, 3, 2}, 4, 3, 3, pad1)})
    expectAllDotsMatch(c, "chosen shape with " + std::to_string(c.xs[1]) + " channels");
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int i = 0; i < 16; ++i) {
    const int64_t group = pick(1, 3), cg = pick(1, 11), coutG = pick(1, 20), kh = pick(1, 4), kw = pick(1, 4);
    const Int8ConvAttrs a = attrs(pick(1, 3), pick(1, 3), {pick(0, 3), pick(0, 3), pick(0, 3), pick(0, 3)}, pick(1, 2),
                                  pick(1, 2), group);
    const int64_t h = pick(int(a.dilationH * (kh - 1) + 1), 24), w = pick(int(a.dilationW * (kw - 1) + 1), 45);
    const Case c = makeCase(rng, {pick(1, 2), cg * group, h, w}, coutG * group, kh, kw, a, -pick(0, 5), pick(0, 5));
    expectAllDotsMatch(c, "random shape " + std::to_string(i));
  }
}

TEST(Int8ConvKernels, ExtremeActivations) {
  std::mt19937 rng(3);
  const Int8ConvAttrs a = attrs(1, 1, {1, 1, 1, 1}, 1, 1, 1);
  Case c = makeCase(rng, {1, 13, 7, 35}, 19, 3, 3, a);

  // Constant activations collapse the range (zero: scale 1, zero point 0).
  for (const float v : {0.0f, -0.75f}) {
    std::fill(c.x.begin(), c.x.end(), v);
    expectAllDotsMatch(c, "constant " + std::to_string(v));
  }

  // Activations at 255 against weights at the ends of int8: a pair of such
  // products overflows a 16-bit sum.
  for (size_t i = 0; i < c.x.size(); ++i) c.x[i] = i % 3 ? 1.0f : 0.0f;
  for (size_t i = 0; i < c.w.size(); ++i) c.w[i] = i % 5 == 4 ? 127 : -128;
  expectAllDotsMatch(c, "saturating pairs");
}

TEST(Int8ConvKernels, RefusalsOfDisagreeingShapesAndOfTheConvBackend) {
  const Int8ConvKernel k(attrs(1, 1, {0, 0, 0, 0}, 1, 1, 2), le::bestInt8Dot());
  EXPECT_THROW(k.outputShape({1, 6, 8, 8}, {4, 6, 3, 3}), std::runtime_error);  // Cin/group is 3
  EXPECT_THROW(k.outputShape({1, 6, 2, 8}, {4, 3, 3, 3}), std::runtime_error);  // no output rows
  EXPECT_THROW(Int8ConvKernel(attrs(0, 1, {0, 0, 0, 0}, 1, 1, 1), Int8Dot::Scalar), std::runtime_error);
  // The conv backend seam answers unavailable.
  EXPECT_FALSE(le::ConvBackend::available() || le::ConvBackend::graphSupported("model_render.onnx"));
  EXPECT_THAT([] { le::ConvBackend::create("model_render.onnx", 2); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("le_conv: built without NEON fp16 support")));
}

TEST(Int8ConvKernels, WeightsPackedOnceAcrossThreads) {
  std::mt19937 rng(4);
  const Case c = makeCase(rng, {1, 16, 12, 40}, 20, 3, 3, attrs(1, 1, {1, 1, 1, 1}, 1, 1, 1));
  const std::vector<float> want = reference(c);
  Int8ConvKernel k(c.a, le::bestInt8Dot());
  std::vector<std::vector<float>> got(2);
  std::vector<std::thread> threads;
  for (auto& g : got) threads.emplace_back([&] { g = runKernel(k, c); });
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_EQ(g, want);

  // Later calls keep the first weights.
  Case changed = c;
  for (int8_t& v : changed.w) v = static_cast<int8_t>(-v / 2);
  EXPECT_EQ(runKernel(k, changed), want);
}

// ---------------------------------------------------------------- in ORT

class Int8ConvOrt : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/le-int8conv-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const std::string cmd =
        "/usr/bin/python3 " LE_SOURCE_DIR "/tests/graphs/int8conv_graphs.py --out '" + dir_.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  static Ort::Session session(const std::string& name, bool withOp = true) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(2);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (withOp) le::registerInt8ConvVNNI(so);
    static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le-test");
    return Ort::Session(env, (dir_ / name).c_str(), so);
  }

  static std::vector<float> run(Ort::Session& s, std::vector<float>& x, std::vector<int64_t>* shape = nullptr) {
    const auto xs = s.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), xs.size());
    const char *inName = "X", *outName = "Y";
    auto out = s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const auto info = out[0].GetTensorTypeAndShapeInfo();
    if (shape) *shape = info.GetShape();
    const float* p = out[0].GetTensorData<float>();
    return {p, p + info.GetElementCount()};
  }

  static inline std::filesystem::path dir_;
};

TEST_F(Int8ConvOrt, MatchesFloatConvOfDequantisedTensors) {
  for (const std::string name : {"odd", "group", "short"}) {
    SCOPED_TRACE(name);
    Ort::Session q = session(name + "_int8.onnx"), f = session(name + "_float.onnx", false);
    std::vector<float> x(q.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetElementCount());
    std::mt19937 rng(5);
    for (float& v : x) v = std::uniform_real_distribution<float>(-1.5f, 4.0f)(rng);
    std::vector<int64_t> qShape, fShape;
    const std::vector<float> y = run(q, x, &qShape);
    const std::vector<float> yf = run(f, x, &fShape);
    ASSERT_EQ(qShape, fShape);

    // On the activation as quantised, only float rounding separates the two.
    const Quant qt = quantOf(x);
    std::vector<float> xq(x.size());
    for (size_t i = 0; i < x.size(); ++i) xq[i] = static_cast<float>(qt.q(x[i]) - qt.zp) * qt.scale;
    const std::vector<float> yq = run(f, xq);

    // On the float activation, each value is off by at most half a step.
    std::vector<float> wabs(fShape[1]);
    std::ifstream(dir_ / (name + "_wabs.f32"), std::ios::binary)
        .read(reinterpret_cast<char*>(wabs.data()), std::streamsize(wabs.size() * sizeof(float)));
    const size_t plane = fShape[2] * fShape[3];
    for (size_t i = 0; i < y.size(); ++i) {
      ASSERT_NEAR(y[i], yq[i], 1e-4f + 1e-5f * std::fabs(yq[i])) << i;
      ASSERT_NEAR(y[i], yf[i], 0.5f * qt.scale * wabs[i / plane % wabs.size()] + 1e-4f) << i;
    }
  }
}

}  // namespace
