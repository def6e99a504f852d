// Worker pool: thread count from the environment (in child processes, since
// it is fixed once per process), chunking, nesting and concurrent callers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "kernels/le_pool.h"

namespace {

using Chunks = std::vector<std::pair<size_t, size_t>>;

Chunks chunksOf(size_t n, size_t grain) {
  std::mutex mu;
  Chunks chunks;
  le::pool::parallelRange(n, grain, [&](size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(mu);
    chunks.emplace_back(b, e);
  });
  std::sort(chunks.begin(), chunks.end());
  return chunks;
}

// threads() in a child with the given environment (nullptr unsets).
int threadsInChild(const char* core, const char* paste) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  if (fork() == 0) {
    core ? setenv("LE_CORE_THREADS", core, 1) : unsetenv("LE_CORE_THREADS");
    paste ? setenv("LE_PASTE_THREADS", paste, 1) : unsetenv("LE_PASTE_THREADS");
    const int t = le::pool::threads();
    _exit(write(fds[1], &t, sizeof t) == sizeof t ? 0 : 1);
  }
  close(fds[1]);
  int t = -1;
  if (read(fds[0], &t, sizeof t) != sizeof t) t = -1;
  close(fds[0]);
  wait(nullptr);
  return t;
}

TEST(PoolThreads, EnvironmentIsReadOnceAndCappedAtHardware) {
  const int hw = static_cast<int>(std::thread::hardware_concurrency());
  auto capped = [&](int v) { return hw > 0 && v > hw ? hw : v; };
  const struct {
    const char *core, *paste;
    int want;
  } cases[] = {{nullptr, nullptr, capped(4)}, {"64", nullptr, capped(64)}, {"0", nullptr, 1}, {"-3", nullptr, 1},
               {"abc", nullptr, 1},          {"1", "2", 1},  // LE_CORE_THREADS wins
               {"", "1", 1},                 {nullptr, "1", 1}, {"", "", capped(4)}};  // empty falls through
  for (const auto& c : cases) EXPECT_EQ(threadsInChild(c.core, c.paste), c.want) << (c.core ? c.core : "-");
}

TEST(PoolRange, ChunksAreContiguousDisjointAndCoverTheRange) {
  const int t = le::pool::threads();
  ASSERT_GE(t, 2) << "the machine has a second thread";
  const std::pair<std::pair<size_t, size_t>, int> parts[] = {
      {{1080, 8}, std::min(t, 135)}, {{15, 8}, 1}, {{16, 8}, 2}, {{3, 0}, std::min(t, 3)}, {{0, 0}, 1}};
  for (auto [args, want] : parts) EXPECT_EQ(le::pool::parts(args.first, args.second), want) << args.first;
  for (size_t n : {0, 1, 5, 1081}) {
    const Chunks c = chunksOf(n, 1);
    EXPECT_EQ(c.size(), static_cast<size_t>(le::pool::parts(n, 1))) << n;
    size_t next = 0;
    for (auto [b, e] : c) {
      EXPECT_TRUE(b == next && (b < e || n == 0)) << "n=" << n << ", chunk " << b << ".." << e;
      next = e;
    }
    EXPECT_EQ(next, n);
  }
  // Zero items with a grain still call fn once, with an empty range.
  EXPECT_EQ(chunksOf(0, 8), (Chunks{{0, 0}}));
}

TEST(PoolRange, NestedCallsInlineFromTheCallersChunkAndSplitFromWorkers) {
  std::vector<std::atomic<long>> sums(4);
  std::atomic<int> inlined{0};
  le::pool::parallelRange(4, 1, [&](size_t b, size_t e) {
    const auto self = std::this_thread::get_id();
    for (size_t i = b; i < e; ++i)
      le::pool::parallelRange(1000, 1, [&](size_t ib, size_t ie) {
        if (b == 0) {
          EXPECT_EQ(std::this_thread::get_id(), self);
          EXPECT_EQ(ie - ib, 1000u);
          ++inlined;
        }
        long local = 0;
        for (size_t k = ib; k < ie; ++k) local += static_cast<long>(k);
        sums[i] += local;
      });
  });
  EXPECT_EQ(inlined.load(), static_cast<int>(chunksOf(4, 1)[0].second));
  for (auto& s : sums) EXPECT_EQ(s.load(), 999L * 1000 / 2);
}

TEST(PoolRange, ConcurrentCallersUseSeparateWorkerSets) {
  constexpr int kCallers = 3, kJobs = 60;
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c)
    callers.emplace_back([&] {
      std::vector<int> data(997);
      for (int job = 0; job < kJobs; ++job) {
        le::pool::parallelRange(data.size(), 16, [&](size_t b, size_t e) {
          for (size_t i = b; i < e; ++i) data[i] = job + static_cast<int>(i);
        });
        for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], job + static_cast<int>(i));
      }
    });
  for (auto& t : callers) t.join();
}

TEST(PoolRange, ExceptionFromCallerChunkWaitsForWorkersThenPropagates) {
  std::atomic<int> done{0};
  EXPECT_THROW(le::pool::parallelRange(64, 1,
                                       [&](size_t b, size_t) {
                                         if (b == 0) throw std::runtime_error("boom");
                                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                         done++;
                                       }),
               std::runtime_error);
  EXPECT_EQ(done.load(), le::pool::parts(64, 1) - 1);
  // The region flag is cleared: the next call splits again.
  EXPECT_EQ(chunksOf(64, 1).size(), static_cast<size_t>(le::pool::parts(64, 1)));
}

}  // namespace
