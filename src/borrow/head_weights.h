// The blend head's weights, read from the bundle member "tessera_head.v1.pt":
// a ZIP archive of stored (uncompressed) entries that holds a pickled state
// dict of float tensors and their raw storages. The pickle is interpreted by
// a machine that models only the forms such a state dict needs (no code is
// imported or run) and the storages must be float32: anything else is
// refused rather than reinterpreted.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace le::tessera {

// BlendHead(16): the candidate branch `cand` (7 -> 16 -> 16 -> 1, 3 x 3
// convolutions) and the synthesis branch `syn` (3 -> 16 -> 1). A file
// without `syn` is BlendHead8(16) and leaves the syn vectors empty.
// Weights are row-major (output channel, input channel, kernel row, kernel
// column).
struct HeadWeights {
  std::vector<float> cand0_w;  // cand.0.weight [16, 7, 3, 3]
  std::vector<float> cand0_b;  // cand.0.bias [16]
  std::vector<float> cand2_w;  // cand.2.weight [16, 16, 3, 3]
  std::vector<float> cand2_b;  // cand.2.bias [16]
  std::vector<float> cand4_w;  // cand.4.weight [1, 16, 3, 3]
  std::vector<float> cand4_b;  // cand.4.bias [1]
  std::vector<float> syn0_w;   // syn.0.weight [16, 3, 3, 3]
  std::vector<float> syn0_b;   // syn.0.bias [16]
  std::vector<float> syn2_w;   // syn.2.weight [1, 16, 3, 3]
  std::vector<float> syn2_b;   // syn.2.bias [1]
  // The delivery envelope; fixed, the file does not carry it.
  float envelope = 12.0f / 255.0f;

  // The number of weights held: 4,082 for BlendHead(16), 3,489 without syn.
  uint32_t params() const;
};

// The weights of the whole head_weights member; throws std::runtime_error
// ("teeth: ...") on every defect of the archive, the pickle or a tensor.
HeadWeights loadHeadPt(std::span<const uint8_t> bytes);

}  // namespace le::tessera
