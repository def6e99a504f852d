// The render context over generated bundles: opening every form, refusing
// every broken variant with its exact text, the identity tables, and the
// paste, target-frame and prior entry points.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bundle_fixtures.h"
#include "pipeline/le_ctx.h"
#include "le/le.h"

namespace {

using le::test::errorOf;
using le::test::readAll;
using le::test::TempDir;

std::string fixture(const std::string& name) { return std::string(LE_FIXTURE_DIR) + "/" + name; }

struct Ctx {
  explicit Ctx(const std::string& name) : ctx(le_create(fixture(name).c_str(), "render", 1, nullptr)) {}
  ~Ctx() { le_destroy(ctx); }
  le_ctx* ctx;
};

TEST(ContextOpen, EveryBundleFormOpens) {
  for (const char* name : {"tiny_jpg", "tiny_mp4", "tiny_hevc", "tiny_fsred", "tiny_p_fsred", "tiny_old_names",
                           "tiny_both_names", "tiny_both_drivers", "tiny_named", "tiny_audio", "tiny.imx"}) {
    Ctx c(name);
    ASSERT_NE(c.ctx, nullptr) << name << ": " << le_last_error();
    EXPECT_EQ(std::vector<int>({le_nt(c.ctx), le_width(c.ctx), le_height(c.ctx), le_crop(c.ctx), le_drive_frames(c.ctx)}),
              std::vector<int>({12, 160, 120, 64, 24})) << name << le_last_error();
  }
}

// Everything the context opens later (the HEVC prior on the first render,
// under a name only the manifest gives) comes from the manifest read at open.
TEST(ContextOpen, ManifestIsReadOnceAtOpen) {
  TempDir tmp;
  const std::string dir = tmp / "named";
  std::filesystem::copy(fixture("tiny_named"), dir, std::filesystem::copy_options::recursive);
  le_ctx* ctx = le_create(dir.c_str(), "render", 1, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  std::filesystem::remove(dir + "/manifest.json");
  EXPECT_NE(le_render_drive_crop(ctx, 0), nullptr) << le_last_error();
  le_destroy(ctx);
}

TEST(ContextOpen, BrokenBundlesAreRefusedWithTheirReason) {
  const struct {
    const char* name;
    std::string text;
    bool whole = true;
  } cases[] = {
      {"bad_dims", "manifest: bad dims"},
      {"bad_format", "not an le-bundle-v0: " + fixture("bad_format")},
      {"bad_missing_frames", "manifest: missing key frames"},
      {"bad_size_M", "size mismatch " + fixture("bad_size_M/paste_transform.f32")},
      {"bad_size_P", "size mismatch " + fixture("bad_size_P/source_frames.f16")},
      {"bad_size_pooled", "size mismatch " + fixture("bad_size_pooled/pooled_features.f16")},
      {"bad_size_xs", "size mismatch " + fixture("bad_size_xs/idle_loop/source_keypoints.f32")},
      {"bad_size_mask", "mask read failed"},
      {"bad_si", "drive: si out of range"},
      {"bad_short_mp4", "le_driver: " + fixture("bad_short_mp4/target_frames.mp4") +
                            " carries 11 frames, the manifest says NT=12 — member/manifest mismatch, refusing"},
      {"bad_no_prior",
       "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
       "from — the renderer has no warp prior and le::Identity would hand it a null pointer. REFUSING to create "
       "a session."},
      {"bad_hevc_missing", "this bundle's manifest names P_hevc 'source_frames.hevc' and the file is not there (" +
                               fixture("bad_hevc_missing/source_frames.hevc") +
                               ") — the renderer has no warp prior. REFUSING to create a session."},
      {"bad_p_rgb",
       "this bundle's manifest names its raw warp prior 'face_prior.f16' (P_rgb) but le::Identity maps the welded "
       "name P.f16 and would find nothing — it maps NOTHING silently and Identity::P(si) is then an offset from a "
       "null pointer. REFUSING rather than rendering off a prior nothing will read."},
      {"bad_stamp_zero", "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)"},
      // The full text is the manifest scanner's (its own suite checks it).
      {"bad_ambiguous_W", "manifest: key \"W\" is AMBIGUOUS — 2 scalar", false},
  };
  for (const auto& c : cases) {
    Ctx ctx(c.name);
    EXPECT_EQ(ctx.ctx, nullptr) << c.name;
    const std::string got = le_last_error(), want = "le_create: " + c.text;
    EXPECT_EQ(c.whole ? got : got.substr(0, want.size()), want) << c.name;
  }
}

// Sizes that do not fit, from the manifest or from the prior's look-ahead
// and history, are refused with their names and values: no size is computed
// from a wrapped product, nothing is allocated from a count the member files
// do not hold.
TEST(ContextOpen, HugeSizesAreRefusedNotWrapped) {
  const std::string big = std::to_string(INT_MAX), frame = std::to_string(64 * 64 * 6);
  const std::string canvas = std::to_string(size_t{INT_MAX} * INT_MAX * 3);
  const std::string ring = "le_driver: a ring of look-ahead ", fits = " bytes does not fit in memory — refusing";
  const struct {
    const char* bundle;
    std::vector<std::pair<std::string, std::string>> set;
    std::string text;  // {dir} stands for the bundle's directory
    bool prior = false;
    int ahead = 0, history = 0;
  } cases[] = {
      {"tiny_jpg", {{"crop", big}},
       "le_create: P.f16: NT 12 x crop " + big + " x crop " + big + " x 6 bytes do not fit in memory — refusing"},
      {"tiny_hevc", {{"crop", big}}, "le_create: mask read failed"},
      {"tiny_jpg", {{"frames", big}}, "le_create: size mismatch {dir}/idle_loop/source_keypoints.f32"},
      {"tiny_jpg", {{"ksize", big}},
       "le_create: paste: ksize " + big + " on a crop of 64 makes a padded plane that does not fit — refusing"},
      {"tiny_jpg", {{"W", big}, {"H", big}}, "le_create: " + ring + "2 + history 11 + 1 frames of " + canvas + fits},
      // Look-ahead below 1 and negative history are clamped first.
      {"tiny_hevc", {}, "le_prior_open: " + ring + big + " + history " + big + " + 1 frames of " + frame + fits,
       true, INT_MAX, INT_MAX},
      {"tiny_hevc", {}, "le_prior_open: " + ring + "2 + history " + big + " + 1 frames of " + frame + fits,
       true, INT_MIN, INT_MAX},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    const std::string dir = tmp / "bundle";
    std::filesystem::copy(fixture(c.bundle), dir, std::filesystem::copy_options::recursive);
    std::string manifest = readAll(dir + "/manifest.json");
    for (const auto& [key, value] : c.set)
      manifest = std::regex_replace(manifest, std::regex("\"" + key + "\": [0-9]+"), "\"" + key + "\": " + value);
    le::test::writeFile(dir + "/manifest.json", manifest);
    void* opened = nullptr;
    le::test::stderrOf([&] {
      opened = c.prior ? static_cast<void*>(le_prior_open(dir.c_str(), c.ahead, c.history))
                       : static_cast<void*>(le_create(dir.c_str(), "render", 1, nullptr));
    });
    EXPECT_EQ(opened, nullptr) << c.text;
    EXPECT_EQ(le_last_error(), std::regex_replace(c.text, std::regex("\\{dir\\}"), dir));
  }
}

TEST(ContextOpen, ArgumentsThreadsAndErrorTextPerThread) {
  EXPECT_EQ(le_create(fixture("tiny_jpg").c_str(), nullptr, 1, nullptr), nullptr);
  std::thread([] { EXPECT_STREQ(le_last_error(), ""); }).join();
  // Accessors neither set nor clear the text.
  EXPECT_EQ(le_nt(nullptr) + le_width(nullptr) + le_height(nullptr) + le_crop(nullptr) + le_drive_frames(nullptr), 0);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_host_kp_rows(), 21);
}

TEST(Identity, PasteTransformsFollowThePasteSpaceStamp) {
  // Same stamp as the canvas: M exactly as stored.
  const le::Manifest same = le::loadManifest(fixture("tiny_jpg"));
  const std::string stored = readAll(fixture("tiny_jpg/paste_transform.f32"));
  le::Identity a(same);
  ASSERT_EQ(a.m.size() * sizeof(float), stored.size());
  EXPECT_EQ(std::memcmp(a.m.data(), stored.data(), stored.size()), 0);

  // The same face authored on a 320x240 canvas (M stored doubled) lands
  // where the canvas-stamped one does.
  const le::Manifest scaled = le::loadManifest(fixture("tiny_src_canvas"));
  EXPECT_NE(readAll(fixture("tiny_src_canvas/paste_transform.f32")), stored);
  EXPECT_EQ(le::Identity(scaled).m, a.m);

  le::Manifest unstamped = same;
  unstamped.srcW = 0;
  EXPECT_EQ(errorOf([&] { a.rescaleM(unstamped); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) — refusing to paste M without "
            "knowing the space it was authored in");
}

TEST(ContextPaste, PasteCropBlendsIntoTheTargetFrame) {
  Ctx c("tiny_mp4");
  ASSERT_NE(c.ctx, nullptr) << le_last_error();
  const int S = 64;
  std::vector<uint8_t> out(160 * 120 * 3);
  // A white face crop, and one white crop pixel on black.
  const std::vector<float> white(3 * S * S, 1.0f);
  std::vector<float> dot(3 * S * S, 0.0f);
  for (int ch = 0; ch < 3; ++ch) dot[(ch * S + 32) * S + 32] = 1.0f;
  const std::string m = readAll(fixture("tiny_mp4/paste_transform.f32"));
  for (int si : {0, 5, 11, 2}) {
    ASSERT_EQ(le_paste_crop(c.ctx, si, white.data(), out.data(), out.size()), 1) << le_last_error();
    const uint8_t* frame = le_target_frame(c.ctx, si);
    ASSERT_NE(frame, nullptr) << le_last_error();
    // White blended over the frame: only brighter (truncation may take one
    // step back), and most of the face reaches white.
    int whitened = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      ASSERT_GE(out[i] + 1, frame[i]) << "frame " << si << " byte " << i;
      whitened += out[i] >= 254 && frame[i] < 250;
    }
    EXPECT_GT(whitened, S * 3) << "frame " << si;

    // The dot peaks where that frame's M puts it.
    float M[6];
    std::memcpy(M, m.data() + si * sizeof M, sizeof M);
    const int px = static_cast<int>(std::lround(M[0] * 32 + M[1] * 32 + M[2]));
    const int py = static_cast<int>(std::lround(M[3] * 32 + M[4] * 32 + M[5]));
    ASSERT_EQ(le_paste_crop(c.ctx, si, dot.data(), out.data(), out.size()), 1) << le_last_error();
    int best = -1, bx = 0, by = 0;
    for (int y = py - 6; y <= py + 6; ++y)
      for (int x = px - 6; x <= px + 6; ++x) {
        const uint8_t* p = &out[(y * 160 + x) * 3];
        if (p[0] + p[1] + p[2] > best) best = p[0] + p[1] + p[2], bx = x, by = y;
      }
    EXPECT_LE(std::abs(bx - px) + std::abs(by - py), 1) << "frame " << si << ": peak at " << bx << "," << by;
  }
}

TEST(ContextPrior, PriorRowsAreTheRawPriorFrames) {
  le_prior* h = le_prior_open(fixture("tiny_hevc").c_str(), 0, -1);
  ASSERT_NE(h, nullptr) << le_last_error();
  const size_t bytes = le_prior_row_bytes(h);
  EXPECT_EQ(bytes, 64u * 64 * 6);
  const std::string raw = readAll(fixture("tiny_jpg/source_frames.f16"));
  std::vector<uint16_t> row(bytes / 2);
  for (int si : {3, 4, 0, 11}) {
    ASSERT_EQ(le_prior_row(h, si, row.data(), bytes), 1) << le_last_error();
    EXPECT_EQ(std::memcmp(row.data(), raw.data() + si * bytes, bytes), 0) << si;
  }
  EXPECT_EQ(le_prior_row(h, 0, row.data(), bytes - 1), 0);
  EXPECT_EQ(le_last_error(), "le_prior_row: cap " + std::to_string(bytes - 1) + " < row bytes " + std::to_string(bytes));
  le_prior_close(h);
}

}  // namespace
