// The render context: opening a bundle's tables, mask and driver video, and
// building its renderer on first use.
#include "pipeline/le_ctx.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

std::vector<uint8_t> readMask(const std::string& dir, int crop) {
  const size_t bytes = static_cast<size_t>(crop) * crop;
  std::FILE* f = std::fopen(le::resolveMember(dir, "mask_512.u8").c_str(), "rb");
  if (!f) throw std::runtime_error("mask read failed");
  // A mask too short for the manifest's crop fails before its buffer exists.
  struct stat st {};
  if (::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) < bytes) {
    std::fclose(f);
    throw std::runtime_error("mask read failed");
  }
  std::vector<uint8_t> mask(bytes, 0);
  const size_t got = std::fread(mask.data(), 1, mask.size(), f);
  std::fclose(f);
  if (got != mask.size()) throw std::runtime_error("mask read failed");
  return mask;
}

}  // namespace

le_ctx::le_ctx(const std::string& bundleDir, const std::string& key, int nThreads, const std::string& provider,
               bool explicitThreads)
    : manifest(le::loadManifest(bundleDir)),
      identity(manifest),
      drive(le::loadDrive(manifest)),
      threads(nThreads),
      ep(provider),
      threadsExplicit(explicitThreads),
      modelKey(key) {
  paste = std::make_unique<le::Paste>(readMask(manifest.dir, manifest.crop), manifest.crop, manifest.unsharp);
  cursor = le::DriverCursor::open(manifest.video, 2, 11);
  frame.assign(static_cast<size_t>(manifest.W) * manifest.H * 3, 0);
}

le::Renderer& le_ctx::ensureRenderer() {
  if (!renderer) {
    int intra = threads;
    if (!threadsExplicit && ep.empty()) {
      intra = std::min(threads, 2);
      std::fprintf(stderr,
                   "[le] director intra-op %d of pool %d: the caller did not "
                   "choose, the core sized it for the "
                   "le_utt pipeline\n",
                   intra, threads);
    }
    renderer = std::make_unique<le::Renderer>(manifest, identity, modelKey, intra, ep);
  }
  return *renderer;
}

void le_ctx::pasteInto(int si, const float* crop, uint8_t* out) {
  cursor->pullAt(si, out);
  paste->composite(crop, 255.0f, identity.M(si), out, manifest.W, manifest.H);
}
