// The shared speech front-end: per-frame speech features (12 layers x 768
// channels for every 640-sample video frame) from a self-supervised speech
// encoder. Its models are opened once per process and shared by every
// streaming handle. Two ways of running them: the long-window path runs the
// whole encoder on 8-second windows every 4 seconds; the short-window path
// runs a trunk on a 2-second window and a small head once per 8-frame block,
// placing each frame where the long window would have placed it.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <string>
#include <vector>

namespace le {

constexpr int kSamplesPerFrame = 640;  // 16 kHz mono, 25 frames per second
constexpr int kW2vLayers = 12;
constexpr int kW2vWidth = 768;
constexpr size_t kW2vFrameFloats = static_cast<size_t>(kW2vLayers) * kW2vWidth;
constexpr int kLongWindowSamples = 128000;  // 8 s
constexpr int kLongWindowFrames = 200;
constexpr int kLongWindowHop = 100;
constexpr int kShortWindowSamples = 32000;  // 2 s
constexpr int kShortBlockFrames = 8;
constexpr int kTrunkChannels = 640;
constexpr int kTrunkStepSamples = 80;

// Options of the audio models' sessions: intraThreads intra-op threads
// (le::pool::threads() below 1), one inter-op thread, every graph
// optimisation; noSpinning keeps idle intra-op threads from spinning.
Ort::SessionOptions audioSessionOptions(int intraThreads, bool noSpinning);

// Where the audio models' input tensors live: plain CPU memory.
const Ort::MemoryInfo& audioCpuMemory();

// The process-wide long-window session. The first successful path wins for
// the life of the process; later calls get that session whatever path they
// pass. nullptr when it cannot be opened.
Ort::Session* getSharedW2v(const std::string& path, int threads);

// True when the short-window trunk and head are deployed: found (from
// LE_A2X_W2V_WIN_ONNX and LE_A2X_W2V_HEAD_ONNX, else beside w2vPath) and
// opened. Decided once per process; later calls return the first answer.
bool getSharedW2vWin(int threads, const std::string& w2vPath);

// Size of the file in bytes; -1 for a null or empty path or a file that
// cannot be opened.
long long w2vFileBytes(const char* path);

// Writes the len samples of pcm (samples long) starting at sample first into
// out, normalised to zero mean and unit variance over the window; samples
// outside pcm count as 0.
void normaliseWindow(const float* pcm, size_t samples, long long first, size_t len, float* out);

// Runs a long-window encoder on one normalised window of kLongWindowSamples;
// the result is "audio_emb" [12, 200, 768] (layer, frame, channel).
Ort::Value runLongWindow(Ort::Session& encoder, float* window);

// Features of 200 frames of silence (frame-major, kW2vFrameFloats each),
// computed once per process with the shared long-window session.
const std::vector<float>& silenceFeatures(Ort::Session& encoder);

// One utterance's features, frame-major, kW2vFrameFloats per frame, stored
// after rounding to half precision. Frames below `featured` are final.
struct W2vFeatures {
  std::vector<float> data;
  int featured = 0;
  int next = 0;  // next long window start or next short block start (frames)

  // Grows the store to hold frames frames (new frames are zero).
  void reserveFrames(int frames);
  const float* frame(int f) const { return data.data() + static_cast<size_t>(f) * kW2vFrameFloats; }
  float* frame(int f) { return data.data() + static_cast<size_t>(f) * kW2vFrameFloats; }
  void clear() {
    data.clear();
    featured = next = 0;
  }
};

// The audio a handle can feature: every pushed sample, how many of them are
// released for use while live, and the frame count they make.
struct W2vAudio {
  const float* pcm = nullptr;
  size_t pushed = 0;
  size_t usable = 0;
  int audioFrames = 0;
  bool finished = false;
};

// Long-window path: features up to target frames. While live a window whose
// frames are not all covered by audio beyond the right reserve keeps what it
// can and is run again on a later call.
void fillFeatLong(Ort::Session& encoder, W2vFeatures& feats, const W2vAudio& audio, int rightReserve, int target);

// Short-window path (getSharedW2vWin must have said true): features up to
// target frames in 8-frame blocks, each block's trunk window ending right
// frames beyond the block. While live it stops at the first block
// whose window is not covered by usable audio.
void fillFeatWin(W2vFeatures& feats, const W2vAudio& audio, int right, int target);

}  // namespace le
