// Dispatched kernels and target naming.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include "kernels/le_simd.h"

namespace le::simd {

const char* target() {
  const int64_t supported = hwy::SupportedTargets();
  return hwy::TargetName(supported & -supported);
}

std::vector<std::string> compiledTargets() {
  std::vector<std::string> names;
  // Lower bits are better targets.
  for (int64_t bits = HWY_TARGETS; bits != 0; bits &= bits - 1) names.emplace_back(hwy::TargetName(bits & -bits));
  return names;
}

}  // namespace le::simd
