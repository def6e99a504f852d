// The donor bank decode: the generated bank against the patches the
// generator drew and against FFmpeg's own decode, the track orders, streams
// and sizes it meets, every refusal, and the in-memory I/O callbacks.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "borrow/bank_decode.h"
#include "bundle/le_json.h"
#include "bundle/le_unified_pi.h"
#include "bundle_fixtures.h"

namespace {

using le::tessera::decodeBankTrack;
using le::tessera::json::JParser;
using le::tessera::json::JVal;
using le::test::errorOf;
using le::test::readAll;

const std::string kBank = std::string(LE_FIXTURE_DIR) + "/tiny_bank/";
const std::string kTracks = std::string(LE_FIXTURE_DIR) + "/bank_tracks/";

std::vector<uint8_t> bytesOf(const std::string& path) {
  const std::string s = readAll(path);
  if (s.empty()) throw std::runtime_error("test: cannot read " + path);
  return {s.begin(), s.end()};
}

std::vector<uint8_t> decodeFile(const std::string& path, int n, int h, int w, const std::vector<int32_t>& order) {
  const std::vector<uint8_t> track = bytesOf(path);
  return decodeBankTrack(track.data(), track.size(), n, h, w, order);
}

JVal parseFile(const std::string& path, std::string* keep) {
  *keep = readAll(path);
  JParser p(*keep);
  return p.val();
}

// What a shell command writes to stdout.
std::string commandOutput(const std::string& cmd) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  std::string out;
  char buf[65536];
  size_t got;
  while (pipe && (got = fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, got);
  return out;
}

// The rest of the first line that holds prefix, after it.
std::string lineAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.find(prefix);
  if (at == std::string::npos) return "";
  const size_t from = at + prefix.size();
  return text.substr(from, text.find('\n', from) - from);
}

// The generated bank: sidecar, stamp and the drawn patches beside it.
struct Bank {
  std::string sidecarText, manifestText;
  JVal sidecar, manifest;
  int n = 0, h = 0, w = 0;
  std::vector<int32_t> order;

  Bank() {
    sidecar = parseFile(kBank + "tessera_bank.v1.json", &sidecarText);
    manifest = parseFile(kBank + "manifest.json", &manifestText);
    n = static_cast<int>(sidecar.req("n_donors").num);
    const JVal& g = sidecar.req("geometry");
    const int margin = static_cast<int>(g.req("shift_margin").num);
    h = static_cast<int>(g.req("band_r1").num - g.req("band_r0").num) + 2 * margin;
    w = static_cast<int>(g.req("band_c1").num - g.req("band_c0").num) + 2 * margin;
    for (const JVal& t : sidecar.req("track_order").arr) order.push_back(static_cast<int32_t>(t.num));
  }
  size_t patch() const { return static_cast<size_t>(h) * w * 3; }
};

TEST(BankDecode, DonorOrderIsTheDrawnPatchesExactly) {
  const Bank bank;
  ASSERT_GT(bank.n, 1);
  const std::vector<uint8_t> drawn = bytesOf(std::string(LE_FIXTURE_DIR) + "/tiny_bank.donors.rgb");
  const std::vector<uint8_t> got = decodeFile(kBank + "tessera_bank.v1.mp4", bank.n, bank.h, bank.w, bank.order);
  ASSERT_EQ(got.size(), bank.patch() * bank.n);
  // the track is lossless RGB: no codec loss to allow for
  for (int d = 0; d < bank.n; ++d)
    EXPECT_EQ(std::memcmp(got.data() + d * bank.patch(), drawn.data() + d * bank.patch(), bank.patch()), 0)
        << "donor " << d;
  // and FFmpeg's own decode, frame i in track order, is donor order[i]
  const std::string cli =
      commandOutput("ffmpeg -nostdin -v error -i " + kBank + "tessera_bank.v1.mp4 -f rawvideo -pix_fmt rgb24 -");
  ASSERT_EQ(cli.size(), got.size());
  for (int i = 0; i < bank.n; ++i)
    EXPECT_EQ(std::memcmp(cli.data() + i * bank.patch(), got.data() + bank.order[i] * bank.patch(), bank.patch()), 0)
        << "track frame " << i;
}

TEST(BankDecode, FramesLandAtTheirDonorsWhateverTheStreams) {
  struct Case {
    const char* track;
    int n, h, w;
    std::vector<int32_t> order;
  };
  const Case cases[] = {
      {"pair_64x64", 2, 64, 64, {0, 1}},
      {"pair_64x64", 2, 64, 64, {1, 0}},
      {"pair_64x48", 2, 48, 64, {1, 0}},
      // an audio stream before the video: its packets are dropped
      {"audio_first", 3, 64, 64, {2, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.track) + " order " + std::to_string(c.order[0]));
    const std::vector<uint8_t> frames = bytesOf(kTracks + c.track + ".rgb");
    const size_t patch = static_cast<size_t>(c.h) * c.w * 3;
    ASSERT_EQ(frames.size(), patch * c.n);
    const std::vector<uint8_t> got = decodeFile(kTracks + c.track + ".mp4", c.n, c.h, c.w, c.order);
    ASSERT_EQ(got.size(), frames.size());
    for (int i = 0; i < c.n; ++i)
      EXPECT_EQ(std::memcmp(frames.data() + i * patch, got.data() + c.order[i] * patch, patch), 0)
          << "track frame " << i << " should be donor " << c.order[i];
  }
}

TEST(BankDecode, RefusesEveryMismatch) {
  const Bank bank;
  std::vector<int32_t> fewer(static_cast<size_t>(bank.n - 1)), more(static_cast<size_t>(bank.n + 1));
  for (size_t i = 0; i < fewer.size(); ++i) fewer[i] = static_cast<int32_t>(i);
  for (size_t i = 0; i < more.size(); ++i) more[i] = static_cast<int32_t>(i);
  const std::string tiny = kBank + "tessera_bank.v1.mp4";
  struct Case {
    std::string name, path;  // an empty path: the bytes below
    std::string bytes;
    int n, h, w;
    std::vector<int32_t> order;
    std::string want;
  };
  const std::string junk(4096, '\x5a');
  const Case cases[] = {
      {"no bytes", "", "", 2, 64, 64, {0, 1}, "reference bank track is empty — refusing to serve"},
      {"zero height", kTracks + "pair_64x64.mp4", "", 2, 0, 64, {0, 1},
       "reference bank geometry is not positive — refusing to serve"},
      {"zero width", kTracks + "pair_64x64.mp4", "", 2, 64, 0, {0, 1},
       "reference bank geometry is not positive — refusing to serve"},
      {"no donors", kTracks + "pair_64x64.mp4", "", 0, 64, 64, {},
       "reference bank geometry is not positive — refusing to serve"},
      {"short order", kTracks + "pair_64x64.mp4", "", 2, 64, 64, {0},
       "reference bank sidecar track_order has 1 entries, expected 2 — sidecar/track mismatch, refusing to serve"},
      {"junk", "", junk, 2, 64, 64, {0, 1}, "reference bank track is not a readable container — refusing to serve"},
      {"audio only", kTracks + "audio_only.mp4", "", 2, 64, 64, {0, 1},
       "reference bank track has no video stream — refusing to serve"},
      {"64x48 for 64x64", kTracks + "pair_64x48.mp4", "", 2, 64, 64, {0, 1},
       "reference bank track is 64x48, the geometry stamp says 64x64 — geometry mismatch, refusing to serve"},
      {"unknown codec", kTracks + "unknown_codec.mp4", "", 2, 64, 64, {0, 1},
       "no decoder for the reference bank track — this build must carry the h264 decoder (see "
       "build_ffmpeg_android); refusing to serve"},
      {"order beyond n", kTracks + "pair_64x64.mp4", "", 2, 64, 64, {0, 2},
       "reference bank track_order is out of range — refusing to serve"},
      {"negative order", kTracks + "pair_64x64.mp4", "", 2, 64, 64, {-1, 0},
       "reference bank track_order is out of range — refusing to serve"},
      {"repeated donor", kTracks + "pair_64x64.mp4", "", 2, 64, 64, {1, 1},
       "reference bank track_order is not a permutation — refusing to serve"},
      {"size change", kTracks + "size_change.mp4", "", 3, 48, 64, {0, 1, 2},
       "reference bank frame changed size mid-track — refusing to serve"},
      {"n-1 donors", tiny, "", bank.n - 1, bank.h, bank.w, fewer,
       "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve"},
      {"n+1 donors", tiny, "", bank.n + 1, bank.h, bank.w, more,
       "bank track decoded to " + std::to_string(bank.n) + " frames, expected " + std::to_string(bank.n + 1) +
           " — geometry/N mismatch, refusing to serve"},
  };
  for (const Case& c : cases) {
    const std::string bytes = c.path.empty() ? c.bytes : readAll(c.path);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.empty() ? nullptr : bytes.data());
    EXPECT_EQ(errorOf([&] { decodeBankTrack(data, bytes.size(), c.n, c.h, c.w, c.order); }), c.want) << c.name;
  }
  // a pointer with no bytes behind it is empty too
  const uint8_t one = 0;
  EXPECT_EQ(errorOf([&] { decodeBankTrack(&one, 0, 1, 1, 1, {0}); }),
            "reference bank track is empty — refusing to serve");
}

TEST(BankDecode, MemoryCursorReadsAndSeeksWithinItsBytes) {
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  le::tessera::MemCursor c{data, 10, 0};
  // seeks: (offset, whence, from position) -> (result, position after)
  struct Seek {
    int64_t offset;
    int whence;
    int64_t from, result, after;
  };
  const Seek seeks[] = {
      {0, AVSEEK_SIZE, 4, 10, 4},
      {10, SEEK_SET, 0, 10, 10},  // exactly at the end
      {11, SEEK_SET, 3, -1, 3},   // one beyond
      {-1, SEEK_SET, 3, -1, 3},
      {3, SEEK_CUR, 4, 7, 7},
      {-5, SEEK_CUR, 4, -1, 4},
      {-4, SEEK_END, 0, 6, 6},
      {0, SEEK_END, 0, 10, 10},
      {1, SEEK_END, 2, -1, 2},
      {5, SEEK_SET | AVSEEK_FORCE, 0, 5, 5},
      {5, 7, 2, -1, 2},  // no such origin
  };
  for (const Seek& s : seeks) {
    c.pos = s.from;
    EXPECT_EQ(le::tessera::memSeek(&c, s.offset, s.whence), s.result) << s.offset << " whence " << s.whence;
    EXPECT_EQ(c.pos, s.after) << s.offset << " whence " << s.whence;
  }
  uint8_t buf[8] = {};
  c.pos = 6;
  ASSERT_EQ(le::tessera::memRead(&c, buf, 8), 4);  // what is left, no more
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{6, 7, 8, 9}));
  EXPECT_EQ(c.pos, 10);
  EXPECT_EQ(le::tessera::memRead(&c, buf, 8), AVERROR_EOF);
  c.pos = 0;
  ASSERT_EQ(le::tessera::memRead(&c, buf, 3), 3);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(c.pos, 3);
}

TEST(BankDecode, BuildTextNamesTheFfmpegOfThisMachine) {
  // "libavcodec     59. 37.100 / 59. 37.100": compiled against, then linked
  const std::string cli = commandOutput("ffmpeg -hide_banner -version 2>&1");
  std::string version = lineAfter(cli, "libavcodec");
  version = version.substr(0, version.find('/'));
  std::string compact;
  for (const char ch : version)
    if (ch != ' ') compact += ch;
  ASSERT_FALSE(compact.empty()) << cli;
  EXPECT_EQ(le::tessera::bankDecoderBuild(),
            "libavcodec " + compact + " / " + lineAfter(cli, "configuration: "));
}

TEST(GeneratedBank, TheEngineNamesItsGeometryAndStamp) {
  const Bank bank;
  // the manifest's stamp is the sidecar's
  const JVal& ours = bank.sidecar.req("geometry");
  const JVal& theirs = bank.manifest.req("tessera").req("geometry");
  ASSERT_EQ(ours.obj.size(), 12u);
  for (const auto& [key, value] : ours.obj) EXPECT_EQ(theirs.req(key).num, value.num) << key;
  EXPECT_EQ(bank.manifest.req("tessera").req("bank_pix_fmt").s, bank.sidecar.req("codec").req("pix_fmt").s);
  // c_canon singles out one known pi geometry over the bundle's own target frames
  const std::string xs = readAll(kBank + "target_keypoints.bin");
  ASSERT_EQ(xs.size() % (63 * sizeof(float)), 0u);
  std::vector<float> frames(xs.size() / sizeof(float));
  std::memcpy(frames.data(), xs.data(), xs.size());
  const double canon[2] = {bank.sidecar.req("c_canon").arr[0].num, bank.sidecar.req("c_canon").arr[1].num};
  const int canvas = static_cast<int>(ours.req("canvas_w").num);
  std::string detail;
  const auto pi = le::tessera::UnifiedPi::corpusFromManifestJson(
      bank.manifestText, canvas, frames.data(), static_cast<int>(frames.size() / 63), canon, &detail);
  EXPECT_EQ(detail.rfind("corpus pi geometry v1: ", 0), 0u) << detail;
  double x = 0, y = 0;
  pi.canonicalCentroid(frames.data(), static_cast<int>(frames.size() / 63), &x, &y);
  EXPECT_NEAR(x, canon[0], 1e-3);
  EXPECT_NEAR(y, canon[1], 1e-3);
}

}  // namespace
