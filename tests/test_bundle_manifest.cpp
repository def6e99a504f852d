// Manifest key scanner and reader, and member-name resolution.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_manifest.h"
#include "bundle_fixtures.h"

namespace {

using le::test::errorOf;
using le::test::TempDir;
using le::test::writeFile;
namespace mk = le::manifest_key;
using Edits = le::test::JsonFields;

// A valid manifest with edits applied.
std::string doc(const Edits& edits = {}) {
  return le::test::jsonObject({{"format", "\"le-bundle-v0\""}, {"agent", "\"ada\""}, {"NT", "12"}, {"W", "160"},
                               {"H", "120"}, {"crop", "64"}, {"amount", "1.5"}, {"sigma", "2.5"}, {"ksize", "9"},
                               {"frames", "30"}, {"M_src_w", "320"}, {"M_src_h", "240"}},
                              edits);
}

std::string loadError(const std::string& text) {
  return errorOf([&] { le::loadManifestText(text, "/bundles/ada"); });
}

std::string ambiguity(const std::string& key, const std::vector<size_t>& at) {
  std::string list;
  for (size_t p : at) list += (list.empty() ? "byte " : ", byte ") + std::to_string(p);
  return "manifest: key \"" + key + "\" is AMBIGUOUS \u2014 " + std::to_string(at.size()) + " scalar occurrences (" +
         list +
         "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a nested "
         "block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, "
         "ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with the "
         "legacy manifest layout.";
}

TEST(ManifestScanner, CollisionRule) {
  const std::string topAndNested = R"({"n": {"W": 5}, "W": 9, "m": [{"W": 6}]})";
  EXPECT_EQ(mk::scalarValuePos(topAndNested, "W"), topAndNested.find('9'));
  // Strings are skipped whole (brackets and keys in them count for nothing);
  // a key at the very end has no value.
  const std::string nestedOnce = R"({"s": "\"W\": 3 {[", "n": {"W": 5, "WW": 1}, "frames": [1, 2], "W":)";
  EXPECT_EQ(mk::scalarValuePos(nestedOnce, "W"), nestedOnce.find('5'));
  EXPECT_EQ(mk::keyHits(nestedOnce, "W").size(), 2u);
  EXPECT_EQ(mk::scalarValuePos(nestedOnce, "frames"), std::string::npos);
  EXPECT_EQ(mk::scalarValuePos(nestedOnce, "H"), std::string::npos);
  EXPECT_TRUE(mk::keyHits(R"({"x": "W)", "W").empty());
  for (const std::string t : {R"({"a": {"W": 5}, "b": {"W": 7}})", R"({"W": 5, "x": {"W": 6}, "W": 7})"})
    EXPECT_EQ(errorOf([&] { mk::scalarValuePos(t, "W"); }), ambiguity("W", {t.find('5'), t.find('7')})) << t;
}

TEST(ManifestScanner, FieldReaders) {
  const std::string t = R"({"agent": "a\"b", "NT": "12", "frame_count": 40, "p": -1e300, "n": 3, "o": "open)";
  EXPECT_EQ(mk::strField(t, "agent"), "a\\");  // escapes are not interpreted
  EXPECT_EQ(mk::numFieldEither(t, "NT", "frame_count"), 0.0);  // not a number reads as 0
  EXPECT_EQ(mk::numFieldEither(t, "p", "frame_count"), 40.0);  // the absent marker falls to the alias
  EXPECT_EQ(mk::numFieldEither(t, "none", "n"), 3.0);
  EXPECT_EQ(errorOf([&] { mk::numFieldEither(t, "none", "p"); }), "manifest: missing key none/p");
  EXPECT_THROW(mk::strField(t, "o"), std::runtime_error);
  std::string s;
  EXPECT_TRUE(mk::optStr(t, "agent", &s) && s == "a\\");
  for (const char* key : {"n", "o", "absent"}) EXPECT_FALSE(mk::optStr(t, key, &s)) << key;
}

// The fields the reader filled, as one line.
std::string fields(const le::Manifest& m) {
  std::ostringstream o;
  o << m.agent << " NT " << m.NT << " " << m.W << "x" << m.H << " crop " << m.crop << " unsharp " << m.unsharp.amount
    << "/" << m.unsharp.sigma << "/" << m.unsharp.ksize << " frames " << m.frames << " src " << m.srcW << "x" << m.srcH;
  return o.str();
}

TEST(ManifestReader, ReadsEveryFieldAndAliases) {
  EXPECT_EQ(fields(le::loadManifestText(doc(), "/b")), "ada NT 12 160x120 crop 64 unsharp 1.5/2.5/9 frames 30 src 320x240");
  // Aliases, a fraction, and a nested block reusing names the loader reads.
  const Edits aliases = {{"NT", ""},         {"crop", ""},          {"M_src_h", ""},
                         {"frame_count", "40.9"}, {"crop_size", "96"}, {"paste_source_height", "1080"},
                         {"M_src_w", "1920"}, {"tessera", R"({"ksize": 5, "W": [1]})"}};
  EXPECT_EQ(fields(le::loadManifestText(doc(aliases), "/b")),
            "ada NT 40 160x120 crop 96 unsharp 1.5/2.5/9 frames 30 src 1920x1080");
  // A number beyond int saturates instead of wrapping.
  EXPECT_EQ(le::loadManifestText(doc({{"W", "1e30"}}), "/b").W, INT_MAX);
}

// (The context suite refuses the generated broken bundles: another format,
// crop 0, a zero stamp, an ambiguous W.)
TEST(ManifestReader, RefusalsNameTheKey) {
  const std::pair<Edits, std::string> cases[] = {
      {{{"format", "\"le-bundle-v0 \""}}, "not an le-bundle-v0: /bundles/ada"},
      {{{"format", ""}}, "manifest: missing key format"},
      {{{"agent", ""}, {"agent", "7"}}, "manifest: bad string agent"},
      {{{"NT", ""}}, "manifest: missing key NT/frame_count"},
      {{{"H", ""}}, "manifest: missing key H"},
      {{{"frames", "[1, 2]"}}, "manifest: missing key frames"},
      {{{"W", "\"wide\""}}, "manifest: bad dims"},
      {{{"H", "nan"}}, "manifest: bad dims"},
  };
  for (const auto& [edits, text] : cases) EXPECT_EQ(loadError(doc(edits)), text) << doc(edits);
}

TEST(ManifestReader, MissingPasteSpaceStamp) {
  const std::string bare = doc({{"M_src_w", ""}, {"M_src_h", ""}, {"paste_source_width", "640"}});
  const std::string refused =
      "/bundles/ada/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
      "\u2014 the canvas is 160x120, so M cannot be placed: absence is not evidence that M was authored at that "
      "size. Re-stamp the bundle (models/velisar-2/inference/backfill_msrc), or set VELISAR2_MSRC_MISSING_OK=1 to "
      "restore the legacy assumption.";
  unsetenv("VELISAR2_MSRC_MISSING_OK");
  EXPECT_EQ(loadError(bare), refused);
  setenv("VELISAR2_MSRC_MISSING_OK", "true", 1);
  EXPECT_EQ(loadError(bare), refused);

  setenv("VELISAR2_MSRC_MISSING_OK", "1", 1);
  testing::internal::CaptureStderr();
  const le::Manifest m = le::loadManifestText(bare, "/bundles/ada");
  const std::string err = testing::internal::GetCapturedStderr();
  unsetenv("VELISAR2_MSRC_MISSING_OK");
  EXPECT_EQ(std::pair(m.srcW, m.srcH), std::pair(160, 120));
  EXPECT_EQ(err,
            "[le] WARNING VELISAR2_MSRC_MISSING_OK=1: /bundles/ada/manifest.json carries no paste-space stamp; "
            "ASSUMING M was authored on this 160x120 canvas. If it was not, the face pastes off-target (cv#144) and "
            "nothing will say so.\n");
}

TEST(ManifestReader, LoadsFromDirectory) {
  TempDir t;
  const std::string dir = t / "ada";
  EXPECT_EQ(errorOf([&] { le::loadManifest(dir); }), "cannot open " + dir + "/manifest.json");
  writeFile(dir + "/manifest.json", doc());
  writeFile(dir + "/lip_template.v1.json", "{\"format\": \"lip-template-v1\"}");
  const le::Manifest m = le::loadManifest(dir);
  EXPECT_EQ(std::pair(m.dir, m.lipTemplate), std::pair(dir, std::string("{\"format\": \"lip-template-v1\"}")));
}

TEST(MemberNames, CanonicalTableAndPatterns) {
  const std::pair<const char*, const char*> cases[] = {
      {"mask_512.u8", "paste_mask.u8"},
      {"model_b8.onnx", "render_model.batch8.onnx"},
      {"model_b1_int8_vnni.onnx", "render_model.batch1.int8_vnni.onnx"},
      {"drive/other.tar.gz", "idle_loop/other.tar.gz"},
  };
  for (const auto& [older, canonical] : cases) EXPECT_EQ(le::canonicalMember(older), canonical) << older;
}

TEST(MemberNames, ResolveFindsWhicheverNameExists) {
  TempDir t;
  const std::string d = t.path();
  // Only the canonical file: found through the older name.
  writeFile(d + "/paste_mask.u8", "m");
  writeFile(d + "/idle_loop/source_index.i32", "i");
  EXPECT_EQ(le::resolveMember(d, "mask_512.u8"), d + "/paste_mask.u8");
  EXPECT_EQ(le::resolveMember(d, "drive/si.i32"), d + "/idle_loop/source_index.i32");
  // Both exist: the older name wins.
  writeFile(d + "/mask_512.u8", "m");
  EXPECT_EQ(le::resolveMember(d, "mask_512.u8"), d + "/mask_512.u8");
  // A canonical name is returned as asked, without looking for older files.
  writeFile(d + "/M.f32", "x");
  EXPECT_EQ(le::resolveMember(d, "paste_transform.f32"), d + "/paste_transform.f32");
}

}  // namespace
