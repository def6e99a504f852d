// Identity member checks: a bundle must carry a warp prior in one of its
// three forms before anything is mapped.
#include <sys/stat.h>

#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"

namespace le {
namespace {
bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}
}  // namespace

std::string ensureIdentityMembers(const Manifest& m) {
  const std::string text = readText(m.dir + "/manifest.json");
  std::string rgb;
  if (!manifest_key::optStr(text, "P_rgb", &rgb)) rgb = "P.f16";
  const bool hasP = exists(resolveMember(m.dir, "P.f16"));
  const bool hasFs = exists(resolveMember(m.dir, "fs_red.f16"));
  if (rgb != "P.f16" && exists(resolveMember(m.dir, rgb)) && !hasP && !hasFs)
    throw std::runtime_error("this bundle's manifest names its raw warp prior '" + rgb +
                             "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing — it "
                             "maps NOTHING silently and Identity::P(si) is then an offset from a null pointer. "
                             "REFUSING rather than rendering off a prior nothing will read.");
  if (hasP || hasFs) return {};
  std::string hevc;
  if (!manifest_key::optStr(text, "P_hevc", &hevc))
    throw std::runtime_error("this bundle carries neither " + rgb +
                             " nor fs_red.f16, and its manifest names no P_hevc member to play one from — the "
                             "renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING "
                             "to create a session.");
  const std::string path = resolveMember(m.dir, hevc);
  if (!exists(path))
    throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" +
                             path + ") — the renderer has no warp prior. REFUSING to create a session.");
  return path;
}

}  // namespace le
