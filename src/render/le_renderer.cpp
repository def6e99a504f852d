#include "render/le_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <array>
#include <chrono>
#include <sys/resource.h>
#include <unistd.h>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_identity.h"
#include "bundle/le_lip_contour.h"
#include "render/warp_director.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"
#include "le/le.h"
#include "render/graph_normalise.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/le_conv.h"
#include "render/le_ort_log.h"
#include "render/source_cone.h"

namespace le {

namespace {

constexpr size_t kPooledPerSample = 64 * 32 * 32;
constexpr size_t kFsPerSample = 64 * 64 * 64;
constexpr size_t kKpPerSample = kHostKpRows * 3;

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool envStartsWith(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

// LE_GS_FAST=0 drops the GridSampleFast operator, and with it the rewrite.
bool gsFastOn() { return !envStartsWith("LE_GS_FAST", '0'); }

// What the director and the prep session share: one inter-op thread, every
// optimisation, no KleidiAI kernels.
Ort::SessionOptions baseOptions(int threads) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  so.AddConfigEntry("mlas.disable_kleidiai", "1");
  return so;
}

void registerOperators(Ort::SessionOptions& so) {
  if (gsFastOn()) registerGridSampleFast(so);
  registerInt8ConvVNNI(so);
}

std::vector<uint8_t> readGraph(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  std::vector<uint8_t> bytes;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size >= 0 && std::fseek(f, 0, SEEK_SET) == 0) {
    bytes.resize(static_cast<size_t>(size));
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) size = -1;
  }
  std::fclose(f);
  if (size < 0) throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::string keypointContractRefusal(const std::string& path, const std::string& input, int64_t rows) {
  const std::string width =
      rows == 22 ? "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x "
                   "encoder's second output. This engine has no width feed (see le_a2x_width / le_a2x_pull_wn in "
                   "le/le_a2x, which nothing on this path calls yet), so it cannot drive this director. "
                 : "";
  return "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " — the graph declares " + input + " with " +
         std::to_string(rows) + " keypoint rows, and this renderer feeds 21 (le::kHostKpRows, le/le). " + width +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published "
         "to a host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to "
         "prevent it.";
}

std::string xnnpackRefusal(const std::string& ep) {
  return "Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to corvamel custom-domain nodes "
         "(com.corvamel::GridSampleFast, and com.corvamel::WarpDirector wherever LE_WARP_NODE is on), and ORT's "
         "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them — measured 2026-09-15 "
         "on a published velisar2-android AAR, null deref inside libonnxruntime.so at session create, on both a "
         "door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so it cannot "
         "be caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the "
         "same bytes.";
}

std::string bakedGraphRefusal(const std::string& path) {
  return "Renderer: LE_GS_FAST=0 (or CORVAMEL_VELISAR2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + path +
         " has com.corvamel::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, "
         "so there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is "
         "not a registered function/op'. There is no standard-GridSample arm on this bundle to measure: the "
         "artifact itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
         "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.";
}

}  // namespace

const char* coremlUnits(const std::string& ep) {
  const std::string unit = ep.size() < 8 ? "all" : ep.substr(7);
  if (unit == "cpu") return "CPUOnly";
  if (unit == "gpu") return "CPUAndGPU";
  if (unit == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

std::string coremlCacheDir(const std::string& bundleDir) {
  const std::string version = Ort::GetVersionString();
  return bundleDir + "/.coreml_cache/ort" + (version.empty() ? "unknown" : version);
}

PreparedGraph prepareGraph(const Manifest& m, const std::string& key, bool coreml, const tessera::LipContour* lip) {
  PreparedGraph g;
  g.path = m.modelPath(key);
  const bool gsFast = gsFastOn();
  const bool gsRewrite = gsFast && !envStartsWith("LE_GS_REWRITE", '0');
  if (gsFast && !gsRewrite && !coreml)
    std::fprintf(stderr,
                 "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvamel::GridSampleFast rewrite DISABLED "
                 "(%s); the custom op is still registered, so a baked bundle loads and runs its baked kernel. A "
                 "standard bundle now runs ORT's own GridSample.\n",
                 key.c_str());
  g.bytes = readGraph(g.path);
  if (!gsFast && graphHasBakedGridSampleFast(g.bytes)) throw std::runtime_error(bakedGraphRefusal(g.path));

  const char* warpNode = std::getenv("LE_WARP_NODE");
  const bool warpOn = warpNode && *warpNode && *warpNode != '0';
  if (warpOn && coreml) {
    // A CoreML session keeps the standard graph: neither the warp node nor GridSampleFast.
  } else {
    if (warpOn) {
      std::string reason;
      g.warpNodes = rewriteWarpBlockToCustomOp(g.bytes, reason);
      if (g.warpNodes)
        std::fprintf(stderr,
                     "[le] director warp -> com.corvamel::WarpDirector (%zu nodes removed, the source cone with "
                     "them)\n",
                     g.warpNodes);
      else
        std::fprintf(stderr,
                     "[le] director warp NOT moved to one node (%s) — the graph loads exactly as it did before\n",
                     reason.empty() ? "no reason given" : reason.c_str());
    }
    g.gsNodes = !coreml && gsRewrite ? rewriteGridSampleToFast(g.bytes) : 0;
  }
  g.blendNodes = normaliseStudentBlend(g.bytes);
  g.cubicNodes = rewriteHeadCubicResize(g.bytes);

  if (lip) {
    std::string reason;
    int canvas = 0, batch = 0;
    g.lipBound = rewriteBindLipContour(g.bytes, reason, &canvas, &batch);
    if (g.lipBound && canvas != m.crop)
      throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                               " and this bundle's manifest declares crop " + std::to_string(m.crop) +
                               " — refusing to bind a lip contour rasterised on the wrong canvas");
    if (!g.lipBound)
      std::fprintf(stderr,
                   "[le] !!! lip contour NOT bound to the compose alpha (%s): %s — this session serves the graph's own "
                   "ELLIPSE\n",
                   key.c_str(), reason.empty() ? "no reason given" : reason.c_str());
  } else {
    std::fprintf(stderr,
                 "[le] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director generates the "
                 "over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/velisar-2/tools/carry_lip_template_fleet\n",
                 key.c_str(), "lip_template.v1.json");
  }
  g.changed = g.warpNodes || g.gsNodes || g.blendNodes || g.cubicNodes || g.lipBound;
  return g;
}

void reportRewrites(const PreparedGraph& g, const std::string& key, const tessera::LipContour* lip) {
  if (g.gsNodes)
    std::fprintf(stderr, "[le] std GridSample -> com.corvamel::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 g.gsNodes, key.c_str());
  if (g.blendNodes)
    std::fprintf(stderr,
                 "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) — a pre-2026-09-11 "
                 "student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit that includes "
                 "the GPU\n",
                 g.blendNodes, key.c_str());
  if (g.cubicNodes)
    std::fprintf(stderr,
                 "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
                 "(%s) — the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class "
                 "EP and no CoreML/NNAPI EP can claim it\n",
                 g.cubicNodes, key.c_str());
  if (g.lipBound && lip)
    std::fprintf(stderr,
                 "[le] compose alpha: LIP CONTOUR (%s) — Min(a, lip_delivery) bound at load, %d verts, feather %.1f "
                 "px; the graph's ellipse is not reachable in this session\n",
                 key.c_str(), lip->vertexCount(), lip->featherPx());
}

struct Renderer::Impl {
  std::string ep;
  Ort::Env env{le::kOrtLogLevel, "le"};
  Ort::SessionOptions options{nullptr};
  Ort::Session session{nullptr};
  Ort::IoBinding binding{nullptr};
  bool profiling = false;
  double runMs = 0;
  int64_t runCount = 0;

  Identity* identity = nullptr;
  int32_t batch = 0;
  int32_t crop = 0;
  size_t pPerSample = 0;
  bool featSynth = false;
  std::vector<float> pooled, P, fs, driving, source, output;
  std::vector<Ort::Value> values;
  std::string directorNote;
  std::unique_ptr<tessera::LipContour> lipContour;
  std::vector<float> lip;  // "lip_delivery", batch x crop x crop
  bool lipBound = false;

  // The source-cone prefetcher: a prep session computes the boundary of a
  // source frame into one of two ring slots while the director renders from
  // the other.
  struct PrepSlot {
    int32_t si = -1;  // -1: empty or being filled
    std::vector<float> buf;
    Ort::Value tensor{nullptr};
  };
  Ort::Session prep{nullptr};
  Ort::IoBinding prepBinding{nullptr};
  std::string boundary;
  size_t boundaryElems = 0;
  std::array<PrepSlot, 2> slots;
  std::mutex mu;
  std::condition_variable cv;
  int32_t jobSi = -1;
  int jobSlot = -1;  // -1: no job
  int current = -1;
  bool stop = false;
  std::string prepError;
  std::thread prefetcher;
  SourcePredictor predictor;

  ~Impl();
  void buildSession(const std::string& request, int threads, const Manifest& m, const std::string& key);
  std::string hoist(const std::vector<uint8_t>& graph, const Ort::SessionOptions& main, const std::string& key);
  void inspectInputs(const std::string& path);
  void bindBuffers();
  void startPrefetch();
  int acquire(int32_t si);
  void runPrepL(int32_t si, int slot, std::unique_lock<std::mutex>& lock);
  void prefetchNext(int32_t si);
  void prefetchLoop();
  const float* render(const int32_t* si, const float* ks, const float* kd, int n);
  const float* run();
};

// Cuts the source cone out of the graph: the prep session computes the
// boundary, the director session is created from the per-frame graph.
// Returns the reason when it does not apply; the session is untouched then.
std::string Renderer::Impl::hoist(const std::vector<uint8_t>& graph, const Ort::SessionOptions& main,
                                  const std::string& key) {
  std::string name, reason;
  if (const size_t n = findSourceConeBoundary(graph, name); n != 1)
    return "expected exactly one Concat consuming P_rgb, found " + std::to_string(n);
  std::vector<uint8_t> prepGraph, perFrame;
  if (!buildSourceConePrep(graph, name, prepGraph, reason)) return reason;
  try {
    Ort::SessionOptions so = baseOptions(1);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    registerOperators(so);
    prep = Ort::Session(env, prepGraph.data(), prepGraph.size(), so);
    const std::vector<int64_t> in = prep.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (in.size() != 4 || in[0] != 1) {
      prep = Ort::Session{nullptr};
      return "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? 0 : in[0]);
    }
    std::vector<int64_t> dims = prep.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    size_t elems = dims.empty() ? 0 : 1;
    for (const int64_t d : dims) elems *= d < 0 ? 0 : static_cast<size_t>(d);
    if (elems == 0 || dims.size() != 4) {
      prep = Ort::Session{nullptr};
      return "boundary shape is not static";
    }
    if (!buildSourceConePerFrame(graph, name, dims.data(), dims.size(), perFrame, reason)) {
      prep = Ort::Session{nullptr};
      return reason;
    }
    session = Ort::Session(env, perFrame.data(), perFrame.size(), main);
    boundary = name;
    boundaryElems = elems;
    std::fprintf(stderr,
                 "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched per "
                 "SOURCE FRAME on one spare core (%s)\n",
                 name.c_str(), static_cast<long long>(dims[0]), static_cast<long long>(dims[1]),
                 static_cast<long long>(dims[2]), static_cast<long long>(dims[3]), key.c_str());
    return {};
  } catch (const std::exception& e) {
    prep = Ort::Session{nullptr};
    boundary.clear();
    boundaryElems = 0;
    return e.what();
  }
}

// The session builder: options, execution provider, custom operators, the
// graph as prepareGraph leaves it, then the source-cone hoist.
void Renderer::Impl::buildSession(const std::string& request, int threads, const Manifest& m, const std::string& key) {
  prep = Ort::Session{nullptr};
  boundary.clear();
  boundaryElems = 0;

  Ort::SessionOptions so = baseOptions(threads);
  if (!envStartsWith("LE_ORT_SPIN", '1')) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (const char* prefix = std::getenv("LE_ORT_PROFILE"); prefix && *prefix) {
    so.EnableProfiling(prefix);
    profiling = true;
  }

  if (startsWith(request, "xnnpack")) throw std::runtime_error(xnnpackRefusal(request));
  const bool coreml = startsWith(request, "coreml");
  if (!request.empty() && !coreml) throw std::runtime_error("Renderer: unknown ep '" + request + "'");
  if (coreml)
    so.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                          {"MLComputeUnits", coremlUnits(request)},
                                          {"ModelCacheDirectory", coremlCacheDir(m.dir)}});
  registerOperators(so);
  const PreparedGraph g = prepareGraph(m, key, coreml, lipContour.get());
  lipBound = g.lipBound;

  bool hoisted = false;
  const std::string unit = request.size() < 8 ? "all" : request.substr(7);
  if (coreml && (unit == "all" || unit == "gpu")) {
    std::fprintf(stderr,
                 "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU and "
                 "the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) — the "
                 "cone stays in the graph\n",
                 key.c_str(), unit.c_str());
  } else if (g.warpNodes) {
    std::fprintf(stderr,
                 "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is nothing left to "
                 "hoist\n",
                 key.c_str());
  } else if ((!identity->prgb.empty() || !identity->priorPath.empty()) && !g.bytes.empty()) {
    const std::string reason = hoist(g.bytes, so, key);
    hoisted = reason.empty();
    if (!hoisted) std::fprintf(stderr, "[le] source-cone hoist NOT applied (%s): %s\n", key.c_str(), reason.c_str());
  }
  reportRewrites(g, key, lipContour.get());

  // Unchanged bytes load from the member's path, so ONNX Runtime resolves
  // any external data beside it.
  if (!hoisted)
    session = g.changed ? Ort::Session(env, g.bytes.data(), g.bytes.size(), so) : Ort::Session(env, g.path.c_str(), so);
  options = std::move(so);
  ep = request.empty() ? "cpu" : request;
  std::fprintf(
      stderr, "[le] director ep=%s (%s)\n", ep.c_str(),
      coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph" : "ORT CPU EP");
}

void Renderer::Impl::inspectInputs(const std::string& path) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names;
  std::vector<std::vector<int64_t>> shapes;
  for (size_t i = 0; i < session.GetInputCount(); ++i) {
    names.emplace_back(session.GetInputNameAllocated(i, alloc).get());
    const Ort::TypeInfo info = session.GetInputTypeInfo(i);
    shapes.push_back(info.GetONNXType() == ONNX_TYPE_TENSOR ? info.GetTensorTypeAndShapeInfo().GetShape()
                                                            : std::vector<int64_t>{});
  }
  for (const std::string& name : names) featSynth |= name == "fs_red";

  const char* pooledName = featSynth ? "pooled" : "pooled64";
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == pooledName && shapes[i].size() == 4 && shapes[i][0] > 0) batch = static_cast<int32_t>(shapes[i][0]);
  if (batch == 0) throw std::runtime_error(std::string(pooledName) + " input not found / bad shape");

  const char* kd = featSynth ? "kd" : "kp_driving";
  const char* ks = featSynth ? "ks" : "kp_source";
  for (size_t i = 0; i < names.size(); ++i) {
    if ((names[i] != kd && names[i] != ks) || shapes[i].size() != 3) continue;
    const int64_t rows = shapes[i][1];
    if (rows >= 1 && rows != kHostKpRows) throw std::runtime_error(keypointContractRefusal(path, names[i], rows));
  }
}

void Renderer::Impl::bindBuffers() {
  const size_t b = static_cast<size_t>(batch);
  pPerSample = static_cast<size_t>(crop) * crop * 3;
  if (featSynth && identity->fsred.empty()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
  if (!featSynth && identity->prgb.empty() && identity->priorPath.empty())
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
        "P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and Identity::P(si) would be an "
        "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.");
  pooled.assign(b * kPooledPerSample, 0.0f);
  (featSynth ? fs : P).assign(b * (featSynth ? kFsPerSample : pPerSample), 0.0f);
  driving.assign(b * kKpPerSample, 0.0f);
  source.assign(b * kKpPerSample, 0.0f);
  output.assign(b * pPerSample, 0.0f);

  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  binding = Ort::IoBinding(session);
  const int64_t bb = batch, c = crop, rows = kHostKpRows;
  const auto tensor = [&](std::vector<float>& buf, std::vector<int64_t> shape) -> Ort::Value& {
    values.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    return values.back();
  };
  if (featSynth) {
    binding.BindInput("fs_red", tensor(fs, {bb, 64, 64, 64}));
    binding.BindInput("pooled", tensor(pooled, {bb, 64, 32, 32}));
    binding.BindInput("kd", tensor(driving, {bb, rows, 3}));
    binding.BindInput("ks", tensor(source, {bb, rows, 3}));
  } else {
    binding.BindInput("pooled64", tensor(pooled, {bb, 64, 32, 32}));
    if (prep) {
      // The boundary is bound per frame, to the ring slot that holds it.
      for (PrepSlot& slot : slots) {
        slot.buf.assign(boundaryElems, 0.0f);
        const int64_t channels = static_cast<int64_t>(boundaryElems / (b * crop * crop));
        const std::array<int64_t, 4> shape{bb, channels, c, c};
        slot.tensor = Ort::Value::CreateTensor<float>(mem, slot.buf.data(), slot.buf.size(), shape.data(), 4);
      }
      prepBinding = Ort::IoBinding(prep);
      prepBinding.BindInput("P_rgb", tensor(P, {bb, 3, c, c}));
      prefetcher = std::thread([this] { prefetchLoop(); });
    } else {
      binding.BindInput("P_rgb", tensor(P, {bb, 3, c, c}));
    }
    binding.BindInput("kp_driving", tensor(driving, {bb, rows, 3}));
    binding.BindInput("kp_source", tensor(source, {bb, rows, 3}));
  }
  binding.BindOutput("rgb", tensor(output, {bb, 3, c, c}));
  if (lipBound) {
    lip.assign(b * crop * crop, 1.0f);
    binding.BindInput("lip_delivery", tensor(lip, {bb, 1, c, c}));
  }
}

void Renderer::Impl::runPrepL(int32_t si, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string failure;
  try {
    simd::f16ToF32(reinterpret_cast<const uint16_t*>(identity->P(si)), P.data(), pPerSample);
    prepBinding.BindOutput(boundary.c_str(), slots[static_cast<size_t>(slot)].tensor);
    prep.Run(Ort::RunOptions{nullptr}, prepBinding);
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "unknown error";
  }
  lock.lock();
  if (!failure.empty()) {
    if (prepError.empty()) prepError = failure;
  } else {
    slots[static_cast<size_t>(slot)].si = si;
  }
}

int Renderer::Impl::acquire(int32_t si) {
  std::unique_lock<std::mutex> lock(mu);
  current = -1;
  while (prepError.empty()) {
    for (int s = 0; s < static_cast<int>(slots.size()); ++s)
      if (slots[static_cast<size_t>(s)].si == si) return current = s;
    if (jobSlot >= 0) {
      cv.wait(lock);
      continue;
    }
    // No current slot while acquiring: the first slot is always free to fill.
    slots[0].si = -1;
    runPrepL(si, 0, lock);
  }
  throw std::runtime_error("Renderer: the hoisted source cone failed in ORT — " + prepError);
}

int32_t SourcePredictor::next(int32_t si, int32_t nt) {
  const int32_t prev = lastSi;
  lastSi = si;
  if (nt < 2) return si;
  int32_t predicted;
  if (prev == nt - 1 && si == 0) {
    wraps = true;
    if (nt == 2) step = -1;
    predicted = step;
  } else {
    if (prev >= 0 && (si - prev == 1 || si - prev == -1)) step = si - prev;
    predicted = si + step;
  }
  if (wraps) return ((predicted % nt) + nt) % nt;
  if (predicted >= nt) return nt - 2;
  if (predicted < 0) return 1;
  return predicted;
}

// Hands the predicted next source frame to the prefetch thread.
void Renderer::Impl::prefetchNext(int32_t si) {
  const int32_t predicted = predictor.next(si, identity->nt);
  const std::lock_guard<std::mutex> lock(mu);
  if (jobSlot >= 0 || !prepError.empty()) return;
  for (const PrepSlot& slot : slots)
    if (slot.si == predicted) return;
  const int take = current == 0 ? 1 : 0;
  slots[static_cast<size_t>(take)].si = -1;
  jobSi = predicted;
  jobSlot = take;
  cv.notify_one();
}

void Renderer::Impl::prefetchLoop() {
  // The prep runs beside the director's own intra-op threads. On a machine
  // with no spare core an equal share stalls the director's parallel
  // operators behind it (the utterance pipeline on 2 cores: 44 against 40 ms
  // per 1080p frame); at the lowest priority it takes what the others leave.
#ifdef __linux__
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
#endif
  std::unique_lock<std::mutex> lock(mu);
  while (!stop) {
    while (jobSlot >= 0 && !stop) {
      runPrepL(jobSi, jobSlot, lock);
      jobSlot = -1;
      jobSi = -1;
      cv.notify_all();
    }
    cv.wait(lock, [&] { return stop || jobSlot >= 0; });
  }
}

const float* Renderer::Impl::render(const int32_t* si, const float* ks, const float* kd, int n) {
  if (n < 1 || n > batch) throw std::runtime_error("render: bad n");
  const size_t plane = static_cast<size_t>(crop) * crop;
  if (prep) {
    const int slot = acquire(si[0]);
    binding.BindInput(boundary.c_str(), slots[static_cast<size_t>(slot)].tensor);
    simd::f16ToF32(reinterpret_cast<const uint16_t*>(identity->pooled64(si[0])), pooled.data(), kPooledPerSample);
    std::memcpy(source.data(), ks, kKpPerSample * sizeof(float));
    std::memcpy(driving.data(), kd, kKpPerSample * sizeof(float));
    if (lipBound) lipContour->contourF32Canvas(kd, lip.data());
    prefetchNext(si[0]);
    return run();
  }
  std::vector<float>& prior = featSynth ? fs : P;
  const size_t priorPerSample = featSynth ? kFsPerSample : pPerSample;
  const auto row = [](std::vector<float>& buf, size_t per, int i) { return buf.data() + per * i; };
  for (int i = 0; i < batch; ++i) {
    if (i >= n) {
      for (auto [buf, per] :
           {std::pair{&pooled, kPooledPerSample}, std::pair{&prior, priorPerSample}, std::pair{&source, kKpPerSample},
            std::pair{&driving, kKpPerSample}, std::pair{&lip, lipBound ? plane : 0}})
        if (per) std::memcpy(row(*buf, per, i), row(*buf, per, n - 1), per * sizeof(float));
      continue;
    }
    simd::f16ToF32(reinterpret_cast<const uint16_t*>(identity->pooled64(si[i])), row(pooled, kPooledPerSample, i),
                   kPooledPerSample);
    const uint8_t* p = featSynth ? identity->fsRed(si[i]) : identity->P(si[i]);
    simd::f16ToF32(reinterpret_cast<const uint16_t*>(p), row(prior, priorPerSample, i), priorPerSample);
    std::memcpy(row(source, kKpPerSample, i), ks + kKpPerSample * i, kKpPerSample * sizeof(float));
    std::memcpy(row(driving, kKpPerSample, i), kd + kKpPerSample * i, kKpPerSample * sizeof(float));
    if (lipBound) lipContour->contourF32Canvas(kd + kKpPerSample * i, row(lip, plane, i));
  }
  return run();
}

const float* Renderer::Impl::run() {
  const auto t0 = std::chrono::steady_clock::now();
  session.Run(Ort::RunOptions{nullptr}, binding);
  runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runCount;
  return output.data();
}

Renderer::Impl::~Impl() {
  if (prefetcher.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mu);
      stop = true;
    }
    cv.notify_all();
    prefetcher.join();
  }
  if (!profiling || !session) return;
  if (runCount > 0)
    std::fprintf(stderr, "[le_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", static_cast<long>(runCount),
                 runMs / static_cast<double>(runCount));
  try {
    Ort::AllocatorWithDefaultOptions alloc;
    std::fprintf(stderr, "[le_ort_profile] %s\n", session.EndProfilingAllocated(alloc).get());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_ort_profile] FAILED: %s\n", e.what());
  }
}

Renderer::Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
                   const std::string& ep)
    : impl_(std::make_unique<Impl>()) {
  Impl& r = *impl_;
  r.identity = &identity;
  r.crop = manifest.crop;
  if (threads < 1) threads = pool::threads();

  std::string request = ep;
  const char* convBackend = std::getenv("LE_CONV_BACKEND");
  const bool neon = ep == "neon" || (ep.empty() && convBackend && std::strcmp(convBackend, "neon") == 0);
  if (neon && !ConvBackend::available()) {
    std::fprintf(stderr, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    request.clear();
  }

  if (!manifest.lipTemplate.empty())
    r.lipContour = std::make_unique<tessera::LipContour>(
        tessera::LipContour::fromTemplateJson(manifest.lipTemplate, manifest.crop));

  try {
    r.buildSession(request, threads, manifest, modelKey);
  } catch (const std::exception& e) {
    if (!startsWith(request, "coreml")) throw;
    std::fprintf(stderr, "[le] CoreML EP session refused: %s — falling back to the ORT CPU EP\n", e.what());
    r.session = Ort::Session{nullptr};
    r.buildSession("", threads, manifest, modelKey);
  }
  r.inspectInputs(manifest.modelPath(modelKey));
  r.bindBuffers();
}

Renderer::~Renderer() = default;

const float* Renderer::render(const int32_t* si, const float* ks, const float* kd, int n) {
  return impl_->render(si, ks, kd, n);
}

int Renderer::batch() const { return impl_->batch; }
const std::string& Renderer::ep() const { return impl_->ep; }
const char* Renderer::backend() const { return "ort"; }
const std::string& Renderer::directorNote() const { return impl_->directorNote; }

}  // namespace le
