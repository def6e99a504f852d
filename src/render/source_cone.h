// The source cone of the director graph: the nodes that compute the boundary
// (the output of the one Concat reading "P_rgb") from the source image alone.
// The cone can be cut out into a "prep" graph that runs once per source frame,
// leaving a "per-frame" graph that takes the boundary as an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "render/onnx_wire.h"

namespace le {

// The number of Concat nodes reading "P_rgb"; boundary is the first output of
// the last one seen.
size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& boundary);

// Marks in `cone` (one flag per node) the nodes the boundary is computed by,
// back to "P_rgb", initializers and Constant nodes (which stay outside the
// cone: other nodes may share them). False with the reason when the boundary
// reads anything else, or when a cone value or "P_rgb" is read outside it.
bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::set<std::string>& initNames,
                  const std::set<std::string>& inputNames, const std::string& boundary, std::vector<bool>& cone,
                  std::string& reason);

// The prep graph: the cone and every Constant node, "P_rgb" its only input
// and the boundary its only output (4 symbolic dimensions).
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prepOut,
                         std::string& reason);

// The per-frame graph: the cone and "P_rgb" gone, the boundary a new graph
// input with the given dimensions.
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t rank, std::vector<uint8_t>& perFrameOut, std::string& reason);

// How a reason names a node: its name, or its op_type and index when it has none.
std::string gsNodeLabel(const GsNodeInfo& node, size_t index);

}  // namespace le
