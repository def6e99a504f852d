// Streaming audio-to-expression: live 16 kHz speech in, one 63-float
// keypoint offset per 40 ms video frame out. Speech features from the shared
// front-end feed a streaming encoder (banded attention: each frame sees
// `left` frames back and `window` frames ahead per layer) and an
// autoregressive decoder. Work is incremental: every frame is featured,
// encoded and decoded once, and audio is released in 8-frame blocks so that
// the frames do not depend on how the host cuts its pushes.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <string>
#include <vector>

#include "audio/le_w2v.h"

namespace le {

// The calling thread's a2x error text (le_a2x_last_error).
std::string& a2xError();

class A2x {
 public:
  // Opens the bundle's a2x models (bundle: directory or container) with
  // threads intra-op threads (outside 1..pool::threads()-1: pool::threads()).
  // The speech front-end comes from $W2V_ONNX. Throws std::runtime_error.
  A2x(const std::string& bundle, int threads);
  A2x(const A2x&) = delete;
  A2x& operator=(const A2x&) = delete;

  void push(const float* pcm, int n);
  void finish() { u_.finished = true; }
  // Starts a new utterance; the template cursor starts at start (below 0:
  // where the next pull would have been), runs backwards for dir < 0, and
  // loops or ping-pongs over the template frames.
  void reset(int start, int dir, bool loop);
  // Frames ready to pull, producing a step of them first when it can.
  // Production errors go to a2xError() as "le_a2x extend: ...".
  int avail();
  // Pulls up to max frames: template index, template row, template row plus
  // offset, and the width value (0 without one). Null outputs are skipped.
  int pull(int* idx, float* base, float* out, float* wn, int max);
  // The whole utterance at once through the long-window front-end: F offset
  // rows into out (and F width values into wn when given). Returns F, 0 for
  // n < 1, -2 when F > maxFrames. Throws on model errors.
  int deltas(const float* pcm, int n, float* out, float* wn, int maxFrames);

  int nt() const { return nt_; }
  // Frames of the utterance once finished, else -1.
  int total() const;
  bool width() const { return width_; }
  void setEager(int eager) { eager_ = eager; }

 private:
  // One utterance's progress: its audio, features, per-frame encoder
  // contexts, width values and offsets, and the decoder's state.
  struct Utterance {
    std::vector<float> pcm;
    bool finished = false;
    W2vFeatures feats;
    std::vector<float> ctx, wn, offsets;
    int encoded = 0;   // E
    int produced = 0;  // P
    std::vector<float> prev, hstate;
  };

  size_t usableSamples(const Utterance& u) const;
  int audioFrames(const Utterance& u) const;
  int ready(const Utterance& u) const;
  void startState(Utterance& u) const;
  void extend(int target);
  void produce(Utterance& u, int target, bool shortPath);
  void encode(Utterance& u, const float* features, int frames, int audioFrames);
  void decode(Utterance& u, int frames);
  void primeSilence(int frames);
  int templateIndex(int j) const;

  Ort::Env env_;
  Ort::SessionOptions options_;
  Ort::Session encoder_{nullptr};
  Ort::Session decoder_{nullptr};
  Ort::Session* w2v_ = nullptr;

  int h_ = 256, window_ = 0, left_ = 0, layers_ = 6;
  int lookBack_ = 0, lookAhead_ = 0;
  int right_ = 12;         // LE_A2X_W2V_RIGHT: short trunk windows' look-ahead
  int rightReserve_ = 12;  // frames held back while live
  bool shortWindow_ = false;
  int npos_ = 0;
  std::vector<float> pos_, mean_, std_, template_;
  int nt_ = 0;
  std::vector<std::string> encoderOut_;
  bool width_ = false;

  Utterance u_;
  int pulled_ = 0;
  bool primed_ = false;
  std::vector<float> primedPrev_, primedH_;
  int start_ = 0, dir_ = 1;
  bool loop_ = true;
  int eager_ = -1;
};

}  // namespace le
