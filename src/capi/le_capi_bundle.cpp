// C entry points of bundle path resolution.
#include <cstring>
#include <exception>
#include <string>

#include "bundle/le_imx.h"
#include "bundle/le_manifest.h"
#include "capi/le_error.h"
#include "le/le_bundle.h"

extern "C" {

LE_API int le_bundle_resolve_handle(const char* bundle, char* out, size_t out_size) {
  std::string& err = le::capi::renderError();
  err.clear();
  if (!bundle || !out || out_size == 0) return -1;
  std::string dir;
  try {
    dir = le::resolveBundlePath(bundle);
  } catch (const std::exception& e) {
    out[0] = 0;
    le::capi::setErr(err, "le_bundle_resolve_handle", e);
    return -1;
  }
  if (out_size < dir.size() + 1) {
    out[0] = 0;
    le::capi::setArgErr(err, "le_bundle_resolve_handle", "buffer too small");
    return -1;
  }
  std::memcpy(out, dir.c_str(), dir.size() + 1);
  return 1;
}

LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* out, size_t out_size) {
  if (!bundle || !member || !out || out_size == 0) return -1;
  std::string path;
  try {
    path = le::resolveMember(le::resolveBundlePath(bundle), member);
  } catch (...) {  // this function reports no text; the host sees -1
    out[0] = 0;
    return -1;
  }
  if (out_size < path.size() + 1) {
    out[0] = 0;
    return -1;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return le::canOpen(path) ? 1 : 0;
}

}  // extern "C"
