// The blend head's weights and serve config: the generator's weight files
// against the parameters numpy wrote beside them, one refusal per broken
// file, and the serve config's required keys, truncation and envelope check.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "borrow/head_weights.h"
#include "borrow/serve_config.h"
#include "bundle_fixtures.h"

namespace {

using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;
using le::tessera::ServeConfig;
using le::test::errorOf;
using le::test::readAll;

const std::string kDir = std::string(LE_FIXTURE_DIR) + "/tessera_head/";

std::vector<uint8_t> bytesOf(const std::string& name) {
  const std::string s = readAll(kDir + name);
  EXPECT_FALSE(s.empty()) << name;
  return {s.begin(), s.end()};
}

HeadWeights load(const std::string& name) { return loadHeadPt(bytesOf(name)); }

// The parameters in state-dict order, as one array.
std::vector<float> flat(const HeadWeights& w) {
  std::vector<float> out;
  for (const auto* v : {&w.cand0_w, &w.cand0_b, &w.cand2_w, &w.cand2_b, &w.cand4_w, &w.cand4_b, &w.syn0_w, &w.syn0_b,
                        &w.syn2_w, &w.syn2_b})
    out.insert(out.end(), v->begin(), v->end());
  return out;
}

TEST(HeadWeights, ReadsTheGeneratedFilesExactly) {
  struct Case {
    const char* file;
    const char* values;
    uint32_t params;
  };
  const Case cases[] = {
      {"tessera_head.v1.pt", "blendhead16.f32", 4082},
      {"blendhead8.pt", "blendhead8.f32", 3489},
      // one storage holding every parameter at its own offset
      {"shared_storage.pt", "blendhead16.f32", 4082},
      // the later of two pickles counts
      {"two_pickles_later_valid.pt", "blendhead16.f32", 4082},
      // an entry whose uncompressed size reads 0 is sized by its compressed size
      {"compressed_size_only.pt", "blendhead16.f32", 4082},
  };
  for (const Case& c : cases) {
    const HeadWeights w = load(c.file);
    EXPECT_EQ(w.params(), c.params) << c.file;
    // bit for bit, so a byte-order or offset slip cannot hide in a tolerance
    const std::vector<float> got = flat(w), want = le::readFloats(kDir + c.values);
    ASSERT_EQ(got.size(), want.size()) << c.file;
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * 4), 0) << c.file;
  }
  const HeadWeights h8 = load("blendhead8.pt");
  EXPECT_TRUE(h8.syn0_w.empty() && h8.syn0_b.empty() && h8.syn2_w.empty() && h8.syn2_b.empty());
}

TEST(HeadWeights, RefusesEachBrokenFileWithItsReason) {
  // A program patches in, for forms the generator's pickler never writes, five
  // bytes in place of binget_missing.pt's own five-byte pickle (the reader
  // checks no CRC).
  const std::vector<uint8_t> zip = bytesOf("binget_missing.pt");
  const size_t at = std::string(zip.begin(), zip.end()).find(std::string("\x80\x02h\x07.", 5));
  ASSERT_NE(at, std::string::npos);
  struct Case {
    const char* file;
    std::string error;
    const char* program = nullptr;
  };
  const char* p = "binget_missing.pt";
  const Case cases[] = {
      {"short.pt", "teeth: head .pt is not a zip"},
      {"no_eocd.pt", "teeth: head .pt has no zip EOCD"},
      {"cd_overrun.pt", "teeth: head .pt central directory is malformed"},
      {"deflated.pt",
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {"local_header_beyond.pt", "teeth: head .pt local header out of range"},
      {"oversized_entry.pt", "teeth: head .pt entry out of range"},
      {"no_entries.pt", "teeth: head .pt has no data.pkl"},
      {"root_data_pkl.pt", "teeth: head .pt has no data.pkl"},
      {"two_pickles_later_bad.pt", "teeth: unsupported pickle opcode 0x5d in head .pt"},
      {"truncated_pickle.pt", "teeth: pickle truncated"},
      {"global_unterminated.pt", "teeth: pickle truncated"},
      {"empty_list.pt", "teeth: unsupported pickle opcode 0x5d in head .pt"},
      {"calls_rmtree.pt", "teeth: head .pt calls shutil rmtree — this reader refuses code it does not model"},
      {"binget_missing.pt", "teeth: pickle BINGET out of range"},
      {"long_binget_missing.pt", "teeth: pickle LONG_BINGET out of range"},
      {"persid_not_storage.pt", "teeth: unexpected persistent id in head .pt"},
      {"double_storage.pt",
       "teeth: head .pt storage is torch DoubleStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"malformed_rebuild.pt", "teeth: malformed _rebuild_tensor_v2"},
      {"empty_state_dict.pt", "teeth: head .pt state_dict is empty"},
      {"stack_underflow.pt", "teeth: pickle stack underflow"},
      {"setitems_odd.pt", "teeth: pickle SETITEMS holds a key without a value"},
      {"duplicate_bias.pt", "teeth: head .pt names 'cand.0.bias' 2 times — ambiguous"},
      {"bias_not_tensor.pt", "teeth: 'cand.0.bias' is not a tensor"},
      {"narrow_first_conv.pt", "teeth: head 'cand.0.weight' has shape [16,6,3,3] — not the BlendHead(16) arch"},
      {"syn_without_last_bias.pt", "teeth: head .pt lacks 'syn.2.bias'"},
      {"cand_without_last_bias.pt", "teeth: head .pt lacks 'cand.4.bias'"},
      {"storage_missing.pt", "teeth: head storage 4 missing"},
      {"storage_short.pt", "teeth: head storage 2 too small"},
      {p, "teeth: pickle truncated", "\x80\x02J\xff\xff"},          // BININT needs four bytes
      {p, "teeth: head .pt state_dict is empty", "\x80\x02)b."},    // BUILD does nothing
      {p, "teeth: head .pt state_dict is empty", "K\x05q\x03."},    // BINPUT stores, nothing else
      {p, "teeth: head .pt lacks 'cand.0.weight'", "N\x88\x89s."},  // SETITEM of any key
      {p, "teeth: head .pt lacks 'cand.0.weight'", "K\x01K\x02s"},  // no STOP: the entry's end
      {p, "teeth: pickle stack underflow", "(\x85..."},             // nothing above the mark
      {p, "teeth: head .pt calls None — this reader refuses code it does not model", "N)R.."},
      {p, "teeth: unexpected persistent id in head .pt", "K\x01Q.."},
      {p, "teeth: unsupported pickle opcode 0x94 in head .pt", "\x94\x00\x00\x00\x00"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = c.program ? zip : bytesOf(c.file);
    if (c.program) std::memcpy(bytes.data() + at, c.program, 5);
    EXPECT_EQ(errorOf([&] { loadHeadPt(bytes); }), c.error) << c.file << (c.program ? " patched" : "");
  }
}

// The end-of-directory record is the archive's last 22 bytes, so every cut
// of the file loses it.
TEST(HeadWeights, EveryCutOfTheFileIsRefusedAsNoArchive) {
  const std::vector<uint8_t> whole = bytesOf("tessera_head.v1.pt");
  for (size_t n = 0; n < whole.size(); ++n) {
    const std::string e = errorOf([&] { loadHeadPt({whole.data(), n}); });
    ASSERT_EQ(e, n < 22 ? "teeth: head .pt is not a zip" : "teeth: head .pt has no zip EOCD") << n;
  }
}

// ---- serve config ----------------------------------------------------------

std::string config(const std::string& retrieval, const std::string& temporal, const std::string& rest = "") {
  return R"({"retrieval": {)" + retrieval + R"(}, "temporal": {)" + temporal + "}" + rest + "}";
}

TEST(ServeConfig, ReadsTheSixKeysAndKeepsTheFixedOnes) {
  struct Case {
    std::string text;
    int32_t kshort;
    double aperture_tol;
    int32_t cut, K, hysteresis, lookahead;
  };
  const Case cases[] = {
      // the generated member serves the values of record
      {readAll(kDir + "tessera_head.v1.json"), 512, 0.3, 96, 64, 8, 8},
      // the fixed fields are not read even where a document names them
      {config(R"("kshort": 300, "aperture_tol": 0.125, "cut": 40, "K": 16, "teeth_luma_min": 5)",
              R"("hysteresis": 3, "lookahead": 2, "weight_decay": 0.1)", R"(, "min_teeth_px": 1, "lookahead_on": 0)"),
       300, 0.125, 40, 16, 3, 2},
  };
  const ServeConfig fixed;
  for (const Case& c : cases) {
    const ServeConfig s = ServeConfig::fromHeadMemberJson(c.text);
    EXPECT_EQ(s.kshort, c.kshort) << c.text;
    EXPECT_EQ(s.aperture_tol, c.aperture_tol) << c.text;
    EXPECT_EQ(s.cut, c.cut) << c.text;
    EXPECT_EQ(s.K, c.K) << c.text;
    EXPECT_EQ(s.hysteresis, c.hysteresis) << c.text;
    EXPECT_EQ(s.lookahead, c.lookahead) << c.text;
    EXPECT_EQ(s.teeth_luma_min, fixed.teeth_luma_min);
    EXPECT_EQ(s.min_teeth_px, fixed.min_teeth_px);
    EXPECT_EQ(s.weight_decay, fixed.weight_decay);
    EXPECT_EQ(s.lookahead_on, fixed.lookahead_on);
  }
}

TEST(ServeConfig, IntegersAreTruncatedAndKindsUnchecked) {
  struct Case {
    std::string value;
    int32_t K;
  };
  const Case cases[] = {
      {"63.9", 63}, {"-3.7", -3}, {"0.999", 0},        {"1e3", 1000},        {R"("64")", 0},
      {"true", 0},  {"[64]", 0},  {"3e10", INT32_MAX}, {"-3e10", INT32_MIN},
  };
  for (const Case& c : cases) {
    const ServeConfig s = ServeConfig::fromHeadMemberJson(
        config(R"("kshort": 1, "aperture_tol": 0.3, "cut": 2, "K": )" + c.value, R"("hysteresis": 1, "lookahead": 1)"));
    EXPECT_EQ(s.K, c.K) << c.value;
  }
}

TEST(ServeConfig, RefusesWhatTheSchemaRequires) {
  const std::string blocks =
      "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
      "defaults (W3-01)";
  const std::string envelope =
      "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity";
  const std::string r = R"("kshort": 1, "aperture_tol": 0.3, "cut": 2, "K": 3)";
  const std::string t = R"("hysteresis": 1, "lookahead": 1)";
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {config(r, t), "(no error)"},
      {R"({"retrieval": {}})", blocks},
      {R"({"temporal": {}, "retrieval": []})", blocks},
      {R"([{"retrieval": {}, "temporal": {}}])", blocks},
      {config(R"("aperture_tol": 0.3, "cut": 2, "K": 3)", t), "teeth: member JSON lacks key 'kshort'"},
      {config(R"("kshort": 1, "cut": 2, "K": 3)", t), "teeth: member JSON lacks key 'aperture_tol'"},
      {config(R"("kshort": 1, "aperture_tol": 0.3, "K": 3)", t), "teeth: member JSON lacks key 'cut'"},
      {config(R"("kshort": 1, "aperture_tol": 0.3, "cut": 2, "k": 3)", t), "teeth: member JSON lacks key 'K'"},
      {config(r, R"("lookahead": 1)"), "teeth: member JSON lacks key 'hysteresis'"},
      {config(r, R"("hysteresis": 1)"), "teeth: member JSON lacks key 'lookahead'"},
      // both blocks are checked before any key is read
      {R"({"retrieval": {}, "temporal": 0})", blocks},
      // the envelope: within 1e-6 of 12, and only inside a decode object
      {config(r, t, R"(, "decode": {"envelope_clamp_255": 12.0000001})"), "(no error)"},
      {config(r, t, R"(, "decode": {"envelope_clamp_255": 11.9999985})"), envelope},
      {config(r, t, R"(, "decode": {"envelope_clamp_255": "12"})"), envelope},
      {config(r, t, R"(, "decode": {"envelope_clamp_255": nan})"), envelope},
      {config(r, t, R"(, "decode": {"other": 13})"), "(no error)"},
      {config(r, t, R"(, "decode": [13], "envelope_clamp_255": 13)"), "(no error)"},
      // the reader's own messages pass through
      {" \n\t", "teeth: JSON truncated"},
      {R"({"retrieval": {"kshort": 1 "cut": 2}})", "teeth: malformed JSON object"},
      {R"({"retrieval": {"kshort": -}})", "teeth: bad JSON number"},
  };
  for (const Case& c : cases) EXPECT_EQ(errorOf([&] { ServeConfig::fromHeadMemberJson(c.text); }), c.error) << c.text;
}

}  // namespace
