// Seam for a hand-written half-precision convolution backend that could stand
// in for ONNX Runtime on one director graph, on processors with 16-bit float
// vector arithmetic. This x86-64 build has none, so it answers unavailable and
// the renderer stays on ONNX Runtime's CPU provider.
#pragma once

#include <memory>
#include <string>

namespace le {

class ConvBackend {
 public:
  virtual ~ConvBackend() = default;

  // False in this build.
  static bool available();
  // Throws std::runtime_error "le_conv: built without NEON fp16 support".
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int threads);
  // Whether the graph is the one the backend implements; false without a backend.
  static bool graphSupported(const std::string& modelPath);
};

}  // namespace le
