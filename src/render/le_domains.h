// The library's custom-operator domains, "com.corvamel" (GridSampleFast and
// its companions) and "com.corvamel.int8" (Int8ConvVNNI), made together once
// per process.
#pragma once

namespace Ort {
struct CustomOpDomain;
}  // namespace Ort

namespace le {

struct CustomDomains {
  Ort::CustomOpDomain* corvamel;
  Ort::CustomOpDomain* int8;
};

// The first call builds every domain with its operators and enters them all
// in ONNX Runtime's process-wide domain registry through one throwaway
// session, before any other session of the library can be created.
// Thread-safe; the domains live until the process ends.
const CustomDomains& customDomains();

}  // namespace le
