// The motion generator: speech in, driving keypoints out, through whole
// motion sequences generated 80 frames at a time from speech features,
// emotion and eye conditioning, each frame turned into keypoints through the
// template frame's pose and a stitching network. The C functions le_motion_*
// (le/le_motion.h) wrap one MotionGenerator each.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace le {

// The expectation of a 66-bin angle classifier, in degrees: the softmax of
// the logits weighted by bin centres 3 i - 97.5.
double bin66(const float* logits);

// The rotation whose rows turn a keypoint row vector: the transpose of
// Rz(a3) Ry(a2) Rx(a1), angles in degrees, row-major.
void poseToR(double a1, double a2, double a3, double r[9]);

class MotionGenerator {
 public:
  static constexpr int kDim = 265;      // one motion frame (the keypoint state)
  static constexpr int kPoseDims = 202; // scale, three angle classifiers, translation
  static constexpr int kCond = 1103;    // one conditioning row
  static constexpr int kChunk = 80;     // frames the motion model makes per run
  static constexpr int kStep = 70;      // chunk starts; the other 10 cross-fade
  static constexpr int kHoldBack = 10;

  // Reads the motion directory and opens its three models with threads
  // intra-op threads (< 1: le::pool::threads()) on ep ("" CPU, "coreml[:unit]"
  // with a CPU fallback). Throws std::runtime_error naming the file or key.
  MotionGenerator(const std::string& dir, int threads, const std::string& ep);
  ~MotionGenerator();
  MotionGenerator(const MotionGenerator&) = delete;
  MotionGenerator& operator=(const MotionGenerator&) = delete;

  void push(const float* pcm, int n);
  // Ends the utterance: the final frame count is the pushed audio in
  // 640-sample frames, a partial last frame counting as one.
  void finish();
  int avail();
  // Writes up to max frames: template index, template keypoints (63) and
  // driving keypoints (63) each. Returns the count.
  int pull(int* idx, float* base, float* out, int max);
  void reset(int start, int dir, bool loop);
  void setEager(int eager) { eager_ = eager; }
  bool finished() const { return finished_; }
  int total() const { return finished_ ? final_ : -1; }
  int nt() const { return nt_; }

  // Inspection of the committed state (speculative rows and tails excluded).
  int conditioningRows() const { return rows_; }
  const float* conditioningRow(int j) const { return cond_.data() + static_cast<size_t>(j) * kCond; }
  int chunks() const { return committed_.chunks; }
  std::vector<float> committedMotion() const;  // frames x kDim

 private:
  struct Impl;
  struct Chunking {
    int chunks = 0;
    std::vector<float> kp;
  };

  void pump();
  void maybeAdvance();
  void advance(int audio);
  int available() const;
  int audioFrames() const;
  void processWindow(int w, bool committed);
  void runChunk(Chunking& state, int start, int end);
  void smooth(int from, int to);
  void buildFinal();
  void dropSpeculativeRows();
  void restoreTail();
  void emitFrame(int j, int t, float* base, float* out);
  void resetUtterance();

  std::unique_ptr<Impl> impl_;
  int nt_ = 0, nEmo_ = 0;
  float sBridge_ = 1.0f, deltaPitch_ = 0.0f;

  // Utterance state.
  std::vector<float> pcm_;
  bool finished_ = false;
  int final_ = 0;
  int nextWindow_ = 0;
  std::vector<float> cond_;  // committed rows, then the speculative ones
  int rows_ = 0;              // committed
  std::vector<float> motion_;  // M x kDim
  int frames_ = 0;             // M
  Chunking committed_;         // chunks run and the keypoint state the next starts from
  bool finalBuilt_ = false;
  std::vector<float> ref_;  // expression of the first emitted frame
  bool refSet_ = false;
  int pulled_ = 0;

  // Eager production.
  int eager_ = 0;
  bool eagerRan_ = false;
  int lastAdvance_ = 0;  // audio frames at the last advance
  bool dirty_ = false;   // a real chunk landed since
  int frontier_ = 0;
  double advanceMs_ = -1.0;  // moving average; < 0 before the first sample
  bool tailHeld_ = false;
  int savedFrames_ = 0;
  std::vector<float> savedTail_;

  // Template cursor.
  int cursor_ = 0, direction_ = 1;
  bool loop_ = true;
};

}  // namespace le
