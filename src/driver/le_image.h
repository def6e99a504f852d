// Still-image helpers: jpg driver frames in, debugging PNGs out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"

namespace le {

// Decodes any image stb_image reads to packed RGB (w x h x 3 bytes).
LE_API std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// Writes w x h packed RGB (channels 3) or RGBA (channels 4, alpha dropped)
// pixels, rows without padding, as an RGB PNG.
LE_API void writePNG(const std::string& path, const uint8_t* pixels, int w, int h, int channels = 3);

}  // namespace le
