#include "audio/le_motion.h"

#include <onnxruntime_cxx_api.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "audio/le_audio_meta.h"
#include "audio/le_logmel.h"
#include "bundle/le_manifest.h"
#include "driver/le_files.h"
#include "kernels/le_c_error.h"
#include "kernels/le_pool.h"
#include "le/le_motion.h"
#include "render/le_renderer.h"
#include "render/le_ort_log.h"

namespace le {
namespace {

constexpr int kFrameSamples = 640;
constexpr int kFeat = 1024;
constexpr int kEmo = 8;
constexpr int kInfo = 328;  // one source-info row
constexpr int kKp = 63;
constexpr int kHubertFrames = 20;
// An analysis window starts 2000 samples before its first video frame; the
// speech model sees 6480 samples for the 5 frames it gives.
constexpr int kWindowLead = 2000;
constexpr int kWindowFrames = 5;
constexpr int kWindowReady = LogMel::kSamples - kWindowLead;  // 4480

// Source-info row layout.
constexpr int kInfoKc = 63, kInfoPitch = 126, kInfoThird = 192, kInfoScale = 258, kInfoTx = 259, kInfoSecond = 262;

// Keypoints whose expression the motion drives: the lips.
constexpr std::array<int, 6> kLip = {6, 12, 14, 17, 19, 20};

// Exactly n floats: the file's size is checked before anything is read.
std::vector<float> readTable(const std::string& path, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  const auto shortRead = [&](size_t bytes) {
    std::fclose(f);
    return std::runtime_error("short read " + path + " (" + std::to_string(n) + " floats expected, " +
                              std::to_string(bytes) + " bytes found)");
  };
  struct stat st {};
  if (::fstat(fileno(f), &st) != 0 || static_cast<size_t>(st.st_size) != n * sizeof(float))
    throw shortRead(static_cast<size_t>(st.st_size));
  std::vector<float> v(n);
  const size_t got = std::fread(v.data(), sizeof(float), n, f);
  if (got != n) throw shortRead(got * sizeof(float));
  std::fclose(f);
  return v;
}

// A count from meta.json: a positive whole number.
int countKey(const std::string& meta, const char* key) {
  const double v = audio_meta::numberKey(meta, key, std::nullopt);
  if (!(v >= 1.0 && v <= 1e7) || v != std::floor(v)) throw std::runtime_error(std::string("meta.json: bad ") + key);
  return static_cast<int>(v);
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

Ort::SessionOptions sessionOptions(int threads, const std::string& ep, const std::string& dir) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  const char* spin = std::getenv("LE_ORT_SPIN");
  if (!spin || std::strcmp(spin, "1") != 0) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (startsWith(ep, "coreml"))
    so.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                          {"MLComputeUnits", coremlUnits(ep)},
                                          {"ModelCacheDirectory", coremlCacheDir(dir)}});
  else if (!ep.empty())
    throw std::runtime_error("le_motion: unknown ep '" + ep + "'");
  return so;
}

Ort::Value tensor(const Ort::MemoryInfo& mem, float* data, std::initializer_list<int64_t> shape) {
  size_t n = 1;
  for (int64_t d : shape) n *= static_cast<size_t>(d);
  return Ort::Value::CreateTensor<float>(mem, data, n, shape.begin(), shape.size());
}

// Row f of a motion of frames frames (whose frames from lo on start at
// motion) with its pose dimensions averaged over f and its neighbours, as far
// as they exist; the lip dimensions are copied.
void smoothedRow(const float* motion, int lo, int frames, int f, float* row) {
  constexpr int kDim = MotionGenerator::kDim, kPose = MotionGenerator::kPoseDims;
  const int a = std::max(0, f - 1), b = std::min(f + 1, frames - 1);
  const float count = static_cast<float>(b - a + 1);
  for (int d = 0; d < kPose; ++d) {
    float s = 0.0f;
    for (int k = a; k <= b; ++k) s += motion[static_cast<size_t>(k - lo) * kDim + d];
    row[d] = s / count;
  }
  const float* src = motion + static_cast<size_t>(f - lo) * kDim;
  std::copy(src + kPose, src + kDim, row + kPose);
}

// Every value into its dimension's [min, max].
void clampRow(const std::vector<float>& vMinMax, float* row) {
  for (int d = 0; d < MotionGenerator::kDim; ++d)
    row[d] = std::min(std::max(row[d], vMinMax[d]), vMinMax[MotionGenerator::kDim + d]);
}

void writeDump(const std::string& dir, const char* name, const float* data, size_t n, bool append) {
  if (dir.empty()) return;
  if (std::FILE* f = std::fopen((dir + "/" + name).c_str(), append ? "ab" : "wb")) {
    std::fwrite(data, sizeof(float), n, f);
    std::fclose(f);
  }
}

}  // namespace

double bin66(const float* logits) {
  double mx = logits[0];
  for (int i = 1; i < 66; ++i) mx = std::max(mx, static_cast<double>(logits[i]));
  double sum = 0.0, weighted = 0.0;
  for (int i = 0; i < 66; ++i) {
    const double p = std::exp(logits[i] - mx);
    sum += p;
    weighted += p * i;
  }
  return 3.0 * weighted / sum - 97.5;
}

void poseToR(double a1, double a2, double a3, double r[9]) {
  const double k = M_PI / 180.0;
  const double cx = std::cos(a1 * k), sx = std::sin(a1 * k);
  const double cy = std::cos(a2 * k), sy = std::sin(a2 * k);
  const double cz = std::cos(a3 * k), sz = std::sin(a3 * k);
  // Rz Ry Rx, written out, then stored transposed.
  const double m[9] = {cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx,
                       sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx,
                       -sy,     cy * sx,                cy * cx};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[3 * i + j] = m[3 * j + i];
}

struct MotionGenerator::Impl {
  Ort::Env env{le::kOrtLogLevel, "le_motion"};
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Session hubert{nullptr}, lmdm{nullptr}, stitch{nullptr};

  std::unique_ptr<LogMel> logMel;
  std::vector<float> fmean, fstd, emo, chInfo, chSc, eyeOpen, eyeBall, vMinMax, srcInfo, templ;
  std::vector<float> kp0;
  float gain = 1.0f;  // conditioning scale over the template's
  std::string dump;

  // Scratch of the model runs.
  std::vector<float> samples = std::vector<float>(LogMel::kSamples);
  std::vector<float> mel = std::vector<float>(LogMel::kBands * LogMel::kFrames);
  std::vector<float> feat = std::vector<float>(kHubertFrames * kFeat);
  std::vector<float> aud = std::vector<float>(static_cast<size_t>(kChunk) * kCond);
  std::vector<float> pred = std::vector<float>(static_cast<size_t>(kChunk) * kDim);
  std::vector<float> kpIn = std::vector<float>(kDim);
  std::array<float, kKp> xs{}, xd{}, xsSt{}, xdSt{};

  void open(const std::string& dir, int threads, const std::string& ep) {
    const Ort::SessionOptions so = sessionOptions(threads, ep, dir);
    hubert = Ort::Session(env, (dir + "/hubert_student.onnx").c_str(), so);
    lmdm = Ort::Session(env, (dir + "/lmdm.onnx").c_str(), so);
    stitch = Ort::Session(env, (dir + "/stitch.onnx").c_str(), so);
  }

  void runHubert() {
    const char* in[] = {"mel"};
    const char* out[] = {"feat"};
    Ort::Value x = tensor(mem, mel.data(), {1, LogMel::kBands, LogMel::kFrames});
    Ort::Value y = tensor(mem, feat.data(), {1, kHubertFrames, kFeat});
    hubert.Run(Ort::RunOptions{nullptr}, in, &x, 1, out, &y, 1);
  }

  void runLmdm() {
    const char* in[] = {"kp", "cond"};
    const char* out[] = {"motion"};
    Ort::Value x[] = {tensor(mem, kpIn.data(), {1, kDim}), tensor(mem, aud.data(), {1, kChunk, kCond})};
    Ort::Value y = tensor(mem, pred.data(), {1, kChunk, kDim});
    lmdm.Run(Ort::RunOptions{nullptr}, in, x, 2, out, &y, 1);
  }

  void runStitch() {
    const char* in[] = {"x_s", "x_d"};
    const char* out[] = {"x_s_st", "x_d_st"};
    Ort::Value x[] = {tensor(mem, xs.data(), {1, 21, 3}), tensor(mem, xd.data(), {1, 21, 3})};
    Ort::Value y[] = {tensor(mem, xsSt.data(), {1, 21, 3}), tensor(mem, xdSt.data(), {1, 21, 3})};
    stitch.Run(Ort::RunOptions{nullptr}, in, x, 2, out, y, 2);
  }
};

MotionGenerator::MotionGenerator(const std::string& dir, int threads, const std::string& ep)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  const std::string meta = readFile(dir + "/meta.json");
  nt_ = countKey(meta, "nt");
  const int nSrc = countKey(meta, "n_src");
  nEmo_ = countKey(meta, "n_emo");
  sBridge_ = static_cast<float>(audio_meta::numberKey(meta, "s_bridge", 1.0));
  deltaPitch_ = static_cast<float>(audio_meta::numberKey(meta, "delta_pitch", 0.0));
  if (nSrc != nt_) throw std::runtime_error("le_motion: n_src != nt unsupported");

  const auto table = [&](const char* name, size_t n) { return readTable(dir + "/" + name, n); };
  std::vector<float> window = table("hubert_stft_window.bin", LogMel::kFft);
  std::vector<float> binmat = table("hubert_stft_binmat.bin", static_cast<size_t>(LogMel::kBins) * LogMel::kBands);
  m.fmean = table("hubert_fmean.bin", kFeat);
  m.fstd = table("hubert_fstd.bin", kFeat);
  m.emo = table("emo.bin", static_cast<size_t>(nEmo_) * kEmo);
  m.chInfo = table("ch_xs_info.bin", kInfo);
  m.chSc = table("ch_sc.bin", kKp);
  m.eyeOpen = table("ch_eye_open.bin", 2);
  m.eyeBall = table("ch_eye_ball.bin", 6);
  m.vMinMax = table("v_min_max.bin", 2 * kDim);
  m.srcInfo = table("src_xs_info.bin", static_cast<size_t>(nt_) * kInfo);
  m.templ = readTable(resolveMember(dir, "xs_target.bin"), static_cast<size_t>(nt_) * kKp);
  m.logMel = std::make_unique<LogMel>(std::move(window), std::move(binmat));

  // The keypoint state the first chunk starts from: the conditioning source's
  // pose in the motion layout, then its expression conditioning.
  const float* ci = m.chInfo.data();
  m.kp0.assign(kDim, 0.0f);
  m.kp0[0] = ci[kInfoScale] - 1.0f;
  std::copy(ci + kInfoPitch, ci + kInfoPitch + 66, m.kp0.begin() + 1);
  std::copy(ci + kInfoSecond, ci + kInfoSecond + 66, m.kp0.begin() + 67);
  std::copy(ci + kInfoThird, ci + kInfoThird + 66, m.kp0.begin() + 133);
  std::copy(ci + kInfoTx, ci + kInfoTx + 3, m.kp0.begin() + 199);
  std::copy(m.chSc.begin(), m.chSc.end(), m.kp0.begin() + kPoseDims);
  m.gain = ci[kInfoScale] / m.srcInfo[kInfoScale];

  if (const char* d = std::getenv("LE_MOTION_DUMP"); d && *d) m.dump = d;

  if (threads < 1) threads = pool::threads();
  try {
    m.open(dir, threads, ep);
  } catch (const std::exception& e) {
    if (!startsWith(ep, "coreml")) throw;
    std::fprintf(stderr, "[le] CoreML EP session refused: %s — falling back to the ORT CPU EP\n", e.what());
    m.open(dir, threads, "");
  }
  resetUtterance();
}

MotionGenerator::~MotionGenerator() = default;

void MotionGenerator::resetUtterance() {
  pcm_.clear();
  finished_ = false;
  final_ = 0;
  nextWindow_ = 0;
  cond_.clear();
  rows_ = 0;
  motion_.clear();
  frames_ = 0;
  committed_ = Chunking{0, impl_->kp0};
  finalBuilt_ = false;
  refSet_ = false;
  pulled_ = 0;
  eagerRan_ = false;
  lastAdvance_ = 0;
  dirty_ = false;
  frontier_ = 0;
  tailHeld_ = false;
}

void MotionGenerator::reset(int start, int dir, bool loop) {
  resetUtterance();
  cursor_ = std::clamp(start, 0, nt_ - 1);
  direction_ = dir < 0 ? -1 : 1;
  loop_ = loop;
}

void MotionGenerator::push(const float* pcm, int n) { pcm_.insert(pcm_.end(), pcm, pcm + n); }

int MotionGenerator::audioFrames() const {
  return static_cast<int>((pcm_.size() + kFrameSamples - 1) / kFrameSamples);
}

void MotionGenerator::finish() {
  if (finished_) return;
  finished_ = true;
  final_ = audioFrames();
  restoreTail();
  dropSpeculativeRows();
  pump();
}

// Committed production first: a chunk it lands undoes the speculation, which
// the eager step then redoes in the same call.
int MotionGenerator::avail() {
  pump();
  maybeAdvance();
  return available();
}

int MotionGenerator::pull(int* idx, float* base, float* out, int max) {
  pump();
  maybeAdvance();
  const int n = std::min(available(), max);
  for (int k = 0; k < n; ++k) {
    idx[k] = cursor_;
    emitFrame(pulled_, cursor_, base + static_cast<size_t>(k) * kKp, out + static_cast<size_t>(k) * kKp);
    ++pulled_;
    int next = cursor_ + direction_;
    if (loop_) {
      next = (next + nt_) % nt_;
    } else if (nt_ == 1) {
      next = 0;
    } else if (next > nt_ - 1) {
      direction_ = -1;
      next = nt_ - 2;
    } else if (next < 0) {
      direction_ = 1;
      next = 1;
    }
    cursor_ = next;
  }
  return n;
}

int MotionGenerator::available() const {
  if (finalBuilt_) return std::max(0, frames_ - pulled_);
  // Speculative frames go out up to the one before the audio's end.
  if (eagerRan_ && !finished_) return std::max(0, std::min(frames_ - 1, frontier_) - pulled_);
  // The last frames of the motion wait: the next chunk cross-fades into them.
  return std::max(0, std::min(rows_ - 1, frames_ - kHoldBack - 1) - pulled_);
}

std::vector<float> MotionGenerator::committedMotion() const {
  std::vector<float> m = motion_;
  if (tailHeld_) {
    m.resize(static_cast<size_t>(savedFrames_) * kDim);
    std::copy(savedTail_.begin(), savedTail_.end(), m.end() - static_cast<ptrdiff_t>(savedTail_.size()));
  }
  return m;
}

// Committed production: every window and chunk the audio allows, in order.
void MotionGenerator::pump() {
  for (;;) {
    const int w = nextWindow_;
    const bool ready = finished_ ? w < final_
                                 : static_cast<long long>(kFrameSamples) * w + kWindowReady <=
                                       static_cast<long long>(pcm_.size());
    if (!ready) break;
    dropSpeculativeRows();
    processWindow(w, true);
    rows_ += kWindowFrames;
    nextWindow_ += kWindowFrames;
  }
  if (finished_ && rows_ > final_) {
    rows_ = final_;
    dropSpeculativeRows();
  }
  for (;;) {
    const int start = kStep * committed_.chunks;
    if (!(rows_ > start + kChunk - 1 || (finished_ && start < final_))) break;
    restoreTail();
    dropSpeculativeRows();
    runChunk(committed_, start, rows_);
    dirty_ = true;
  }
  if (finished_ && !finalBuilt_) buildFinal();
}

// The conditioning rows of video frames w .. w+4, appended to the
// conditioning (committed ones are counted by the caller).
void MotionGenerator::processWindow(int w, bool committed) {
  Impl& m = *impl_;
  const long long first = static_cast<long long>(kFrameSamples) * w - kWindowLead;
  const long long have = static_cast<long long>(pcm_.size());
  for (int i = 0; i < LogMel::kSamples; ++i) {
    const long long s = first + i;
    m.samples[i] = s >= 0 && s < have ? pcm_[static_cast<size_t>(s)] : 0.0f;
  }
  m.logMel->compute(m.samples.data(), m.mel.data());
  m.runHubert();
  for (int f = 0; f < kHubertFrames; ++f)
    for (int c = 0; c < kFeat; ++c) {
      float& v = m.feat[static_cast<size_t>(f) * kFeat + c];
      v = v * m.fstd[c] + m.fmean[c];
    }
  if (committed && w == 0) {
    writeDump(m.dump, "mel0.bin", m.mel.data(), m.mel.size(), false);
    writeDump(m.dump, "feat0.bin", m.feat.data(), m.feat.size(), false);
  }

  // Feature frames 6..15 pair up into the window's 5 video frames.
  const size_t at = cond_.size();
  cond_.resize(at + static_cast<size_t>(kWindowFrames) * kCond);
  for (int i = 0; i < kWindowFrames; ++i) {
    float* row = cond_.data() + at + static_cast<size_t>(i) * kCond;
    const float* f0 = m.feat.data() + static_cast<size_t>(6 + 2 * i) * kFeat;
    const float* f1 = f0 + kFeat;
    for (int c = 0; c < kFeat; ++c) row[c] = (f0[c] + f1[c]) / 2.0f;
    float* r = row + kFeat;
    r = std::copy_n(m.emo.data() + static_cast<size_t>((w + i) % nEmo_) * kEmo, kEmo, r);
    r = std::copy(m.eyeOpen.begin(), m.eyeOpen.end(), r);
    r = std::copy(m.eyeBall.begin(), m.eyeBall.end(), r);
    std::copy(m.chSc.begin(), m.chSc.end(), r);
  }
}

// One motion-model run over conditioning rows start..start+79 (rows at or
// past end repeat row end-1), merged into the motion.
void MotionGenerator::runChunk(Chunking& state, int start, int end) {
  Impl& m = *impl_;
  for (int i = 0; i < kChunk; ++i) {
    const int r = std::min(start + i, end - 1);
    std::copy_n(cond_.data() + static_cast<size_t>(r) * kCond, kCond, m.aud.data() + static_cast<size_t>(i) * kCond);
  }
  std::copy(state.kp.begin(), state.kp.end(), m.kpIn.begin());
  m.runLmdm();
  if (&state == &committed_ && state.chunks == 0) {
    writeDump(m.dump, "lmdm0_kp.bin", m.kpIn.data(), m.kpIn.size(), false);
    writeDump(m.dump, "lmdm0_aud.bin", m.aud.data(), m.aud.size(), false);
    writeDump(m.dump, "lmdm0_pred.bin", m.pred.data(), m.pred.size(), false);
  }

  if (state.chunks == 0) {
    motion_.assign(m.pred.begin(), m.pred.end());
    frames_ = kChunk;
    smooth(0, std::min(kChunk, frames_));
  } else {
    // The new chunk's first frames fade in over the old motion's last ones.
    float* old = motion_.data() + static_cast<size_t>(frames_ - kHoldBack) * kDim;
    for (int i = 0; i < kHoldBack; ++i) {
      const float w = static_cast<float>(i) / kHoldBack;
      for (int d = 0; d < kDim; ++d) {
        float& v = old[static_cast<size_t>(i) * kDim + d];
        v = (1.0f - w) * v + w * m.pred[static_cast<size_t>(i) * kDim + d];
      }
    }
    motion_.insert(motion_.end(), m.pred.begin() + static_cast<ptrdiff_t>(kHoldBack) * kDim, m.pred.end());
    frames_ += kStep;
    smooth(frames_ - kChunk, frames_ - kStep + 1);
  }
  state.kp = m.kp0;
  const float* last = motion_.data() + static_cast<size_t>(frames_ - kHoldBack - 1) * kDim;
  std::copy(last, last + kPoseDims, state.kp.begin());
  ++state.chunks;
}

// Frames [from, to) get the 3-frame mean on their pose dimensions.
void MotionGenerator::smooth(int from, int to) {
  from = std::max(from, 0);
  to = std::min(to, frames_);
  if (from >= to) return;
  const int lo = std::max(0, from - 1), hi = std::min(to, frames_ - 1);
  const std::vector<float> copy(motion_.begin() + static_cast<ptrdiff_t>(lo) * kDim,
                                motion_.begin() + static_cast<ptrdiff_t>(hi + 1) * kDim);
  for (int f = from; f < to; ++f) smoothedRow(copy.data(), lo, frames_, f, motion_.data() + static_cast<size_t>(f) * kDim);
}

void MotionGenerator::buildFinal() {
  Impl& m = *impl_;
  frames_ = std::min(frames_, final_);
  motion_.resize(static_cast<size_t>(frames_) * kDim);
  smooth(0, frames_);
  for (int f = 0; f < frames_; ++f) clampRow(m.vMinMax, motion_.data() + static_cast<size_t>(f) * kDim);
  finalBuilt_ = true;
  writeDump(m.dump, "final.bin", motion_.data(), motion_.size(), false);
}

void MotionGenerator::dropSpeculativeRows() { cond_.resize(static_cast<size_t>(rows_) * kCond); }

void MotionGenerator::restoreTail() {
  if (!tailHeld_) return;
  frames_ = savedFrames_;
  motion_.resize(static_cast<size_t>(frames_) * kDim);
  std::copy(savedTail_.begin(), savedTail_.end(), motion_.end() - static_cast<ptrdiff_t>(savedTail_.size()));
  tailHeld_ = false;
}

void MotionGenerator::maybeAdvance() {
  if (finished_ || eager_ == 0) return;
  const int a = audioFrames();
  int lead = 1;
  if (eager_ > 0 && pulled_ > 0)
    lead = eager_;
  else if (eager_ < 0 && pulled_ > 0)
    lead = std::clamp(static_cast<int>(std::max(advanceMs_, 0.0) / 40.0 + 0.999), 1, 8);
  if (dirty_ || (a > lastAdvance_ && a - lastAdvance_ >= lead)) advance(a);
}

// Speculative production up to the audio's end: windows on the audio so far
// and chunks with their rows capped there, all undone before the next
// committed step.
void MotionGenerator::advance(int audio) {
  const auto t0 = std::chrono::steady_clock::now();
  dropSpeculativeRows();
  for (int w = nextWindow_; w < audio; w += kWindowFrames) processWindow(w, false);
  restoreTail();
  if (audio > kStep * committed_.chunks) {
    savedFrames_ = frames_;
    const int keep = std::min(kHoldBack, frames_);
    savedTail_.assign(motion_.end() - static_cast<ptrdiff_t>(keep) * kDim, motion_.end());
    tailHeld_ = true;
    Chunking speculative = committed_;
    const int rows = static_cast<int>(cond_.size() / kCond);
    for (int start = kStep * speculative.chunks; start < audio; start += kStep)
      runChunk(speculative, start, std::min(audio, rows));
  }
  lastAdvance_ = audio;
  dirty_ = false;
  frontier_ = std::max(frontier_, audio - 1);
  eagerRan_ = true;
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  advanceMs_ = advanceMs_ < 0.0 ? ms : 0.7 * advanceMs_ + 0.3 * ms;
}

// Motion frame j on template frame t: the template's keypoints in base, the
// driven keypoints in out.
void MotionGenerator::emitFrame(int j, int t, float* base, float* out) {
  Impl& m = *impl_;
  std::array<float, kDim> row;
  if (finalBuilt_) {
    std::copy_n(motion_.data() + static_cast<size_t>(j) * kDim, kDim, row.data());
  } else {
    smoothedRow(motion_.data(), 0, frames_, j, row.data());
    clampRow(m.vMinMax, row.data());
  }
  const bool first = !refSet_;
  if (first) {
    ref_.assign(row.begin() + kPoseDims, row.end());
    refSet_ = true;
  }

  const float* src = m.srcInfo.data() + static_cast<size_t>(t) * kInfo;
  std::array<float, kKp> drive;
  std::copy_n(src, kKp, drive.data());
  for (int k : kLip)
    for (int c = 3 * k; c < 3 * k + 3; ++c) drive[c] = src[c] + (row[kPoseDims + c] - ref_[c]) * m.gain;

  const double a1 = bin66(src + kInfoPitch), a2 = bin66(src + kInfoSecond), a3 = bin66(src + kInfoThird);
  double rs[9], rd[9];
  poseToR(a1, a2, a3, rs);
  poseToR(a1 + deltaPitch_, a2, a3, rd);
  const double scale = src[kInfoScale];
  const double shift[3] = {src[kInfoTx], src[kInfoTx + 1], 0.0};
  const float* kc = src + kInfoKc;
  for (int k = 0; k < 21; ++k)
    for (int c = 0; c < 3; ++c) {
      double vs = 0.0, vd = 0.0;
      for (int i = 0; i < 3; ++i) {
        vs += kc[3 * k + i] * rs[3 * i + c];
        vd += kc[3 * k + i] * rd[3 * i + c];
      }
      m.xs[3 * k + c] = static_cast<float>(scale * (vs + src[3 * k + c]) + shift[c]);
      m.xd[3 * k + c] = static_cast<float>(scale * (vd + drive[3 * k + c]) + shift[c]);
    }
  m.runStitch();

  const float* tmpl = m.templ.data() + static_cast<size_t>(t) * kKp;
  std::copy_n(tmpl, kKp, base);
  for (int c = 0; c < kKp; ++c) out[c] = tmpl[c] + (m.xdSt[c] - m.xsSt[c]) * sBridge_;

  if (!m.dump.empty()) {
    writeDump(m.dump, "xsla.bin", m.xs.data(), kKp, !first);
    writeDump(m.dump, "xdla.bin", m.xd.data(), kKp, !first);
    writeDump(m.dump, "xs.bin", m.xsSt.data(), kKp, !first);
    writeDump(m.dump, "xd.bin", m.xdSt.data(), kKp, !first);
    writeDump(m.dump, "res_post.bin", out, kKp, !first);
  }
}

}  // namespace le

// ---- C entry points ----

struct le_motion : le::MotionGenerator {
  using le::MotionGenerator::MotionGenerator;
};

namespace {

thread_local std::string g_merr;

// Runs body, turning an exception into "where: what()" and the failure value.
template <typename R, typename F>
R guarded(const char* where, R fail, F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    le::setErr(g_merr, where, e);
    return fail;
  }
}

}  // namespace

extern "C" {

const char* le_motion_last_error(void) { return g_merr.c_str(); }

le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  g_merr.clear();
  if (!motion_dir) {
    le::setArgErr(g_merr, "le_motion_create", "NULL motion_dir");
    return nullptr;
  }
  return guarded("le_motion_create", static_cast<le_motion*>(nullptr),
                 [&] { return new le_motion(motion_dir, threads, ep ? ep : ""); });
}

void le_motion_destroy(le_motion* m) { delete m; }

int le_motion_push(le_motion* m, const float* pcm, int n) {
  g_merr.clear();
  if (!m || !pcm || n < 0 || m->finished()) {
    le::setArgErr(g_merr, "le_motion_push", "bad args / already finished");
    return 0;
  }
  return guarded("le_motion_push", 0, [&] {
    m->push(pcm, n);
    return 1;
  });
}

int le_motion_finish(le_motion* m) {
  g_merr.clear();
  if (!m) {
    le::setArgErr(g_merr, "le_motion_finish", "bad args");
    return 0;
  }
  return guarded("le_motion_finish", 0, [&] {
    m->finish();
    return 1;
  });
}

int le_motion_avail(le_motion* m) {
  g_merr.clear();
  if (!m) {
    le::setArgErr(g_merr, "le_motion_avail", "bad args");
    return 0;
  }
  return guarded("le_motion_avail", 0, [&] { return m->avail(); });
}

int le_motion_pull(le_motion* m, int* idx, float* base, float* out, int max) {
  g_merr.clear();
  if (!m || !idx || !base || !out || max < 0) {
    le::setArgErr(g_merr, "le_motion_pull", "bad args");
    return 0;
  }
  return guarded("le_motion_pull", 0, [&] { return m->pull(idx, base, out, max); });
}

void le_motion_reset(le_motion* m, int start, int dir, int loop) {
  if (m) m->reset(start, dir, loop != 0);
}

void le_motion_set_eager(le_motion* m, int eager) {
  if (m) m->setEager(eager);
}

int le_motion_total(le_motion* m) { return m ? m->total() : -1; }

int le_motion_nt(le_motion* m) { return m ? m->nt() : 0; }

}  // extern "C"
