// What the library's custom-operator kernels share: turning exceptions into
// runtime statuses, row bands on the kernel context's threads, and the
// descriptor of a float operator.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <exception>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace le {

// Runs f, turning what it throws into a status for the runtime.
template <class F>
OrtStatus* asStatus(F&& f) {
  try {
    f();
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::Status(e).release();
  } catch (const std::exception& e) {
    return Ort::Status(e).release();
  }
}

// The runtime's parallel-for hands each task over and waits for it inside a
// library ThreadSanitizer cannot see; these state those two edges for it.
#if defined(__SANITIZE_THREAD__)
inline void handOver(void* p) { __tsan_release(p); }
inline void takeOver(void* p) { __tsan_acquire(p); }
#else
inline void handOver(void*) {}
inline void takeOver(void*) {}
#endif

// Calls band(y0, y0 + 16) for every band of 16 rows of an H-row plane
// through the kernel context's parallel-for (the last band may reach past
// H). band must not throw: it runs on the runtime's threads.
template <class Band>
void parallelBands(const Ort::KernelContext& ctx, int H, const Band& band) {
  const auto task = [](void* data, size_t i) {
    takeOver(data);
    const int y0 = static_cast<int>(i) * 16;
    (*static_cast<const Band*>(data))(y0, y0 + 16);
    handOver(data);
  };
  void* data = const_cast<Band*>(&band);
  handOver(data);
  ctx.ParallelFor(task, static_cast<size_t>(H + 15) / 16, 0, data);
  takeOver(data);
}

// The descriptor of a CPU operator over Kernel with `inputs` float inputs
// and one float output, named `name`.
template <class Kernel, size_t inputs>
struct FloatCpuOp : Ort::CustomOpBase<FloatCpuOp<Kernel, inputs>, Kernel, true> {
  explicit FloatCpuOp(const char* name) : name_(name) {}
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
    return asStatus([&] { *kernel = new Kernel; });
  }
  const char* GetName() const { return name_; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return inputs; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }

 private:
  const char* name_;
};

}  // namespace le
