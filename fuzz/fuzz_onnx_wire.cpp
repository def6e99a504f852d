// The ONNX wire reader and the rewrites built on it, on arbitrary bytes: they
// may refuse with one of the reader's messages, never crash or read outside
// the buffer; an accepted model rebuilds byte-identical with an empty edit.
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/onnx_wire.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Every field at every depth that parses as a message.
void walk(le::GsSlice s, int depth) {
  le::GsReader r(s);
  le::GsField f;
  while (r.next(f)) {
    check(f.raw.p >= s.p && f.raw.p + f.raw.n <= s.p + s.n);
    if (f.wire == 2 && depth < 8) {
      try {
        walk(f.payload, depth + 1);
      } catch (const std::runtime_error&) {
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> model(data, data + size);
  try {
    walk(model, 0);
    std::vector<uint8_t> out;
    le::gsRebuild(model, {}, out);
    // Only a non-minimal length of the graph field can change, and only shrink.
    check(out.size() <= model.size());
    std::vector<uint8_t> again;
    le::gsRebuild(out, {}, again);
    check(again == out);
    const le::GsSlice graph = le::gsGraphOf(model);
    std::vector<le::GsNodeInfo> nodes;
    std::set<std::string> inits, inputs;
    le::gsReadGraph(graph, nodes, inits, inputs);
    for (const auto& n : nodes) {
      (void)le::hcReadAttrs(n.raw);
      std::vector<float> f;
      (void)le::hcTensorFloats(le::hcConstValue(n.raw), f);
    }
    int64_t first = 0, last = 0;
    int count = 0;
    for (const std::string& name : inputs) (void)le::ldInputDims(graph, name, first, last, count);
    std::vector<uint8_t> rewritten = model;
    const size_t n = le::rewriteGridSampleToFast(rewritten);
    check((n == 0) == (rewritten == model));
    if (n > 0) {
      check(le::graphHasBakedGridSampleFast(rewritten));
      check(le::rewriteGridSampleToFast(rewritten) == 0);
    }
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    check(what == "onnx: bad varint" || what == "onnx: truncated" || what == "onnx: bad wire type");
  }
  return 0;
}
