// Frame sources over real members made by the ffmpeg command: pixel values
// against an independent decode, strict refusals, seeking and rewinding.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/version.h>
}

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "driver/le_driver.h"
#include "driver/le_image.h"
#include "driver_test_media.h"
#include "kernels/le_simd.h"

namespace {

using namespace le::testmedia;

constexpr int kW = 160, kH = 120, kFrames = 16;

std::vector<uint8_t> frameOf(le::driver::Source& src) {
  std::vector<uint8_t> out(src.frameBytes());
  EXPECT_TRUE(src.next(out.data()));
  return out;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& all, size_t frameBytes, int i) {
  return {all.begin() + frameBytes * i, all.begin() + frameBytes * (i + 1)};
}

class DriverSources : public SoftwareDecoding {
 protected:
  static size_t canvasBytes() { return static_cast<size_t>(kW) * kH * 3; }
};

TEST(ImageHelpers, PngRoundTripAndFailures) {
  const std::string path = dataDir() + "/roundtrip.png";
  std::vector<uint8_t> rgb(7 * 5 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 37);
  le::writePNG(path, rgb.data(), 7, 5);
  int w = 0, h = 0;
  EXPECT_EQ(le::loadImageRGB(path, &w, &h), rgb);
  EXPECT_EQ(w, 7);
  EXPECT_EQ(h, 5);

  const std::string missing = dataDir() + "/no-such.jpg";
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(missing, &w, &h); }), "decode failed: " + missing);
  const std::string unwritable = dataDir() + "/no-such-dir/x.png";
  EXPECT_EQ(errorOf([&] { le::writePNG(unwritable, rgb.data(), 7, 5); }), "png write failed: " + unwritable);
}

TEST(JpgDirSource, ReadsSeeksAndRefusesAWrongSizedFrame) {
  const std::string dir = dataDir() + "/jpgdir";
  if (!std::filesystem::exists(dir + "/frame_000007.jpg")) {
    std::filesystem::create_directories(dir);
    ffmpeg("-f lavfi -i testsrc2=size=32x24:rate=25 -frames:v 8 -start_number 0 " + dir + "/frame_%06d.jpg");
    ffmpeg("-f lavfi -i testsrc2=size=32x24:rate=25 -vf format=rgb24,crop=31:24:0:0 -frames:v 1 -pix_fmt yuvj444p "
           "-update 1 " + dir + "/frame_000005.jpg");
  }
  auto src = le::driver::openJpgDir(dir, 8, 32, 24);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->residentBytes(), 0u);
  EXPECT_EQ(src->frameBytes(), 32u * 24 * 3);

  int w, h;
  for (int i = 0; i < 5; ++i) {
    char leaf[32];
    std::snprintf(leaf, sizeof leaf, "/frame_%06d.jpg", i);
    EXPECT_EQ(frameOf(*src), le::loadImageRGB(dir + leaf, &w, &h)) << i;
  }
  std::vector<uint8_t> buf(src->frameBytes());
  const std::string bad = dir + "/frame_000005.jpg";
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }),
            "le_driver: " + bad + " is 31x24, the manifest says 32x24 \u2014 refusing");

  src->seek(7);
  EXPECT_EQ(frameOf(*src), le::loadImageRGB(dir + "/frame_000007.jpg", &w, &h));
  EXPECT_FALSE(src->next(buf.data()));
  src->rewind();
  EXPECT_EQ(frameOf(*src), le::loadImageRGB(dir + "/frame_000000.jpg", &w, &h));
  EXPECT_EQ(errorOf([&] { src->seek(8); }), "le_driver: seek outside the member");
  EXPECT_EQ(errorOf([&] { src->seek(-1); }), "le_driver: seek outside the member");
}

TEST_F(DriverSources, H264CanvasMatchesAnIndependentDecode) {
  const std::string path = h264Clip("canvas.mp4", kW, kH, kFrames);
  const auto exact = yuv420pToRgb(rawSamples(path, "yuv420p"), kW, kH);
  const auto peer = rawSamples(path, "rgb24");
  ASSERT_EQ(exact.size(), canvasBytes() * kFrames);
  ASSERT_EQ(peer.size(), exact.size());

  auto src = le::driver::openMp4(path, kFrames, kW, kH);
  EXPECT_EQ(src->name(), "mp4/libavcodec " + le::libavcodecVersion() + " h264");
  EXPECT_EQ(src->frameBytes(), canvasBytes());
  for (int i = 0; i < kFrames; ++i) {
    const auto got = frameOf(*src);
    ASSERT_EQ(got, slice(exact, canvasBytes(), i)) << "frame " << i;
    // Another converter's rounding differs by a step or two, never more.
    const auto other = slice(peer, canvasBytes(), i);
    int worst = 0;
    for (size_t k = 0; k < got.size(); ++k) worst = std::max(worst, std::abs(got[k] - other[k]));
    EXPECT_LE(worst, 3) << "frame " << i;
  }
  std::vector<uint8_t> buf(canvasBytes());
  EXPECT_FALSE(src->next(buf.data()));


  // Seeking decodes forward, from the start when the target is behind.
  src->rewind();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(src->next(buf.data()));
  for (int target : {12, 0, 5, 5}) {
    src->seek(target);
    EXPECT_EQ(frameOf(*src), slice(exact, canvasBytes(), target)) << target;
  }
  EXPECT_EQ(errorOf([&] { src->seek(kFrames); }), "le_driver: seek outside the member");
}

TEST_F(DriverSources, AudioPacketsAreSkipped) {
  const std::string path =
      made("with-audio.mp4",
           "-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=16000 -frames:v 16 "
           "-t 0.64 -pix_fmt yuv420p -c:v libx264 -preset ultrafast -c:a aac -map 1:a -map 0:v");
  const auto exact = yuv420pToRgb(rawSamples(path, "yuv420p"), kW, kH);
  auto src = le::driver::openMp4(path, kFrames, kW, kH);
  for (int i = 0; i < kFrames; ++i) ASSERT_EQ(frameOf(*src), slice(exact, canvasBytes(), i)) << i;
}

TEST_F(DriverSources, StreamWithoutFrameCountOpensAndEndsWhereItEnds) {
  const std::string path = h264Clip("no-count.h264", kW, kH, 11);
  auto src = le::driver::openMp4(path, 12, kW, kH);
  std::vector<uint8_t> buf(canvasBytes());
  int n = 0;
  while (src->next(buf.data())) ++n;
  EXPECT_EQ(n, 11);
  src->rewind();
  const auto exact = yuv420pToRgb(rawSamples(path, "yuv420p"), kW, kH);
  EXPECT_EQ(frameOf(*src), slice(exact, canvasBytes(), 0));
  src->seek(11);  // lands just past the last frame; reading there ends
  EXPECT_FALSE(src->next(buf.data()));

  auto longer = le::driver::openMp4(path, 20, kW, kH);
  EXPECT_EQ(errorOf([&] { longer->seek(15); }), "le_driver: " + path + " ended at frame 11 while seeking to 15");
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
    auto src = le::driver::openMp4(nut, 1, w, h);
    EXPECT_EQ(frameOf(*src), expected) << fmt;
  }
}

TEST_F(DriverSources, RefusesMembersThatDisagreeWithTheManifest) {
  const std::string path = h264Clip("canvas.mp4", kW, kH, kFrames);
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(path, kFrames, kW + 1, kH); }),
            "le_driver: " + path + " is 160x120, the manifest says 161x120 \u2014 refusing to rescale the driver");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(path, kFrames + 1, kW, kH); }),
            "le_driver: " + path + " carries 16 frames, the manifest says NT=17 \u2014 member/manifest mismatch, "
            "refusing");

  const std::string text = dataDir() + "/not-a-movie.mp4";
  std::ofstream(text) << "hello";
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(text, 1, kW, kH); }),
            "le_driver: " + text + " is not a readable container");

  const std::string audio = made("audio-only.m4a", "-f lavfi -i sine=sample_rate=16000 -t 0.2 -c:a aac");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(audio, 1, kW, kH); }), "le_driver: " + audio + " has no video stream");

  const std::string yuv444 = clip("canvas444.mp4", kW, kH, 4, "-pix_fmt yuv444p -c:v libx264 -preset ultrafast");
  auto src = le::driver::openMp4(yuv444, 4, kW, kH);
  std::vector<uint8_t> buf(canvasBytes());
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }),
            "le_driver: " + yuv444 + " decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written "
            "for (yuv420p / nv12) \u2014 refusing rather than pasting onto a different pixel domain");

  const std::string prior420 =
      clip("prior420.mov", 32, 32, 2, "-pix_fmt yuv420p -c:v libx265 -preset ultrafast -x265-params log-level=error");
  src = le::driver::openPriorHevc(prior420, 2, 32);
  EXPECT_EQ(errorOf([&] { src->next(buf.data()); }),
            "le_driver: " + prior420 + " decoded to yuv420p, not the yuv444p a warp prior is authored in \u2014 a "
            "subsampled prior is a different mouth, refusing");
}

TEST_F(DriverSources, HevcPriorDeliversHalfPlanes) {
  constexpr int side = 64, n = 5;
  const std::string path =
      clip("prior.mov", side, side, n, "-pix_fmt yuv444p -c:v libx265 -preset ultrafast -x265-params log-level=error");
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
        ASSERT_NEAR(v, want[ch] / 255.0f, 1.0f / 2048);
        if (want[ch] == 0 || want[ch] == 255) {
          ASSERT_EQ(out[ch * plane + p], want[ch] ? 0x3C00 : 0x0000);  // the table's exact ends
        }
      }
    }
  }
  EXPECT_GE(src->residentBytes(), plane * 3 * 9);
}

TEST(MovieDecoderBuild, NamesTheLinkedLibrary) {
  const std::string version = le::libavcodecVersion();
  EXPECT_EQ(version.substr(0, version.find('.')), std::to_string(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_TRUE(le::movieDecoderBuild().starts_with("libavcodec " + version));
}

}  // namespace
