// Still-image helpers: jpg driver frames in, debugging PNGs out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"

namespace le {

// Decodes any image stb_image reads to packed RGB (w x h x 3 bytes).
LE_API std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// Writes w x h packed RGB bytes (row stride w x 3) as a PNG.
LE_API void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

}  // namespace le
