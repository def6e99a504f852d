// The engine's bundle readers against the bundle generator's output: its
// containers unwrap to exactly its directories, our packer round-trips them
// byte for byte, and the older member names find canonical files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bundle/le_manifest.h"
#include "bundle/le_imx.h"
#include "bundle_fixtures.h"
#include "le/le.h"
#include "le/le_bundle.h"

namespace {

namespace fs = std::filesystem;
using le::test::filesUnder;
using le::test::readAll;
using le::test::TempDir;

std::string fixture(const std::string& name) { return std::string(LE_FIXTURE_DIR) + "/" + name; }

TEST(GeneratedBundles, ContainerUnwrapsToTheGeneratorsDirectory) {
  TempDir tmp;
  fs::create_directories(tmp / "out");
  le::extractImx(fixture("tiny.imx"), tmp / "out", false);
  const auto expected = filesUnder(fixture("tiny_imx_src"));
  EXPECT_GE(expected.size(), 8u);
  EXPECT_EQ(filesUnder(tmp / "out"), expected);

  std::vector<char> out(4096);
  // The handle of the container is its unwrapped directory, reused by later opens.
  ASSERT_EQ(le_bundle_resolve_handle(fixture("tiny.imx").c_str(), out.data(), out.size()), 1) << le_last_error();
  const std::string dir = out.data();
  EXPECT_EQ(filesUnder(dir), expected);
  ASSERT_EQ(le_bundle_resolve_handle(fixture("tiny.imx").c_str(), out.data(), out.size()), 1);
  EXPECT_EQ(dir, out.data());
}

TEST(GeneratedBundles, PackAndUnpackRoundTripByteForByte) {
  // Every member form: old and canonical names, both drivers, both priors.
  TempDir tmp;
  const std::string imx = tmp / "b.imx";
  le::packImx(fixture("tiny_old_names"), imx);
  ASSERT_TRUE(le::isImxV2File(imx));
  fs::create_directories(tmp / "b");
  le::extractImx(imx, tmp / "b", false);
  EXPECT_EQ(filesUnder(tmp / "b"), filesUnder(fixture("tiny_old_names")));
  le::packImx(tmp / "b", imx + ".again");
  EXPECT_EQ(readAll(imx + ".again"), readAll(imx));
}

TEST(GeneratedBundles, OlderNamesFindCanonicalMembers) {
  std::vector<char> out(4096);
  const struct {
    const char* bundle;
    const char* asked;
    const char* found;
  } cases[] = {
      {"tiny_jpg", "P.f16", "source_frames.f16"},
      {"tiny_jpg", "drive/si.i32", "idle_loop/source_index.i32"},
      {"tiny_old_names", "P.f16", "P.f16"},
      {"tiny_both_names", "M.f32", "M.f32"},  // both present: the older name wins
  };
  for (const auto& c : cases) {
    const std::string bundle = fixture(c.bundle);
    EXPECT_EQ(le_bundle_resolve_member(bundle.c_str(), c.asked, out.data(), out.size()), 1) << c.asked;
    EXPECT_EQ(std::string(out.data()), bundle + "/" + c.found) << c.bundle << " " << c.asked;
  }
  EXPECT_EQ(le_bundle_resolve_member(fixture("tiny_jpg").c_str(), "fs_red.f16", out.data(), out.size()), 0);
}

}  // namespace
