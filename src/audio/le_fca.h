// The FCA stream: a recurrent model that maps a short context of speech
// features (the mean of six middle layers of the long-window speech encoder,
// centred by a running mean of the voiced frames) to one 63-float keypoint
// offset per video frame, one whole utterance per call.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <string>

namespace le {

// The calling thread's fca error text (le_fca_last_error).
std::string& fcaError();

class Fca {
 public:
  // Opens the speech encoder and the FCA model, each its own session, with
  // threads intra-op threads (below 1: pool::threads()). Throws.
  Fca(const std::string& speechModel, const std::string& fcaModel, int threads);

  // Writes ceil(n / 640) offset rows of 63 floats to out and returns their
  // count; 0 for n < 1. Every call starts from the zero state. The caller
  // checks that out holds the frames. Throws on model errors.
  int deltas(const float* pcm, int n, float* out);

 private:
  Ort::Env env_;
  Ort::SessionOptions options_;
  Ort::Session speech_{nullptr};
  Ort::Session fca_{nullptr};
  Ort::MemoryInfo mem_{nullptr};
};

}  // namespace le
