// int8conv_<Cin>x<H>x<W>: a 3x3, pad 1 convolution of decoder size as one
// Int8ConvVNNI node inside ONNX Runtime, against ONNX Runtime's float Conv on
// the dequantised weights and against its ConvInteger behind a dynamic
// activation quantisation. Our node runs on the worker pool, so ONNX
// Runtime gets as many intra-op threads (le::pool::threads(), printed).
#include <onnxruntime_cxx_api.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kernels/le_pool.h"
#include "peers.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"

namespace {

constexpr int kFloat = 1, kInt8 = 3;

struct Weights {
  int64_t c, h, w;
  std::vector<int8_t> q;
  std::vector<float> scale, bias, deq;

  Weights(int64_t channels, int64_t height, int64_t width) : c(channels), h(height), w(width) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> qv(-128, 127);
    std::uniform_real_distribution<float> sv(0.001f, 0.01f), bv(-0.5f, 0.5f);
    q.resize(c * c * 9);
    for (int8_t& v : q) v = static_cast<int8_t>(qv(rng));
    for (int64_t i = 0; i < c; ++i) scale.push_back(sv(rng)), bias.push_back(bv(rng));
    for (size_t i = 0; i < q.size(); ++i) deq.push_back(q[i] * scale[i / (c * 9)]);
  }
};

void node(std::vector<uint8_t>& graph, const std::string& op, const std::vector<std::string>& inputs,
          const std::vector<std::string>& outputs, const std::string& domain, const std::vector<uint8_t>& attrs) {
  std::vector<uint8_t> n;
  for (const auto& s : inputs) le::gsPutStr(n, 1, s);
  for (const auto& s : outputs) le::gsPutStr(n, 2, s);
  le::gsPutStr(n, 3, outputs[0]);
  le::gsPutStr(n, 4, op);
  n.insert(n.end(), attrs.begin(), attrs.end());
  if (!domain.empty()) le::gsPutStr(n, 7, domain);
  le::gsPutBytes(graph, 1, n.data(), n.size());
}

std::vector<uint8_t> convAttrs(bool withGroup) {
  static constexpr int64_t kOnes[2] = {1, 1}, kPads[4] = {1, 1, 1, 1};
  std::vector<uint8_t> a;
  le::hcAttrIs(a, "strides", kOnes, 2);
  le::hcAttrIs(a, "pads", kPads, 4);
  le::hcAttrIs(a, "dilations", kOnes, 2);
  if (withGroup) le::hcAttrI(a, "group", 1);
  return a;
}

// X [1, c, h, w] -> body -> Y [1, c, h, w] as model bytes.
std::vector<uint8_t> model(const Weights& wt, const std::vector<uint8_t>& body, bool int8Domain) {
  std::vector<uint8_t> graph = body;
  le::gsPutStr(graph, 2, "int8conv_peer");
  const int64_t dims[4] = {1, wt.c, wt.h, wt.w};
  le::gsPutTensorValueInfo(graph, 11, "X", dims, 4);
  le::gsPutTensorValueInfo(graph, 12, "Y", dims, 4);
  std::vector<uint8_t> m;
  le::gsPutVarintField(m, 1, 8);  // ir_version
  le::gsAddOpsetImport(m, "", 17);
  if (int8Domain) le::gsAddOpsetImport(m, "com.corvamel.int8", 1);
  le::gsPutBytes(m, 7, graph.data(), graph.size());
  return m;
}

std::vector<uint8_t> int8Model(const Weights& wt) {
  std::vector<uint8_t> g;
  le::hcInit(g, "W", kInt8, {wt.c, wt.c, 3, 3}, wt.q.data(), wt.q.size());
  le::hcInit(g, "S", kFloat, {wt.c}, wt.scale.data(), wt.c * sizeof(float));
  le::hcInit(g, "B", kFloat, {wt.c}, wt.bias.data(), wt.c * sizeof(float));
  node(g, "Int8ConvVNNI", {"X", "W", "S", "B"}, {"Y"}, "com.corvamel.int8", convAttrs(true));
  return model(wt, g, true);
}

std::vector<uint8_t> floatModel(const Weights& wt) {
  std::vector<uint8_t> g;
  le::hcInit(g, "W", kFloat, {wt.c, wt.c, 3, 3}, wt.deq.data(), wt.deq.size() * sizeof(float));
  le::hcInit(g, "B", kFloat, {wt.c}, wt.bias.data(), wt.c * sizeof(float));
  node(g, "Conv", {"X", "W", "B"}, {"Y"}, "", convAttrs(true));
  return model(wt, g, false);
}

// What dynamic quantisation makes of a Conv: the activation quantised per
// call, ConvInteger, then the product of both scales and the bias.
std::vector<uint8_t> convIntegerModel(const Weights& wt) {
  std::vector<uint8_t> g;
  const int8_t wZero = 0;
  le::hcInit(g, "W", kInt8, {wt.c, wt.c, 3, 3}, wt.q.data(), wt.q.size());
  le::hcInit(g, "Wz", kInt8, {}, &wZero, 1);
  le::hcInit(g, "S", kFloat, {1, wt.c, 1, 1}, wt.scale.data(), wt.c * sizeof(float));
  le::hcInit(g, "B", kFloat, {1, wt.c, 1, 1}, wt.bias.data(), wt.c * sizeof(float));
  std::vector<uint8_t> cast;
  le::hcAttrI(cast, "to", kFloat);
  node(g, "DynamicQuantizeLinear", {"X"}, {"Xq", "Xs", "Xz"}, "", {});
  node(g, "ConvInteger", {"Xq", "W", "Xz", "Wz"}, {"Yi"}, "", convAttrs(false));
  node(g, "Cast", {"Yi"}, {"Yf"}, "", cast);
  node(g, "Mul", {"Xs", "S"}, {"Ys"}, "", {});
  node(g, "Mul", {"Yf", "Ys"}, {"Ym"}, "", {});
  node(g, "Add", {"Ym", "B"}, {"Y"}, "", {});
  return model(wt, g, false);
}

struct Runner {
  Ort::Session session{nullptr};
  Ort::Value in{nullptr};

  Runner(Ort::Env& env, const std::vector<uint8_t>& bytes, bool int8, std::vector<float>& x, const int64_t* dims) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(le::pool::threads());
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (int8) le::registerInt8ConvVNNI(so);
    session = Ort::Session(env, bytes.data(), bytes.size(), so);
    const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), dims, 4);
  }

  void operator()() {
    const char* inName = "X";
    const char* outName = "Y";
    session.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
  }
};

void compare(int64_t c, int64_t h, int64_t w) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le-peers");
  const Weights wt(c, h, w);
  std::vector<float> x(c * h * w);
  std::mt19937 rng(12);
  std::uniform_real_distribution<float> xv(-1.0f, 3.0f);
  for (float& v : x) v = xv(rng);
  const int64_t dims[4] = {1, c, h, w};
  Runner ours(env, int8Model(wt), true, x, dims), conv(env, floatModel(wt), false, x, dims),
      convInteger(env, convIntegerModel(wt), false, x, dims);
  const std::string name = "int8conv_" + std::to_string(c) + "x" + std::to_string(h) + "x" + std::to_string(w);
  std::printf("%s: %d threads each (our pool, ONNX Runtime intra-op)\n", name.c_str(), le::pool::threads());
  const double leMs = le::peers::medianMs([&] { ours(); });
  le::peers::report(name, leMs, "ort-conv", le::peers::medianMs([&] { conv(); }));
  le::peers::report(name, leMs, "ort-convinteger", le::peers::medianMs([&] { convInteger(); }));
}

const le::peers::Register kDecoder64("int8conv_64x128x128", [] { compare(64, 128, 128); });
const le::peers::Register kDecoder128("int8conv_128x64x64", [] { compare(128, 64, 64); });

}  // namespace
