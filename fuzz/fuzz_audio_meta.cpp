// The audio models' meta readers on arbitrary bytes: every key the engine
// asks for, from the streaming-encoder meta and the motion directory's meta.
// They may refuse a required key, never crash, and agree on whether a key has
// a value.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/le_audio_meta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace meta = le::audio_meta;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"h", "window", "left", "layers", "silence_prime", "width"}) {
    const long a = meta::intKey(text, key, -7);
    const bool hasValue = meta::flagKey(text, key).has_value();
    if (!hasValue && a != -7) __builtin_trap();
  }
  for (const char* key : {"nt", "n_src", "n_emo", "s_bridge", "delta_pitch"}) {
    const bool hasValue = meta::flagKey(text, key).has_value();
    try {
      (void)meta::numberKey(text, key, std::nullopt);
      if (!hasValue) __builtin_trap();  // a key without a value must be refused
    } catch (const std::runtime_error&) {
      if (hasValue) __builtin_trap();
    }
    try {
      (void)meta::numberKey(text, key, 1.0);
    } catch (const std::runtime_error&) {
    }
  }
  return 0;
}
