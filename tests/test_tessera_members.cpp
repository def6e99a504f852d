// The mouth borrow's members: the carriage (defaults, renames, fallbacks),
// the missing-member refusal, every refusal of the loader with its text,
// the values it reads, the reorder into donor order, and the C functions'
// argument checks, error buffers and values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_imx.h"
#include "bundle/le_tessera_members.h"
#include "bundle_fixtures.h"
#include "le/le_tessera.h"

namespace {

using le::test::errorOf;
using le::test::TempDir;
using le::test::writeFile;
using Fields = le::test::JsonFields;

const char* const kSlots[] = {"bank_track", "bank_sidecar", "head_weights", "head_config"};
const char* const kStampKeys[] = {"canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
                                  "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};
const int32_t kStamp[] = {64, 64, 16, 32, 32, 24, 4, 6, 18, 4, 28, 2};
// The same stamp as the loader prints it.
const std::string kGeometryText =
    "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=24, pad=4, band_r0=6, "
    "band_r1=18, band_c0=4, band_c1=28, shift_margin=2}";

// The stamp the tests' banks carry, with edits.
std::string geometry(const Fields& edits = {}) {
  Fields f;
  for (int i = 0; i < 12; ++i) f.emplace_back(kStampKeys[i], std::to_string(kStamp[i]));
  return le::test::jsonObject(f, edits);
}

std::string sidecar(const Fields& edits = {}) {
  return le::test::jsonObject({{"format", R"("tessera_bank.v1")"},
                               {"geometry", geometry()},
                               {"n_donors", "3"},
                               {"track_order", "[2, 0, 1]"},
                               {"cent", "[[30.5, 40.25], [31, 41], [29.75, 39.5]]"},
                               {"aperture", "[0.1, 0.5, 0.9]"},
                               {"c_canon", "[30, 40]"},
                               {"codec", R"({"codec": "h264", "pix_fmt": "rgb24"})"}},
                              edits);
}

std::string manifest(const std::string& tessera = "") {
  return R"({"format": "le-bundle-v0", "crop": 64)" + (tessera.empty() ? "" : ", \"tessera\": " + tessera) + "}\n";
}

const std::string kHeadPt("PK\0\3weights\0\xff", 12);
const std::string kHeadJson = R"({"format": "tessera_head.v1", "k": 4})";

// A bundle in a scratch directory: a manifest (unless empty), the sidecar
// and the other three members under their default names, less `remove`.
struct Bundle {
  TempDir dir;
  explicit Bundle(const std::string& manifestText = manifest(), const std::string& sidecarText = sidecar(),
                  const std::vector<std::string>& remove = {}) {
    if (!manifestText.empty()) writeFile(dir / "manifest.json", manifestText);
    writeFile(dir / "tessera_bank.v1.json", sidecarText);
    writeFile(dir / "tessera_bank.v1.mp4", "not decoded here");
    writeFile(dir / "tessera_head.v1.pt", kHeadPt);
    writeFile(dir / "tessera_head.v1.json", kHeadJson);
    for (const std::string& f : remove) std::filesystem::remove(dir / f);
  }
  std::string path() const { return dir.path(); }
};

// The words of a space-separated list.
std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

const std::string kPredicate =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; any missing = "
    "REFUSED on every plane. The borrow is a SWITCH, not a gradient — there is no rendering mode that proceeds "
    "without them (velisar-2 IS borrowed teeth). Re-stage the bundle with the bank builder.";

TEST(TesseraCarriage, NamesPathsAndMissingSlots) {
  const std::string defaults = "tessera_bank.v1.mp4 tessera_bank.v1.json tessera_head.v1.pt tessera_head.v1.json";
  const std::string renames = R"({"members": {"bank_track": "", "bank_sidecar": "bank.json", "head_weights": 7,
                                  "head_config": "cfg/head.json"}, "planes": ["stream", 3, "offline"]})";
  struct Case {
    const char* what;
    std::string manifestText;  // "" writes none
    std::string remove, names, missing, planes;
    bool declared;
  };
  const Case cases[] = {
      {"no manifest", "", "", defaults, "", "", false},
      {"not JSON", "{\"tessera\": {\"members\": {\"bank_track\": \"x.mp4\"}", "", defaults, "", "", false},
      {"no tessera block", manifest(), "tessera_head.v1.json tessera_bank.v1.mp4", defaults, "bank_track head_config",
       "", false},
      {"tessera not an object", manifest("[1]"), "", defaults, "", "", false},
      {"renames, an empty and a numeric name keep the default", manifest(renames), "",
       "tessera_bank.v1.mp4 bank.json tessera_head.v1.pt cfg/head.json", "bank_sidecar head_config", "stream offline",
       true},
      {"members not an object", manifest(R"({"members": ["bank.json"], "planes": "stream"})"), "", defaults, "", "",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bundle b(c.manifestText, sidecar(), words(c.remove));
    const le::TesseraCarriage k = le::tesseraCarriage(b.path());
    const std::vector<std::string> names = words(c.names);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(k.name[i], names[i]);
      EXPECT_EQ(k.path[i], b.dir / names[i]);
    }
    EXPECT_EQ(k.missing, words(c.missing));
    EXPECT_EQ(k.complete, c.missing.empty());
    EXPECT_EQ(k.declared, c.declared);
    EXPECT_EQ(k.planes, words(c.planes));
  }
}

TEST(TesseraCarriage, ManifestSourcesAndSlotLookup) {
  // meta.json stands in for an absent manifest.json; the manifest overload
  // reads the same directory.
  Bundle b("");
  writeFile(b.dir / "meta.json", manifest(R"({"members": {"head_config": "h.json"}})"));
  le::Manifest m;
  m.dir = b.path();
  for (const le::TesseraCarriage& k : {le::tesseraCarriage(b.path()), le::tesseraCarriage(m)}) {
    EXPECT_TRUE(k.declared);
    EXPECT_EQ(k.path("head_config"), b.dir / "h.json");
    EXPECT_EQ(k.path("bank_track"), b.dir / "tessera_bank.v1.mp4");
    EXPECT_EQ(k.missing, std::vector<std::string>{"head_config"});
    EXPECT_EQ(errorOf([&] { k.path("bank"); }), "teeth: no such member slot 'bank'");
  }
  // A container resolves to the directory it unwraps into.
  Bundle packed;
  TempDir out;
  le::packImx(packed.path(), out / "avatar.imx");
  const le::TesseraCarriage k = le::tesseraCarriage(out / "avatar.imx");
  EXPECT_TRUE(k.complete);
  EXPECT_EQ(k.path("head_weights"), out / "avatar.lebundle/tessera_head.v1.pt");
}

TEST(TesseraMembers, MissingMembersRefusal) {
  struct Case {
    std::string manifestText, remove, text, missing;
  };
  const Case cases[] = {
      {manifest(), "tessera_head.v1.json tessera_bank.v1.mp4",
       "missing teeth member(s): bank_track (tessera_bank.v1.mp4), head_config (tessera_head.v1.json) — carries 2 "
       "of 4",
       "bank_track head_config"},
      {manifest(R"({"members": {"head_weights": "w.pt"}})"), "",
       "missing teeth member(s): head_weights (w.pt) — carries 3 of 4 and declares a manifest.tessera block the "
       "members do not keep",
       "head_weights"},
  };
  for (const Case& c : cases) {
    try {
      le::loadTesseraMembers(Bundle(c.manifestText, sidecar(), words(c.remove)).path());
      ADD_FAILURE() << "loaded without " << c.missing;
    } catch (const le::MissingTesseraMember& e) {
      EXPECT_EQ(e.what(), c.text + kPredicate);
      EXPECT_EQ(e.missing, words(c.missing));
    }
  }
  EXPECT_NO_THROW(le::requireTesseraMembers(le::tesseraCarriage(Bundle().path())));
}

TEST(TesseraMembers, LoaderRefusals) {
  const std::string S = "tessera_bank.v1.json";
  std::string big = "[";
  for (int i = 0; i < 1025; ++i) big.append(i ? ", " : "").append(std::to_string(i));
  big += "]";
  const std::string noPixFmt =
      "{dir}: neither manifest.tessera.bank_pix_fmt nor tessera_bank.v1.json.codec.pix_fmt states the reference "
      "track's pixel format. A decoder handed no format negotiates one, and the one it settles on is 4:2:0 — lossy "
      "chroma on reference pixels IS the borrow degrading. Refusing rather than letting it guess.";
  const std::string notPermutation =
      " track_order is not a permutation (reference 0 appears twice) — the inverse permutation would leave a "
      "reference slot never written and the pass would blend uninitialised memory into a real mouth.";
  struct Case {
    std::string manifestText, sidecarText, text;
  };
  const Case cases[] = {
      {manifest(), " \n", "teeth: " + S + " is not readable JSON: teeth: JSON truncated"},
      {manifest(), "{\"format\": 1 \"n_donors\": 2}",
       "teeth: " + S + " is not readable JSON: teeth: malformed JSON object"},
      {"{\"crop\" 64 64}", sidecar(), "teeth: {dir}/manifest.json is not readable JSON: teeth: malformed JSON object"},
      {manifest(), sidecar({{"format", "1"}}),
       S + " declares format '', not 'tessera_bank.v1' — this reader does not know that generation and will not "
           "guess at its keys."},
      {manifest(), sidecar({{"geometry", "[64, 64]"}}), S + " carries no `geometry` stamp"},
      {manifest(), sidecar({{"geometry", geometry({{"pad", "\"4\""}})}}),
       "teeth: " + S + ".geometry lacks numeric 'pad'"},
      {manifest(R"({"geometry": {"canvas_w": 64}})"), sidecar(),
       "teeth: manifest.tessera.geometry lacks numeric 'canvas_h'"},
      {manifest("{\"geometry\": " + geometry() + "}"), sidecar({{"geometry", geometry({{"pad", "5"}})}}),
       "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " + kGeometryText + " vs " + S +
           " {canvas_w=64, canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=24, pad=5, band_r0=6, "
           "band_r1=18, band_c0=4, band_c1=28, shift_margin=2}; refusing to place a window on a rectangle the two "
           "halves of the bundle do not agree on."},
      {manifest(), sidecar({{"geometry", geometry({{"band_r0", "9"}, {"band_r1", "9.7"}, {"shift_margin", "0"}})}}),
       "teeth stamp yields a non-positive stored patch (24x0)"},
      {manifest(), sidecar({{"n_donors", "\"3\""}}), "teeth: " + S + " lacks numeric 'n_donors'"},
      {manifest(), sidecar({{"n_donors", "-2.5"}}), S + " says n_donors=-2"},
      {manifest(), sidecar({{"n_donors", "1025"}, {"track_order", big}}),
       S + " carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES rather than "
           "capping: the selector is the bank's BUILD-time cap selector, and a second one here would change which "
           "donors reach the mouth while every count-based check stayed green. Rebuild the bank."},
      {manifest(),
       sidecar({{"geometry", geometry({{"band_r0", "-2e9"},
                                       {"band_r1", "2e9"},
                                       {"band_c0", "-2e9"},
                                       {"band_c1", "2e9"},
                                       {"shift_margin", "0"}})}}),
       "teeth stamp yields a stored patch of 4000000000x4000000000 that no bank of 3 donors can be addressed with — "
       "refusing"},
      {manifest(), sidecar({{"cent", ""}}), S + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {manifest(), sidecar({{"track_order", "[1, 0]"}}),
       S + " says n_donors=3 but carries track_order=2, cent=3, aperture=3 — a count mismatch silently mis-orders "
           "the donors."},
      {manifest(), sidecar({{"c_canon", "[30, 40, 0]"}}), S + " c_canon is not a pair"},
      {manifest(), sidecar({{"track_order", "[0, 1, 3]"}}), S + " track_order[2]=3 is outside [0,3)"},
      {manifest(), sidecar({{"track_order", "[1, \"x\", null]"}}), S + notPermutation},  // two elements that read as 0
      {manifest(), sidecar({{"cent", "[[1, 2], [3], [4, 5]]"}}), S + " cent[1] is not an (x,y) pair"},
      {manifest(), sidecar({{"codec", ""}}), noPixFmt},
      {manifest(R"({"bank_pix_fmt": 24})"), sidecar({{"codec", R"({"codec": "h264", "pix_fmt": ""})"}}), noPixFmt},
      // Without a manifest the four members still do not load.
      {"", sidecar(),
       "{dir} carries no manifest.json or meta.json — the compose descriptor (unified.pi) the pass places its window "
       "by lives there, and placing a borrow window without it is guessing."},
  };
  for (const Case& c : cases) {
    Bundle b(c.manifestText, c.sidecarText);
    std::string text = c.text;
    for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, b.path());
    EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(b.path()); }), text) << c.sidecarText;
  }
  // The sidecar is named by the file the manifest gives it.
  Bundle renamed(manifest(R"({"members": {"bank_sidecar": "bank.json"}})"));
  writeFile(renamed.dir / "bank.json", sidecar({{"c_canon", "[1]"}}));
  EXPECT_EQ(errorOf([&] { le::loadTesseraMembers(renamed.path()); }), "bank.json c_canon is not a pair");
}

TEST(TesseraMembers, ManifestOverridesAndLimits) {
  // The manifest's strings win over the sidecar's codec block; its stamp
  // agrees; the cap itself is accepted; non-numbers in the arrays read as 0
  // and numbers are truncated toward zero.
  std::string order = "[", cent = "[", aperture = "[";
  for (int i = 0; i < 1024; ++i) {
    const char* comma = i ? ", " : "";  // (appended piece by piece: GCC 12 at -O3 misreads "," + string)
    order.append(comma).append(std::to_string(1023 - i)).append(".9");
    cent.append(comma).append(i == 5 ? "[\"x\", true]" : "[1, 2]");
    aperture.append(comma).append(i == 7 ? "null" : "0.5");
  }
  Bundle b(manifest(R"({"bank_container": "mkv", "bank_packing": "rgb24_rows", "bank_codec": "ffv1",
                        "bank_pix_fmt": "gbrp", "geometry": )" +
                    geometry() + "}"),
           sidecar({{"n_donors", "1024.7"},
                    {"track_order", order + "]"},
                    {"cent", cent + "]"},
                    {"aperture", aperture + "]"},
                    {"codec", R"({"codec": "h264"})"}}));
  le::Manifest m;
  m.dir = b.path();
  const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
  EXPECT_EQ(in.bank_container + " " + in.bank_packing + " " + in.bank_codec + " " + in.bank_pix_fmt,
            "mkv rgb24_rows ffv1 gbrp");
  ASSERT_EQ(in.n_donors, 1024);
  EXPECT_EQ(in.track_order[0], 1023);
  EXPECT_EQ(in.track_order[1023], 0);
  EXPECT_EQ(std::vector<double>(in.cent.begin() + 10, in.cent.begin() + 13), (std::vector<double>{0, 0, 1}));
  EXPECT_EQ(in.aperture[7], 0.0);
  EXPECT_EQ(in.aperture[8], 0.5);
}

// Track frame i filled with bytes that name it.
std::vector<uint8_t> trackFrames(size_t frames, size_t frameBytes) {
  std::vector<uint8_t> v(frames * frameBytes);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i / frameBytes * 50 + i % frameBytes % 7);
  return v;
}

TEST(TesseraMembers, ReorderIntoDonorOrder) {
  le::TesseraAttachInputs in;
  in.n_donors = 3;
  in.track_order = {2, 0, 1};
  in.band_w = 5;
  in.band_h = 2;
  const size_t frame = 5 * 2 * 3;
  const std::vector<uint8_t> src = trackFrames(3, frame);
  std::vector<uint8_t> dst(src.size(), 0xEE);
  le::reorderTrackToDonor(in, src.data(), dst.data());
  // Track frame 0 is donor 2, frame 1 donor 0, frame 2 donor 1.
  for (const auto& [track, donor] : {std::pair{0, 2}, {1, 0}, {2, 1}})
    EXPECT_TRUE(std::equal(src.begin() + track * frame, src.begin() + (track + 1) * frame, dst.begin() + donor * frame))
        << "track frame " << track;

  struct Fail {
    bool nullSrc, nullDst;
    le::TesseraAttachInputs edit;
    const char* text;
  };
  le::TesseraAttachInputs shortOrder = in, zeroW = in, zeroH = in;
  shortOrder.track_order = {1, 0};
  zeroW.band_w = 0;
  zeroH.band_h = 0;
  const Fail fails[] = {{true, false, in, "teeth: null band buffer"},
                        {false, true, zeroW, "teeth: null band buffer"},
                        {false, false, shortOrder, "teeth: track_order does not match n_donors"},
                        {false, false, zeroW, "teeth: zero reference stride"},
                        {false, false, zeroH, "teeth: zero reference stride"}};
  for (const Fail& f : fails)
    EXPECT_EQ(errorOf([&] {
                le::reorderTrackToDonor(f.edit, f.nullSrc ? nullptr : src.data(), f.nullDst ? nullptr : dst.data());
              }),
              f.text);
}

TEST(TesseraCApi, NullHandlesAndArguments) {
  EXPECT_EQ(le_tessera_slot_count(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(le_tessera_slot_key(i), kSlots[i]);
  EXPECT_EQ(le_tessera_slot_key(-1), nullptr);
  EXPECT_EQ(le_tessera_slot_key(4), nullptr);

  EXPECT_EQ(le_tessera_carriage_open(nullptr), nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(nullptr) + le_tessera_carriage_declared(nullptr) +
                le_tessera_carriage_missing_count(nullptr),
            0);
  EXPECT_STREQ(le_tessera_carriage_path(nullptr, "bank_track"), "");
  EXPECT_EQ(le_tessera_carriage_missing(nullptr, 0), nullptr);
  le_tessera_carriage_close(nullptr);

  EXPECT_EQ(
      le_tessera_members_n_donors(nullptr) + le_tessera_members_band_w(nullptr) + le_tessera_members_band_h(nullptr),
      0);
  EXPECT_EQ(le_tessera_members_band_bytes(nullptr) + le_tessera_members_head_pt_len(nullptr), 0u);
  EXPECT_EQ(le_tessera_members_cent(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_c_canon(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_aperture(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_stamp(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_head_pt(nullptr), nullptr);
  for (auto* text : {le_tessera_members_head_json, le_tessera_members_manifest_json, le_tessera_members_bank_track_path,
                     le_tessera_members_bank_container, le_tessera_members_bank_codec, le_tessera_members_bank_pix_fmt,
                     le_tessera_members_bank_packing})
    EXPECT_STREQ(text(nullptr), "");
  le_tessera_members_close(nullptr);

  // The error buffer takes at most size - 1 bytes and a NUL; nothing without room.
  const std::string full = "le_tessera_members_open: null bundle_dir", untouched(63, '#');
  const std::pair<int, std::string> sizes[] = {{64, full}, {42, full}, {41, full},     {40, full.substr(0, 39)},
                                               {2, "l"},   {1, ""},    {0, untouched}, {-5, untouched}};
  for (const auto& [size, written] : sizes) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    buf[63] = 0;
    EXPECT_EQ(le_tessera_members_open(nullptr, buf, size), nullptr);
    EXPECT_EQ(buf, written) << size;
  }
  EXPECT_EQ(le_tessera_members_open(nullptr, nullptr, 64), nullptr);
  char buf[64];
  EXPECT_EQ(le_tessera_members_reorder(nullptr, nullptr, nullptr, buf, 12), 1);
  EXPECT_STREQ(buf, "le_tessera_");
}

TEST(TesseraCApi, Carriage) {
  Bundle b(manifest(R"({"planes": []})"), sidecar(), {"tessera_head.v1.pt"});
  le_tessera_carriage* c = le_tessera_carriage_open(b.path().c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  EXPECT_EQ(le_tessera_carriage_declared(c), 1);
  EXPECT_EQ(le_tessera_carriage_path(c, "head_weights"), b.dir / "tessera_head.v1.pt");
  EXPECT_STREQ(le_tessera_carriage_path(c, "head"), "");
  EXPECT_STREQ(le_tessera_carriage_path(c, nullptr), "");
  ASSERT_EQ(le_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(le_tessera_carriage_missing(c, 0), "head_weights");
  EXPECT_EQ(le_tessera_carriage_missing(c, 1), nullptr);
  EXPECT_EQ(le_tessera_carriage_missing(c, -1), nullptr);
  le_tessera_carriage_close(c);

  // A container that cannot be unpacked: nothing is carried, nothing resolved.
  TempDir d;
  writeFile(d / "broken.imx", std::string("IMX\0\2\0\5\0", 8));
  c = le_tessera_carriage_open((d / "broken.imx").c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c) + le_tessera_carriage_declared(c), 0);
  ASSERT_EQ(le_tessera_carriage_missing_count(c), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(le_tessera_carriage_missing(c, i), kSlots[i]);
    EXPECT_STREQ(le_tessera_carriage_path(c, kSlots[i]), "");
  }
  le_tessera_carriage_close(c);
}

TEST(TesseraCApi, MembersValues) {
  // A loader refusal passes through as its own text.
  char err[256] = "";
  EXPECT_EQ(le_tessera_members_open(Bundle(manifest(), sidecar({{"n_donors", "0"}})).path().c_str(), err, sizeof err),
            nullptr);
  EXPECT_STREQ(err, "tessera_bank.v1.json says n_donors=0");

  Bundle b;
  std::strcpy(err, "untouched");
  le_tessera_members* m = le_tessera_members_open(b.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_STREQ(err, "untouched");
  EXPECT_EQ(le_tessera_members_n_donors(m), 3);
  const double cent[] = {30.5, 40.25, 31, 41, 29.75, 39.5}, aperture[] = {0.1, 0.5, 0.9}, canon[] = {30, 40};
  EXPECT_TRUE(std::equal(cent, cent + 6, le_tessera_members_cent(m)));
  EXPECT_TRUE(std::equal(canon, canon + 2, le_tessera_members_c_canon(m)));
  EXPECT_TRUE(std::equal(aperture, aperture + 3, le_tessera_members_aperture(m)));
  EXPECT_TRUE(std::equal(kStamp, kStamp + 12, le_tessera_members_stamp(m)));
  const char* pt = reinterpret_cast<const char*>(le_tessera_members_head_pt(m));
  EXPECT_EQ(std::string(pt, le_tessera_members_head_pt_len(m)), kHeadPt);
  EXPECT_STREQ(le_tessera_members_head_json(m), kHeadJson.c_str());
  EXPECT_EQ(le_tessera_members_manifest_json(m), manifest());
  EXPECT_EQ(le_tessera_members_bank_track_path(m), b.dir / "tessera_bank.v1.mp4");
  EXPECT_EQ(std::string(le_tessera_members_bank_container(m)) + " " + le_tessera_members_bank_codec(m) + " " +
                le_tessera_members_bank_pix_fmt(m) + " " + le_tessera_members_bank_packing(m),
            "mp4 h264 rgb24 rgb24_frames");
  // Rows 18 - 6 and columns 28 - 4, each widened by the margin on both sides.
  EXPECT_EQ(le_tessera_members_band_w(m), 28);
  EXPECT_EQ(le_tessera_members_band_h(m), 16);
  const size_t frame = 28 * 16 * 3;
  ASSERT_EQ(le_tessera_members_band_bytes(m), 3 * frame);

  // The placement itself is the C++ reorder's (ReorderIntoDonorOrder); here the handle's own order is used.
  const std::vector<uint8_t> track = trackFrames(3, frame);
  std::vector<uint8_t> bank(3 * frame);
  EXPECT_EQ(le_tessera_members_reorder(m, track.data(), bank.data(), err, sizeof err), 0);
  EXPECT_STREQ(err, "untouched");
  EXPECT_TRUE(std::equal(track.begin(), track.begin() + frame, bank.begin() + 2 * frame));  // order 2, 0, 1
  for (const uint8_t* src : {track.data(), static_cast<const uint8_t*>(nullptr)}) {
    EXPECT_EQ(le_tessera_members_reorder(m, src, src ? nullptr : bank.data(), err, sizeof err), 1);
    EXPECT_STREQ(err, "le_tessera_members_reorder: null argument");
  }
  le_tessera_members_close(m);

  writeFile(b.dir / "tessera_head.v1.pt", "");
  m = le_tessera_members_open(b.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(le_tessera_members_head_pt(m), nullptr);
  EXPECT_EQ(le_tessera_members_head_pt_len(m), 0u);
  le_tessera_members_close(m);
}

}  // namespace
