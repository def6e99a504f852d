// The ONNX wire reader and writer: byte-identical rebuilds of ONNX's own test
// models and refusal of malformed bytes anywhere in a model.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>
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

TEST(OnnxWire, EveryPackageModelRebuildsByteIdentical) {
  std::vector<fs::path> models;
  if (fs::exists(kTestData))
    for (const auto& e : fs::recursive_directory_iterator(kTestData))
      if (e.path().filename() == "model.onnx") models.push_back(e.path());
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

// Names of the graph's fields of one kind (1 nodes, 11 inputs, 12 outputs, 13 value-info).
std::vector<std::string> names(const Bytes& model, uint32_t field) {
  std::vector<std::string> out;
  le::GsReader r(le::gsGraphOf(model));
  for (le::GsField f; r.next(f);)
    if (f.field == field) out.push_back(le::gsFirstStr(f.payload, field == 1 ? 2 : 1));
  return out;
}

TEST(OnnxWire, RebuildEditsTheGraphOnly) {
  Bytes g, m;
  for (const char* n : {"a", "b", "c"}) le::hcNode(g, "Relu", {"x"}, n, n, {});
  const int64_t d[4] = {1, 3, 8, 8};
  for (auto [field, name] : {std::pair{11, "P_rgb"}, {11, "x"}, {12, "y"}, {13, "v"}})
    le::gsPutTensorValueInfo(g, field, name, d, 4);
  le::gsPutBytes(m, 7, g.data(), g.size());
  le::gsPutStr(m, 99, "kept");
  using V = std::vector<std::string>;
  const struct {
    le::GsGraphEdit edit;
    V nodes, inputs, outputs;
  } cases[] = {{{.dropNodes = {false, true}, .dropPrgb = true}, {"a", "c"}, {"x"}, {"y"}},  // c lies past the mask
               {{.keepOnlyPrgb = true, .dropOutputs = true, .newName = "v", .newDims = {-1, 12, 8, 8}, .newField = 12},
                {"a", "b", "c"}, {"P_rgb"}, {"v"}},
               {{.newName = "v", .newDims = {-1, 12, 8, 8}, .newField = 11}, {"a", "b", "c"}, {"P_rgb", "x", "v"}, {"y"}}};
  for (const auto& c : cases) {
    Bytes out;
    le::gsRebuild(m, c.edit, out);
    EXPECT_EQ(std::tuple(names(out, 1), names(out, 11), names(out, 12)), std::tuple(c.nodes, c.inputs, c.outputs));
    EXPECT_EQ(std::string(out.end() - 7, out.end()), "\x9a\x06\x04kept");  // field 99 after the graph, verbatim
  }
  // raw_data wins over float_data.
  Bytes t;
  const float a = 7, raw[2] = {0.25f, -1};
  le::gsPutVarintField(t, 2, 1);  // FLOAT
  le::gsPutBytes(t, 4, &a, 4);
  le::gsPutBytes(t, 9, raw, 8);
  std::vector<float> f;
  ASSERT_TRUE(le::hcTensorFloats(t, f));
  EXPECT_EQ(f, (std::vector<float>{0.25f, -1}));
}

TEST(OnnxWire, MalformedBytesAtEveryPositionAreRefused) {
  const std::set<std::string> allowed = {kNoError, "onnx: bad varint", "onnx: truncated", "onnx: bad wire type"};
  // Models with initializers, attributes and subgraphs.
  for (const char* name : {"node/test_gridsample_border_padding", "node/test_if", "node/test_constant"}) {
    const Bytes model = readFile(kTestData / "data" / name / "model.onnx");
    for (size_t cut = 0; cut < model.size(); ++cut) {
      const Bytes prefix(model.begin(), model.begin() + cut);
      const std::string whole = readFields(prefix);
      ASSERT_TRUE(allowed.count(whole)) << name << " cut " << cut << ": " << whole;
      Bytes out;
      ASSERT_TRUE(allowed.count(errorOf([&] { le::gsRebuild(prefix, {}, out); })));
      for (const uint8_t b : {0x80, 0xFF, 0x0B, 0x03}) {
        Bytes bad = model;
        bad[cut] = b;
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
  const std::string trunc = "onnx: truncated", wire = "onnx: bad wire type", varint = "onnx: bad varint";
  const std::pair<Bytes, std::string> cases[] = {
      // Length exactly reaching the end, and one byte more.
      {{0x0A, 0x02, 'a', 'b'}, kNoError}, {{0x0A, 0x03, 'a', 'b'}, trunc},
      // Groups and the unused wire types.
      {{0x0B, 0, 0, 0, 0}, wire}, {{0x0C, 0, 0, 0, 0}, wire}, {{0x0E, 0, 0, 0, 0}, wire}, {{0x0F, 0, 0, 0, 0}, wire},
      // Ten-byte varints are the longest; an eleventh byte is refused.
      {ten, kNoError}, {{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, varint},
      // A continuation bit on the last byte, in a key, a value and a length.
      {{0x88}, varint}, {{0x08, 0x96}, varint}, {{0x0A, 0x80}, varint},
      // Fixed widths.
      {{0x0D, 1, 2, 3, 4}, kNoError}, {{0x0D, 1, 2, 3}, trunc},
      {{0x09, 1, 2, 3, 4, 5, 6, 7, 8}, kNoError}, {{0x09, 1, 2, 3, 4, 5, 6, 7}, trunc},
      // A huge length does not wrap the cursor.
      {{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}, trunc},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(readFields(cases[i].first), cases[i].second) << "case " << i;
  le::GsReader r(ten);
  le::GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.varint, ~uint64_t{0});
  EXPECT_EQ(f.raw.n, ten.size());
}

}  // namespace
