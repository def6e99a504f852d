// The utterance pipeline's mouth borrow: a thread between the render and the
// paste stages pushes each rendered crop through the stream borrow and hands
// it on one frame later, when the pass answers for it, with the composited
// mouth written back into it. The borrow is a switch: the first frame it
// cannot composite turns it off until the next attach, and from then on the
// thread hands every frame on as rendered.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "borrow/head_weights.h"
#include "borrow/serve_config.h"
#include "borrow/stream_borrow.h"
#include "bundle/le_manifest.h"
#include "bundle/le_unified_pi.h"
#include "driver/le_files.h"
#include "kernels/le_c_error.h"
#include "pipeline/le_utt.h"

using namespace le::utt;
using le::tessera::FrameResult;
using le::tessera::StreamBorrow;

// ---------------------------------------------------------------------------
// Hand-offs into and out of the borrow thread

bool le_utt::enqueueTess(const float* crop, int kind, int si, int frameNo, const float* kp, double* acc) {
  const double t0 = nowMs();
  if (!handOff(tessQ, kBorrowQueue, cv, tessCv, makeJob(crop, kind, si, frameNo, kp, t0))) return false;
  if (acc) *acc += nowMs() - t0;
  return true;
}

bool le_utt::pushPaste(PasteJob&& job) {
  if (pipelined) return handOff(pasteQ, kBorrowQueue, tessCv, pasteCv, std::move(job));
  return pasteInto(job.hasCrop ? job.crop.data() : nullptr, job.kind, job.si, job.frameNo, job.kp, job.epoch, job.time,
                   nullptr, false);
}

// ---------------------------------------------------------------------------
// The borrow thread

void le_utt::tessLoop() {
  for (;;) {
    PasteJob job;
    std::shared_ptr<StreamBorrow> attached;
    uint64_t gen;
    bool off;
    {
      std::unique_lock<std::mutex> lock(mu);
      while (tessQ.empty() && !tessStop && !stop) tessCv.wait_for(lock, kWait);
      if (tessStop || stop) return;
      job = std::move(tessQ.front());
      tessQ.pop_front();
      gen = tessGen;
      if (gen != tessUseGen) attached = tess;
      off = tessFailed;
      if (job.epoch != epoch) {
        cv.notify_all();
        continue;  // dropped by an interrupt
      }
    }
    cv.notify_all();  // room in the queue
    const double t0 = nowMs();
    if (gen != tessUseGen) {
      // Attached anew: a crop the replaced borrow still holds goes on as
      // rendered rather than being lost with it.
      if (tessHolding) pushPaste(std::move(tessHeld));
      tessHolding = false;
      tessUse = std::move(attached);
      tessUseGen = gen;
      tessSegment = job.epoch;
    }
    tessStage(job, off);
    {
      const std::lock_guard<std::mutex> lock(mu);
      ++jobsB;
      stageB += nowMs() - t0;
    }
  }
}

void le_utt::tessStage(PasteJob& job, bool off) {
  StreamBorrow& borrow = *tessUse;
  if (job.epoch != tessSegment) {
    // An interrupt ended the last segment: its held crop is stale, and what
    // the pass still holds of it is dropped.
    FrameResult stale;
    borrow.flush(stale);
    tessHolding = false;
    tessSegment = job.epoch;
  }
  if (off) {
    pushPaste(std::move(job));
    return;
  }
  if (!job.hasCrop) {
    if (tessDrainP()) pushPaste(std::move(job));
    return;
  }
  FrameResult result;
  bool answered;
  try {
    answered = borrow.push(job.crop.data(), job.kp.data(), result);
  } catch (const std::exception& e) {
    tessFail(e.what());
    if (tessHolding) pushPaste(std::move(tessHeld));
    tessHolding = false;
    pushPaste(std::move(job));
    return;
  }
  if (answered && tessHolding && !tessEmitHeldP(result)) {
    pushPaste(std::move(job));  // the borrow went off with the held crop
    return;
  }
  std::swap(tessHeld, job);
  tessHolding = true;
}

// Completes the held crop with the pass's answer for it and hands it on;
// false when the borrow went off with it.
bool le_utt::tessEmitHeldP(const FrameResult& result) {
  const bool on = tessComplete(result);
  tessHolding = false;
  pushPaste(std::move(tessHeld));
  return on;
}

// Ends the segment in the pass; true when a held crop is ready to be handed
// on (composited, or as rendered when the borrow went off with it).
bool le_utt::tessDrain() {
  FrameResult result;
  const bool answered = tessUse->flush(result);
  if (!tessHolding) return false;
  if (!answered) {
    tessFail("flush: the pass held no pending frame while a crop was held \u2014 refusing to deliver it uncomposed");
    tessHolding = false;
    return false;
  }
  tessComplete(result);
  return true;
}

// The drain and the paste of its crop; false when the paste refused it (the
// pipeline is stopping or the segment was interrupted), so that the job
// behind it is not pasted either.
bool le_utt::tessDrainP() {
  if (!tessDrain()) return true;
  tessHolding = false;
  return pushPaste(std::move(tessHeld));
}

bool le_utt::tessComplete(const FrameResult& result) {
  if (!result.passed) {
    try {
      StreamBorrow::writeWindowDelta(tessHeld.crop.data(), tessUse->side(), result, tessUse->stamp());
    } catch (const std::exception& e) {
      tessFail(e.what());
      return false;
    }
  }
  const std::lock_guard<std::mutex> lock(mu);
  if (tessGen != tessUseGen) return !result.passed;  // attached anew meanwhile: not the new borrow's frame
  if (result.passed) {
    ++tessPassed;
    tessReason = result.reason;
    tessFailed = true;
  } else {
    ++tessComposited;
  }
  tessTotals = tessUse->stats();
  return !result.passed;
}

void le_utt::tessFail(const std::string& reason) {
  const std::lock_guard<std::mutex> lock(mu);
  if (tessGen != tessUseGen) return;
  tessFailed = true;
  tessReason = reason;
}

void le_utt::tessAttach(std::shared_ptr<StreamBorrow> borrow, std::string geometry) {
  std::shared_ptr<StreamBorrow> replaced;
  {
    const std::lock_guard<std::mutex> lock(mu);
    replaced = std::move(tess);
    tess = std::move(borrow);
    ++tessGen;
    tessComposited = tessPassed = 0;
    tessReason.clear();
    tessFailed = false;
    tessTotals = {};
    tessGeometry = std::move(geometry);
    if (!tessStarted && !stop) {
      tessT = std::thread(&le_utt::tessLoop, this);
      tessStarted = true;
    }
  }
  tessCv.notify_all();
}  // the replaced borrow goes here, unless the borrow thread still holds it

// ---------------------------------------------------------------------------
// C entry points

namespace {

constexpr const char* kWhere = "le_utt_tessera_attach: ";

// The bundle's own target keypoints: whole frames of 63 floats, at least one.
std::vector<float> targetKeypoints(const std::string& dir) {
  const std::string path = le::resolveMember(dir, "xs_target.bin");
  std::vector<float> xs;
  if (le::canOpen(path)) xs = le::readFloats(path);
  if (xs.empty() || xs.size() % kKp != 0)
    throw std::runtime_error(std::string(kWhere) +
                             "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be "
                             "identified \u2014 refusing to arm the borrow against the manifest's compose-field "
                             "geometry");
  return xs;
}

}  // namespace

extern "C" {

LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* bank_rgb, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, uint32_t head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len) {
  try {
    if (!u) throw std::runtime_error(std::string(kWhere) + "null session");
    if (!bank_rgb || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || !manifest_json)
      throw std::runtime_error(std::string(kWhere) +
                               "a required member is null \u2014 this ABI has no partial-attach state");
    if (n_donors <= 0) throw std::runtime_error(std::string(kWhere) + "n_donors <= 0");
    const le::tessera::BankData bank =
        le::tessera::BankData::fromArrays(bank_rgb, n_donors, cent, c_canon, aperture, stamp);
    const le::Manifest& manifest = u->ctx->manifest;
    const int crop = manifest.crop;
    if (bank.stamp.canvas_w != crop || bank.stamp.canvas_h != crop)
      throw std::runtime_error(std::string(kWhere) + "bank canvas " + std::to_string(bank.stamp.canvas_w) + "x" +
                               std::to_string(bank.stamp.canvas_h) + " != this bundle's render crop " +
                               std::to_string(crop));
    const le::tessera::ServeConfig config = le::tessera::ServeConfig::fromHeadMemberJson(head_json);
    const le::tessera::HeadWeights head = le::tessera::loadHeadPt(std::span<const uint8_t>(head_pt, head_pt_len));
    const std::vector<float> xs = targetKeypoints(manifest.dir);
    std::string geometry;
    const le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::corpusFromManifestJson(
        manifest_json, crop, xs.data(), int(xs.size() / kKp), bank.c_canon, &geometry);
    u->tessAttach(std::make_shared<StreamBorrow>(bank, head, config, pi, manifest.lipTemplate), std::move(geometry));
    return 0;
  } catch (const std::exception& e) {
    le::fillErrBuf(err, err_len, e.what());
  } catch (...) {
    le::fillErrBuf(err, err_len, "le_utt_tessera_attach: unknown failure");
  }
  return 1;
}

LE_API int le_utt_tessera_stats(le_utt* u, int64_t* composited, int64_t* passed, char* reason, int reason_len) {
  le::fillErrBuf(reason, reason_len, "");
  if (!u) return 0;
  const std::lock_guard<std::mutex> lock(u->mu);
  if (!u->tess) return 0;
  if (composited) *composited = u->tessComposited;
  if (passed) *passed = u->tessPassed;
  le::fillErrBuf(reason, reason_len, u->tessReason.c_str());
  return u->tessFailed ? -1 : 1;
}

LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, double* max, int64_t* frames) {
  if (!u) return 0;
  const std::lock_guard<std::mutex> lock(u->mu);
  const le::tessera::TeethStats& t = u->tessTotals;
  if (!u->tess || t.frames_composed < 1) return 0;
  if (mean) *mean = t.syn_mean_sum / double(t.frames_composed);
  if (max) *max = t.syn_max;
  if (frames) *frames = t.frames_composed;
  return 1;
}

LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int len) {
  if (!u || !buf || len <= 0) return 0;
  const std::lock_guard<std::mutex> lock(u->mu);
  le::fillErrBuf(buf, len, u->tess ? u->tessGeometry.c_str() : "");
  return u->tess ? 1 : 0;
}

}  // extern "C"
