// The generated director graphs of tests/graphs/warp_graphs.py, and a session
// that runs model bytes on caller buffers (tests and peer comparison).
#pragma once

#include <onnxruntime_cxx_api.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/warp_director.h"

namespace le::testing {

// warp_graphs.py's graphs of one crop, in a fresh directory under base,
// removed with the object.
class WarpGraphs {
 public:
  WarpGraphs(const std::string& base, int crop) {
    std::string tmpl = base + "/warp-graphs-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a directory under " + base);
    dir_ = tmpl;
    const std::string cmd = "/usr/bin/python3 " LE_SOURCE_DIR "/tests/graphs/warp_graphs.py --out '" + dir_ +
                            "' --crop " + std::to_string(crop);
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error(cmd + " failed");
  }
  ~WarpGraphs() { std::filesystem::remove_all(dir_); }
  WarpGraphs(const WarpGraphs&) = delete;
  WarpGraphs& operator=(const WarpGraphs&) = delete;

  // The bytes of NAME.onnx.
  std::vector<uint8_t> bytes(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name + ".onnx", std::ios::binary);
    if (!in) throw std::runtime_error("no graph " + name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  std::string dir_;
};

// A named float tensor over a caller buffer.
struct Tensor {
  std::string name;
  std::vector<float>* data;
  std::vector<int64_t> shape;
};

// The inputs of a standard director of side crop: a smooth source with
// detail in every channel, keypoints spread over the face and source
// keypoints moved a few pixels from the driving ones, so the warp shifts
// every part of the face by a different fraction of a pixel.
struct DirectorFeeds {
  explicit DirectorFeeds(int64_t side) : crop(side), pooled(64 * 32 * 32), P(3 * side * side), kd(63), ks(63) {
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 0.5f);
    std::uniform_real_distribution<float> u(-0.6f, 0.6f), move(-0.06f, 0.06f);
    for (float& v : pooled) v = normal(rng);
    for (int64_t c = 0; c < 3; ++c)
      for (int64_t i = 0; i < side * side; ++i)
        P[c * side * side + i] = 0.5f + 0.4f * std::sin(0.3f * (c + 1) * (i % side) + 0.2f * (i / side) + c);
    for (size_t i = 0; i < kd.size(); ++i) {
      kd[i] = u(rng);
      ks[i] = kd[i] + move(rng);
    }
  }
  // Every input but the source, then the source when asked.
  std::vector<Tensor> tensors(bool withSource) {
    std::vector<Tensor> t{
        {"pooled64", &pooled, {1, 64, 32, 32}}, {"kp_driving", &kd, {1, 21, 3}}, {"kp_source", &ks, {1, 21, 3}}};
    if (withSource) t.push_back({"P_rgb", &P, {1, 3, crop, crop}});
    return t;
  }

  int64_t crop;
  std::vector<float> pooled, P, kd, ks;
};

// A session over model bytes with the renderer's options, the library's
// custom operators registered.
class GraphSession {
 public:
  GraphSession(const std::vector<uint8_t>& model, int threads) {
    static Ort::Env env(ORT_LOGGING_LEVEL_ERROR, "le-test");
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(threads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    registerWarpDirector(so);
    session_ = Ort::Session(env, model.data(), model.size(), so);
  }

  void run(const std::vector<Tensor>& inputs, const Tensor& output) {
    const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const auto value = [&](const Tensor& t) {
      return Ort::Value::CreateTensor<float>(mem, t.data->data(), t.data->size(), t.shape.data(), t.shape.size());
    };
    std::vector<Ort::Value> in;
    std::vector<const char*> names;
    for (const Tensor& t : inputs) {
      in.push_back(value(t));
      names.push_back(t.name.c_str());
    }
    Ort::Value out = value(output);
    const char* outName = output.name.c_str();
    session_.Run(Ort::RunOptions{nullptr}, names.data(), in.data(), in.size(), &outName, &out, 1);
  }

  Ort::Session& session() { return session_; }

 private:
  Ort::Session session_{nullptr};
};

}  // namespace le::testing
