// The utterance pipeline: speech pushed by the host becomes keypoints on the
// dispatch thread, crops and pasted frames on the run (and paste) thread, and
// finished frames in a ring of 8 that the host pulls; while no speech plays
// the ring carries the driver video itself.
#include "pipeline/le_utt.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_manifest.h"
#include "driver/le_files.h"
#include "kernels/le_c_error.h"

using namespace le::utt;

namespace {

std::string& uttError() {
  thread_local std::string g_err;
  return g_err;
}

}  // namespace

Keypoints le::utt::keypointsOf(const float* kp) {
  Keypoints k{};
  if (kp) std::memcpy(k.data(), kp, sizeof k);
  return k;
}

le_utt::le_utt(le_ctx* c, const le_utt_opts& o)
    : ctx(c),
      motionDir(o.motion_dir ? o.motion_dir : ""),
      motionEp(o.motion_ep ? o.motion_ep : ""),
      threads(o.threads < 1 ? c->threads : o.threads),
      nt(c->manifest.NT),
      width(c->manifest.W),
      height(c->manifest.H),
      cropFloats(size_t(3) * c->manifest.crop * c->manifest.crop) {
  if (motionDir.empty()) throw std::runtime_error("opts.motion_dir required");
  for (Record& r : ring) r.rgb.assign(size_t(width) * height * 3, 0);

  a2x = le::canOpen(le::resolveMember(motionDir, "a2x_enc_stream.onnx"));
  pipelined = a2x;
  if (const char* v = std::getenv("LE_UTT_PIPELINE_PASTE")) pipelined = std::atoi(v) != 0;

  steadyModel = o.steady_model && o.steady_model[0] ? o.steady_model : "b24_fp32";
  if (const char* v = std::getenv("LE_STEADY_MODEL")) steadyModel = v;
  const char* hy = std::getenv("LE_UTT_HYBRID");
  hybrid = o.eager == -2 || (o.eager < 1 && hy && hy[0] && std::strcmp(hy, "0") != 0);
  eager = hybrid ? kEagerLow : (o.eager >= 1 ? o.eager : -1);
  lastEagerSent = eager;
  gapMs = o.gap == 0 ? 600.0 : (o.gap < 0 ? -1.0 : o.gap * 1000.0);
  rampFrames = o.ramp_frames < 1 ? 6 : o.ramp_frames;
  interruptRampFrames = o.interrupt_ramp_frames < 1 ? 4 : o.interrupt_ramp_frames;

  const std::string tmplPath = le::resolveMember(motionDir, "xs_target.bin");
  if (le::canOpen(tmplPath)) tmpl = le::readFloats(tmplPath);
  if (tmpl.size() < size_t(nt) * kKp) tmpl.clear();  // too short to ramp over every target frame

  runT = std::thread(&le_utt::run, this);
  warmT = std::thread(&le_utt::warm, this);
  dispatchT = std::thread(&le_utt::dispatchLoop, this);
  if (pipelined) pasteT = std::thread(&le_utt::pasteLoop, this);
}

le_utt::~le_utt() {
  {
    const std::lock_guard<std::mutex> lock(mu);
    stop = true;
    stopping = true;
  }
  cv.notify_all();
  {
    const std::lock_guard<std::mutex> lock(mu);
    pasteStop = true;
    tessStop = true;
  }
  pasteCv.notify_all();
  tessCv.notify_all();
  // The borrow thread first: it may be waiting for room in the paste queue.
  if (tessT.joinable()) tessT.join();
  if (pasteT.joinable()) pasteT.join();
  if (runT.joinable()) runT.join();
  if (warmT.joinable()) warmT.join();
  {
    const std::lock_guard<std::mutex> lock(dmu);
    dstop = true;
  }
  dcv.notify_all();
  if (dispatchT.joinable()) dispatchT.join();
  if (model.h) model.destroy();
  if (std::getenv("LE_UTT_STAGE_REPORT")) stageReport();
}

void le_utt::stageReport() {
  const auto per = [](double sum, int64_t n) { return n > 0 ? sum / double(n) : 0.0; };
  const long long speech = static_cast<long long>(stats.speech_frames_delivered);
  const int pipe = tessStarted ? 1 : 0;
  if (jobsC > 0)
    std::fprintf(stderr,
                 "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f "
                 "stageA_work_ms=%.3f "
                 "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f "
                 "deliver_lat_ms=%.3f over %lld speech frames\n",
                 pipe, static_cast<long long>(jobsB), static_cast<long long>(jobsC), per(stageA, renderCalls),
                 per(stageAWork, renderCalls), per(stageAWait, renderCalls), per(stageB, jobsB), per(stageC, jobsC),
                 per(latSum, latFrames), speech);
  else
    std::fprintf(stderr,
                 "[le_utt-stage] MEASURED NOTHING \xe2\x80\x94 the stage "
                 "report was asked for and the paste-job counter "
                 "never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech "
                 "frames delivered). stageA/stageB/stageC and "
                 "the deliver latency are NOT reported rather than reported as "
                 "zero: on this path the paste does not "
                 "run through the counted queue.\n",
                 pipe, static_cast<long long>(jobsB), speech);
}

void le_utt::noteRenderFail(const char* stage, const char* message, bool isFatal) {
  const std::string ep = ctx->renderer ? ctx->renderer->ep() : std::string("unknown");
  const std::lock_guard<std::mutex> lock(mu);
  ++failures;
  statusText = "ep=" + ep + " " + stage + ": " + (message && message[0] ? message : "unknown failure");
  if (isFatal) fatal = true;
}

void le_utt::setState(int s) {
  if (s == state) return;
  state = s;
  const std::lock_guard<std::mutex> lock(mu);
  stats.state = s;
}

// ---------------------------------------------------------------------------
// Warm-up and dispatch threads

void le_utt::warm() {
  AudioModel m;
  m.a2x = a2x;
  m.h = a2x ? static_cast<void*>(le_a2x_create(motionDir.c_str(), threads))
            : static_cast<void*>(le_motion_create(motionDir.c_str(), threads, motionEp.c_str()));
  if (!m.h) {
    const std::string text = a2x ? le_a2x_last_error() : le_motion_last_error();
    {
      const std::lock_guard<std::mutex> lock(mu);
      failed = true;
      failure = text;
    }
    cv.notify_all();
    return;
  }
  m.setEager(eager);

  std::unique_ptr<le::Renderer> steady;
  if (steadyModel != "-") {
    try {
      steady = std::make_unique<le::Renderer>(ctx->manifest, ctx->identity, steadyModel, ctx->threads, ctx->ep);
    } catch (const std::exception&) {
      // No chunk graph in this bundle: speech renders one frame at a time.
    }
    const std::string frameEp = ctx->renderer ? ctx->renderer->ep() : "";
    if (steady && frameEp.rfind("coreml-native", 0) == 0 && steady->ep().rfind("coreml-native", 0) != 0) {
      std::fprintf(stderr,
                   "[le_utt] steady chunk renderer '%s' DROPPED (rendering "
                   "b1-only): this frame graph runs on ep=%s "
                   "while the chunk graph fell back to ep=%s. A chunk that "
                   "gives up the bundle's own CoreML director "
                   "costs MORE per frame than the per-frame path it was meant "
                   "to amortize, and letting timing "
                   "choose between two runtimes makes the delivered pixels "
                   "depend on scheduling.\n",
                   steadyModel.c_str(), frameEp.c_str(), steady->ep().c_str());
      steady.reset();
    }
  }

  if (ctx->drive.frames > 0) {
    const int32_t si = ctx->drive.si[0];
    const float* xs = ctx->drive.xs.data();
    const float* xd = ctx->drive.xd.data();
    for (le::Renderer* r : {ctx->renderer.get(), steady.get()}) {
      if (!r) continue;
      try {
        r->render(&si, xs, xd, 1);
      } catch (const std::exception& e) {
        noteRenderFail("warm-up", e.what(), false);
      } catch (...) {
        noteRenderFail("warm-up", nullptr, false);
      }
    }
  }

  {
    const std::lock_guard<std::mutex> lock(mu);
    model = m;
    chunk = std::move(steady);
    ready = true;
  }
  cv.notify_all();
}

void le_utt::dispatchLoop() {
  Reply out;
  for (;;) {
    Request q;
    {
      std::unique_lock<std::mutex> lock(dmu);
      while (!requested && !dstop) dcv.wait_for(lock, kWait);
      if (dstop) return;
      q = std::move(req);
      requested = false;
    }
    const AudioModel& m = q.model;
    if (q.reset) m.reset(q.resetStart, 1);
    if (q.eager != 0) m.setEager(q.eager);
    if (!q.audio.empty()) m.push(q.audio.data(), static_cast<int>(q.audio.size()));
    if (q.finish) m.finish();
    const int avail = std::max(0, m.avail());
    int pulled = 0;
    if (q.largest >= 1 && avail >= 1)
      pulled = std::max(0, m.pull(out.si.data(), out.base.data(), out.driven.data(), std::min(q.largest, avail)));
    const int total = m.total();
    {
      const std::lock_guard<std::mutex> lock(dmu);
      out.asked = q.largest;
      out.pulled = pulled;
      out.left = std::max(0, avail - pulled);
      out.total = total;
      out.epoch = q.epoch;
      std::swap(reply, out);
      done = true;
    }
    dcv.notify_all();
    cv.notify_all();
  }
}

// ---------------------------------------------------------------------------
// Run thread

bool le_utt::feed(uint64_t ahead, bool chunkWait) {
  const int waiting = kf - kr;
  const bool needEnd = endSignalled && !finishSent;
  // The model produces a step per call while its audio allows; once a reply
  // brings nothing, only new audio or the end can make more.
  const bool poll = modelBusy && !finished() && (waiting < kLowWater || chunkWait);
  if (pending.empty() && !needEnd && !poll && !resetPending) return false;

  int eagerNow = lastEagerSent;
  if (hybrid) {
    if (hybridEager == kEagerLow && ahead > 23) hybridEager = kEagerHigh;
    if (hybridEager == kEagerHigh && ahead <= 11) hybridEager = kEagerLow;
    eagerNow = hybridEager;
  }
  {
    const std::lock_guard<std::mutex> lock(dmu);
    req.model = readyModel;
    req.audio.swap(pending);
    req.reset = resetPending;
    req.resetStart = idleCursor;
    req.eager = eagerNow != lastEagerSent ? eagerNow : 0;
    req.finish = needEnd;
    req.largest = kKpRing - waiting;
    req.epoch = seenEpoch;
    requested = true;
    done = false;
  }
  pending.clear();
  dcv.notify_all();
  lastEagerSent = eagerNow;
  resetPending = false;
  if (needEnd) finishSent = true;
  outstanding = true;
  return true;
}

void le_utt::waitReply() {
  std::unique_lock<std::mutex> lock(dmu);
  while (!done && !stopping && epochNow == seenEpoch) dcv.wait_for(lock, kWait);
}

bool le_utt::collectJob() {
  Reply got;
  {
    const std::lock_guard<std::mutex> lock(dmu);
    if (!done) return false;
    done = false;
    std::swap(got, reply);
  }
  outstanding = false;
  if (got.epoch != seenEpoch) return true;  // a reply of the interrupted utterance
  modelLeft = got.left;
  modelTotal = got.total;
  modelPulled += got.pulled;
  // After the end, a step that brings nothing means the model has no more.
  if (finishSent && got.pulled == 0 && got.left == 0 && got.asked > 0) modelDry = true;
  modelBusy = got.pulled > 0 || got.left > 0 || (finishSent && !finished());
  if (kf + got.pulled > kKpRing) {
    const int waiting = kf - kr;
    std::memmove(kSi.data(), kSi.data() + kr, waiting * sizeof(int));
    std::memmove(kBase.data(), kBase.data() + size_t(kr) * kKp, size_t(waiting) * kKp * sizeof(float));
    std::memmove(kDriven.data(), kDriven.data() + size_t(kr) * kKp, size_t(waiting) * kKp * sizeof(float));
    kr = 0;
    kf = waiting;
  }
  std::memcpy(kSi.data() + kf, got.si.data(), got.pulled * sizeof(int));
  std::memcpy(kBase.data() + size_t(kf) * kKp, got.base.data(), size_t(got.pulled) * kKp * sizeof(float));
  std::memcpy(kDriven.data() + size_t(kf) * kKp, got.driven.data(), size_t(got.pulled) * kKp * sizeof(float));
  kf += got.pulled;
  return true;
}

void le_utt::startRamp(int si, const float* kp, int frames) {
  const float* t = &tmpl[size_t(si) * kKp];
  for (int k = 0; k < kKp; ++k) rampOffset[k] = kp[k] - t[k];
  idleCursor = rampT = (si + 1) % nt;
  rampR = rampC = frames;
  setState(kStateRamp);
}

void le_utt::onInterrupt(uint64_t newEpoch) {
  Record last;
  bool have;
  {
    const std::lock_guard<std::mutex> lock(mu);
    if (audio.empty()) firstPush = false;
    have = haveDelivered;
    last.kind = lastDelivered.kind;
    last.si = lastDelivered.si;
    last.kp = lastDelivered.kp;
  }
  seenEpoch = newEpoch;
  kr = kf = 0;
  pending.clear();
  inUtt = endSignalled = finishSent = resetPending = spoke = false;
  modelLeft = modelPulled = speechIndex = 0;
  modelTotal = -1;
  modelBusy = modelDry = false;
  hybridEager = kEagerLow;
  rampC = 0;
  if (have && last.kind == kIdle) {
    idleCursor = (last.si + 1) % nt;
    setState(kStateIdle);
  } else if (have && !tmpl.empty()) {
    startRamp(last.si, last.kp.data(), interruptRampFrames);
  } else {
    setState(kStateIdle);
  }
}

void le_utt::run() {
  std::vector<float> taken;
  for (;;) {
    bool endTaken = false, haveModel = false;
    double lastPush = 0, firstPushAt = 0;
    uint64_t ep = 0, ringCount = 0;
    size_t queueLen = 0;
    taken.clear();
    const double takenStartMs = nextUttStartMs;  // when what is taken now starts an utterance
    {
      const std::lock_guard<std::mutex> lock(mu);
      if (stop) return;
      // A finished utterance's successor waits for its end and ramp.
      if (state != kStateRamp && !(inUtt && endSignalled)) {
        if (ends.empty()) {
          taken.swap(audio);
        } else {
          const size_t n = ends.front().at;
          nextUttStartMs = ends.front().nextStartMs;
          ends.pop_front();
          taken.assign(audio.begin(), audio.begin() + ptrdiff_t(n));
          audio.erase(audio.begin(), audio.begin() + ptrdiff_t(n));
          for (End& e : ends) e.at -= n;
          endTaken = true;
        }
      }
      lastPush = lastPushMs;
      firstPushAt = firstPushMs;
      haveModel = ready;
      ep = epoch;
      ringCount = produced - delivered;
      queueLen = pasteQ.size() + tessQ.size();
      if (haveModel && !readyModel.h) {
        readyModel = model;
        chunkR = chunk.get();
      }
    }

    if (ep != seenEpoch) {
      onInterrupt(ep);
      if (state == kStateRamp && (!taken.empty() || endTaken)) {
        // The next utterance's audio waits for the interrupt ramp.
        const std::lock_guard<std::mutex> lock(mu);
        audio.insert(audio.begin(), taken.begin(), taken.end());
        for (End& e : ends) e.at += taken.size();
        if (endTaken) ends.push_front(End{taken.size(), nextUttStartMs});
        nextUttStartMs = takenStartMs;
        taken.clear();
        endTaken = false;
      }
    }

    if (!taken.empty() && !haveModel) {
      const std::lock_guard<std::mutex> lock(mu);
      firstPush = false;  // audio before readiness plays nothing
    } else if (haveModel && (!taken.empty() || endTaken)) {
      if (!inUtt && !taken.empty()) {
        inUtt = true;
        resetPending = true;
        endSignalled = finishSent = spoke = false;
        modelLeft = modelPulled = speechIndex = 0;
        modelTotal = -1;
        modelBusy = modelDry = false;
        // An utterance pushed while the one before played started at its
        // own first push, not at the earlier one's.
        uttStartMs = takenStartMs > 0 ? takenStartMs : firstPushAt > 0 ? firstPushAt : nowMs();
        if (!endTaken) nextUttStartMs = 0;
        setState(kStateStart);
      }
      if (inUtt) {
        pending.insert(pending.end(), taken.begin(), taken.end());
        if (endTaken) endSignalled = true;
      }
    }

    bool progressed = false;
    if (outstanding) progressed = collectJob();
    const int b = chunkR ? chunkR->batch() : 1;
    bool chunkWait = false;
    if (haveModel && inUtt && !outstanding) {
      if (gapMs >= 0 && !endSignalled && lastPush > 0 && nowMs() - lastPush >= gapMs) endSignalled = true;
      const int waiting = kf - kr;
      chunkWait = b >= 2 && waiting > 0 && waiting < b && waiting + modelLeft >= b;
      if (feed(waiting + modelLeft + ringCount, chunkWait)) {
        progressed = true;
        if (!hybrid) {
          waitReply();
          collectJob();
        }
      }
    }

    const int waiting = kf - kr;
    if (waiting > 0 && ringCount < kRing) {
      setState(kStateSpeech);
      // A failed frame is tried again after the step's wait.
      if (b >= 2 && waiting >= b)
        progressed = renderSpeech(b) || progressed;
      else if (!(b >= 2 && outstanding && waiting + modelLeft >= b))  // else the rest of a chunk is on its way
        progressed = renderSpeech(1) || progressed;
    } else if (inUtt && finished() && waiting == 0) {
      {
        const std::lock_guard<std::mutex> lock(mu);
        firstPush = false;
      }
      inUtt = false;
      if (spoke && !tmpl.empty())
        startRamp(lastSpokenSi, lastSpoken.data(), rampFrames);
      else
        setState(kStateIdle);
      progressed = true;
    } else if (state == kStateRamp && rampC >= 1 && ringCount < kRing) {
      produceRamp();
      progressed = true;
    } else if (state == kStateIdle && ringCount == 0 && queueLen == 0) {
      progressed = produceIdle();
    }

    if (!progressed) {
      std::unique_lock<std::mutex> lock(mu);
      // Audio that waits for the current utterance's end gives nothing to do.
      const bool takes = state != kStateRamp && !(inUtt && endSignalled);
      if ((!takes || (audio.empty() && ends.empty())) && !stop && epoch == seenEpoch) cv.wait_for(lock, kWait);
    }
  }
}

bool le_utt::produceIdle() {
  if (!enqueue(nullptr, kIdle, idleCursor, -1, nullptr, nullptr)) return false;
  idleCursor = (idleCursor + 1) % nt;
  return true;
}

// True when at least one frame was handed on.
bool le_utt::renderSpeech(int n) {
  const int m = std::min(kf - kr, n);
  if (m < 1) return false;
  const float* chunkOut = nullptr;
  double chunkMs = 0;
  if (m >= 2 && chunkR && m <= chunkR->batch()) {
    const double t0 = nowMs();
    try {
      chunkOut = chunkR->render(&kSi[kr], &kBase[size_t(kr) * kKp], &kDriven[size_t(kr) * kKp], m);
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
    } catch (...) {
      noteRenderFail("b24 chunk", nullptr, false);
    }
    chunkMs = (nowMs() - t0) / m;
  }
  for (int i = 0; i < m; ++i) {
    const int si = kSi[kr];
    const float* driven = &kDriven[size_t(kr) * kKp];
    const float* crop = nullptr;
    double work = chunkMs;
    if (chunkOut) {
      crop = chunkOut + size_t(i) * cropFloats;
    } else {
      const double t0 = nowMs();
      try {
        crop = ctx->renderer->render(&kSi[kr], &kBase[size_t(kr) * kKp], driven, 1);
      } catch (const std::exception& e) {
        noteRenderFail("render", e.what(), true);
        return i > 0;
      } catch (...) {
        noteRenderFail("render", nullptr, true);
        return i > 0;
      }
      work = nowMs() - t0;
    }
    lastSpokenSi = si;
    std::memcpy(lastSpoken.data(), driven, sizeof lastSpoken);
    double wait = 0;
    if (!enqueue(crop, kSpeech, si, speechIndex, driven, &wait)) return i > 0;
    ++kr;
    ++speechIndex;
    spoke = true;
    const std::lock_guard<std::mutex> lock(mu);
    ++renderCalls;
    stageA += work + wait;
    stageAWork += work;
    stageAWait += wait;
    stats.render_ms = stats.render_ms == 0 ? work : 0.9 * stats.render_ms + 0.1 * work;
  }
  return true;
}

void le_utt::produceRamp() {
  const int t = rampT;
  const float w = 1.0f - float(rampR - rampC + 1) / float(rampR);
  Keypoints driven;
  const float* base = &tmpl[size_t(t) * kKp];
  for (int k = 0; k < kKp; ++k) driven[k] = w * rampOffset[k] + base[k];
  const float* crop = nullptr;
  try {
    if (ctx->renderer) crop = ctx->renderer->render(&t, base, driven.data(), 1);
  } catch (const std::exception& e) {
    noteRenderFail("ramp", e.what(), true);
  } catch (...) {
    noteRenderFail("ramp", nullptr, true);
  }
  if (crop && !enqueue(crop, kRampKind, t, -1, driven.data(), nullptr)) return;
  rampT = (t + 1) % nt;
  idleCursor = rampT;
  if (--rampC == 0) setState(kStateIdle);
}

// ---------------------------------------------------------------------------
// Hand-offs and the paste

// The router: while a mouth borrow is attached every frame goes through the
// borrow thread, even once the borrow has failed (the thread then hands the
// frames on untouched), so that no frame overtakes one still in its queue;
// without one they go straight to the paste.
bool le_utt::enqueue(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc) {
  bool borrow;
  {
    const std::lock_guard<std::mutex> lock(mu);
    borrow = tess != nullptr;
  }
  return borrow ? enqueueTess(crop, kind, si, frameNo, kp, acc) : enqueueRaw(crop, kind, si, frameNo, kp, acc);
}

bool le_utt::enqueueRaw(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc) {
  if (pipelined) return enqueuePipe(crop, kind, si, frameNo, kp, acc);
  return pasteInto(crop, kind, si, frameNo, keypointsOf(kp), seenEpoch, 0, acc, false);
}

bool le_utt::enqueuePipe(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc) {
  const double t0 = nowMs();
  if (!handOff(pasteQ, kPasteQueue, cv, pasteCv, makeJob(crop, kind, si, frameNo, kp, t0))) return false;
  if (acc) *acc += nowMs() - t0;
  return true;
}

le_utt::PasteJob le_utt::makeJob(const float* crop, int kind, int si, int frameNo, const float* kp, double t0) const {
  PasteJob job;
  if (crop) job.crop.assign(crop, crop + cropFloats);
  job.hasCrop = crop != nullptr;
  job.kind = kind;
  job.si = si;
  job.frameNo = frameNo;
  job.kp = keypointsOf(kp);
  job.epoch = seenEpoch;
  job.time = kind == kSpeech ? t0 : 0;
  return job;
}

bool le_utt::handOff(std::deque<PasteJob>& q, size_t bound, std::condition_variable& room,
                     std::condition_variable& wake, PasteJob&& job) {
  {
    std::unique_lock<std::mutex> lock(mu);
    if (stop) return false;
    while (q.size() >= bound) {
      if (stop || epoch != job.epoch) return false;
      room.wait_for(lock, kWait);
    }
    if (stop || epoch != job.epoch) return false;
    q.push_back(std::move(job));
  }
  wake.notify_all();
  return true;
}

bool le_utt::pasteInto(const float* crop, int kind, int si, int frameNo, const Keypoints& kp, uint64_t ep, double time,
                       double* acc, bool onPasteThread) {
  size_t slot;
  {
    std::unique_lock<std::mutex> lock(mu);
    if (stop) return false;
    for (;;) {
      if (ep != epoch) return false;
      if (produced - delivered < kRing) break;
      cv.wait_for(lock, kWait);
      if (stop) return false;
    }
    slot = produced % kRing;
  }
  Record& rec = ring[slot];
  const double t0 = nowMs();
  if (crop) {
    ctx->pasteInto(si, crop, rec.rgb.data());
  } else {
    ctx->cursor->pullAt(si, rec.rgb.data());
    ctx->identity.walkP(si);
  }
  const double workMs = nowMs() - t0;
  if (acc) *acc += workMs;
  rec.kind = kind;
  rec.si = si;
  rec.frameNo = frameNo;
  rec.kp = kp;
  {
    const std::lock_guard<std::mutex> lock(mu);
    if (stop || ep != epoch) return false;
    if (onPasteThread) stageC += workMs;
    rec.serial = serial++;
    ++produced;
    const double now = nowMs();
    if (kind == kSpeech && frameNo == 0) {
      ++stats.utterances;
      stats.first_frame_ms = now - uttStartMs;
    }
    if (time > 0 && kind == kSpeech) {
      latSum += now - time;
      ++latFrames;
    }
  }
  cv.notify_all();
  return true;
}

void le_utt::pasteLoop() {
  for (;;) {
    PasteJob job;
    {
      std::unique_lock<std::mutex> lock(mu);
      while (pasteQ.empty() && !pasteStop && !stop) pasteCv.wait_for(lock, kWait);
      if (pasteStop || stop) return;
      job = std::move(pasteQ.front());
      pasteQ.pop_front();
      if (job.epoch != epoch) {
        cv.notify_all();
        tessCv.notify_all();
        continue;  // dropped by an interrupt
      }
    }
    cv.notify_all();  // room for the run thread or the borrow thread
    tessCv.notify_all();
    pasteInto(job.hasCrop ? job.crop.data() : nullptr, job.kind, job.si, job.frameNo, job.kp, job.epoch, job.time,
              nullptr, true);
    {
      const std::lock_guard<std::mutex> lock(mu);
      ++jobsC;
    }
    cv.notify_all();
  }
}

// ---------------------------------------------------------------------------
// C entry points

extern "C" {

LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  uttError().clear();
  if (!ctx || !opts) {
    uttError() = "le_utt_create: NULL ctx/opts";
    return nullptr;
  }
  try {
    le::Renderer& frames = ctx->ensureRenderer();
    auto* u = new le_utt(ctx, *opts);
    if (!frames.directorNote().empty()) u->noteRenderFail("director load", frames.directorNote().c_str(), false);
    return u;
  } catch (const std::exception& e) {
    le::setErr(uttError(), "le_utt_create", e);
    return nullptr;
  }
}

LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts opts{};
  opts.motion_dir = motion_dir;
  return le_utt_create(ctx, &opts);
}

LE_API void le_utt_destroy(le_utt* u) { delete u; }

LE_API int le_utt_ready(le_utt* u) {
  uttError().clear();
  if (!u) return -1;
  const std::lock_guard<std::mutex> lock(u->mu);
  if (u->failed) {
    uttError() = u->failure;
    return -1;
  }
  return u->ready ? 1 : 0;
}

LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int count) {
  uttError().clear();
  if (!u || !samples || count < 0) {
    uttError() = "le_utt_push_audio: bad args";
    return 0;
  }
  {
    const std::lock_guard<std::mutex> lock(u->mu);
    u->lastPushMs = nowMs();
    if (count > 0 && !u->ends.empty() && u->ends.back().at == u->audio.size() && u->ends.back().nextStartMs == 0)
      u->ends.back().nextStartMs = u->lastPushMs;
    for (int i = 0; i < count; ++i) u->audio.push_back(float(samples[i]) * 3.0517578e-5f);
    if (count > 0 && !u->firstPush) {
      u->firstPush = true;
      u->firstPushMs = u->lastPushMs;
    }
  }
  u->cv.notify_all();
  u->pasteCv.notify_all();
  return 1;
}

LE_API void le_utt_end_utterance(le_utt* u) {
  if (!u) return;
  {
    const std::lock_guard<std::mutex> lock(u->mu);
    u->ends.push_back({u->audio.size(), 0});
  }
  u->cv.notify_all();
}

LE_API void le_utt_interrupt(le_utt* u) {
  if (!u) return;
  {
    const std::lock_guard<std::mutex> lock(u->mu);
    u->audio.clear();
    u->ends.clear();
    u->stats.frames_dropped += u->produced - u->delivered;
    u->delivered = u->produced;
    u->pasteQ.clear();
    u->tessQ.clear();
    u->epochNow = ++u->epoch;
  }
  u->cv.notify_all();
  u->tessCv.notify_all();
}

LE_API int le_utt_frames_available(le_utt* u) {
  if (!u) return 0;
  const std::lock_guard<std::mutex> lock(u->mu);
  return static_cast<int>(u->produced - u->delivered);
}

LE_API int le_utt_pull_frame(le_utt* u, uint8_t* out, size_t out_size, le_utt_frame_info* info) {
  uttError().clear();
  if (!u || !out) {
    uttError() = "le_utt_pull_frame: bad args";
    return 0;
  }
  {
    const std::lock_guard<std::mutex> lock(u->mu);
    if (u->produced == u->delivered) return 0;
    const Record& rec = u->ring[u->delivered % kRing];
    if (out_size < rec.rgb.size()) {
      uttError() = "le_utt_pull_frame: buffer too small";
      return 0;
    }
    std::memcpy(out, rec.rgb.data(), rec.rgb.size());
    if (info) *info = le_utt_frame_info{rec.serial, rec.kind, rec.si, rec.frameNo};
    u->lastDelivered.kind = rec.kind;
    u->lastDelivered.si = rec.si;
    u->lastDelivered.kp = rec.kp;
    u->haveDelivered = true;
    ++u->delivered;
    ++u->stats.frames_delivered;
    if (rec.kind == kSpeech) ++u->stats.speech_frames_delivered;
  }
  u->cv.notify_all();
  return 1;
}

LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats) {
  if (!u || !stats) return;
  const std::lock_guard<std::mutex> lock(u->mu);
  *stats = u->stats;
}

LE_API int le_utt_render_status(le_utt* u, char* buf, int cap, int64_t* failures) {
  if (!u) return 0;
  const std::lock_guard<std::mutex> lock(u->mu);
  if (failures) *failures = u->failures;
  if (buf && cap >= 1) {
    const size_t n = std::min(u->statusText.size(), size_t(cap - 1));
    std::memcpy(buf, u->statusText.data(), n);
    buf[n] = '\0';
  }
  return u->fatal ? -1 : 0;
}

LE_API const char* le_utt_last_error(void) { return uttError().c_str(); }

}  // extern "C"
