// Load-time graph normalisations of the director: the student blend MatMul
// becomes a Gemm, the one cubic x2 head Resize becomes an edge Pad, a 5x5
// depthwise Conv and a DepthToSpace computing the same filter, and the compose
// alpha is bound to a per-frame "lip_delivery" input through a Min. Each
// rewrite is all or nothing: a graph without its pattern keeps its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/onnx_wire.h"

namespace le {

// MatMul named "/s2/blend" with exactly 2 inputs in the default domain.
bool gsIsStudentBlendMatMul(GsSlice node);
// Retypes every student blend MatMul to Gemm; returns how many.
size_t normaliseStudentBlend(std::vector<uint8_t>& model);

// The 4 normalised Keys cubic weights (coefficient a) for phase t in [0, 1),
// for the source offsets -1, 0, +1, +2.
void hcTaps(double t, double a, double taps[4]);
// Replaces the graph's only qualifying cubic x2 Resize; returns 0 or 1.
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

// Binds the compose alpha to the new input "lip_delivery" [batch, 1, canvas,
// canvas] through Min; false with the reason when the graph has no compose
// tail to bind (the bytes are then untouched).
bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvas, int* batch);

}  // namespace le
