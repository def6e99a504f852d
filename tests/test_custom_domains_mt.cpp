// The first sessions of a process, created at the same moment on several
// threads: half of them over a graph that calls both custom-operator
// domains, registered as the renderer does, half over a graph that calls
// only the int8 domain, registered as the renderer does with GridSampleFast
// switched off. Every one must load and give the operators' own result.
// Each round is a fresh child process, since only the first sessions of a
// process can race for the runtime's domain registry; the race is rare in
// one process, so there are many rounds.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/onnx_wire.h"

namespace {

constexpr int64_t C = 4, H = 9, W = 11, Cout = 5;
constexpr int kThreads = 16;
constexpr int kRounds = 50;

struct Inputs {
  std::vector<float> x, grid, wscale, bias;
  std::vector<int8_t> w;
};

Inputs makeInputs() {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-1.2f, 1.2f), s(0.01f, 0.05f);
  Inputs in;
  for (int64_t i = 0; i < C * H * W; ++i) in.x.push_back(u(rng));
  for (int64_t i = 0; i < H * W * 2; ++i) in.grid.push_back(u(rng));
  for (int64_t i = 0; i < Cout * C * 3 * 3; ++i) in.w.push_back(static_cast<int8_t>(rng() % 255 - 127));
  for (int64_t i = 0; i < Cout; ++i) in.wscale.push_back(s(rng)), in.bias.push_back(u(rng));
  return in;
}

// Y = Int8ConvVNNI(GridSampleFast(X, Grid), W, W_scale, B), 3x3 with pads 1;
// without the warp, Y = Int8ConvVNNI(X, ...) and Grid is not an input.
std::vector<uint8_t> model(const Inputs& in, bool warp) {
  std::vector<uint8_t> graph, conv, model, opset;
  if (warp) le::hcNode(graph, "GridSample", {"X", "Grid"}, "G", "warp", {});
  const int64_t ones[4] = {1, 1, 1, 1};
  for (const char* name : {"strides", "dilations"}) le::hcAttrIs(conv, name, ones, 2);
  le::hcAttrIs(conv, "pads", ones, 4);
  le::hcAttrI(conv, "group", 1);
  le::hcNode(graph, "Conv", {warp ? "G" : "X", "W", "W_scale", "B"}, "Y", "conv", conv);
  le::hcInit(graph, "W", 3 /* INT8 */, {Cout, C, 3, 3}, in.w.data(), in.w.size());
  le::hcInit(graph, "W_scale", 1 /* FLOAT */, {Cout}, in.wscale.data(), in.wscale.size() * 4);
  le::hcInit(graph, "B", 1, {Cout}, in.bias.data(), in.bias.size() * 4);
  le::gsPutStr(graph, 2, warp ? "both_domains" : "int8_domain");
  const int64_t x[4] = {1, C, H, W}, grid[4] = {1, H, W, 2}, y[4] = {1, Cout, H, W};
  le::gsPutTensorValueInfo(graph, 11, "X", x, 4);
  if (warp) le::gsPutTensorValueInfo(graph, 11, "Grid", grid, 4);
  le::gsPutTensorValueInfo(graph, 12, "Y", y, 4);
  le::gsPutVarintField(model, 1, 8);  // ir_version
  le::gsPutVarintField(opset, 2, 17);
  le::gsPutBytes(model, 8, opset.data(), opset.size());
  le::gsPutBytes(model, 7, graph.data(), graph.size());
  auto named = [](const char* op) { return [op](le::GsSlice node) { return le::gsNodeOpType(node) == op; }; };
  if (warp) {
    le::gsRetypeNodes(model, named("GridSample"), "GridSampleFast", "com.corvamel", true);
    le::gsAddOpsetImport(model, "com.corvamel", 1);
  }
  le::gsRetypeNodes(model, named("Conv"), "Int8ConvVNNI", "com.corvamel.int8", false);
  le::gsAddOpsetImport(model, "com.corvamel.int8", 1);
  return model;
}

// The operators' own kernels, called directly.
std::vector<float> expected(const Inputs& in, bool warp) {
  std::vector<float> g = in.x, y(Cout * H * W);
  if (warp) le::gridsample_fast(in.x.data(), in.grid.data(), g.data(), C, H, W);
  le::Int8ConvAttrs a;
  a.padTop = a.padLeft = a.padBottom = a.padRight = 1;
  le::Int8ConvKernel k(a, le::bestInt8Dot());
  k.run(g.data(), {1, C, H, W}, in.w.data(), {Cout, C, 3, 3}, in.wscale.data(), in.bias.data(), y.data());
  return y;
}

// One round in this (fresh) process: 0 when every thread's session loaded
// and gave the expected output.
int oneRound() {
  const Inputs in = makeInputs();
  const std::vector<uint8_t> models[2] = {model(in, false), model(in, true)};
  const std::vector<float> want[2] = {expected(in, false), expected(in, true)};
  Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "le-test");
  std::barrier start(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const bool warp = t % 2;
      try {
        // The int8-only options are ready before the others start, as a
        // renderer's would be whose first frame comes a little later.
        Ort::SessionOptions so;
        so.SetIntraOpNumThreads(1);
        if (!warp) le::registerInt8ConvVNNI(so);
        start.arrive_and_wait();
        if (warp) {
          le::registerGridSampleFast(so);
          le::registerInt8ConvVNNI(so);
        }
        Ort::Session session(env, models[warp].data(), models[warp].size(), so);
        const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
        std::vector<float> x = in.x, grid = in.grid, y(want[warp].size());
        const int64_t xs[4] = {1, C, H, W}, gs[4] = {1, H, W, 2}, ys[4] = {1, Cout, H, W};
        Ort::Value inputs[2] = {Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs, 4),
                                Ort::Value::CreateTensor<float>(mem, grid.data(), grid.size(), gs, 4)};
        Ort::Value out = Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), ys, 4);
        const char* names[] = {"X", "Grid", "Y"};
        session.Run(Ort::RunOptions{nullptr}, names, inputs, warp ? 2 : 1, names + 2, &out, 1);
        if (std::memcmp(y.data(), want[warp].data(), y.size() * sizeof(float)) != 0) {
          std::fprintf(stderr, "thread %d: output differs from the kernels'\n", t);
          ++failures;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "thread %d: %s\n", t, e.what());
        ++failures;
      }
    });
  for (auto& th : threads) th.join();
  return failures != 0;
}

TEST(CustomDomains, FirstSessionsOfAProcessCreatedAtOnceAllLoad) {
  int failedRounds = 0;
  for (int r = 0; r < kRounds; ++r) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int rc = oneRound();
      std::fflush(nullptr);
      _exit(rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "round " << r << ": status " << status;
    failedRounds += WEXITSTATUS(status) != 0;
  }
  EXPECT_EQ(failedRounds, 0) << "of " << kRounds << " rounds";
}

}  // namespace
