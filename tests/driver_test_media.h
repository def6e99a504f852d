// Video and image members made at test time with the ffmpeg command, and an
// independent scalar decode of their samples to compare the sources against.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle_fixtures.h"
#include "simd_reference.h"

namespace le::testmedia {

inline std::string dataDir() {
  const std::string dir = std::string(LE_BUILD_DIR) + "/test-data/driver";
  std::filesystem::create_directories(dir);
  return dir;
}

// Runs an ffmpeg command line (arguments after "ffmpeg") and fails the test
// when it does not succeed.
inline void ffmpeg(const std::string& args) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

using le::test::errorOf;

// Tests that decode in software only: the hardware decoder is not tried.
class SoftwareDecoding : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LE_DRIVER_HWDEC", "0", 1); }
  void TearDown() override { unsetenv("LE_DRIVER_HWDEC"); }
};

// dataDir()/name, made once per build tree by ffmpeg with `args` and the
// output path. Test processes run in parallel, so each writes a file of its
// own and renames it into place.
inline std::string made(const std::string& name, const std::string& args) {
  const std::string path = dataDir() + "/" + name;
  if (!std::filesystem::exists(path)) {
    const std::string tmp = dataDir() + "/.tmp-" + std::to_string(getpid()) + "-" + name;
    ffmpeg(args + " " + tmp);
    std::filesystem::rename(tmp, path);
  }
  return path;
}

// A testsrc2 H.264 clip with B-frames, at the given size and length.
inline std::string h264Clip(const std::string& name, int w, int h, int frames) {
  return made(name, "-f lavfi -i testsrc2=size=" + std::to_string(w) + "x" + std::to_string(h) + ":rate=25 -frames:v " +
                        std::to_string(frames) + " -pix_fmt yuv420p -c:v libx264 -preset ultrafast -bf 2");
}

// The decoded samples of every frame, in the given raw pixel format.
inline std::vector<uint8_t> rawSamples(const std::string& path, const std::string& pixFmt) {
  const std::string out = path + "." + std::to_string(getpid()) + "." + pixFmt;
  ffmpeg("-i " + path + " -map 0:v -f rawvideo -pix_fmt " + pixFmt + " " + out);
  const std::string bytes = le::test::readAll(out);
  std::filesystem::remove(out);
  return {bytes.begin(), bytes.end()};
}

// Packed RGB of every frame of planar yuv420p samples.
inline std::vector<uint8_t> yuv420pToRgb(const std::vector<uint8_t>& yuv, int w, int h) {
  const size_t luma = static_cast<size_t>(w) * h, chroma = static_cast<size_t>(w / 2) * (h / 2);
  const size_t frames = yuv.size() / (luma + 2 * chroma);
  std::vector<uint8_t> rgb(frames * luma * 3);
  for (size_t f = 0; f < frames; ++f) {
    const uint8_t* Y = yuv.data() + f * (luma + 2 * chroma);
    const uint8_t* U = Y + luma;
    const uint8_t* V = U + chroma;
    for (int y = 0; y < h; ++y) {
      const size_t c = static_cast<size_t>(y / 2) * (w / 2);
      le::ref::yuvRow(Y + y * w, U + c, V + c, w, 1, &rgb[(f * luma + y * w) * 3]);
    }
  }
  return rgb;
}

}  // namespace le::testmedia
