// JSON reader on arbitrary bytes: it may refuse, never crash; whatever it
// accepts survives a deep copy and lookups.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bundle/le_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::tessera::json::JParser;
  using le::tessera::json::JVal;
  const std::string text(reinterpret_cast<const char*>(data), size);  // NUL past the end
  try {
    JParser p(text);
    const JVal v = p.val();
    if (p.pos() < text.data() || p.pos() > text.data() + text.size()) __builtin_trap();
    const JVal copy = v;
    if (copy.kind != v.kind || copy.arr.size() != v.arr.size() || copy.obj.size() != v.obj.size()) __builtin_trap();
    if (!v.obj.empty()) (void)v.req(v.obj.front().first);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
