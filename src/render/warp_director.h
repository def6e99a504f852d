// WarpDirector: the director's whole warp block (the source cone, the one
// GridSample of its boundary and the recombination after it) as one node of
// the "com.corvamel" domain that reads "P_rgb" and the grid, the load-time
// rewrite that puts it in, and its kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "render/onnx_wire.h"

namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort

namespace le {

struct WarpBlock {
  std::string boundary;
  size_t tip = 0;  // node index of the GridSample (or GridSampleFast)
  std::string tipOutput;
  std::string grid;        // the tip's grid input
  std::set<size_t> nodes;  // the tip and the recombination
  std::string exit;        // the recombination's one value read beyond it
};

using WdNode = GsNodeInfo;
// The graph's nodes in order.
std::vector<WdNode> wdReadNodes(GsSlice graph);

// True with the block filled; false with the reason.
bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* out, std::string& reason);

// Replaces the block, the source cone and the nodes that computed only for
// them by one WarpDirector node; returns the number of nodes removed (0
// leaves the model untouched, with the reason).
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

// Adds the WarpDirector operator to the domain (after GridSampleFast).
void addWarpDirectorOp(Ort::CustomOpDomain& domain);
// Adds the process-wide "com.corvamel" domain, both its operators, to the options.
void registerWarpDirector(Ort::SessionOptions& options);

// One sample: src [3, H, W] warped by grid [H, W, 2] (normalised x, y;
// align_corners = 0) into out [3, H, W], border-clamped bilinear with the
// separable second-difference correction. The band form computes rows
// max(y0, 0) up to min(y1, H).
void warpDirector(const float* src, const float* grid, float* out, int W, int H);
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1);

}  // namespace le
