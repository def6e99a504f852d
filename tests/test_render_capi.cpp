// The one-frame render and paste entry points of the render family on
// generated bundles: the refusals of every entry point with their exact
// texts, the lazily built renderer, the crop they hand on to the paste, and
// the RGBA forms.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bundle/le_identity.h"
#include "bundle_fixtures.h"
#include "kernels/le_pool.h"
#include "le/le.h"

namespace {

constexpr size_t kKp = 63;

std::string fixture(const std::string& name) { return std::string(LE_FIXTURE_DIR) + "/" + name; }

struct Ctx {
  explicit Ctx(const std::string& name = "tiny_jpg", int threads = 1, const char* key = "render")
      : ctx(le_create(fixture(name).c_str(), key, threads, nullptr)) {
    if (!ctx) throw std::runtime_error(le_last_error());
  }
  ~Ctx() { le_destroy(ctx); }
  size_t frameBytes(int channels) const { return size_t(le_width(ctx)) * le_height(ctx) * channels; }
  size_t cropFloats() const { return 3 * size_t(le_crop(ctx)) * le_crop(ctx); }
  le_ctx* ctx;
};

std::vector<float> copyOut(const float* p, size_t n) { return p ? std::vector<float>(p, p + n) : std::vector<float>{}; }

// A keypoint set with every row at (x, y, 0): the face squeezed to a point.
std::vector<float> squeezed(float x, float y) {
  std::vector<float> kp(kKp, 0.0f);
  for (size_t r = 0; r < kKp / 3; ++r) kp[3 * r] = x, kp[3 * r + 1] = y;
  return kp;
}

TEST(RenderCapi, ArgumentChecks) {
  Ctx c;
  const auto kp = squeezed(0, 0);
  std::vector<uint8_t> rgba(c.frameBytes(4)), rgb(c.frameBytes(3));
  const std::vector<float> crop(c.cropFloats());
  const int nt = le_nt(c.ctx), frames = le_drive_frames(c.ctx);
  uint16_t row[8];
  const std::pair<std::function<bool()>, const char*> cases[] = {
      {[&] { return !le_paste_crop(c.ctx, nt, crop.data(), rgb.data(), rgb.size()); },
       "le_paste_crop: bad args / out too small"},
      {[&] { return !le_paste_crop(c.ctx, 0, crop.data(), rgb.data(), rgb.size() - 1); },
       "le_paste_crop: bad args / out too small"},
      {[&] { return !le_target_frame(c.ctx, -1); }, "le_target_frame: bad args"},
      {[&] { return !le_prior_open(nullptr, 2, 11); }, "le_prior_open: NULL bundle_dir"},
      {[&] { return !le_prior_row(nullptr, 0, row, sizeof row); }, "le_prior_row: NULL prior/out"},
      {[&] { return !le_paste_last(c.ctx, 0); }, "le_paste_last: bad args / no prior render"},
      {[&] { return !le_render_kp_crop(c.ctx, nt, kp.data(), kp.data()); }, "le_render_kp_crop: bad args"},
      {[&] { return !le_render_kp_crop(c.ctx, 0, kp.data(), nullptr); }, "le_render_kp_crop: bad args"},
      {[&] { return !le_render_drive_crop(c.ctx, frames); }, "le_render_drive_crop: bad frame index"},
      {[&] { return !le_render_drive_rgba(c.ctx, frames, rgba.data(), rgba.size()); },
       "le_render_drive_crop: bad frame index"},
  };
  for (const auto& [call, text] : cases) {
    EXPECT_TRUE(call()) << text;
    EXPECT_STREQ(le_last_error(), text);
  }
  EXPECT_EQ(le_render_kp_rgba(nullptr, 0, kp.data(), kp.data(), rgba.data(), rgba.size()), 0);
  EXPECT_TRUE(!*le_prior_backend(nullptr) && !le_prior_row_bytes(nullptr));
  le_prior_close(nullptr);
  // None of these built the renderer or left a crop behind.
  EXPECT_EQ(le_paste_last(c.ctx, 0), nullptr);
}

TEST(RenderCapi, DriveFrameRendersItsTargetFrameAndKeypoints) {
  Ctx c;
  const float* crop = le_render_drive_crop(c.ctx, 5);
  ASSERT_NE(crop, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  const auto drive = copyOut(crop, c.cropFloats());

  // The same render through the keypoint entry point, from the drive tables.
  const le::Drive d = le::loadDrive(le::loadManifest(fixture("tiny_jpg")));
  const float *xs = d.xs.data() + 5 * kKp, *xd = d.xd.data() + 5 * kKp;
  EXPECT_EQ(copyOut(le_render_kp_crop(c.ctx, d.si[5], xs, xd), c.cropFloats()), drive);
  // A different target frame with the same keypoints renders another crop.
  EXPECT_NE(copyOut(le_render_kp_crop(c.ctx, (d.si[5] + 6) % le_nt(c.ctx), xs, xd), c.cropFloats()), drive);
}

TEST(RenderCapi, PasteLastPastesTheLastCrop) {
  Ctx c;
  const auto ks = squeezed(0, 0), kd = squeezed(0.1f, 0);
  const float* crop = le_render_kp_crop(c.ctx, 4, ks.data(), kd.data());
  ASSERT_NE(crop, nullptr) << le_last_error();
  std::vector<uint8_t> expected(c.frameBytes(3));
  ASSERT_EQ(le_paste_crop(c.ctx, 4, crop, expected.data(), expected.size()), 1) << le_last_error();
  const uint8_t* frame = le_paste_last(c.ctx, 4);
  ASSERT_NE(frame, nullptr) << le_last_error();
  EXPECT_EQ(std::memcmp(frame, expected.data(), expected.size()), 0);
  EXPECT_NE(std::memcmp(frame, le_target_frame(c.ctx, 4), expected.size()), 0);
}

TEST(RenderCapi, RgbaFormsRenderBeforeCheckingTheirBuffer) {
  Ctx c;
  const auto ks = squeezed(0, 0), kd = squeezed(0, 0.1f);
  std::vector<uint8_t> rgba(c.frameBytes(4));
  EXPECT_EQ(le_render_kp_rgba(c.ctx, 2, ks.data(), kd.data(), rgba.data(), rgba.size() - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");

  // The render happened: its crop is what le_paste_last pastes.
  const uint8_t* rgb = le_paste_last(c.ctx, 2);
  ASSERT_NE(rgb, nullptr) << le_last_error();
  const std::vector<uint8_t> pasted(rgb, rgb + c.frameBytes(3));

  ASSERT_EQ(le_render_kp_rgba(c.ctx, 2, ks.data(), kd.data(), rgba.data(), rgba.size()), 1) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  for (size_t p = 0; p < pasted.size() / 3; ++p) {
    ASSERT_EQ(std::memcmp(&rgba[4 * p], &pasted[3 * p], 3), 0) << p;
    ASSERT_EQ(rgba[4 * p + 3], 255) << p;
  }
}

TEST(RenderCapi, RendererFailureIsReportedAndRetried) {
  Ctx c("tiny_jpg", 1, "absent");
  const auto kp = squeezed(0, 0);
  const std::string expected = "le_render_kp_crop: Renderer: cannot open " + fixture("tiny_jpg") + "/model_absent.onnx";
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(attempt < 2 ? le_render_kp_crop(c.ctx, 0, kp.data(), kp.data()) : le_render_drive_crop(c.ctx, 0), nullptr);
    EXPECT_EQ(le_last_error(), expected);
  }
}

// The first render's stderr in a fresh process (the renderer's own
// once-per-process lines then come out every time).
void firstRenderAndExit(int threads) {
  Ctx c("tiny_jpg", threads);
  std::exit(le_render_drive_crop(c.ctx, 0) ? 0 : 1);
}

TEST(RenderCapi, IntraOpLineWhenTheCallerDidNotChoose) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int pool = le::pool::threads();
  const std::string line = "\\[le\\] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " +
                           std::to_string(pool) +
                           ": the caller did not choose, the core sized it for the le_utt pipeline\n";
  // The driver's line of le_create, then the renderer's first line.
  const std::string driver = "^\\[le-driver\\] [^\n]*\n";
  EXPECT_EXIT(firstRenderAndExit(0), testing::ExitedWithCode(0), driver + line + "\\[le\\] !!! compose alpha");
}

// The le-render tool: the idle loop through these entry points, encoded.
TEST(LeRenderTool, WritesTheIdleLoopAsH264OrPngs) {
  le::test::TempDir dir;
  const std::string tool = std::string(LE_TEST_BIN_DIR) + "/le-render " + fixture("tiny_mp4");
  const std::string mp4 = dir / "idle.mp4", log = dir / "log";
  ASSERT_EQ(std::system((tool + " --idle " + mp4 + " 2>" + log).c_str()), 0) << le::test::readAll(log);

  AVFormatContext* fmt = nullptr;
  ASSERT_EQ(avformat_open_input(&fmt, mp4.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  ASSERT_EQ(fmt->nb_streams, 1u);
  const AVCodecParameters* par = fmt->streams[0]->codecpar;
  EXPECT_EQ(std::vector<int>({par->codec_id, par->format, par->width, par->height}),
            std::vector<int>({AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, 160, 120}));
  EXPECT_EQ(av_q2d(fmt->streams[0]->avg_frame_rate), 25.0);
  AVPacket* pkt = av_packet_alloc();
  int packets = 0;
  while (av_read_frame(fmt, pkt) >= 0) ++packets, av_packet_unref(pkt);
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  EXPECT_EQ(packets, 24);

  ASSERT_EQ(std::system((tool + " --png " + dir / "png" + " 2>" + log).c_str()), 0) << le::test::readAll(log);
  const auto pngs = le::test::filesUnder(dir / "png");
  EXPECT_EQ(pngs.size(), 24u);
  EXPECT_TRUE(pngs.count("frame_000023.png"));

  // A failed render is reported with the render family's error text.
  EXPECT_NE(std::system((tool + " --idle " + mp4 + " --model-key absent 2>" + log).c_str()), 0);
  EXPECT_NE(le::test::readAll(log).find("\nle-render: le_render_kp_crop: Renderer: cannot open " + fixture("tiny_mp4") +
                                        "/model_absent.onnx\n"),
            std::string::npos)
      << le::test::readAll(log);
}

}  // namespace
