#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "peers.h"

namespace le::peers {
namespace {
std::vector<Comparison>& registry() {
  static std::vector<Comparison> all;
  return all;
}
}  // namespace

Register::Register(std::string name, std::function<void()> run) {
  registry().push_back({std::move(name), std::move(run)});
}

double medianMs(const std::function<void()>& fn, double minSeconds) {
  using clock = std::chrono::steady_clock;
  fn();
  std::vector<double> times;
  const auto start = clock::now();
  while (times.size() < 5 ||
         (std::chrono::duration<double>(clock::now() - start).count() < minSeconds && times.size() < 10000)) {
    const auto t0 = clock::now();
    fn();
    times.push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count());
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

void report(const std::string& name, double leMs, const std::string& peer, double peerMs) {
  std::printf("PEER %s le_ms=%.4f peer=%s peer_ms=%.4f speedup=%.3f\n", name.c_str(), leMs, peer.c_str(), peerMs,
              peerMs / leMs);
  std::fflush(stdout);
}

}  // namespace le::peers

// Usage: le-peers [SUBSTRING...]  runs the comparisons whose name contains
// any of the given substrings (all when none is given).
int main(int argc, char** argv) {
  for (const auto& c : le::peers::registry()) {
    bool selected = argc < 2;
    for (int i = 1; i < argc; ++i) selected = selected || c.name.find(argv[i]) != std::string::npos;
    if (selected) c.run();
  }
  return 0;
}
