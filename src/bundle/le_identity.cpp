#include "bundle/le_identity.h"

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "kernels/le_checked.h"

namespace le {
namespace {
bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}
}  // namespace

// A bundle must carry a warp prior in one of its three forms before anything
// is mapped.
void ensureIdentityMembers(const Manifest& m) {
  const std::string& rgb = m.priorRgb;
  const bool hasP = exists(resolveMember(m.dir, "P.f16"));
  const bool hasFs = exists(resolveMember(m.dir, "fs_red.f16"));
  if (rgb != "P.f16" && exists(resolveMember(m.dir, rgb)) && !hasP && !hasFs)
    throw std::runtime_error("this bundle's manifest names its raw warp prior '" + rgb +
                             "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing — it "
                             "maps NOTHING silently and Identity::P(si) is then an offset from a null pointer. "
                             "REFUSING rather than rendering off a prior nothing will read.");
  if (hasP || hasFs) return;
  const std::string& hevc = m.priorHevc;
  if (hevc.empty())
    throw std::runtime_error("this bundle carries neither " + rgb +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the "
                             "renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING "
                             "to create a session.");
  const std::string& path = m.video.priorPath;
  if (!exists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" +
                             path + ") — the renderer has no warp prior. REFUSING to create a session.");
}


Identity::Identity(const Manifest& mf) : nt(mf.NT), crop(mf.crop), manifest(mf) {
  ensureIdentityMembers(mf);
  const std::string& dir = mf.dir;
  const size_t NT = static_cast<size_t>(nt);
  pooled = mapFile(resolveMember(dir, "pooled64.f16"), NT * 131072);
  const std::string pPath = resolveMember(dir, "P.f16");
  const std::string fsPath = resolveMember(dir, "fs_red.f16");
  if (canOpen(pPath)) {
    size_t bytes = 0;
    if (!checkedProduct({NT, static_cast<size_t>(crop), static_cast<size_t>(crop), 6}, &bytes))
      throw std::runtime_error("P.f16: NT " + std::to_string(nt) + " x crop " + std::to_string(crop) + " x crop " +
                               std::to_string(crop) + " x 6 bytes do not fit in memory \u2014 refusing");
    prgb = mapFile(pPath, bytes);
  } else if (!canOpen(fsPath) && canOpen(mf.video.priorPath)) {
    priorPath = mf.video.priorPath;
  }
  if (canOpen(fsPath)) fsred = mapFile(fsPath, NT * 524288);
  m = readRaw<float>(resolveMember(dir, "M.f32"), NT * 6);
  rescaleM(mf);
}

Identity::~Identity() = default;
Identity::Identity(Identity&&) noexcept = default;

const uint8_t* Identity::P(int i) {
  if (!prgb.empty()) return prgb.data + static_cast<size_t>(i) * crop * crop * 6;
  int index = -1;
  return prior()->pullAt(i, &index);
}

void Identity::walkP(int i) {
  if (prgb.empty() && !priorPath.empty()) {
    int index = -1;
    prior()->pullAt(i, &index);
  }
}

DriverCursor* Identity::prior() {
  std::call_once(*priorOnce, [this] { priorCursor = DriverCursor::openPrior(manifest.video, 2, 11); });
  return priorCursor.get();
}

std::string Identity::priorBackend() {
  if (!prgb.empty()) return "mmap P.f16";
  if (!priorPath.empty()) return prior()->name();
  return "none";
}

size_t Identity::priorResidentBytes() {
  return (prgb.empty() && !priorPath.empty()) ? prior()->residentBytes() : 0;
}

uint64_t Identity::priorSeeks() { return (prgb.empty() && !priorPath.empty()) ? prior()->seeks() : 0; }

void Identity::rescaleM(const Manifest& mf) {
  if (mf.srcW < 1 || mf.srcH < 1)
    throw std::runtime_error(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
        "knowing the space it was authored in");
  if (mf.srcW == mf.W && mf.srcH == mf.H) return;
  const double sx = static_cast<double>(mf.W) / mf.srcW, sy = static_cast<double>(mf.H) / mf.srcH;
  for (size_t f = 0; f + 6 <= m.size(); f += 6) {
    for (int k = 0; k < 3; ++k) m[f + k] = static_cast<float>(m[f + k] * sx);
    for (int k = 3; k < 6; ++k) m[f + k] = static_cast<float>(m[f + k] * sy);
  }
}

Drive loadDrive(const Manifest& mf) {
  Drive d;
  d.frames = mf.frames;
  const size_t n = static_cast<size_t>(std::max(mf.frames, 0));
  d.xs = readRaw<float>(resolveMember(mf.dir, "drive/xs.f32"), n * 63);
  d.xd = readRaw<float>(resolveMember(mf.dir, "drive/xd.f32"), n * 63);
  d.si = readRaw<int32_t>(resolveMember(mf.dir, "drive/si.i32"), n);
  for (int32_t s : d.si)
    if (s < 0 || s >= mf.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace le
