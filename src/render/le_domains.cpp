#include "render/le_domains.h"

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <vector>

#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/onnx_wire.h"
#include "render/le_ort_log.h"

namespace le {
namespace {

// ONNX Runtime adds a custom domain to its process-wide registry with a
// check-then-add that two sessions created at the same moment can both pass,
// and the second one then throws. One session over a one-node graph, with
// every domain in its options, made while the domains themselves are made,
// enters them all before any other session can race for them.
void enterRuntimeRegistry(const CustomDomains& d) {
  using namespace onnx_field;
  std::vector<uint8_t> attrs, graph, opset, model;
  hcAttrS(attrs, "mode", "bilinear");
  hcAttrS(attrs, "padding_mode", "border");
  hcNode(graph, "GridSample", {"X", "Grid"}, "Y", "probe", attrs);
  const int64_t x[4] = {1, 1, 1, 1}, grid[4] = {1, 1, 1, 2};
  gsPutTensorValueInfo(graph, kGraphInput, "X", x, 4);
  gsPutTensorValueInfo(graph, kGraphInput, "Grid", grid, 4);
  gsPutTensorValueInfo(graph, kGraphOutput, "Y", x, 4);
  gsPutVarintField(model, 1, 8);  // ir_version
  gsPutVarintField(opset, kOpsetVersion, 17);
  gsPutBytes(model, kModelOpset, opset.data(), opset.size());
  gsPutBytes(model, kModelGraph, graph.data(), graph.size());
  rewriteGridSampleToFast(model);
  Ort::Env env(le::kOrtLogLevel, "le");
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(1);
  options.Add(*d.corvamel);
  options.Add(*d.int8);
  Ort::Session(env, model.data(), model.size(), options);
}

}  // namespace

const CustomDomains& customDomains() {
  // Sessions keep pointers into the domains: they are never released.
  static const CustomDomains domains = [] {
    const CustomDomains d{new Ort::CustomOpDomain("com.corvamel"), new Ort::CustomOpDomain("com.corvamel.int8")};
    domainOps(*d.corvamel);
    int8DomainOps(*d.int8);
    enterRuntimeRegistry(d);
    return d;
  }();
  return domains;
}

}  // namespace le
