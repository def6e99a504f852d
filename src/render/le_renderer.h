// The director renderer: one ONNX Runtime session over the bundle's director
// graph, rewritten at load time, with its inputs bound once to buffers that
// are refilled for every frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace le {

struct Manifest;
class Identity;
namespace tessera {
class LipContour;
}

// Where a CoreML session caches its compiled model, per runtime version.
std::string coremlCacheDir(const std::string& bundleDir);

// The CoreML compute units an ep text "coreml[:unit]" asks for: "cpu",
// "gpu" and "ane" name their unit sets, anything else (or no unit) is "ALL".
const char* coremlUnits(const std::string& ep);

// The director graph as the renderer's session loads it.
struct PreparedGraph {
  std::string path;            // the member "model_{modelKey}.onnx"
  std::vector<uint8_t> bytes;  // its bytes after the load-time passes
  bool changed = false;        // a pass changed them
  size_t gsNodes = 0;          // GridSample nodes retyped to GridSampleFast
  size_t blendNodes = 0;       // student blend MatMuls retyped to Gemm
  size_t cubicNodes = 0;       // cubic head Resizes replaced by Pad, Conv and DepthToSpace
  size_t warpNodes = 0;        // nodes the WarpDirector node replaced (LE_WARP_NODE)
  bool lipBound = false;       // the compose alpha reads "lip_delivery"
};

// Reads the bundle's director graph and runs the load-time passes over it in
// their fixed order: the warp node (LE_WARP_NODE), GridSampleFast
// (LE_GS_FAST=0 and LE_GS_REWRITE=0 turn it off; a CoreML session keeps the
// standard operators), the blend and cubic normalisations, and the binding of
// the lip contour when there is one. Throws std::runtime_error when the graph
// cannot be served.
PreparedGraph prepareGraph(const Manifest& manifest, const std::string& modelKey, bool coreml,
                           const tessera::LipContour* lip);
// The load lines of the passes that changed the graph, in their order.
void reportRewrites(const PreparedGraph& graph, const std::string& modelKey, const tessera::LipContour* lip);

// Guesses the source frame the driver shows after si from the frames it
// showed: forward or backward by one, bouncing off either end until a wrap
// from the last frame to the first has been seen, wrapping from then on.
struct SourcePredictor {
  int32_t lastSi = -1, step = 1;
  bool wraps = false;
  int32_t next(int32_t si, int32_t nt);
};

class Renderer {
 public:
  // Loads "model_{modelKey}.onnx" of the bundle. threads < 1 means
  // le::pool::threads(); ep is "", "neon" or "coreml[:unit]".
  // Throws std::runtime_error when the graph or the bundle cannot serve.
  Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n (1..batch) samples: source frame si[i] with the keypoint sets
  // ks + 63 i and kd + 63 i. Returns [batch, 3, crop, crop] planar floats;
  // slots n..batch-1 repeat sample n-1. Valid until the next render.
  const float* render(const int32_t* si, const float* ks, const float* kd, int n);

  int batch() const;
  // The execution provider in use: the request, or "cpu".
  const std::string& ep() const;
  // "ort": this build has no native NEON or CoreML backend.
  const char* backend() const;
  const std::string& directorNote() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
