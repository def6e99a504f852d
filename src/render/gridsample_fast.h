// GridSampleFast: the load-time rewrite of qualifying GridSample nodes and
// the custom operator that replaces them ("com.corvamel" domain).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "render/onnx_wire.h"

namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort

namespace le {

// The domain of GridSampleFast and WarpDirector.
inline constexpr char kCorvamelDomain[] = "com.corvamel";

// Bilinear, border-padded, align_corners = 0 GridSample in the default domain.
bool gsIsRewritableGridSample(GsSlice node);

// Rewrites every qualifying GridSample to com.corvamel::GridSampleFast;
// returns the count (0 leaves the bytes untouched).
size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

// Adds the "com.corvamel" operators to the domain (le_domains.h makes it):
// GridSampleFast, then WarpDirector.
void domainOps(Ort::CustomOpDomain& domain);
// Adds the process-wide "com.corvamel" domain to the session options.
void registerGridSampleFast(Ort::SessionOptions& options);

// One sample of X [C, H, W] sampled at grid [H, W, 2] into out [C, H, W];
// the band form computes rows max(y0, 0) up to min(y1, H).
void gridsample_fast(const float* X, const float* grid, float* out, int C, int H, int W);
void gridsample_fast_band(const float* X, const float* grid, float* out, int C, int H, int W, int y0, int y1);

}  // namespace le
