// The log level of every ONNX Runtime environment the library creates: a
// failing run reaches the caller as an exception carrying the runtime's text,
// and the runtime's own log line would be a second, unprefixed copy of it on
// standard error.
#pragma once

#include <onnxruntime_c_api.h>

namespace le {

constexpr OrtLoggingLevel kOrtLogLevel = ORT_LOGGING_LEVEL_FATAL;

}  // namespace le
