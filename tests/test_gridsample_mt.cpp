// The "com.corvamel" domain registered from several threads at once: one
// domain, and every session it went into runs the kernel.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "gridsample_graph.h"

namespace {

TEST(GridSampleDomain, ConcurrentRegistrationSharesOneDomain) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "le-test");
  constexpr int kThreads = 6;
  constexpr int64_t C = 3, H = 20, W = 24;
  auto model = le::testing::gridSampleModel(le::testing::directorGridSampleAttrs(), 1, C, H, W);
  ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);
  std::vector<float> X(C * H * W), grid(H * W * 2);
  for (size_t i = 0; i < X.size(); ++i) X[i] = static_cast<float>(i % 17) / 16;
  for (size_t i = 0; i < grid.size(); ++i) grid[i] = static_cast<float>(i % 23) / 11 - 1;
  std::vector<float> want(X.size());
  le::gridsample_fast(X.data(), grid.data(), want.data(), C, H, W);

  std::atomic<int> ready{0};
  std::vector<const void*> domains(kThreads);
  std::vector<std::vector<float>> outs(kThreads, std::vector<float>(X.size()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      domains[t] = &le::corvamelDomain();
      le::testing::GridSampleSession s(env, model, true, 1);
      s.run(X.data(), {1, C, H, W}, grid.data(), {1, H, W, 2}, outs[t].data());
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(domains[t], domains[0]);
    EXPECT_EQ(0, std::memcmp(outs[t].data(), want.data(), want.size() * 4)) << "thread " << t;
  }
}

}  // namespace
