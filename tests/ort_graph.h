// Runs model bytes in ONNX Runtime on named float inputs: the reference side
// of the graph-rewrite tests (a rewritten graph against the graph it replaced).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"

namespace le::testing {

struct Feed {
  std::string name;
  std::vector<int64_t> shape;
  std::vector<float> data;
};

inline std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The outputs, in the order asked, flattened. The engine's custom operators
// are registered, so rewritten graphs load too.
inline std::vector<std::vector<float>> runGraph(const std::vector<uint8_t>& model, std::vector<Feed>& feeds,
                                                const std::vector<std::string>& outputs, int threads = 1) {
  static Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "le-test");
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  registerGridSampleFast(so);
  registerInt8ConvVNNI(so);
  Ort::Session session(env, model.data(), model.size(), so);
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> in;
  std::vector<const char*> inNames, outNames;
  for (Feed& f : feeds) {
    in.push_back(Ort::Value::CreateTensor<float>(mem, f.data.data(), f.data.size(), f.shape.data(), f.shape.size()));
    inNames.push_back(f.name.c_str());
  }
  for (const std::string& o : outputs) outNames.push_back(o.c_str());
  auto got =
      session.Run(Ort::RunOptions{nullptr}, inNames.data(), in.data(), in.size(), outNames.data(), outNames.size());
  std::vector<std::vector<float>> result;
  for (Ort::Value& v : got) {
    const float* p = v.GetTensorData<float>();
    result.emplace_back(p, p + v.GetTensorTypeAndShapeInfo().GetElementCount());
  }
  return result;
}

inline float maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 1e30f;
  float m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

}  // namespace le::testing
