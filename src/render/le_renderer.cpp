#include "render/le_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_identity.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"
#include "le/le.h"
#include "render/graph_normalise.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/le_conv.h"
#include "render/le_ort_log.h"

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

PreparedGraph prepareGraph(const Manifest& m, const std::string& key, bool coreml) {
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

  // [warp node] LE_WARP_NODE moves the warp block into one WarpDirector node here.

  g.gsNodes = !coreml && gsRewrite ? rewriteGridSampleToFast(g.bytes) : 0;
  g.blendNodes = normaliseStudentBlend(g.bytes);
  g.cubicNodes = rewriteHeadCubicResize(g.bytes);
  g.changed = g.gsNodes || g.blendNodes || g.cubicNodes;

  // [lip contour] a bundle with a lip template binds it to the compose alpha
  // here; without one the graph keeps its own ellipse.
  if (m.lipTemplate.empty())
    std::fprintf(stderr,
                 "[le] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director generates the "
                 "over-covering elliptical region the contour replaces. BACKFILL IT: "
                 "models/velisar-2/tools/carry_lip_template_fleet\n",
                 key.c_str(), "lip_template.v1.json");

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
  return g;
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

  ~Impl();
  void buildSession(const std::string& request, int threads, const Manifest& m, const std::string& key);
  void inspectInputs(const std::string& path);
  void bindBuffers();
  const float* render(const int32_t* si, const float* ks, const float* kd, int n);
};

// The session builder: options, execution provider, custom operators, then
// the graph as prepareGraph leaves it.
void Renderer::Impl::buildSession(const std::string& request, int threads, const Manifest& m, const std::string& key) {
  // [source-cone hoist] a rebuilt session releases the previous prep session here.

  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(threads);
  so.SetInterOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!envStartsWith("LE_ORT_SPIN", '1')) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
  so.AddConfigEntry("mlas.disable_kleidiai", "1");
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

  if (gsFastOn()) registerGridSampleFast(so);
  registerInt8ConvVNNI(so);
  const PreparedGraph g = prepareGraph(m, key, coreml);

  // [source-cone hoist] the hoist decision, and the per-frame session it
  // creates, go here.

  // Unchanged bytes load from the member's path, so ONNX Runtime resolves
  // any external data beside it.
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

  // [source-cone hoist] the prep ring, its binding and the prefetch thread start here.

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
    binding.BindInput("P_rgb", tensor(P, {bb, 3, c, c}));
    binding.BindInput("kp_driving", tensor(driving, {bb, rows, 3}));
    binding.BindInput("kp_source", tensor(source, {bb, rows, 3}));
  }
  binding.BindOutput("rgb", tensor(output, {bb, 3, c, c}));
  // [lip contour] a bound contour adds "lip_delivery" over a buffer of ones here.
}

const float* Renderer::Impl::render(const int32_t* si, const float* ks, const float* kd, int n) {
  if (n < 1 || n > batch) throw std::runtime_error("render: bad n");
  // [source-cone hoist] a hoisted graph takes its boundary from the prefetch ring instead.
  std::vector<float>& prior = featSynth ? fs : P;
  const size_t priorPerSample = featSynth ? kFsPerSample : pPerSample;
  const auto row = [](std::vector<float>& buf, size_t per, int i) { return buf.data() + per * i; };
  for (int i = 0; i < batch; ++i) {
    if (i >= n) {
      for (auto [buf, per] : {std::pair{&pooled, kPooledPerSample}, std::pair{&prior, priorPerSample},
                              std::pair{&source, kKpPerSample}, std::pair{&driving, kKpPerSample}})
        std::memcpy(row(*buf, per, i), row(*buf, per, n - 1), per * sizeof(float));
      continue;
    }
    simd::f16ToF32(reinterpret_cast<const uint16_t*>(identity->pooled64(si[i])), row(pooled, kPooledPerSample, i),
                   kPooledPerSample);
    const uint8_t* p = featSynth ? identity->fsRed(si[i]) : identity->P(si[i]);
    simd::f16ToF32(reinterpret_cast<const uint16_t*>(p), row(prior, priorPerSample, i), priorPerSample);
    std::memcpy(row(source, kKpPerSample, i), ks + kKpPerSample * i, kKpPerSample * sizeof(float));
    std::memcpy(row(driving, kKpPerSample, i), kd + kKpPerSample * i, kKpPerSample * sizeof(float));
  }
  const auto t0 = std::chrono::steady_clock::now();
  session.Run(Ort::RunOptions{nullptr}, binding);
  runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++runCount;
  return output.data();
}

Renderer::Impl::~Impl() {
  // [source-cone hoist] the prefetch thread is stopped and joined here.
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

  // [lip contour] the lip template of the manifest becomes the contour here.

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
