#include "kernels/le_pool.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace le::pool {
namespace {

int countFromEnv() {
  long v = 4;
  const char* core = std::getenv("LE_CORE_THREADS");
  const char* paste = std::getenv("LE_PASTE_THREADS");
  if (core && *core) {
    v = std::max(1L, std::strtol(core, nullptr, 10));
  } else if (paste && *paste) {
    v = std::max(1L, std::strtol(paste, nullptr, 10));
  }
  const unsigned h = std::thread::hardware_concurrency();
  if (h > 0 && v > static_cast<long>(h)) v = h;
  return static_cast<int>(std::min(v, 1L << 20));
}

// One thread's worker set. Only its owner hands it work, and the owner blocks
// until the job ends, so one job runs at a time.
class Pool {
 public:
  Pool() : threads_(threads()) {
    workers_.reserve(threads_ - 1);
    for (int i = 1; i < threads_; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      ++generation_;
      stop_ = true;
    }
    work_.notify_all();
    for (auto& t : workers_) t.join();
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void run(size_t n, int p, const std::function<void(size_t, size_t)>& fn) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      fn_ = &fn;
      n_ = n;
      parts_ = p;
      ++generation_;
      remaining_ = threads_ - 1;
    }
    work_.notify_all();
    // Chunk 0 is ours. Should it throw, the workers still use fn, so we wait
    // for them before letting the exception go.
    std::exception_ptr failure;
    const size_t c = (n + p - 1) / p;
    try {
      if (n > 0) fn(0, std::min(c, n));
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::unique_lock<std::mutex> lk(mu_);
      done_.wait(lk, [this] { return remaining_ == 0; });
      fn_ = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
  }

 private:
  void workerLoop(int index) {
    uint64_t seen = 0;
    for (;;) {
      const std::function<void(size_t, size_t)>* fn;
      size_t n;
      int p;
      {
        std::unique_lock<std::mutex> lk(mu_);
        work_.wait(lk, [&] { return generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        fn = fn_;
        n = n_;
        p = parts_;
      }
      if (index < p) {
        const size_t c = (n + p - 1) / p;
        const size_t b = static_cast<size_t>(index) * c;
        if (b < n) (*fn)(b, std::min(n, b + c));
      }
      std::lock_guard<std::mutex> lk(mu_);
      if (--remaining_ == 0) done_.notify_all();
    }
  }

  const int threads_;
  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable done_;
  const std::function<void(size_t, size_t)>* fn_ = nullptr;
  size_t n_ = 0;
  int parts_ = 0;
  int remaining_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
};

thread_local bool g_inRegion = false;

Pool& threadPool() {
  thread_local Pool pool;
  return pool;
}

struct RegionGuard {
  RegionGuard() { g_inRegion = true; }
  ~RegionGuard() { g_inRegion = false; }
};

}  // namespace

int threads() {
  static const int count = countFromEnv();
  return count;
}

int parts(size_t n, size_t grain) {
  const int t = threads();
  if (t < 2) return 1;
  const size_t q = n / (grain ? grain : 1);
  if (q <= 1) return 1;
  return static_cast<int>(std::min(q, static_cast<size_t>(t)));
}

bool available() { return true; }

void parallelRange(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn) {
  if (g_inRegion) {
    fn(0, n);
    return;
  }
  const int p = parts(n, grain);
  if (p < 2) {
    fn(0, n);
    return;
  }
  Pool& pool = threadPool();
  RegionGuard region;
  pool.run(n, p, fn);
}

}  // namespace le::pool
