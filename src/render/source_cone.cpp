#include "render/source_cone.h"

#include <map>

namespace le {

using namespace onnx_field;

namespace {

constexpr char kPrgb[] = "P_rgb";

struct ConeGraph {
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  std::vector<bool> cone;
};

// The checks both cuts share: a graph, its "P_rgb" input and the cone.
bool readCone(const std::vector<uint8_t>& model, const std::string& boundary, ConeGraph& g, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  gsReadGraph(graph, g.nodes, g.inits, g.inputs);
  if (!g.inputs.count(kPrgb)) {
    reason = "no P_rgb input";
    return false;
  }
  return gsSourceCone(g.nodes, g.inits, g.inputs, boundary, g.cone, reason);
}

}  // namespace

std::string gsNodeLabel(const GsNodeInfo& node, size_t index) {
  const std::string name = gsFirstStr(node.raw, kNodeName);
  return name.empty() ? node.opType + " node " + std::to_string(index) : name;
}

size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& boundary) {
  size_t n = 0;
  gsEachBytes(gsGraphOf(model), kGraphNode, [&](GsSlice node) {
    if (gsNodeOpType(node) != "Concat") return;
    std::vector<std::string> inputs;
    gsAllStr(node, kNodeInput, inputs);
    for (const std::string& in : inputs)
      if (in == kPrgb) {
        ++n;
        boundary = gsFirstStr(node, kNodeOutput);
        break;
      }
  });
  return n;
}

bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::set<std::string>& initNames,
                  const std::set<std::string>& inputNames, const std::string& boundary, std::vector<bool>& cone,
                  std::string& reason) {
  std::map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& out : nodes[i].outputs)
      if (!out.empty()) producer.emplace(out, i);

  cone.assign(nodes.size(), false);
  std::vector<std::string> todo{boundary};
  std::set<std::string> seen;
  while (!todo.empty()) {
    const std::string v = std::move(todo.back());
    todo.pop_back();
    // An empty name is an omitted optional input.
    if (v.empty() || v == kPrgb || initNames.count(v) || !seen.insert(v).second) continue;
    const auto p = producer.find(v);
    if (p == producer.end()) {
      reason = inputNames.count(v) ? "cone reads graph input '" + v + "'" : "cone leaf '" + v + "' has no producer";
      return false;
    }
    if (nodes[p->second].opType == "Constant") continue;
    cone[p->second] = true;
    todo.insert(todo.end(), nodes[p->second].inputs.begin(), nodes[p->second].inputs.end());
  }

  std::set<std::string> inner;
  for (size_t i = 0; i < nodes.size(); ++i)
    if (cone[i])
      for (const std::string& out : nodes[i].outputs)
        if (out != boundary) inner.insert(out);
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!cone[i])
      for (const std::string& in : nodes[i].inputs)
        if (inner.count(in)) {
          reason = "cone value '" + in + "' escapes to " + gsNodeLabel(nodes[i], i);
          return false;
        }
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!cone[i])
      for (const std::string& in : nodes[i].inputs)
        if (in == kPrgb) {
          reason = std::string(kPrgb) + " is also read outside the cone by " + gsNodeLabel(nodes[i], i);
          return false;
        }
  return true;
}

bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prepOut,
                         std::string& reason) {
  ConeGraph g;
  if (!readCone(model, boundary, g, reason)) return false;
  GsGraphEdit edit;
  edit.dropNodes.resize(g.nodes.size());
  bool kept = false;
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    const bool keep = g.cone[i] || g.nodes[i].opType == "Constant";
    edit.dropNodes[i] = !keep;
    kept = kept || keep;
  }
  if (!kept) {
    reason = "empty cone";
    return false;
  }
  edit.keepOnlyPrgb = true;
  edit.dropOutputs = true;
  edit.newName = boundary;
  edit.newDims.assign(4, 0);  // symbolic: the prep session tells the real shape
  edit.newField = kGraphOutput;
  gsRebuild(model, edit, prepOut);
  return true;
}

bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t rank, std::vector<uint8_t>& perFrameOut, std::string& reason) {
  ConeGraph g;
  if (!readCone(model, boundary, g, reason)) return false;
  GsGraphEdit edit;
  edit.dropNodes = g.cone;
  edit.dropPrgb = true;
  edit.newName = boundary;
  edit.newDims.assign(dims, dims + rank);
  edit.newField = kGraphInput;
  gsRebuild(model, edit, perFrameOut);
  return true;
}

}  // namespace le
