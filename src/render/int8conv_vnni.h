// Int8ConvVNNI: the quantised convolution of the "com.corvamel.int8" domain.
// Each call quantises the float activation to unsigned 8 bits over its own
// range, multiplies it with the node's signed 8-bit weights in 4-byte dot
// products into 32-bit sums, and dequantises with a per-output-channel weight
// scale and bias.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort
struct OrtKernelContext;
struct OrtKernelInfo;
struct OrtStatus;

namespace le {

// Adds the process-wide "com.corvamel.int8" domain, made on first use
// together with every other custom domain of the library (le_domains.h),
// to the options.
void registerInt8ConvVNNI(Ort::SessionOptions& options);
// Adds the domain's one operator to it.
void int8DomainOps(Ort::CustomOpDomain& domain);

// Instruction sequences for the u8 x s8 dot products, worst to best; every
// one gives the same 32-bit sums.
enum class Int8Dot { Scalar, Avx2, AvxVnni, Avx512Vnni };

Int8Dot bestInt8Dot();
bool int8DotSupported(Int8Dot dot);
const char* int8DotName(Int8Dot dot);

struct Int8ConvAttrs {
  int64_t strideH = 1, strideW = 1;
  int64_t padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
  int64_t dilationH = 1, dilationW = 1;
  int64_t group = 1;
};

class Int8ConvKernel {
 public:
  // From the node attributes "strides", "pads", "dilations" and "group";
  // a missing one throws the runtime's error.
  explicit Int8ConvKernel(const OrtKernelInfo* info);
  // With an explicit dot-product sequence, which must be supported here.
  Int8ConvKernel(const Int8ConvAttrs& attrs, Int8Dot dot);
  ~Int8ConvKernel();

  void Compute(OrtKernelContext* context);
  // Compute with failures returned as a status instead of thrown.
  OrtStatus* ComputeV2(OrtKernelContext* context);

  // Output shape [N, Cout, OH, OW] for X [N, Cin, H, W] and W [Cout, Cin/group, kh, kw].
  std::vector<int64_t> outputShape(const std::vector<int64_t>& xShape, const std::vector<int64_t>& wShape) const;
  // The whole operator over caller buffers; out holds outputShape() floats.
  // The weights are packed on the first call and reused afterwards.
  void run(const float* x, const std::vector<int64_t>& xShape, const int8_t* w, const std::vector<int64_t>& wShape,
           const float* wscale, const float* bias, float* out);

  Int8Dot dot() const { return dot_; }

 private:
  struct Packed;

  void pack(const int8_t* w, const std::vector<int64_t>& wShape);

  Int8ConvAttrs attrs_;
  Int8Dot dot_;
  std::once_flag packOnce_;
  std::unique_ptr<Packed> packed_;
};

}  // namespace le
