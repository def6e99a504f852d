#include "render/gridsample_fast.h"

#include <onnxruntime_cxx_api.h>

#include <cstring>
#include <stdexcept>

#include "render/le_domains.h"
#include "render/le_ort_kernel.h"
#include "render/onnx_wire.h"
#include "render/warp_director.h"

namespace le {

using namespace onnx_field;

bool gsIsRewritableGridSample(GsSlice node) {
  if (gsNodeOpType(node) != "GridSample" || !gsIsDefaultDomain(node)) return false;
  const std::string mode = gsFirstStr(gsNodeAttr(node, "mode"), kAttrS);
  const GsSlice padding = gsNodeAttr(node, "padding_mode");
  const GsSlice align = gsNodeAttr(node, "align_corners");
  return (mode == "bilinear" || mode == "linear") && !padding.empty() && gsFirstStr(padding, kAttrS) == "border" &&
         (align.empty() || gsAttrInt(align) == 0);
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model) {
  // Scanned first: malformed imports refuse the model before anything changes.
  const bool imported = gsHasOpsetImport(model, kCorvamelDomain);
  const size_t n = gsRetypeNodes(model, gsIsRewritableGridSample, "GridSampleFast", kCorvamelDomain, true);
  if (n > 0 && !imported) gsAddOpsetImport(model, kCorvamelDomain, 1);
  return n;
}

bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model) {
  bool found = false;
  gsEachBytes(gsGraphOf(model), kGraphNode, [&](GsSlice n) {
    found = found || (gsNodeOpType(n) == "GridSampleFast" && gsNodeDomain(n) == kCorvamelDomain);
  });
  return found;
}

namespace {

struct GSFKernel {
  // Stateless: every call reads its shapes from the inputs.
  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept {
    return asStatus([&] { compute(context); });
  }

 private:
  static void compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue x = ctx.GetInput(0);
    const Ort::ConstValue grid = ctx.GetInput(1);
    const std::vector<int64_t> shape = x.GetTensorTypeAndShapeInfo().GetShape();
    // Only the shape the director uses is computed; anything else would read
    // past the grid.
    if (shape.size() != 4 ||
        grid.GetTensorTypeAndShapeInfo().GetShape() != std::vector<int64_t>{shape[0], shape[2], shape[3], 2})
      throw std::runtime_error("com.corvamel::GridSampleFast: needs X [N, C, H, W] and grid [N, H, W, 2]");
    Ort::UnownedValue out = ctx.GetOutput(0, shape);
    const int C = static_cast<int>(shape[1]), H = static_cast<int>(shape[2]), W = static_cast<int>(shape[3]);
    const size_t plane = static_cast<size_t>(H) * W;
    const float* X = x.GetTensorData<float>();
    const float* g = grid.GetTensorData<float>();
    float* y = out.GetTensorMutableData<float>();
    for (int64_t n = 0; n < shape[0]; ++n)
      parallelBands(ctx, H, [&](int y0, int y1) {
        gridsample_fast_band(X + n * C * plane, g + n * 2 * plane, y + n * C * plane, C, H, W, y0, y1);
      });
  }
};

}  // namespace

void domainOps(Ort::CustomOpDomain& domain) {
  static const FloatCpuOp<GSFKernel, 2> gsf("GridSampleFast");
  domain.Add(&gsf);
  addWarpDirectorOp(domain);
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(*customDomains().corvamel); }

}  // namespace le
