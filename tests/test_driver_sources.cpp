// Frame sources over real members made by the ffmpeg command or the bundle
// generator: pixel values against an independent scalar decode of the samples
// ffmpeg decodes, strict refusals, seeking and rewinding.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "driver/le_driver.h"
#include "driver/le_image.h"
#include "bundle_fixtures.h"
#include "kernels/le_simd.h"
#include "simd_reference.h"

namespace {

using le::test::errorOf;

constexpr int kW = 160, kH = 120, kFrames = 16;
constexpr size_t kCanvas = size_t{kW} * kH * 3;
const std::string kFixtures = std::string(LE_FIXTURE_DIR) + "/";

std::string dataDir() {
  const std::string dir = std::string(LE_BUILD_DIR) + "/test-data/driver";
  std::filesystem::create_directories(dir);
  return dir;
}

// Runs an ffmpeg command line (arguments after "ffmpeg") and fails the test
// when it does not succeed.
void ffmpeg(const std::string& args) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// dataDir()/name, made once per build tree by ffmpeg with `args` and the
// output path. Test processes run in parallel, so each writes a file of its
// own and renames it into place.
std::string made(const std::string& name, const std::string& args) {
  const std::string path = dataDir() + "/" + name;
  if (!std::filesystem::exists(path)) {
    const std::string tmp = dataDir() + "/.tmp-" + std::to_string(getpid()) + "-" + name;
    ffmpeg(args + " " + tmp);
    std::filesystem::rename(tmp, path);
  }
  return path;
}

// A testsrc2 H.264 clip with B-frames, kFrames of kW x kH.
std::string h264Clip() {
  return made("canvas.mp4", "-f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 16 -pix_fmt yuv420p -c:v libx264 "
                            "-preset ultrafast -bf 2");
}

// The decoded samples of every frame, in the given raw pixel format.
std::vector<uint8_t> rawSamples(const std::string& path, const std::string& pixFmt) {
  const std::string out = path + "." + std::to_string(getpid()) + "." + pixFmt;
  ffmpeg("-i " + path + " -map 0:v -f rawvideo -pix_fmt " + pixFmt + " " + out);
  const std::string bytes = le::test::readAll(out);
  std::filesystem::remove(out);
  return {bytes.begin(), bytes.end()};
}

// Packed RGB of every frame of planar yuv420p samples.
std::vector<uint8_t> yuv420pToRgb(const std::vector<uint8_t>& yuv, int w, int h) {
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

std::vector<uint8_t> frameOf(le::driver::Source& src) {
  std::vector<uint8_t> out(src.frameBytes());
  EXPECT_TRUE(src.next(out.data()));
  return out;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& all, size_t frameBytes, int i) {
  return {all.begin() + frameBytes * i, all.begin() + frameBytes * (i + 1)};
}

// Decoding in software only: the hardware decoder is not tried.
class DriverSources : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LE_DRIVER_HWDEC", "0", 1); }
  void TearDown() override { unsetenv("LE_DRIVER_HWDEC"); }
};

TEST(JpgDirSource, ReadsSeeksAndRefusesAWrongSizedFrame) {
  const std::string dir = kFixtures + "bad_jpg_frame5/target_frames";
  auto frame = [&](int i) {
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "/frame_%06d.jpg", i);
    int w, h;
    return le::loadImageRGB(dir + leaf, &w, &h);
  };
  auto src = le::driver::openJpgDir(dir, 12, kW, kH);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->residentBytes(), 0u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(frameOf(*src), frame(i)) << i;
  std::vector<uint8_t> buf(src->frameBytes());
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }),
            "le_driver: " + dir + "/frame_000005.jpg is 159x120, the manifest says 160x120 \u2014 refusing");

  src->seek(11);
  EXPECT_EQ(frameOf(*src), frame(11));
  EXPECT_FALSE(src->next(buf.data()));
  src->rewind();
  EXPECT_EQ(frameOf(*src), frame(0));
  for (int bad : {12, -1}) EXPECT_EQ(errorOf([&] { src->seek(bad); }), "le_driver: seek outside the member");
}

TEST_F(DriverSources, H264CanvasMatchesAnIndependentDecode) {
  const std::string path = h264Clip();
  const auto exact = yuv420pToRgb(rawSamples(path, "yuv420p"), kW, kH);
  ASSERT_EQ(exact.size(), kCanvas * kFrames);

  auto src = le::driver::openMp4(path, kFrames, kW, kH);
  EXPECT_EQ(src->name(), "mp4/libavcodec " + le::libavcodecVersion() + " h264");
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(frameOf(*src), slice(exact, kCanvas, i)) << "frame " << i;
  std::vector<uint8_t> buf(kCanvas);
  EXPECT_FALSE(src->next(buf.data()));

  // Seeking decodes forward, from the start when the target is behind, even
  // by one frame.
  src->rewind();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(src->next(buf.data()));
  for (int target : {12, 12, 5}) {
    src->seek(target);
    EXPECT_EQ(frameOf(*src), slice(exact, kCanvas, target)) << target;
  }
  EXPECT_EQ(errorOf([&] { src->seek(kFrames); }), "le_driver: seek outside the member");
}

TEST_F(DriverSources, Nv12AndPlanarLayoutsConvertAlike) {
  // Raw 4:2:0 samples of our own, stored once planar and once interleaved.
  constexpr int w = 18, h = 6;
  const size_t luma = w * h, chroma = (w / 2) * (h / 2);
  std::vector<uint8_t> planar(luma + 2 * chroma), nv12(luma + 2 * chroma);
  for (size_t i = 0; i < planar.size(); ++i) planar[i] = static_cast<uint8_t>(i * 53 + 7);
  std::memcpy(nv12.data(), planar.data(), luma);
  for (size_t c = 0; c < chroma; ++c) {
    nv12[luma + 2 * c] = planar[luma + c];
    nv12[luma + 2 * c + 1] = planar[luma + chroma + c];
  }
  const auto expected = yuv420pToRgb(planar, w, h);
  for (const auto& [fmt, bytes] : {std::pair{"yuv420p", planar}, std::pair{"nv12", nv12}}) {
    const std::string raw = dataDir() + "/layout." + fmt, nut = raw + ".nut";
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ffmpeg(std::string("-f rawvideo -pix_fmt ") + fmt + " -s 18x6 -i " + raw + " -c:v rawvideo " + nut);
    EXPECT_EQ(frameOf(*le::driver::openMp4(nut, 1, w, h)), expected) << fmt;
  }
}

TEST_F(DriverSources, RefusesMembersThatDisagreeWithTheManifest) {
  const std::string path = h264Clip(), text = dataDir() + "/not-a-movie.mp4";
  std::ofstream(text) << "hello";
  const std::string audio = made("audio-only.m4a", "-f lavfi -i sine=sample_rate=16000 -t 0.2 -c:a aac");
  const std::string yuv444 = kFixtures + "bad_driver_yuv444/target_frames.mp4";
  const std::string prior420 = kFixtures + "bad_prior_yuv420/source_frames.hevc";
  const std::string stream = kFixtures + "tiny_hevc_stream/source_frames.hevc";  // no frame count
  std::vector<uint8_t> buf(64 * 64 * 6);
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { le::driver::openMp4(path, kFrames, kW + 1, kH); },
       path + " is 160x120, the manifest says 161x120 \u2014 refusing to rescale the driver"},
      {[&] { le::driver::openMp4(path, kFrames + 1, kW, kH); },
       path + " carries 16 frames, the manifest says NT=17 \u2014 member/manifest mismatch, refusing"},
      {[&] { le::driver::openMp4(text, 1, kW, kH); }, text + " is not a readable container"},
      {[&] { le::driver::openMp4(audio, 1, kW, kH); }, audio + " has no video stream"},
      {[&] { le::driver::openMp4(yuv444, 12, kW, kH)->next(buf.data()); },
       yuv444 + " decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) "
                "\u2014 refusing rather than pasting onto a different pixel domain"},
      {[&] { le::driver::openPriorHevc(prior420, 12, 64)->next(buf.data()); },
       prior420 + " decoded to yuv420p, not the yuv444p a warp prior is authored in \u2014 a subsampled prior is a "
                  "different mouth, refusing"},
      {[&] { le::driver::openPriorHevc(stream, 20, 64)->seek(15); }, stream + " ended at frame 12 while seeking to 15"},
  };
  for (const auto& [call, want] : cases) EXPECT_EQ(errorOf(call), "le_driver: " + want);
}

TEST_F(DriverSources, HevcPriorDeliversHalfPlanes) {
  constexpr int side = 64, n = 12;
  const std::string path = kFixtures + "tiny_hevc/source_frames.hevc";
  const auto yuv = rawSamples(path, "yuv444p");
  const size_t plane = side * side;
  ASSERT_EQ(yuv.size(), plane * 3 * n);

  auto src = le::driver::openPriorHevc(path, n, side);
  EXPECT_EQ(src->name(), "hevc444/libavcodec " + le::libavcodecVersion() + " hevc");
  EXPECT_EQ(src->frameBytes(), plane * 6);
  for (int f = 0; f < n; ++f) {
    std::vector<uint16_t> out(plane * 3);
    ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(out.data())));
    const uint8_t* Y = yuv.data() + f * plane * 3;
    for (size_t p = 0; p < plane; ++p) {
      const int c = (Y[p] - 16) * 76312, d = Y[plane + p] - 128, e = Y[2 * plane + p] - 128;
      const uint8_t want[3] = {le::ref::clamp255((c + 104600 * e + 32768) >> 16),
                               le::ref::clamp255((c - 25672 * d - 53280 * e + 32768) >> 16),
                               le::ref::clamp255((c + 132200 * d + 32768) >> 16)};
      for (int ch = 0; ch < 3; ++ch) {
        const float v = le::f16ToF32(out[ch * plane + p]);
        ASSERT_EQ(std::lround(v * 255.0f), want[ch]) << "frame " << f << " pixel " << p << " channel " << ch;
      }
    }
  }
  EXPECT_GE(src->residentBytes(), plane * 3 * 9);
}

}  // namespace
