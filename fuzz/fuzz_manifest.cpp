// Manifest key scanner and reader on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bundle/le_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace mk = le::manifest_key;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"W", "NT", "format", "M_src_w"}) {
    for (const mk::KeyHit& h : mk::keyHits(text, key))
      if (h.pos > text.size() || (h.scalar && h.pos >= text.size())) __builtin_trap();
    try {
      const size_t pos = mk::scalarValuePos(text, key);
      if (pos != std::string::npos && pos >= text.size()) __builtin_trap();
      std::string s;
      mk::optStr(text, key, &s);
    } catch (const std::runtime_error&) {
    }
  }
  try {
    const le::Manifest m = le::loadManifestText(text, "/nonexistent/le-fuzz-bundle");
    if (m.NT < 1 || m.W < 1 || m.H < 1 || m.crop < 1 || m.srcW < 1 || m.srcH < 1) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
