// What the linked FFmpeg reports about itself, for diagnostics.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include "driver/le_driver.h"

namespace le {

std::string libavcodecVersion() {
  const unsigned v = avcodec_version();
  return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff);
}

std::string movieDecoderBuild() {
  std::string text = "libavcodec " + libavcodecVersion();
  const char* config = avcodec_configuration();
  if (config && *config) text += std::string(" / ") + config;
  return text;
}

}  // namespace le
