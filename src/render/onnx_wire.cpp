#include "render/onnx_wire.h"

#include <cstring>
#include <stdexcept>

namespace le {

using namespace onnx_field;

namespace {

uint64_t readVarint(const uint8_t*& cur, const uint8_t* end) {
  uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    if (cur == end || shift >= 70) throw std::runtime_error("onnx: bad varint");
    const uint8_t b = *cur++;
    v |= static_cast<uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
}

// Reads the packed or one-per-field varints of `field`.
void readVarints(GsSlice msg, uint32_t field, std::vector<int64_t>& out) {
  gsEachField(msg, [&](const GsField& f) {
    if (f.field != field) return;
    if (f.wire == 0) {
      out.push_back(static_cast<int64_t>(f.varint));
    } else if (f.wire == 2) {
      const uint8_t* cur = f.payload.p;
      const uint8_t* end = cur + f.payload.n;
      while (cur != end) out.push_back(static_cast<int64_t>(readVarint(cur, end)));
    }
  });
}

float floatOfField(const GsField& f) {  // a wire type 5 field's value
  float v;
  std::memcpy(&v, f.raw.p + f.raw.n - 4, 4);
  return v;
}

void putAttr(std::vector<uint8_t>& out, const std::vector<uint8_t>& attr) {
  gsPutBytes(out, kNodeAttr, attr.data(), attr.size());
}

}  // namespace

// ---------------------------------------------------------------- reading

bool GsReader::next(GsField& f) {
  if (cur_ == end_) return false;
  const uint8_t* start = cur_;
  const uint64_t key = readVarint(cur_, end_);
  f.field = static_cast<uint32_t>(key >> 3);
  f.wire = static_cast<uint8_t>(key & 7);
  f.varint = 0;
  f.payload = {};
  switch (f.wire) {
    case 0:
      f.varint = readVarint(cur_, end_);
      break;
    case 2: {
      const uint64_t len = readVarint(cur_, end_);
      if (len > static_cast<uint64_t>(end_ - cur_)) throw std::runtime_error("onnx: truncated");
      f.payload = {cur_, static_cast<size_t>(len)};
      cur_ += len;
      break;
    }
    case 1:
    case 5: {
      const size_t width = f.wire == 1 ? 8 : 4;
      if (width > static_cast<size_t>(end_ - cur_)) throw std::runtime_error("onnx: truncated");
      cur_ += width;
      break;
    }
    default:
      throw std::runtime_error("onnx: bad wire type");
  }
  f.raw = {start, static_cast<size_t>(cur_ - start)};
  return true;
}

bool PbReader::next(PbField& f) {
  GsField g;
  if (!r_.next(g)) return false;
  f.field = g.field;
  f.wire = g.wire;
  f.varint = g.varint;
  f.payload = g.payload;
  return true;
}

GsSlice gsGraphOf(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.field == kModelGraph && f.wire == 2) return f.payload;
  return {};
}

std::string gsFirstStr(GsSlice msg, uint32_t field) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.field == field && f.wire == 2) return std::string(f.payload.text());
  return {};
}

void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out) {
  gsEachBytes(msg, field, [&](GsSlice s) { out.emplace_back(s.text()); });
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::set<std::string>& initNames,
                 std::set<std::string>& inputNames) {
  gsEachField(graph, [&](const GsField& f) {
    if (f.wire != 2) return;
    if (f.field == kGraphNode) {
      GsNodeInfo n;
      n.raw = f.payload;
      n.opType = gsNodeOpType(f.payload);
      gsAllStr(f.payload, kNodeInput, n.inputs);
      gsAllStr(f.payload, kNodeOutput, n.outputs);
      nodes.push_back(std::move(n));
    } else if (f.field == kGraphInit) {
      initNames.insert(gsFirstStr(f.payload, kTensorName));
    } else if (f.field == kGraphInput) {
      inputNames.insert(gsFirstStr(f.payload, 1));
    }
  });
}

GsSlice hcPayload(GsSlice msg) {
  GsReader r(msg);
  GsField f;
  if (r.next(f) && f.wire == 2) return f.payload;
  return {};
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs a;
  gsEachBytes(node, kNodeAttr, [&](GsSlice attr) {
    const std::string name = gsFirstStr(attr, kAttrName);
    gsEachField(attr, [&](const GsField& f) {
      if (f.field == kAttrS && f.wire == 2) {
        if (name == "mode") a.mode = f.payload.text();
        if (name == "coordinate_transformation_mode") a.coordinateTransformationMode = f.payload.text();
        if (name == "keep_aspect_ratio_policy") a.keepAspectRatioPolicy = f.payload.text();
      } else if (f.field == kAttrF && f.wire == 5 && name == "cubic_coeff_a") {
        a.hasCubicCoeffA = true;
        a.cubicCoeffA = floatOfField(f);
      } else if (f.field == kAttrI && f.wire == 0) {
        if (name == "exclude_outside") a.excludeOutside = f.varint != 0;
        if (name == "antialias") a.antialias = f.varint != 0;
      } else if (f.field == kAttrInts && name == "axes") {
        a.hasAxes = true;
      }
    });
  });
  return a;
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  int64_t type = 0;
  GsSlice raw;
  bool hasRaw = false;
  std::vector<float> listed;
  gsEachField(tensor, [&](const GsField& f) {
    if (f.field == kTensorType && f.wire == 0) type = static_cast<int64_t>(f.varint);
    if (f.field == kTensorRaw && f.wire == 2) {
      raw = f.payload;
      hasRaw = true;
    }
    if (f.field != kTensorFloats) return;
    if (f.wire == 5) {
      listed.push_back(floatOfField(f));
    } else if (f.wire == 2 && f.payload.n >= 4) {  // an empty vector's data() may be null
      const size_t n = f.payload.n / 4;
      const size_t at = listed.size();
      listed.resize(at + n);
      std::memcpy(listed.data() + at, f.payload.p, n * 4);
    }
  });
  if (type != kOnnxFloat) return false;
  if (hasRaw) {
    listed.resize(raw.n / 4);
    if (!listed.empty()) std::memcpy(listed.data(), raw.p, listed.size() * 4);
  }
  out.insert(out.end(), listed.begin(), listed.end());
  return !listed.empty();
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) { readVarints(tensor, kTensorDims, out); }

GsSlice hcConstValue(GsSlice node) {
  GsSlice t;
  if (const GsSlice attr = gsNodeAttr(node, "value"); !attr.empty())
    gsEachBytes(attr, kAttrT, [&](GsSlice s) { t = s; });
  return t;
}

bool ldInputDims(GsSlice graph, const std::string& name, int64_t& first, int64_t& last, int& count) {
  bool found = false;
  gsEachBytes(graph, kGraphInput, [&](GsSlice vi) {
    if (found || gsFirstStr(vi, 1) != name) return;
    found = true;
    count = 0;
    first = last = 0;
    // ValueInfoProto.type -> TypeProto.tensor_type -> shape -> dim
    const GsSlice shape = [&] {
      GsSlice s;
      gsEachBytes(vi, 2, [&](GsSlice type) {
        gsEachBytes(type, 1, [&](GsSlice tensor) { gsEachBytes(tensor, 2, [&](GsSlice sh) { s = sh; }); });
      });
      return s;
    }();
    gsEachBytes(shape, 1, [&](GsSlice dim) {
      int64_t v = 0;
      gsEachField(dim, [&](const GsField& f) {
        if (f.field == 1 && f.wire == 0) v = static_cast<int64_t>(f.varint);
      });
      if (count++ == 0) first = v;
      last = v;
    });
  });
  return found;
}

GsSlice gsNodeAttr(GsSlice node, std::string_view name) {
  GsSlice found;
  gsEachBytes(node, kNodeAttr, [&](GsSlice a) {
    if (found.empty() && gsFirstStr(a, kAttrName) == name) found = a;
  });
  return found;
}

int64_t gsAttrInt(GsSlice attr) {
  int64_t v = 0;
  gsEachField(attr, [&](const GsField& f) {
    if (f.field == kAttrI && f.wire == 0) v = static_cast<int64_t>(f.varint);
  });
  return v;
}

// ---------------------------------------------------------------- writing

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, size_t len) {
  gsPutVarint(out, static_cast<uint64_t>(field) << 3 | 2);
  gsPutVarint(out, len);
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + len);
}

void gsPutStr(std::vector<uint8_t>& out, uint32_t field, std::string_view s) {
  gsPutBytes(out, field, s.data(), s.size());
}

void gsPutVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v) {
  gsPutVarint(out, static_cast<uint64_t>(field) << 3);
  gsPutVarint(out, v);
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice s) { out.insert(out.end(), s.p, s.p + s.n); }

void hcAttrI(std::vector<uint8_t>& out, std::string_view name, int64_t v) {
  std::vector<uint8_t> a;
  gsPutStr(a, kAttrName, name);
  gsPutVarintField(a, kAttrI, static_cast<uint64_t>(v));
  gsPutVarintField(a, kAttrType, 2);
  putAttr(out, a);
}

void hcAttrIs(std::vector<uint8_t>& out, std::string_view name, const int64_t* values, size_t n) {
  std::vector<uint8_t> a;
  gsPutStr(a, kAttrName, name);
  for (size_t i = 0; i < n; ++i) gsPutVarintField(a, kAttrInts, static_cast<uint64_t>(values[i]));
  gsPutVarintField(a, kAttrType, 7);
  putAttr(out, a);
}

void hcAttrS(std::vector<uint8_t>& out, std::string_view name, std::string_view value) {
  std::vector<uint8_t> a;
  gsPutStr(a, kAttrName, name);
  gsPutStr(a, kAttrS, value);
  gsPutVarintField(a, kAttrType, 3);
  putAttr(out, a);
}

void hcInit(std::vector<uint8_t>& out, std::string_view name, int dataType, const std::vector<int64_t>& dims,
            const void* data, size_t len) {
  std::vector<uint8_t> t;
  for (const int64_t d : dims) gsPutVarintField(t, kTensorDims, static_cast<uint64_t>(d));
  gsPutVarintField(t, kTensorType, static_cast<uint64_t>(dataType));
  gsPutStr(t, kTensorName, name);
  gsPutBytes(t, kTensorRaw, data, len);
  gsPutBytes(out, kGraphInit, t.data(), t.size());
}

void hcNode(std::vector<uint8_t>& out, std::string_view opType, const std::vector<std::string>& inputs,
            std::string_view output, std::string_view name, const std::vector<uint8_t>& attrBytes) {
  std::vector<uint8_t> n;
  for (const std::string& in : inputs) gsPutStr(n, kNodeInput, in);
  gsPutStr(n, kNodeOutput, output);
  gsPutStr(n, kNodeName, name);
  gsPutStr(n, kNodeOpType, opType);
  n.insert(n.end(), attrBytes.begin(), attrBytes.end());
  gsPutBytes(out, kGraphNode, n.data(), n.size());
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, std::string_view name, const int64_t* dims,
                          size_t rank) {
  std::vector<uint8_t> shape;
  for (size_t i = 0; i < rank; ++i) {
    std::vector<uint8_t> dim;
    if (dims[i] >= 1)
      gsPutVarintField(dim, 1, static_cast<uint64_t>(dims[i]));
    else
      gsPutStr(dim, 2, "le_hoist_d" + std::to_string(i));
    gsPutBytes(shape, 1, dim.data(), dim.size());
  }
  std::vector<uint8_t> tensor;
  gsPutVarintField(tensor, 1, kOnnxFloat);
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  std::vector<uint8_t> type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  std::vector<uint8_t> vi;
  gsPutStr(vi, 1, name);
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(out, field, vi.data(), vi.size());
}

void gsRebuildGraph(GsSlice model, const std::function<void(GsSlice graph, std::vector<uint8_t>& out)>& graph,
                    std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(model.n + 256);
  bool done = false;
  gsEachField(model, [&](const GsField& f) {
    if (done || f.field != kModelGraph || f.wire != 2) {
      gsPutRaw(out, f.raw);
      return;
    }
    done = true;
    std::vector<uint8_t> g;
    g.reserve(f.payload.n + 256);
    graph(f.payload, g);
    gsPutBytes(out, kModelGraph, g.data(), g.size());
  });
}

void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  gsRebuildGraph(
      model,
      [&](GsSlice graph, std::vector<uint8_t>& g) {
        size_t node = 0;
        gsEachField(graph, [&](const GsField& f) {
          bool keep = true;
          if (f.wire == 2 && f.field == kGraphNode) {
            keep = !(node < edit.dropNodes.size() && edit.dropNodes[node]);
            ++node;
          } else if (f.wire == 2 && f.field == kGraphInput) {
            const bool prgb = gsFirstStr(f.payload, 1) == "P_rgb";
            keep = edit.keepOnlyPrgb ? prgb && !edit.dropPrgb : !(prgb && edit.dropPrgb);
          } else if (f.wire == 2 && f.field == kGraphOutput) {
            keep = !edit.dropOutputs;
          } else if (f.wire == 2 && f.field == kGraphValueInfo && !edit.newName.empty()) {
            keep = gsFirstStr(f.payload, 1) != edit.newName;
          }
          if (keep) gsPutRaw(g, f.raw);
        });
        if (!edit.newName.empty() && edit.newField != 0)
          gsPutTensorValueInfo(g, edit.newField, edit.newName, edit.newDims.data(), edit.newDims.size());
      },
      out);
}

void gsRebuildNodes(GsSlice model,
                    const std::function<void(size_t i, const GsField& node, std::vector<uint8_t>& g)>& node,
                    const std::function<void(std::vector<uint8_t>& g)>& tail, std::vector<uint8_t>& out) {
  gsRebuildGraph(
      model,
      [&](GsSlice graph, std::vector<uint8_t>& g) {
        size_t index = 0;
        gsEachField(graph, [&](const GsField& f) {
          if (f.field == kGraphNode && f.wire == 2)
            node(index++, f, g);
          else
            gsPutRaw(g, f.raw);
        });
        if (tail) tail(g);
      },
      out);
}

std::string gsNodeOpType(GsSlice node) { return gsFirstStr(node, kNodeOpType); }
std::string gsNodeDomain(GsSlice node) { return gsFirstStr(node, kNodeDomain); }

bool gsIsDefaultDomain(GsSlice node) {
  const std::string d = gsNodeDomain(node);
  return d.empty() || d == "ai.onnx";
}

size_t gsRetypeNodes(std::vector<uint8_t>& model, const std::function<bool(GsSlice node)>& retype,
                     std::string_view opType, std::string_view domain, bool dropAttributes) {
  size_t count = 0;
  gsEachBytes(gsGraphOf(model), kGraphNode, [&](GsSlice n) { count += retype(n) ? 1 : 0; });
  if (count == 0) return 0;
  std::vector<uint8_t> out;
  gsRebuildNodes(
      model,
      [&](size_t, const GsField& f, std::vector<uint8_t>& g) {
        if (!retype(f.payload)) {
          gsPutRaw(g, f.raw);
          return;
        }
        std::vector<uint8_t> node;
        gsEachField(f.payload, [&](const GsField& nf) {
          const bool replaced =
              nf.field == kNodeOpType || nf.field == kNodeDomain || (nf.field == kNodeAttr && dropAttributes);
          if (!replaced) gsPutRaw(node, nf.raw);
        });
        gsPutStr(node, kNodeOpType, opType);
        if (!domain.empty()) gsPutStr(node, kNodeDomain, domain);
        gsPutBytes(g, kGraphNode, node.data(), node.size());
      },
      nullptr, out);
  model.swap(out);
  return count;
}

bool gsHasOpsetImport(GsSlice model, std::string_view domain) {
  bool found = false;
  gsEachBytes(model, kModelOpset, [&](GsSlice op) { found = found || gsFirstStr(op, kOpsetDomain) == domain; });
  return found;
}

void gsAddOpsetImport(std::vector<uint8_t>& model, std::string_view domain, int64_t version) {
  std::vector<uint8_t> op;
  gsPutStr(op, kOpsetDomain, domain);
  gsPutVarintField(op, kOpsetVersion, static_cast<uint64_t>(version));
  gsPutBytes(model, kModelOpset, op.data(), op.size());
}

}  // namespace le
