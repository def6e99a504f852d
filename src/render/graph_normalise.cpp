#include "render/graph_normalise.h"

#include <cmath>
#include <map>
#include <optional>
#include <set>

namespace le {

using namespace onnx_field;

namespace {

constexpr char kLipInput[] = "lip_delivery";
constexpr char kLipMin[] = "tessera_lipdel_min";
constexpr char kLipAlpha[] = "tessera_lipdel_alpha";

// The graph's nodes with the producer of every value and its constants.
struct GraphView {
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> initNames, inputNames;
  std::map<std::string, size_t> producer;
  std::map<std::string, GsSlice> inits;  // name -> TensorProto

  explicit GraphView(GsSlice graph) {
    gsReadGraph(graph, nodes, initNames, inputNames);
    for (size_t i = 0; i < nodes.size(); ++i)
      for (const std::string& out : nodes[i].outputs)
        if (!out.empty()) producer.emplace(out, i);
    gsEachBytes(graph, kGraphInit, [&](GsSlice t) { inits.emplace(gsFirstStr(t, kTensorName), t); });
  }

  const GsNodeInfo* producerOf(const std::string& value) const {
    const auto it = producer.find(value);
    return it == producer.end() ? nullptr : &nodes[it->second];
  }

  // Floats of an initializer or of a Constant node's value; nullopt when the
  // value is neither.
  std::optional<std::vector<float>> constFloats(const std::string& value) const {
    std::vector<float> v;
    if (const auto it = inits.find(value); it != inits.end()) {
      if (!hcTensorFloats(it->second, v)) return std::nullopt;
      return v;
    }
    const GsNodeInfo* p = producerOf(value);
    if (!p || p->opType != "Constant" || !hcTensorFloats(hcConstValue(p->raw), v)) return std::nullopt;
    return v;
  }
};

// Re-emits the node with every input named `from` renamed `to`.
void putNodeRenamingInput(std::vector<uint8_t>& g, GsSlice node, const std::string& from, const std::string& to) {
  std::vector<uint8_t> n;
  gsEachField(node, [&](const GsField& f) {
    if (f.field == kNodeInput && f.wire == 2 && f.payload.text() == from)
      gsPutStr(n, kNodeInput, to);
    else
      gsPutRaw(n, f.raw);
  });
  gsPutBytes(g, kGraphNode, n.data(), n.size());
}

// The cubic coefficient a when `node` is a head Resize the rewrite can replace.
std::optional<double> headCubicCoeff(const GraphView& v, const GsNodeInfo& node, int64_t* channels) {
  if (node.opType != "Resize" || !gsIsDefaultDomain(node.raw)) return std::nullopt;
  const HcAttrs a = hcReadAttrs(node.raw);
  const std::string& ctm = a.coordinateTransformationMode;
  const std::string& keep = a.keepAspectRatioPolicy;
  if (a.mode != "cubic" || !(ctm.empty() || ctm == "half_pixel") || !(keep.empty() || keep == "stretch") ||
      a.excludeOutside || a.antialias || a.hasAxes)
    return std::nullopt;
  if (node.inputs.size() != 3 || !node.inputs[1].empty() || node.outputs.size() != 1) return std::nullopt;
  if (v.constFloats(node.inputs[2]) != std::vector<float>{1, 1, 2, 2}) return std::nullopt;
  const GsNodeInfo* conv = v.producerOf(node.inputs[0]);
  if (!conv || conv->opType != "Conv" || conv->inputs.size() < 2) return std::nullopt;
  const auto w = v.inits.find(conv->inputs[1]);
  if (w == v.inits.end()) return std::nullopt;
  std::vector<int64_t> dims;
  hcTensorDims(w->second, dims);
  if (dims.size() != 4 || dims[0] < 1) return std::nullopt;
  *channels = dims[0];
  return a.hasCubicCoeffA ? a.cubicCoeffA : -0.75;
}

bool isExactlyOne(const GraphView& v, const std::string& value) {
  const auto f = v.constFloats(value);
  if (!f || f->empty()) return false;
  for (const float x : *f)
    if (x != 1.0f) return false;
  return true;
}

// The alpha of the compose tail Add(Mul(x, alpha), Mul(Sub(1, alpha), y)) the
// graph output is read from, or empty.
std::string composeAlpha(const GraphView& v, GsSlice graph) {
  std::string value;
  gsEachBytes(graph, kGraphOutput, [&](GsSlice vi) {
    if (value.empty()) value = gsFirstStr(vi, 1);
  });
  const GsNodeInfo* add = v.producerOf(value);
  for (int hop = 0; add && hop < 4 && (add->opType == "Identity" || add->opType == "Cast") && !add->inputs.empty();
       ++hop)
    add = v.producerOf(add->inputs[0]);
  if (!add || add->opType != "Add" || add->inputs.size() != 2) return {};
  const GsNodeInfo* mul[2] = {v.producerOf(add->inputs[0]), v.producerOf(add->inputs[1])};
  for (const GsNodeInfo* m : mul)
    if (!m || m->opType != "Mul" || m->inputs.size() != 2) return {};
  for (int weighted = 0; weighted < 2; ++weighted) {
    const GsNodeInfo& inverse = *mul[weighted];
    const GsNodeInfo& direct = *mul[1 - weighted];
    for (const std::string& in : inverse.inputs) {
      const GsNodeInfo* sub = v.producerOf(in);
      if (!sub || sub->opType != "Sub" || sub->inputs.size() != 2 || !isExactlyOne(v, sub->inputs[0])) continue;
      const std::string& alpha = sub->inputs[1];
      if (direct.inputs[0] == alpha || direct.inputs[1] == alpha) return alpha;
    }
  }
  return {};
}

std::string lipSelfCheck(GsSlice graph, const std::string& alpha) {
  const GraphView v(graph);
  if (!v.inputNames.count(kLipInput)) return "self-check: the input did not survive the rebuild";
  size_t consumers = 0, others = 0;
  bool minFound = false;
  for (const GsNodeInfo& n : v.nodes) {
    const bool isMin = gsFirstStr(n.raw, kNodeName) == kLipMin;
    minFound = minFound || isMin;
    for (const std::string& in : n.inputs)
      if (in == alpha) {
        ++consumers;
        others += isMin ? 0 : 1;
      }
  }
  if (others > 0)
    return "self-check: rewire did not take: " + std::to_string(consumers) + " consumers of " + alpha +
           ", one still reads the alpha — refusing a graph that would serve the ellipse with the input attached and "
           "ignored";
  if (!minFound) return "self-check: the Min node did not survive the rebuild";
  for (size_t i = 0; i < v.nodes.size(); ++i)
    for (const std::string& in : v.nodes[i].inputs) {
      if (in.empty() || v.initNames.count(in) || v.inputNames.count(in)) continue;
      const auto p = v.producer.find(in);
      if (p != v.producer.end() && p->second >= i)
        return "self-check: node " + std::to_string(i) + " reads '" + in + "' produced at " +
               std::to_string(p->second) + " — the rewritten graph is not topologically ordered";
    }
  return {};
}

}  // namespace

bool gsIsStudentBlendMatMul(GsSlice node) {
  if (gsNodeOpType(node) != "MatMul" || !gsIsDefaultDomain(node) || gsFirstStr(node, kNodeName) != "/s2/blend")
    return false;
  std::vector<std::string> inputs;
  gsAllStr(node, kNodeInput, inputs);
  return inputs.size() == 2;
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model) {
  return gsRetypeNodes(model, gsIsStudentBlendMatMul, "Gemm", "", false);
}

void hcTaps(double t, double a, double taps[4]) {
  const double d[4] = {t + 1, t, 1 - t, 2 - t};
  double sum = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = std::fabs(d[i]);
    taps[i] = x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : ((x - 5) * x + 8) * x * a - 4 * a;
    sum += taps[i];
  }
  for (int i = 0; i < 4; ++i) taps[i] /= sum;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return 0;
  const GraphView v(graph);
  size_t k = 0, found = 0;
  int64_t C = 0;
  double a = 0;
  for (size_t i = 0; i < v.nodes.size(); ++i) {
    int64_t channels = 0;
    if (const auto coeff = headCubicCoeff(v, v.nodes[i], &channels)) {
      ++found;
      k = i;
      C = channels;
      a = *coeff;
    }
  }
  if (found != 1) return 0;

  // With half_pixel and factor 2 an even output pixel sits at phase 0.75 of
  // its source interval and an odd one at 0.25; the edge pad repeats the
  // border as the Resize clamps its taps.
  double even[4], odd[4];
  hcTaps(0.75, a, even);
  hcTaps(0.25, a, odd);
  double k5[2][5] = {{even[0], even[1], even[2], even[3], 0}, {0, odd[0], odd[1], odd[2], odd[3]}};
  std::vector<float> w(static_cast<size_t>(4 * C * 25));
  for (int64_t c = 0; c < C; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px)
        for (int r = 0; r < 5; ++r)
          for (int q = 0; q < 5; ++q)
            w[static_cast<size_t>(((4 * c + 2 * py + px) * 5 + r) * 5 + q)] = static_cast<float>(k5[py][r] * k5[px][q]);

  const GsNodeInfo& R = v.nodes[k];
  const std::string rname = gsFirstStr(R.raw, kNodeName);
  const std::string N = rname.empty() ? "/Resize" : rname;
  const std::string V = "rz" + std::to_string(k);
  const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};

  std::vector<uint8_t> out;
  gsRebuildNodes(
      model,
      [&](size_t i, const GsField& f, std::vector<uint8_t>& o) {
        if (i != k) {
          gsPutRaw(o, f.raw);
          return;
        }
        std::vector<uint8_t> attrs;
        hcAttrS(attrs, "mode", "edge");
        hcNode(o, "Pad", {R.inputs[0], V + "_pads"}, V + "_padout", N + "/pad", attrs);
        attrs.clear();
        const int64_t ones[2] = {1, 1}, five[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
        hcAttrIs(attrs, "dilations", ones, 2);
        hcAttrI(attrs, "group", C);
        hcAttrIs(attrs, "kernel_shape", five, 2);
        hcAttrIs(attrs, "pads", zeros, 4);
        hcAttrIs(attrs, "strides", ones, 2);
        hcNode(o, "Conv", {V + "_padout", V + "_dw_w"}, V + "_convout", N + "/dwconv", attrs);
        attrs.clear();
        hcAttrI(attrs, "blocksize", 2);
        hcAttrS(attrs, "mode", "CRD");
        hcNode(o, "DepthToSpace", {V + "_convout"}, R.outputs[0], N + "/d2s", attrs);
      },
      [&](std::vector<uint8_t>& o) {
        hcInit(o, V + "_dw_w", kOnnxFloat, {4 * C, 1, 5, 5}, w.data(), w.size() * sizeof(float));
        hcInit(o, V + "_pads", 7, {8}, pads, sizeof pads);
      },
      out);
  model.swap(out);
  return 1;
}

bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvas, int* batch) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  const GraphView v(graph);
  if (v.inputNames.count(kLipInput)) {
    reason = "the graph already carries an input named lip_delivery";
    return false;
  }
  const std::string alpha = composeAlpha(v, graph);
  if (alpha.empty()) {
    reason = "the graph does not carry the unified compose tail";
    return false;
  }
  const auto producer = v.producer.find(alpha);
  if (producer == v.producer.end()) {
    reason = "the compose alpha '" + alpha + "' has no producer node";
    return false;
  }
  if (v.nodes[producer->second].opType != "Clip") {
    reason = "the graph does not carry the unified compose tail";
    return false;
  }
  int64_t first = 0, last = 0;
  int rank = 0;
  if (!ldInputDims(graph, "P_rgb", first, last, rank) || rank != 4 || last < 1) {
    reason = "cannot read the compose canvas off the graph";
    return false;
  }

  const size_t alphaAt = producer->second;
  const int64_t dims[4] = {first >= 1 ? first : 0, 1, last, last};
  std::vector<uint8_t> out;
  gsRebuildNodes(
      model,
      [&](size_t i, const GsField& f, std::vector<uint8_t>& o) {
        putNodeRenamingInput(o, f.payload, alpha, kLipAlpha);
        if (i == alphaAt) hcNode(o, "Min", {alpha, kLipInput}, kLipAlpha, kLipMin, {});
      },
      [&](std::vector<uint8_t>& o) { gsPutTensorValueInfo(o, kGraphInput, kLipInput, dims, 4); }, out);
  if (std::string failure = lipSelfCheck(gsGraphOf(out), alpha); !failure.empty()) {
    reason = std::move(failure);
    return false;
  }
  model.swap(out);
  *canvas = static_cast<int>(last);
  *batch = static_cast<int>(first);
  return true;
}

}  // namespace le
