// Seeded test data shared by the kernel and graph tests.
#pragma once

#include <random>
#include <vector>

namespace le::test {

// n floats drawn uniformly from [lo, hi) with the given seed.
inline std::vector<float> randomVec(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = u(rng);
  return v;
}

}  // namespace le::test
