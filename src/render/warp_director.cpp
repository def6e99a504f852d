#include "render/warp_director.h"

#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <map>
#include <stdexcept>

#include "render/gridsample_fast.h"
#include "render/le_ort_kernel.h"
#include "render/source_cone.h"

namespace le {

using namespace onnx_field;

namespace {

bool reads(const WdNode& node, const std::set<std::string>& values) {
  for (const std::string& in : node.inputs)
    if (values.count(in)) return true;
  return false;
}

// Adds to `removed` the nodes that computed only for the removed ones (the
// correction coefficients the recombination read): the runtime keeps nodes
// nobody reads and would compute them every frame for nothing. Walks back
// from the last node, so a node's readers are settled before it is.
void pruneFeeders(const std::vector<WdNode>& nodes, GsSlice graph, const WarpBlock& b, std::vector<bool>& removed) {
  std::map<std::string, int> readers;
  std::set<std::string> orphans;
  gsEachBytes(graph, kGraphOutput, [&](GsSlice vi) { ++readers[gsFirstStr(vi, 1)]; });
  ++readers[b.grid];  // by the new node
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const std::string& in : nodes[i].inputs)
      if (removed[i])
        orphans.insert(in);
      else
        ++readers[in];
  for (size_t i = nodes.size(); i-- > 0;) {
    const WdNode& n = nodes[i];
    bool dead = !removed[i] && !n.outputs.empty(), fed = false;
    for (const std::string& out : n.outputs) {
      dead = dead && readers[out] == 0;
      fed = fed || orphans.count(out);
    }
    if (!dead || !fed) continue;
    removed[i] = true;
    for (const std::string& in : n.inputs) {
      --readers[in];
      orphans.insert(in);
    }
  }
}

}  // namespace

std::vector<WdNode> wdReadNodes(GsSlice graph) {
  std::vector<WdNode> nodes;
  std::set<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  return nodes;
}

bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* out, std::string& reason) {
  if (!out) {
    reason = "no out param";
    return false;
  }
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  WarpBlock b;
  if (findSourceConeBoundary(model, b.boundary) != 1) {
    reason = "not one Concat consuming P_rgb";
    return false;
  }
  const std::vector<WdNode> nodes = wdReadNodes(graph);
  size_t tips = 0;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const WdNode& n = nodes[i];
    if ((n.opType == "GridSample" || n.opType == "GridSampleFast") && !n.inputs.empty() && n.inputs[0] == b.boundary &&
        tips++ == 0)
      b.tip = i;
  }
  if (tips == 0) {
    reason = "no GridSample consuming '" + b.boundary + "'";
    return false;
  }
  if (tips > 1) {
    reason = "two GridSamples on the cone's tip";
    return false;
  }
  const WdNode& tip = nodes[b.tip];
  // An already fused GridSampleFast computes exactly this sampling.
  if (tip.opType == "GridSample" && !gsIsRewritableGridSample(tip.raw)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (tip.outputs.empty() || tip.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  b.tipOutput = tip.outputs[0];
  b.grid = tip.inputs.size() > 1 ? tip.inputs[1] : "";
  bool gridMade = false;
  for (const WdNode& n : nodes)
    for (const std::string& o : n.outputs) gridMade = gridMade || (!b.grid.empty() && o == b.grid);
  if (!gridMade) {
    reason = "the grid has no producer";
    return false;
  }

  // The recombination: the Slices of the sampled boundary and the
  // arithmetic over them. The tip's own output counts among its values, so
  // that a reader of the whole sample elsewhere shows up as an exit.
  std::set<std::string> values{b.tipOutput};
  const auto join = [&](size_t i) {
    b.nodes.insert(i);
    values.insert(nodes[i].outputs.begin(), nodes[i].outputs.end());
  };
  b.nodes.insert(b.tip);
  for (size_t i = 0; i < nodes.size(); ++i)
    if (nodes[i].opType == "Slice" && reads(nodes[i], {b.tipOutput})) join(i);
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string& op = nodes[i].opType;
      if (!b.nodes.count(i) && (op == "Mul" || op == "Sub" || op == "Add") && reads(nodes[i], values)) {
        join(i);
        grew = true;
      }
    }
  }
  std::set<std::string> graphOutputs, exits;
  gsEachBytes(graph, kGraphOutput, [&](GsSlice vi) { graphOutputs.insert(gsFirstStr(vi, 1)); });
  for (const std::string& v : values) {
    bool escapes = graphOutputs.count(v) > 0;
    for (size_t i = 0; i < nodes.size() && !escapes; ++i) escapes = !b.nodes.count(i) && reads(nodes[i], {v});
    if (escapes) exits.insert(v);
  }
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return false;
  }
  b.exit = *exits.begin();
  *out = std::move(b);
  return true;
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  WarpBlock b;
  if (!findWarpBlock(model, &b, reason)) return 0;
  const GsSlice graph = gsGraphOf(model);
  std::vector<WdNode> nodes;
  std::set<std::string> inits, inputs;
  gsReadGraph(graph, nodes, inits, inputs);
  std::vector<bool> removed;
  if (!gsSourceCone(nodes, inits, inputs, b.boundary, removed, reason)) return 0;
  // This pass read the nodes itself; the new node takes the tip's place.
  if (b.tip >= nodes.size() || nodes[b.tip].outputs.empty() || nodes[b.tip].outputs[0] != b.tipOutput) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  for (const size_t i : b.nodes) removed[i] = true;
  // The boundary dies with the block: nothing else may read it.
  for (size_t i = 0; i < nodes.size(); ++i)
    if (!removed[i] && reads(nodes[i], {b.boundary})) {
      reason = "the boundary '" + b.boundary + "' is also read by " + gsNodeLabel(nodes[i], i);
      return 0;
    }
  pruneFeeders(nodes, graph, b, removed);

  const bool imported = gsHasOpsetImport(model, kCorvamelDomain);
  std::vector<uint8_t> node;
  gsPutStr(node, kNodeInput, "P_rgb");
  gsPutStr(node, kNodeInput, b.grid);
  gsPutStr(node, kNodeOutput, b.exit);
  gsPutStr(node, kNodeName, "le_warp_director");
  gsPutStr(node, kNodeOpType, "WarpDirector");
  gsPutStr(node, kNodeDomain, kCorvamelDomain);
  std::vector<uint8_t> out;
  gsRebuildNodes(
      model,
      [&](size_t i, const GsField& f, std::vector<uint8_t>& rebuilt) {
        if (i == b.tip)
          gsPutBytes(rebuilt, kGraphNode, node.data(), node.size());
        else if (!removed[i])
          gsPutRaw(rebuilt, f.raw);
      },
      nullptr, out);
  if (!imported) gsAddOpsetImport(out, kCorvamelDomain, 1);
  model.swap(out);
  size_t count = 0;
  for (const bool r : removed) count += r ? 1 : 0;
  return count;
}

// ---------------------------------------------------------------- operator

namespace {

struct WarpKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept {
    return asStatus([&] { compute(context); });
  }

  // The plane of the last call (sessions may run on several threads at once).
  std::atomic<int> lastH{0}, lastW{0};

 private:
  void compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue x = ctx.GetInput(0);
    const Ort::ConstValue grid = ctx.GetInput(1);
    const std::vector<int64_t> shape = x.GetTensorTypeAndShapeInfo().GetShape();
    if (shape.size() == 4 && shape[1] != 3)
      throw std::runtime_error(
          "com.corvamel::WarpDirector: this node warps the director's 3-channel source and the graph handed it C=" +
          std::to_string(shape[1]) + ". REFUSING rather than writing a frame nobody asked for.");
    // Any other shape would read past the grid.
    if (shape.size() != 4 ||
        grid.GetTensorTypeAndShapeInfo().GetShape() != std::vector<int64_t>{shape[0], shape[2], shape[3], 2})
      throw std::runtime_error("com.corvamel::WarpDirector: needs source [N, 3, H, W] and grid [N, H, W, 2]");
    Ort::UnownedValue out = ctx.GetOutput(0, shape);
    const int H = static_cast<int>(shape[2]), W = static_cast<int>(shape[3]);
    lastH.store(H, std::memory_order_relaxed);
    lastW.store(W, std::memory_order_relaxed);
    const size_t plane = static_cast<size_t>(H) * W;
    const float* src = x.GetTensorData<float>();
    const float* g = grid.GetTensorData<float>();
    float* y = out.GetTensorMutableData<float>();
    for (int64_t n = 0; n < shape[0]; ++n)
      parallelBands(ctx, H, [&](int y0, int y1) {
        warpDirectorBand(src + n * 3 * plane, g + n * 2 * plane, y + n * 3 * plane, W, H, y0, y1);
      });
  }
};

}  // namespace

void addWarpDirectorOp(Ort::CustomOpDomain& domain) {
  static const FloatCpuOp<WarpKernel, 2> op("WarpDirector");
  domain.Add(&op);
}

void registerWarpDirector(Ort::SessionOptions& options) { registerGridSampleFast(options); }

}  // namespace le
