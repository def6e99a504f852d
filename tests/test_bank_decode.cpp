// The donor bank decode: generated tracks against the frames drawn into them
// and against FFmpeg's own decode, the orders, streams and sizes it meets,
// every refusal, the in-memory I/O callbacks and the build text.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "borrow/bank_decode.h"
#include "bundle_fixtures.h"

namespace {

using le::test::errorOf;
using le::test::readAll;

const std::string kBank = LE_FIXTURE_DIR "/tiny_bank";
const std::string kTracks = LE_FIXTURE_DIR "/bank_tracks/";

std::vector<uint8_t> decode(const std::string& bytes, int n, int h, int w, const std::vector<int32_t>& order) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.empty() ? nullptr : bytes.data());
  return le::tessera::decodeBankTrack(data, bytes.size(), n, h, w, order);
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

TEST(BankDecode, FramesLandAtTheirDonorsWhateverTheStreams) {
  // The generated bank is lossless RGB: its decode is the drawn patches, in
  // donor order, exactly; FFmpeg's decode of it gives the same frames in
  // track order.
  const le::test::BorrowMembers m(kBank);
  const le::TesseraAttachInputs& in = m.in;
  ASSERT_GT(in.n_donors, 1);
  const std::string drawn = readAll(LE_FIXTURE_DIR "/tiny_bank.donors.rgb");
  ASSERT_EQ(drawn.size(), m.bank.bank.size());
  EXPECT_EQ(std::memcmp(drawn.data(), m.bank.bank.data(), drawn.size()), 0);
  struct Case {
    std::string track, frames;  // frames: the track's pictures in track order
    int n, h, w;
    std::vector<int32_t> order;
  };
  const std::string tiny = kBank + "/tessera_bank.v1.mp4";
  const Case cases[] = {
      {tiny, commandOutput("ffmpeg -nostdin -v error -i " + tiny + " -f rawvideo -pix_fmt rgb24 -"), in.n_donors,
       in.band_h, in.band_w, in.track_order},
      {kTracks + "pair_64x64.mp4", readAll(kTracks + "pair_64x64.rgb"), 2, 64, 64, {0, 1}},
      {kTracks + "pair_64x64.mp4", readAll(kTracks + "pair_64x64.rgb"), 2, 64, 64, {1, 0}},
      {kTracks + "pair_64x48.mp4", readAll(kTracks + "pair_64x48.rgb"), 2, 48, 64, {1, 0}},
      // an audio stream before the video: its packets are dropped
      {kTracks + "audio_first.mp4", readAll(kTracks + "audio_first.rgb"), 3, 64, 64, {2, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.track + " order " + std::to_string(c.order[0]));
    const size_t patch = static_cast<size_t>(c.h) * c.w * 3;
    ASSERT_EQ(c.frames.size(), patch * c.n);
    const std::vector<uint8_t> got = decode(readAll(c.track), c.n, c.h, c.w, c.order);
    ASSERT_EQ(got.size(), c.frames.size());
    for (int i = 0; i < c.n; ++i)
      EXPECT_EQ(std::memcmp(c.frames.data() + i * patch, got.data() + c.order[i] * patch, patch), 0)
          << "track frame " << i << " should be donor " << c.order[i];
  }
}

TEST(BankDecode, RefusesEveryMismatch) {
  const le::TesseraAttachInputs in = le::loadTesseraMembers(kBank);
  const int n = in.n_donors, h = in.band_h, w = in.band_w;
  std::vector<int32_t> more(static_cast<size_t>(n + 1));
  std::iota(more.begin(), more.end(), 0);
  const std::vector<int32_t> fewer(more.begin(), more.end() - 2);
  const std::string tiny = readAll(kBank + "/tessera_bank.v1.mp4"), pair = readAll(kTracks + "pair_64x64.mp4");
  const std::string geometry = "reference bank geometry is not positive — refusing to serve";
  const std::string order = "reference bank track_order is out of range — refusing to serve";
  struct Case {
    std::string bytes;
    int n, h, w;
    std::vector<int32_t> order;
    std::string want;
  };
  const Case cases[] = {
      {"", 2, 64, 64, {0, 1}, "reference bank track is empty — refusing to serve"},
      {pair, 2, 0, 64, {0, 1}, geometry},
      {pair, 2, 64, 0, {0, 1}, geometry},
      {pair, 0, 64, 64, {}, geometry},
      {pair,
       2,
       64,
       64,
       {0},
       "reference bank sidecar track_order has 1 entries, expected 2 — sidecar/track mismatch, refusing to serve"},
      {std::string(4096, '\x5a'),
       2,
       64,
       64,
       {0, 1},
       "reference bank track is not a readable container — refusing to serve"},
      {readAll(kTracks + "audio_only.mp4"),
       2,
       64,
       64,
       {0, 1},
       "reference bank track has no video stream — refusing to serve"},
      {readAll(kTracks + "pair_64x48.mp4"),
       2,
       64,
       64,
       {0, 1},
       "reference bank track is 64x48, the geometry stamp says 64x64 — geometry mismatch, refusing to serve"},
      {readAll(kTracks + "unknown_codec.mp4"),
       2,
       64,
       64,
       {0, 1},
       "no decoder for the reference bank track — this build must carry the h264 decoder (see "
       "build_ffmpeg_android); refusing to serve"},
      {pair, 2, 64, 64, {0, 2}, order},
      {pair, 2, 64, 64, {-1, 0}, order},
      {pair, 2, 64, 64, {1, 1}, "reference bank track_order is not a permutation — refusing to serve"},
      {readAll(kTracks + "size_change.mp4"),
       3,
       48,
       64,
       {0, 1, 2},
       "reference bank frame changed size mid-track — refusing to serve"},
      {tiny, n - 1, h, w, fewer,
       "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve"},
      {tiny, n + 1, h, w, more,
       "bank track decoded to " + std::to_string(n) + " frames, expected " + std::to_string(n + 1) +
           " — geometry/N mismatch, refusing to serve"},
  };
  for (const Case& c : cases) EXPECT_EQ(errorOf([&] { decode(c.bytes, c.n, c.h, c.w, c.order); }), c.want);
  // a pointer with no bytes behind it is empty too
  const uint8_t one = 0;
  EXPECT_EQ(errorOf([&] { le::tessera::decodeBankTrack(&one, 0, 1, 1, 1, {0}); }), cases[0].want);
}

TEST(BankDecode, MemoryCursorReadsAndSeeksWithinItsBytes) {
  const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  le::tessera::MemCursor c{data, 10, 0};
  struct Seek {
    int64_t offset;
    int whence;
    int64_t from, result, after;  // position before, what the call returns, position after
  };
  const Seek seeks[] = {
      {0, AVSEEK_SIZE, 4, 10, 4},
      {10, SEEK_SET, 0, 10, 10} /* the end */,
      {11, SEEK_SET, 3, -1, 3},
      {-1, SEEK_SET, 3, -1, 3},
      {3, SEEK_CUR, 4, 7, 7},
      {-5, SEEK_CUR, 4, -1, 4},
      {-4, SEEK_END, 0, 6, 6},
      {0, SEEK_END, 0, 10, 10},
      {1, SEEK_END, 2, -1, 2},
      {5, SEEK_SET | AVSEEK_FORCE, 0, 5, 5},
      {5, 7, 2, -1, 2} /* no such origin */,
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
  EXPECT_EQ(le::tessera::bankDecoderBuild(), "libavcodec " + compact + " / " + lineAfter(cli, "configuration: "));
}

}  // namespace
