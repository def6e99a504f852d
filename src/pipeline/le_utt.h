// The utterance pipeline's handle, shared by its two modules: the pipeline
// itself (le_utt.cpp: run, warm-up, dispatch and paste threads) and its
// mouth-borrow attachment (le_utt_tessera.cpp: the borrow thread between the
// render and the paste stages).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "borrow/teeth_pass.h"
#include "le/le_a2x.h"
#include "le/le_motion.h"
#include "le/le_utt.h"
#include "pipeline/le_ctx.h"

namespace le::tessera {
class StreamBorrow;
}

namespace le::utt {

inline constexpr int kKp = 63;
inline constexpr int kRing = 8;     // finished frames waiting for the host
inline constexpr int kKpRing = 32;  // keypoint frames between the model and the renderer
inline constexpr size_t kPasteQueue = 8;
inline constexpr size_t kBorrowQueue = 2;  // each hand-off into and out of the borrow thread
inline constexpr int kLowWater = 8;        // keypoint frames below which the model is asked for more
inline constexpr int kEagerLow = 3, kEagerHigh = 24;
inline constexpr auto kWait = std::chrono::milliseconds(2);  // every wait, so stop and interrupt are seen at once

enum Kind { kIdle = 0, kSpeech = 1, kRampKind = 2 };
enum State { kStateIdle = 0, kStateStart = 1, kStateSpeech = 2, kStateRamp = 3 };

using Keypoints = std::array<float, kKp>;

inline double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The keypoints at kp, zeros for none.
Keypoints keypointsOf(const float* kp);

// The chosen speech-to-keypoint family behind the calls the pipeline makes.
struct AudioModel {
  bool a2x = true;
  void* h = nullptr;

  le_a2x* A() const { return static_cast<le_a2x*>(h); }
  le_motion* M() const { return static_cast<le_motion*>(h); }
  void reset(int start, int dir) const { a2x ? le_a2x_reset(A(), start, dir, 1) : le_motion_reset(M(), start, dir, 1); }
  void setEager(int e) const { a2x ? le_a2x_set_eager(A(), e) : le_motion_set_eager(M(), e); }
  void push(const float* pcm, int n) const { a2x ? (void)le_a2x_push(A(), pcm, n) : (void)le_motion_push(M(), pcm, n); }
  void finish() const { a2x ? le_a2x_finish(A()) : (void)le_motion_finish(M()); }
  int avail() const { return a2x ? le_a2x_avail(A()) : le_motion_avail(M()); }
  int pull(int* idx, float* base, float* out, int max) const {
    return a2x ? le_a2x_pull(A(), idx, base, out, max) : le_motion_pull(M(), idx, base, out, max);
  }
  int total() const { return a2x ? le_a2x_total(A()) : le_motion_total(M()); }
  void destroy() const { a2x ? le_a2x_destroy(A()) : le_motion_destroy(M()); }
};

// One finished frame in the output ring.
struct Record {
  std::vector<uint8_t> rgb;
  uint64_t serial = 0;
  int kind = kIdle, si = 0, frameNo = -1;
  Keypoints kp{};
};

// A request to the dispatch thread and its reply.
struct Request {
  AudioModel model;
  std::vector<float> audio;
  bool reset = false;
  int resetStart = 0;  // template frame; the motion always runs forward
  int eager = 0;       // 0 leaves it unchanged
  bool finish = false;
  int largest = 0;
  uint64_t epoch = 0;
};

struct Reply {
  std::vector<int> si = std::vector<int>(kKpRing);
  std::vector<float> base = std::vector<float>(size_t(kKpRing) * kKp),
                     driven = std::vector<float>(size_t(kKpRing) * kKp);
  int asked = 0, pulled = 0, left = 0, total = -1;
  uint64_t epoch = 0;
};

}  // namespace le::utt

struct le_utt {
  using Keypoints = le::utt::Keypoints;

  // One queued paste.
  struct PasteJob {
    std::vector<float> crop;
    bool hasCrop = false;
    int kind = le::utt::kIdle, si = 0, frameNo = -1;
    Keypoints kp{};
    uint64_t epoch = 0;
    double time = 0;
  };

  le_utt(le_ctx* c, const le_utt_opts& o);
  ~le_utt();

  // Threads.
  void run();
  void warm();
  void dispatchLoop();
  void pasteLoop();
  void tessLoop();

  // Run-thread steps.
  void onInterrupt(uint64_t newEpoch);
  void startRamp(int si, const float* kp, int frames);
  bool feed(uint64_t ahead, bool chunkWait);
  // Every frame of the utterance has come from the model.
  bool finished() const {
    return finishSent && !outstanding && (modelDry || (modelTotal >= 0 && modelPulled >= modelTotal));
  }
  bool collectJob();
  void waitReply();
  bool renderSpeech(int n);
  void produceRamp();
  bool produceIdle();
  void setState(int s);

  // Hand-offs and the paste.
  bool enqueue(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc);
  bool enqueueRaw(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc);
  bool enqueuePipe(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc);
  bool enqueueTess(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc);
  // A job of the run thread's current epoch; speech jobs are stamped with
  // their creation time t0.
  PasteJob makeJob(const float* crop, int kind, int si, int frameNo, const float* kp, double t0) const;
  // Appends job to q once q holds fewer than bound jobs (waiting on room),
  // then wakes q's consumer; false when the pipeline stops or the job's
  // utterance is interrupted first.
  bool handOff(std::deque<PasteJob>& q, size_t bound, std::condition_variable& room, std::condition_variable& wake,
               PasteJob&& job);
  bool pasteInto(const float* crop, int kind, int si, int frameNo, const Keypoints& kp, uint64_t epoch, double time,
                 double* acc, bool onPasteThread);
  void noteRenderFail(const char* stage, const char* message, bool fatal);
  void stageReport();

  // The mouth-borrow stage (borrow thread).
  void tessAttach(std::shared_ptr<le::tessera::StreamBorrow> borrow, std::string geometry);
  // One job through the borrow; off: the borrow had failed when the job was
  // taken, so the job goes on untouched.
  void tessStage(PasteJob& job, bool off);
  bool tessEmitHeldP(const le::tessera::FrameResult& result);
  bool tessDrain();
  bool tessDrainP();
  // The pass's answer written into the held crop and counted; a
  // pass-through, or a window that cannot be written back, turns the borrow
  // off and leaves the crop as rendered. True while the borrow is on.
  bool tessComplete(const le::tessera::FrameResult& result);
  void tessFail(const std::string& reason);
  // The borrow thread's finished frames to the paste stage: the paste
  // thread's queue, or the paste itself when there is no paste thread.
  bool pushPaste(PasteJob&& job);

  // Configuration.
  le_ctx* ctx;
  std::string motionDir, motionEp, steadyModel;
  int threads, eager, rampFrames, interruptRampFrames;
  bool hybrid;
  double gapMs;
  bool a2x, pipelined;
  std::vector<float> tmpl;  // NT rows of 63, or empty
  int nt, width, height;
  size_t cropFloats;

  // Guarded by mu (cv wakes the run thread and waiters for frames).
  std::mutex mu;
  std::condition_variable cv;
  std::vector<float> audio;
  // Where in audio the host ended an utterance: what follows an end belongs
  // to the next utterance, however soon it was pushed; nextStartMs is the
  // time of that utterance's first push (0 until there is one).
  struct End {
    size_t at;
    double nextStartMs;
  };
  std::deque<End> ends;
  bool stop = false;
  uint64_t epoch = 0;
  double lastPushMs = 0, firstPushMs = 0;
  bool firstPush = false;
  le::utt::AudioModel model;
  bool ready = false, failed = false;
  std::string failure;
  std::unique_ptr<le::Renderer> chunk;  // published with the model
  std::array<le::utt::Record, le::utt::kRing> ring;
  uint64_t produced = 0, delivered = 0, serial = 0;
  le::utt::Record lastDelivered;  // pixels unused: kind, target and keypoints of the last
                                  // pulled frame
  bool haveDelivered = false;
  le_utt_stats stats{};
  int64_t failures = 0;
  std::string statusText;
  bool fatal = false;
  int64_t renderCalls = 0, jobsB = 0, jobsC = 0, latFrames = 0;
  double stageA = 0, stageAWork = 0, stageAWait = 0, stageB = 0, stageC = 0, latSum = 0;
  double uttStartMs = 0;
  std::deque<PasteJob> pasteQ;
  std::condition_variable pasteCv;
  bool pasteStop = false;
  // The mouth borrow: the attached stream borrow (none until an attach), its
  // queue and what the host reads back. tessGen counts attaches, so that the
  // borrow thread notices a replacement between two jobs.
  std::shared_ptr<le::tessera::StreamBorrow> tess;
  uint64_t tessGen = 0;
  std::deque<PasteJob> tessQ;
  std::condition_variable tessCv;
  bool tessStop = false, tessStarted = false;
  int64_t tessComposited = 0, tessPassed = 0;
  std::string tessReason, tessGeometry;
  bool tessFailed = false;          // sticky until the next attach
  le::tessera::TeethStats tessTotals;  // the pass's own, copied after each frame

  // Guarded by dmu: the mailbox.
  std::mutex dmu;
  std::condition_variable dcv;
  le::utt::Request req;
  le::utt::Reply reply;
  bool requested = false, done = false, dstop = false;

  // Mirrors of stop and epoch for the run thread's waits on the mailbox.
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> epochNow{0};

  // Owned by the run thread.
  int state = le::utt::kStateIdle;
  int idleCursor = 0;
  uint64_t seenEpoch = 0;
  std::vector<int> kSi = std::vector<int>(le::utt::kKpRing);
  std::vector<float> kBase = std::vector<float>(size_t(le::utt::kKpRing) * le::utt::kKp),
                     kDriven = std::vector<float>(size_t(le::utt::kKpRing) * le::utt::kKp);
  int kr = 0, kf = 0;  // consumed and filled
  std::vector<float> pending;
  bool inUtt = false, endSignalled = false, finishSent = false, resetPending = false, outstanding = false;
  bool spoke = false;
  bool modelBusy = false, modelDry = false;
  int modelLeft = 0, modelTotal = -1, modelPulled = 0, speechIndex = 0, lastEagerSent = 0,
      hybridEager = le::utt::kEagerLow;
  int lastSpokenSi = 0;
  double nextUttStartMs = 0;  // first push of the utterance after the last end taken
  Keypoints lastSpoken{};
  Keypoints rampOffset{};
  int rampT = 0, rampC = 0, rampR = 0;
  le::Renderer* chunkR = nullptr;
  le::utt::AudioModel readyModel;

  // Owned by the borrow thread: the stream borrow in use (the attached one
  // as of the last job), the crop whose mouth is still inside the pass, and
  // the segment (interrupt epoch) the pass's frames belong to.
  std::shared_ptr<le::tessera::StreamBorrow> tessUse;
  uint64_t tessUseGen = 0;
  PasteJob tessHeld;
  bool tessHolding = false;
  uint64_t tessSegment = 0;

  std::thread runT, warmT, dispatchT, pasteT, tessT;
};
