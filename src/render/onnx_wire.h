// ONNX graphs as protobuf bytes: a reader over borrowed slices of one model
// buffer and a writer of the few messages the load-time rewrites emit. No
// protobuf library and no schema code: the rewrites read and rebuild the
// bytes directly.
//
// The readers never copy and never read past the slice they are given;
// malformed bytes throw std::runtime_error ("onnx: bad varint", "onnx:
// truncated" or "onnx: bad wire type"). Fields the rewrites do not touch are
// carried over byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace le {

// Field numbers of the ONNX messages the rewrites touch.
namespace onnx_field {
constexpr uint32_t kModelGraph = 7, kModelOpset = 8;
constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12, kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttr = 5, kNodeDomain = 7;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrInts = 8, kAttrType = 20;
constexpr uint32_t kTensorDims = 1, kTensorType = 2, kTensorFloats = 4, kTensorName = 8, kTensorRaw = 9;
constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
constexpr int kOnnxFloat = 1;
}  // namespace onnx_field

// ---------------------------------------------------------------- reading

struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  GsSlice() = default;
  GsSlice(const uint8_t* data, size_t size) : p(data), n(size) {}
  GsSlice(const std::vector<uint8_t>& v) : p(v.data()), n(v.size()) {}  // NOLINT: borrowing is the point
  bool empty() const { return n == 0; }
  std::string_view text() const { return {reinterpret_cast<const char*>(p), n}; }
};

struct GsField {
  uint32_t field = 0;
  uint8_t wire = 0;
  uint64_t varint = 0;  // wire type 0 only
  GsSlice payload;      // wire type 2 only
  GsSlice raw;          // key through the end of the field
};

class GsReader {
 public:
  explicit GsReader(GsSlice s) : cur_(s.p), end_(s.p + s.n) {}
  // False at the end of the slice; throws on malformed bytes.
  bool next(GsField& f);

 private:
  const uint8_t* cur_;
  const uint8_t* end_;
};

// Calls fn(field) for every field of the message.
template <typename Fn>
void gsEachField(GsSlice msg, Fn&& fn) {
  GsReader r(msg);
  GsField f;
  while (r.next(f)) fn(f);
}

// Calls fn(payload) for every length-delimited field `field` of the message.
template <typename Fn>
void gsEachBytes(GsSlice msg, uint32_t field, Fn&& fn) {
  gsEachField(msg, [&](const GsField& f) {
    if (f.field == field && f.wire == 2) fn(f.payload);
  });
}

// The same decoder for callers that never copy whole fields.
struct PbField {
  uint32_t field = 0;
  uint8_t wire = 0;
  uint64_t varint = 0;
  GsSlice payload;
};

class PbReader {
 public:
  explicit PbReader(GsSlice s) : r_(s) {}
  bool next(PbField& f);

 private:
  GsReader r_;
};

struct GsNodeInfo {
  GsSlice raw;  // the NodeProto payload
  std::string opType;
  std::vector<std::string> inputs, outputs;
};

// Payload of the model's first graph field, or empty.
GsSlice gsGraphOf(GsSlice model);
// First length-delimited field `field` as text, empty when absent.
std::string gsFirstStr(GsSlice msg, uint32_t field);
// The node's attribute named `name`, or empty.
GsSlice gsNodeAttr(GsSlice node, std::string_view name);
// Value of an integer attribute; absent fields read as 0.
int64_t gsAttrInt(GsSlice attr);
void gsAllStr(GsSlice msg, uint32_t field, std::vector<std::string>& out);
// The graph's nodes in order, its initializer names and its input names.
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::set<std::string>& initNames,
                 std::set<std::string>& inputNames);

// Attributes of a Resize node.
struct HcAttrs {
  std::string mode, coordinateTransformationMode, keepAspectRatioPolicy;
  bool hasCubicCoeffA = false;
  float cubicCoeffA = 0;
  bool excludeOutside = false, antialias = false, hasAxes = false;
};

// Payload of the slice's first field when it is length-delimited, else empty.
GsSlice hcPayload(GsSlice msg);
HcAttrs hcReadAttrs(GsSlice node);
// FLOAT tensors only; raw_data wins over float_data. True when any float came out.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);
// Tensor of a Constant node's "value" attribute, or empty.
GsSlice hcConstValue(GsSlice node);
// Shape of the graph input `name`: rank, first and last dim_value (0 for a
// symbolic dimension). False when there is no such input.
bool ldInputDims(GsSlice graph, const std::string& name, int64_t& first, int64_t& last, int& count);
inline bool dimsEq(const std::vector<int64_t>& dims, const std::vector<int64_t>& expected) { return dims == expected; }

// ---------------------------------------------------------------- writing

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t field, const void* data, size_t len);
void gsPutStr(std::vector<uint8_t>& out, uint32_t field, std::string_view s);
// Key with wire type 0, then the value.
void gsPutVarintField(std::vector<uint8_t>& out, uint32_t field, uint64_t v);
void gsPutRaw(std::vector<uint8_t>& out, GsSlice s);

// AttributeProto fields (NodeProto field 5).
void hcAttrI(std::vector<uint8_t>& out, std::string_view name, int64_t v);
void hcAttrIs(std::vector<uint8_t>& out, std::string_view name, const int64_t* values, size_t n);
void hcAttrS(std::vector<uint8_t>& out, std::string_view name, std::string_view value);
// TensorProto appended as GraphProto field 5.
void hcInit(std::vector<uint8_t>& out, std::string_view name, int dataType, const std::vector<int64_t>& dims,
            const void* data, size_t len);
// NodeProto in the default domain appended as GraphProto field 1.
void hcNode(std::vector<uint8_t>& out, std::string_view opType, const std::vector<std::string>& inputs,
            std::string_view output, std::string_view name, const std::vector<uint8_t>& attrBytes);
// Float tensor ValueInfoProto under graph field `field`; a dimension below 1
// becomes the symbolic "le_hoist_d<index>".
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t field, std::string_view name, const int64_t* dims,
                          size_t rank);

// What gsRebuild changes in a model's graph. The default edit changes nothing.
struct GsGraphEdit {
  std::vector<bool> dropNodes;  // by node index; indices past the end are kept
  bool dropPrgb = false;        // drop the graph input "P_rgb"
  bool keepOnlyPrgb = false;    // drop every other graph input
  bool dropOutputs = false;
  std::string newName;  // a new tensor value-info, when non-empty
  std::vector<int64_t> newDims;
  uint32_t newField = 0;  // 11 = input, 12 = output
};

void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out);

// Copies the model with its first graph payload replaced by what `graph`
// appends for it; every other top-level field stays in place, verbatim.
void gsRebuildGraph(GsSlice model, const std::function<void(GsSlice graph, std::vector<uint8_t>& out)>& graph,
                    std::vector<uint8_t>& out);

// Rebuilds the model's graph node by node into out: every other graph field
// is copied verbatim; node(i, field, g) appends what stands for node i (the
// field holds its raw bytes and payload; appending nothing drops it), and
// tail(g), when given, appends after the graph's last field.
void gsRebuildNodes(GsSlice model,
                    const std::function<void(size_t i, const GsField& node, std::vector<uint8_t>& g)>& node,
                    const std::function<void(std::vector<uint8_t>& g)>& tail, std::vector<uint8_t>& out);

// Text of the node's op_type and domain fields.
std::string gsNodeOpType(GsSlice node);
std::string gsNodeDomain(GsSlice node);
// True for an absent, empty or "ai.onnx" domain.
bool gsIsDefaultDomain(GsSlice node);
// Re-emits every node for which `retype` holds: its other fields in order
// (attributes only when kept), then the new op_type and, when non-empty, the
// new domain; returns how many. Nothing matching leaves the model untouched.
size_t gsRetypeNodes(std::vector<uint8_t>& model, const std::function<bool(GsSlice node)>& retype,
                     std::string_view opType, std::string_view domain, bool dropAttributes);
bool gsHasOpsetImport(GsSlice model, std::string_view domain);
// Appends an opset import of `domain` as the last top-level field.
void gsAddOpsetImport(std::vector<uint8_t>& model, std::string_view domain, int64_t version);

}  // namespace le
