// Serve config reader on arbitrary text: it may refuse, never crash; what it
// accepts keeps the fields the file does not own at their values of record.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "borrow/serve_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using le::tessera::ServeConfig;
  const std::string text(reinterpret_cast<const char*>(data), size);  // NUL past the end
  try {
    const ServeConfig c = ServeConfig::fromHeadMemberJson(text);
    const ServeConfig record;
    if (c.teeth_luma_min != record.teeth_luma_min || c.teeth_chroma_max != record.teeth_chroma_max ||
        c.min_teeth_px != record.min_teeth_px || c.weight_decay != record.weight_decay ||
        c.lookahead_on != record.lookahead_on)
      __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
