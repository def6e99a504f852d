// The ONNX wire reader and writer: byte-identical rebuilds of ONNX's own test
// models, refusal of malformed bytes anywhere in a model, the graph edits,
// and the writers read back by the readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle_fixtures.h"
#include "render/gridsample_fast.h"
#include "render/onnx_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const fs::path kTestData = "/usr/share/libonnx-testdata";

Bytes readFile(const fs::path& p) {
  const std::string bytes = le::test::readAll(p.string());
  return Bytes(bytes.begin(), bytes.end());
}

std::vector<fs::path> packageModels() {
  std::vector<fs::path> out;
  if (fs::exists(kTestData))
    for (const auto& e : fs::recursive_directory_iterator(kTestData))
      if (e.path().filename() == "model.onnx") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

constexpr char kNoError[] = "(no error)";
using le::test::errorOf;

std::string readFields(const Bytes& b) {
  return errorOf([&] {
    le::GsReader r(b);
    le::GsField f;
    while (r.next(f)) {
    }
  });
}

// Reads every field at every depth that parses as a message; returns the
// number of fields seen. Payloads that are not messages throw.
size_t walk(le::GsSlice s, int depth = 0) {
  size_t n = 0;
  le::GsReader r(s);
  le::GsField f;
  while (r.next(f)) {
    ++n;
    if (f.raw.p < s.p || f.raw.p + f.raw.n > s.p + s.n) throw std::logic_error("field outside its slice");
    if (f.wire == 2 && depth < 12) {
      try {
        n += walk(f.payload, depth + 1);
      } catch (const std::runtime_error&) {
      }
    }
  }
  return n;
}

TEST(OnnxWire, EveryPackageModelRebuildsByteIdentical) {
  const auto models = packageModels();
  ASSERT_GT(models.size(), 500u) << "libonnx-testdata is missing: run scripts/install-deps";
  size_t withGraph = 0;
  for (const auto& p : models) {
    const Bytes model = readFile(p);
    Bytes out;
    le::gsRebuild(model, {}, out);
    ASSERT_EQ(out, model) << p;
    withGraph += le::gsGraphOf(model).empty() ? 0 : 1;
  }
  EXPECT_EQ(withGraph, models.size());
}

TEST(OnnxWire, MalformedBytesAtEveryPositionAreRefused) {
  const std::set<std::string> allowed = {kNoError, "onnx: bad varint", "onnx: truncated", "onnx: bad wire type"};
  const auto models = packageModels();
  ASSERT_FALSE(models.empty());
  // A few models with initializers, attributes and subgraphs.
  for (const char* name : {"node/test_gridsample_border_padding", "node/test_if", "node/test_conv_with_strides_padding",
                           "node/test_constant", "node/test_resize_upsample_scales_cubic"}) {
    const Bytes model = readFile(kTestData / "data" / name / "model.onnx");
    ASSERT_FALSE(model.empty()) << name;
    for (size_t cut = 0; cut < model.size(); ++cut) {
      const Bytes prefix(model.begin(), model.begin() + cut);
      const std::string whole = readFields(prefix);
      ASSERT_TRUE(allowed.count(whole)) << name << " cut " << cut << ": " << whole;
      Bytes out;
      ASSERT_TRUE(allowed.count(errorOf([&] { le::gsRebuild(prefix, {}, out); })));
      ASSERT_TRUE(allowed.count(errorOf([&] { walk(prefix); })));
      for (const uint8_t b : {0x00, 0x80, 0xFF, 0x0B, 0x0F, 0x03, 0x7F}) {
        Bytes bad = model;
        bad[cut] = b;
        ASSERT_TRUE(allowed.count(errorOf([&] { walk(bad); })));
        ASSERT_TRUE(allowed.count(errorOf([&] {
          Bytes m = bad;
          le::rewriteGridSampleToFast(m);
          le::graphHasBakedGridSampleFast(m);
        })));
      }
    }
  }
}

TEST(OnnxWire, ReaderLimits) {
  const Bytes ten = {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  const std::pair<Bytes, std::string> cases[] = {
      // Length exactly reaching the end, and one byte more.
      {{0x0A, 0x02, 'a', 'b'}, kNoError},
      {{0x0A, 0x03, 'a', 'b'}, "onnx: truncated"},
      // Groups and the unused wire types.
      {{0x0B, 0, 0, 0, 0}, "onnx: bad wire type"},
      {{0x0C, 0, 0, 0, 0}, "onnx: bad wire type"},
      {{0x0E, 0, 0, 0, 0}, "onnx: bad wire type"},
      {{0x0F, 0, 0, 0, 0}, "onnx: bad wire type"},
      // Ten-byte varints are the longest; an eleventh byte is refused.
      {ten, kNoError},
      {{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, "onnx: bad varint"},
      // A continuation bit on the last byte, in a key, a value and a length.
      {{0x88}, "onnx: bad varint"},
      {{0x08, 0x96}, "onnx: bad varint"},
      {{0x0A, 0x80}, "onnx: bad varint"},
      // Fixed widths.
      {{0x0D, 1, 2, 3, 4}, kNoError},
      {{0x0D, 1, 2, 3}, "onnx: truncated"},
      {{0x09, 1, 2, 3, 4, 5, 6, 7, 8}, kNoError},
      {{0x09, 1, 2, 3, 4, 5, 6, 7}, "onnx: truncated"},
      // A huge length does not wrap the cursor.
      {{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}, "onnx: truncated"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(readFields(cases[i].first), cases[i].second) << "case " << i;
  le::GsReader r(ten);
  le::GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.varint, ~uint64_t{0});
  EXPECT_EQ(f.raw.n, ten.size());

  // The Pb reader decodes the same fields.
  const Bytes two = {0x08, 0x96, 0x01, 0x12, 0x01, 'x'};
  le::PbReader pb(two);
  le::PbField p;
  ASSERT_TRUE(pb.next(p) && p.field == 1 && p.varint == 150 && pb.next(p));
  EXPECT_EQ(p.payload.text(), "x");
}

// A model with fields before and after the graph and in the graph itself:
// ir_version, graph {nodes a b c, inputs P_rgb x, output y, value_info v},
// opset import, and an unknown field 99.
Bytes sampleModel() {
  Bytes g;
  for (const char* n : {"a", "b", "c"}) le::hcNode(g, "Relu", {"x"}, n, n, {});
  const std::array<int64_t, 4> d{1, 3, 8, 8};
  le::gsPutTensorValueInfo(g, 11, "P_rgb", d.data(), 4);
  le::gsPutTensorValueInfo(g, 11, "x", d.data(), 4);
  le::gsPutTensorValueInfo(g, 12, "y", d.data(), 4);
  le::gsPutTensorValueInfo(g, 13, "v", d.data(), 4);
  Bytes m, opset;
  le::gsPutVarintField(m, 1, 8);
  le::gsPutBytes(m, 7, g.data(), g.size());
  le::gsPutVarintField(opset, 2, 17);
  le::gsPutBytes(m, 8, opset.data(), opset.size());
  le::gsPutStr(m, 99, "keep me");
  return m;
}

struct GraphView {
  std::vector<std::string> nodes, inputs, outputs, valueInfos;
};

GraphView view(const Bytes& model) {
  GraphView v;
  le::GsReader r(le::gsGraphOf(model));
  le::GsField f;
  while (r.next(f)) {
    const std::string name = le::gsFirstStr(f.payload, f.field == 1 ? 2 : 1);
    if (f.field == 1) v.nodes.push_back(name);
    if (f.field == 11) v.inputs.push_back(name);
    if (f.field == 12) v.outputs.push_back(name);
    if (f.field == 13) v.valueInfos.push_back(name);
  }
  return v;
}

std::vector<uint32_t> topLevelFields(const Bytes& model) {
  std::vector<uint32_t> out;
  le::GsReader r(model);
  le::GsField f;
  while (r.next(f)) out.push_back(f.field);
  return out;
}

TEST(OnnxWire, RebuildEdits) {
  const Bytes model = sampleModel();
  Bytes out;
  le::gsRebuild(model, {}, out);
  EXPECT_EQ(out, model);

  le::GsGraphEdit drop;
  drop.dropNodes = {false, true};  // c lies past the mask and stays
  drop.dropPrgb = true;
  le::gsRebuild(model, drop, out);
  EXPECT_EQ(topLevelFields(out), (std::vector<uint32_t>{1, 7, 8, 99}));
  EXPECT_EQ(view(out).nodes, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(view(out).inputs, (std::vector<std::string>{"x"}));
  EXPECT_EQ(view(out).outputs, (std::vector<std::string>{"y"}));

  le::GsGraphEdit prep;
  prep.keepOnlyPrgb = true;
  prep.dropOutputs = true;
  prep.newName = "v";
  prep.newDims = {0, 12, -1, 8};
  prep.newField = 12;
  le::gsRebuild(model, prep, out);
  GraphView v = view(out);
  EXPECT_EQ(v.inputs, (std::vector<std::string>{"P_rgb"}));
  EXPECT_EQ(v.outputs, (std::vector<std::string>{"v"}));
  EXPECT_TRUE(v.valueInfos.empty());
  int64_t first = 0, last = 0;
  int rank = 0;
  EXPECT_TRUE(le::ldInputDims(le::gsGraphOf(out), "P_rgb", first, last, rank));
  EXPECT_EQ(rank, 4);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, 8);
  EXPECT_FALSE(le::ldInputDims(le::gsGraphOf(out), "x", first, last, rank));
  const std::string text(out.begin(), out.end());
  EXPECT_NE(text.find("le_hoist_d0"), std::string::npos);
  EXPECT_NE(text.find("le_hoist_d2"), std::string::npos);
  EXPECT_EQ(text.find("le_hoist_d1"), std::string::npos);

  prep.keepOnlyPrgb = prep.dropPrgb = true;
  le::gsRebuild(model, prep, out);
  EXPECT_TRUE(view(out).inputs.empty());

  // The boundary as a new input with a symbolic first dimension.
  le::GsGraphEdit perFrame;
  perFrame.newName = "v";
  perFrame.newDims = {-1, 12, 8, 8};
  perFrame.newField = 11;
  le::gsRebuild(model, perFrame, out);
  EXPECT_TRUE(le::ldInputDims(le::gsGraphOf(out), "v", first, last, rank));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(view(out).inputs, (std::vector<std::string>{"P_rgb", "x", "v"}));
}

TEST(OnnxWire, TensorsAndAttributesReadBack) {
  const float vals[3] = {0.25f, -1, 3e7f};
  Bytes g;
  le::hcInit(g, "t", 1, {3, 1}, vals, sizeof vals);
  const le::GsSlice tensor = le::hcPayload(g);
  std::vector<float> f;
  ASSERT_TRUE(le::hcTensorFloats(tensor, f));
  EXPECT_EQ(f, (std::vector<float>{0.25f, -1, 3e7f}));
  std::vector<int64_t> dims;
  le::hcTensorDims(tensor, dims);
  EXPECT_TRUE(le::dimsEq(dims, {3, 1}));
  EXPECT_FALSE(le::dimsEq(dims, {3}));

  // float_data one per field, then packed; raw_data wins when both exist.
  Bytes t;
  le::gsPutVarintField(t, 1, 2);  // dims
  le::gsPutVarintField(t, 2, 1);
  const float a = 7, b[2] = {8, 9};
  le::gsPutVarint(t, 4 << 3 | 5);
  t.insert(t.end(), reinterpret_cast<const uint8_t*>(&a), reinterpret_cast<const uint8_t*>(&a) + 4);
  le::gsPutBytes(t, 4, b, sizeof b);
  f.clear();
  ASSERT_TRUE(le::hcTensorFloats(t, f));
  EXPECT_EQ(f, (std::vector<float>{7, 8, 9}));
  le::gsPutBytes(t, 9, vals, 8);
  f.clear();
  ASSERT_TRUE(le::hcTensorFloats(t, f));
  EXPECT_EQ(f, (std::vector<float>{0.25f, -1}));
  // Other element types are not floats.
  t[3] = 7;  // data_type
  EXPECT_FALSE(le::hcTensorFloats(t, f));

  // A Resize node's attributes, and a Constant's value.
  Bytes attrs, coeff, tattr, node;
  le::hcAttrS(attrs, "mode", "cubic");
  le::hcAttrS(attrs, "coordinate_transformation_mode", "half_pixel");
  le::hcAttrI(attrs, "exclude_outside", 1);
  le::hcAttrI(attrs, "antialias", 0);
  const int64_t axes[2] = {-2, -1};
  le::hcAttrIs(attrs, "axes", axes, 2);
  le::gsPutStr(coeff, 1, "cubic_coeff_a");
  const float ca = -0.5f;
  le::gsPutVarint(coeff, 2 << 3 | 5);
  coeff.insert(coeff.end(), reinterpret_cast<const uint8_t*>(&ca), reinterpret_cast<const uint8_t*>(&ca) + 4);
  le::gsPutBytes(attrs, 5, coeff.data(), coeff.size());
  le::gsPutStr(tattr, 1, "value");
  le::gsPutBytes(tattr, 5, tensor.p, tensor.n);
  le::gsPutBytes(attrs, 5, tattr.data(), tattr.size());
  le::hcNode(node, "Resize", {"x", "", "s"}, "y", "r", attrs);
  const le::GsSlice n = le::hcPayload(node);
  const le::HcAttrs h = le::hcReadAttrs(n);
  EXPECT_EQ(h.mode + " " + h.coordinateTransformationMode + " [" + h.keepAspectRatioPolicy + "]",
            "cubic half_pixel []");
  EXPECT_TRUE(h.hasCubicCoeffA && h.cubicCoeffA == -0.5f && h.excludeOutside && !h.antialias && h.hasAxes);
  const le::GsSlice value = le::hcConstValue(n);
  ASSERT_EQ(value.n, tensor.n);
  EXPECT_TRUE(std::equal(value.p, value.p + value.n, tensor.p));
  EXPECT_TRUE(le::hcConstValue(le::hcPayload(g)).empty());
}

}  // namespace
