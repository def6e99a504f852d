// Head weights reader on arbitrary bytes: it may refuse, never crash; what it
// accepts is one of the two heads with every tensor at its size.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "borrow/head_weights.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::tessera::HeadWeights;
  try {
    const HeadWeights w = le::tessera::loadHeadPt({data, size});
    const bool syn = !w.syn0_w.empty();
    if (w.cand0_w.size() != 1008 || w.cand0_b.size() != 16 || w.cand2_w.size() != 2304 || w.cand2_b.size() != 16 ||
        w.cand4_w.size() != 144 || w.cand4_b.size() != 1)
      __builtin_trap();
    if (syn ? w.syn0_b.size() != 16 || w.syn2_w.size() != 144 || w.syn2_b.size() != 1
            : !w.syn0_b.empty() || !w.syn2_w.empty() || !w.syn2_b.empty())
      __builtin_trap();
    if (w.params() != (syn ? 4082u : 3489u)) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
