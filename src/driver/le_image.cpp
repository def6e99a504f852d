#include "driver/le_image.h"

#include <cstring>
#include <stdexcept>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_write.h>

namespace le {

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  int channels = 0;
  uint8_t* pixels = stbi_load(path.c_str(), w, h, &channels, 3);
  if (!pixels) throw std::runtime_error("decode failed: " + path);
  std::vector<uint8_t> rgb(pixels, pixels + static_cast<size_t>(*w) * *h * 3);
  stbi_image_free(pixels);
  return rgb;
}

void writePNG(const std::string& path, const uint8_t* pixels, int w, int h, int channels) {
  // An opaque alpha channel is dropped: the file stays an RGB PNG.
  std::vector<uint8_t> rgb;
  if (channels == 4) {
    rgb.resize(static_cast<size_t>(w) * h * 3);
    for (size_t p = 0; p < rgb.size() / 3; ++p) std::memcpy(&rgb[3 * p], pixels + 4 * p, 3);
    pixels = rgb.data();
  }
  if (!stbi_write_png(path.c_str(), w, h, 3, pixels, w * 3)) throw std::runtime_error("png write failed: " + path);
}

}  // namespace le
