// The utterance pipeline with the mouth borrow attached, on the tiny bundle
// that carries all four borrow members, driven through the C interface as a
// host would: the attach refusals, every speech and ramp frame composited
// once and in order with the pixels a host gets by running the same pass
// over its own renders, a mouth the pass cannot find (the borrow goes off,
// the frames go on as rendered), the last crop of an utterance delivered at
// the drain, re-attaching, interrupts and teardown.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "borrow/bank_decode.h"
#include "borrow/head_weights.h"
#include "borrow/serve_config.h"
#include "borrow/stream_borrow.h"
#include "bundle/le_unified_pi.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "utt_fixtures.h"

namespace {

using namespace le::test;
using le::tessera::FrameResult;
using le::tessera::StreamBorrow;

const std::string kBank = LE_FIXTURE_DIR "/tiny_bank";

// The arguments of le_utt_tessera_attach.
struct AttachArgs {
  const uint8_t* bank;
  int n;
  const double *cent, *c_canon, *aperture;
  const int32_t* stamp;
  const uint8_t* head_pt;
  uint32_t head_pt_len;
  const char *head_json, *manifest_json;
};

// The bundle's borrow members as a host reads them, its bank decoded into
// donor order, and the pass the host would run over its own renders.
struct Members {
  Members() {
    char err[512] = "";
    m = le_tessera_members_open(kBank.c_str(), err, sizeof err);
    if (!m) throw std::runtime_error(err);
    const int n = le_tessera_members_n_donors(m);
    std::vector<int32_t> trackOrder(n);
    for (int i = 0; i < n; ++i) trackOrder[i] = i;
    const std::string track = readAll(le_tessera_members_bank_track_path(m));
    const std::vector<uint8_t> frames =
        le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n,
                                     le_tessera_members_band_h(m), le_tessera_members_band_w(m), trackOrder);
    bank.resize(le_tessera_members_band_bytes(m));
    if (le_tessera_members_reorder(m, frames.data(), bank.data(), err, sizeof err)) throw std::runtime_error(err);
    stamp.assign(le_tessera_members_stamp(m), le_tessera_members_stamp(m) + 12);
  }
  ~Members() { le_tessera_members_close(m); }
  Members(const Members&) = delete;
  Members& operator=(const Members&) = delete;

  AttachArgs args() const {
    return {bank.data(),
            le_tessera_members_n_donors(m),
            le_tessera_members_cent(m),
            le_tessera_members_c_canon(m),
            le_tessera_members_aperture(m),
            stamp.data(),
            le_tessera_members_head_pt(m),
            le_tessera_members_head_pt_len(m),
            le_tessera_members_head_json(m),
            le_tessera_members_manifest_json(m)};
  }
  // 0, or 1 with the refusal in *err.
  static int attach(le_utt* u, const AttachArgs& a, std::string* err = nullptr, int errLen = 512) {
    std::vector<char> text(std::max(errLen, 1), '\x7f');
    const int rc = le_utt_tessera_attach(u, a.bank, a.n, a.cent, a.c_canon, a.aperture, a.stamp, a.head_pt,
                                         a.head_pt_len, a.head_json, a.manifest_json, text.data(), errLen);
    if (err) *err = rc ? std::string(text.data()) : "";
    return rc;
  }
  int attach(le_utt* u) const {
    std::string err;
    const int rc = attach(u, args(), &err);
    EXPECT_EQ(rc, 0) << err;
    return rc;
  }

  StreamBorrow pass() const {
    const AttachArgs a = args();
    const std::vector<float> xs = le::readFloats(le::resolveMember(kBank, "xs_target.bin"));
    const int crop = stamp[0];
    return {le::tessera::BankData::fromArrays(a.bank, a.n, a.cent, a.c_canon, a.aperture, a.stamp),
            le::tessera::loadHeadPt(std::span<const uint8_t>(a.head_pt, a.head_pt_len)),
            le::tessera::ServeConfig::fromHeadMemberJson(a.head_json),
            le::tessera::UnifiedPi::corpusFromManifestJson(a.manifest_json, crop, xs.data(), int(xs.size() / kKp),
                                                           a.c_canon, nullptr),
            ""};
  }

  le_tessera_members* m;
  std::vector<uint8_t> bank;
  std::vector<int32_t> stamp;
};

struct Stats {
  int rc = 0;
  int64_t composited = -7, passed = -7;
  std::string reason;
};

Stats borrowStats(le_utt* u) {
  Stats s;
  char reason[64];
  std::memset(reason, 'x', sizeof reason);
  s.rc = le_utt_tessera_stats(u, &s.composited, &s.passed, reason, sizeof reason);
  s.reason = reason;
  return s;
}

// Pulls frames until the speech, its ramp and `idle` idle frames after them
// have come.
std::vector<Frame> pullUtterance(Pipeline& p, int idle = 3) {
  std::vector<Frame> frames;
  bool spoke = false;
  for (int idleAfter = 0; idleAfter < idle;) {
    frames.push_back(p.pull());
    const int kind = frames.back().info.kind;
    spoke = spoke || kind == 1;
    idleAfter = spoke && kind == 0 ? idleAfter + 1 : 0;
    if (frames.size() > 400) throw std::runtime_error("the utterance never ended");
  }
  return frames;
}

std::vector<int16_t> speechPiece(size_t samples) {
  const std::vector<int16_t> pcm = speechPcm();
  const size_t from = std::min(pcm.size() - samples, size_t(16000) / 2);  // past the leading silence
  return {pcm.begin() + ptrdiff_t(from), pcm.begin() + ptrdiff_t(from + samples)};
}

// A host's own render of one frame: its target frame, crop and driven
// keypoints.
struct HostFrame {
  int si = 0;
  std::vector<float> crop;
  std::vector<float> kp;
};

struct Host {
  explicit Host(const std::string& bundle) : ref(bundle), side(le_crop(ref.ctx)) {}

  HostFrame render(int si, const float* base, const float* driven) {
    const float* crop = le_render_kp_crop(ref.ctx, si, base, driven);
    if (!crop) throw std::runtime_error(le_last_error());
    return {si, std::vector<float>(crop, crop + 3 * size_t(side) * side), std::vector<float>(driven, driven + kKp)};
  }
  // Ramp step j of R from the pose (si, kd) back to the template.
  HostFrame ramp(int si, const float* kd, int j, int R) {
    const int t = (si + j) % ref.nt;
    const float w = 1.0f - float(j) / float(R);
    std::vector<float> driven(kKp);
    for (int k = 0; k < kKp; ++k)
      driven[k] = w * (kd[k] - ref.tmpl[size_t(si) * kKp + k]) + ref.tmpl[size_t(t) * kKp + k];
    return render(t, &ref.tmpl[size_t(t) * kKp], driven.data());
  }
  std::vector<uint8_t> paste(const HostFrame& f) {
    std::vector<uint8_t> out(size_t(le_width(ref.ctx)) * le_height(ref.ctx) * 3);
    if (le_paste_crop(ref.ctx, f.si, f.crop.data(), out.data(), out.size()) != 1)
      throw std::runtime_error(le_last_error());
    return out;
  }
  // f with the stamp's window of its crop set to value.
  HostFrame filled(HostFrame f, const std::vector<int32_t>& stamp, float value) const {
    const size_t plane = size_t(side) * side;
    for (int c = 0; c < 3; ++c)
      for (int y = stamp[3]; y < stamp[3] + stamp[5]; ++y)
        for (int x = stamp[2]; x < stamp[2] + stamp[4]; ++x) f.crop[c * plane + size_t(y) * side + x] = value;
    return f;
  }

  Reference ref;
  int side;
};

// The host's renders through a pass of its own, in order, each composited
// window written back into its crop; the frames the pass let through stay
// as rendered.
std::vector<HostFrame> hostBorrow(const Members& members, Host& host, std::vector<HostFrame> renders,
                                  int* passed = nullptr) {
  StreamBorrow pass = members.pass();
  std::vector<FrameResult> results;
  FrameResult r;
  for (const HostFrame& f : renders)
    if (pass.push(f.crop.data(), f.kp.data(), r)) results.push_back(r);
  if (pass.flush(r)) results.push_back(r);
  if (results.size() != renders.size()) throw std::runtime_error("the pass answered a frame twice or not at all");
  for (size_t i = 0; i < renders.size(); ++i) {
    StreamBorrow::writeWindowDelta(renders[i].crop.data(), host.side, results[i], pass.stamp());
    if (passed) *passed += results[i].passed;
  }
  return renders;
}

TEST(UttTessera, AttachRefusalsLeaveThePipelineAsItWas) {
  const Members members;
  Pipeline p(kBank);
  const std::string where = "le_utt_tessera_attach: ";
  const std::string nullMember = where + "a required member is null \u2014 this ABI has no partial-attach state";
  std::vector<int32_t> wideCanvas = members.stamp;
  wideCanvas[0] = wideCanvas[1] = 256;  // still coherent: the window stays inside
  struct Case {
    const char* name;
    std::function<void(AttachArgs&)> edit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"bank", [](AttachArgs& a) { a.bank = nullptr; }, nullMember},
      {"cent", [](AttachArgs& a) { a.cent = nullptr; }, nullMember},
      {"c_canon", [](AttachArgs& a) { a.c_canon = nullptr; }, nullMember},
      {"aperture", [](AttachArgs& a) { a.aperture = nullptr; }, nullMember},
      {"stamp", [](AttachArgs& a) { a.stamp = nullptr; }, nullMember},
      {"head_pt", [](AttachArgs& a) { a.head_pt = nullptr; }, nullMember},
      {"head_json", [](AttachArgs& a) { a.head_json = nullptr; }, nullMember},
      {"manifest_json", [](AttachArgs& a) { a.manifest_json = nullptr; }, nullMember},
      {"no donor", [](AttachArgs& a) { a.n = 0; }, where + "n_donors <= 0"},
      {"negative donors", [](AttachArgs& a) { a.n = -3; }, where + "n_donors <= 0"},
      {"canvas", [&](AttachArgs& a) { a.stamp = wideCanvas.data(); },
       where + "bank canvas 256x256 != this bundle's render crop 128"},
  };
  // Refused before anything was attached, and again with a borrow attached,
  // which must stay as it was.
  for (const bool attached : {false, true}) {
    if (attached) {
      ASSERT_EQ(members.attach(p.u), 0);
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (attached ? ", attached" : ""));
      AttachArgs a = members.args();
      c.edit(a);
      std::string err;
      EXPECT_EQ(Members::attach(p.u, a, &err), 1);
      EXPECT_EQ(err, c.message);
      EXPECT_EQ(borrowStats(p.u).rc, attached ? 1 : 0);
    }
  }

  std::string err;
  EXPECT_EQ(Members::attach(nullptr, members.args(), &err), 1);
  EXPECT_EQ(err, where + "null session");
  EXPECT_EQ(Members::attach(nullptr, members.args(), &err, 8), 1);
  EXPECT_EQ(err, "le_utt_") << "at most err_len - 1 bytes and a NUL";
  EXPECT_EQ(le_utt_tessera_attach(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                  nullptr, nullptr, 0),
            1)
      << "no error buffer";
}

TEST(UttTessera, WithoutABorrowTheReadersAnswerZero) {
  Pipeline p(kBank);
  for (le_utt* u : {p.u, static_cast<le_utt*>(nullptr)}) {
    SCOPED_TRACE(u ? "not attached" : "null session");
    const Stats s = borrowStats(u);
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.composited, -7);
    EXPECT_EQ(s.passed, -7);
    EXPECT_EQ(s.reason, "") << "the reason buffer is the one output written";
    double mean = -7, max = -7;
    int64_t frames = -7;
    EXPECT_EQ(le_utt_tessera_synth_w(u, &mean, &max, &frames), 0);
    EXPECT_EQ(frames, -7);
    char geometry[16] = "unchanged";
    EXPECT_EQ(le_utt_tessera_geometry(u, geometry, sizeof geometry), 0);
    EXPECT_STREQ(geometry, u ? "" : "unchanged");
  }
  char geometry[4] = "abc";
  EXPECT_EQ(le_utt_tessera_geometry(p.u, nullptr, 16), 0);
  EXPECT_EQ(le_utt_tessera_geometry(p.u, geometry, 0), 0);
  EXPECT_STREQ(geometry, "abc");
}

TEST(UttTessera, SpeechAndRampFramesAreTheHostsOwnPassOverItsRenders) {
  const Members members;
  // The finished crops go on to the paste thread, or, without one, the
  // borrow thread pastes them itself.
  for (const char* paste : {"1", "0"}) {
    SCOPED_TRACE(std::string("LE_UTT_PIPELINE_PASTE=") + paste);
    setenv("LE_UTT_PIPELINE_PASTE", paste, 1);
    Pipeline p(kBank);
    ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
    ASSERT_EQ(members.attach(p.u), 0);
    char geometry[512] = "";
    EXPECT_EQ(le_utt_tessera_geometry(p.u, geometry, sizeof geometry), 1);
    EXPECT_NE(std::string(geometry), "") << "the corpus match names the geometry";

    constexpr int kSpeech = 20, kRamp = 6;
    const std::vector<int16_t> pcm = speechPiece(640 * kSpeech);
    p.push(pcm);
    le_utt_end_utterance(p.u);
    const std::vector<Frame> frames = pullUtterance(p);

    // Each frame once, in order: idle, the speech, its ramp, idle.
    size_t first = 0;
    while (frames[first].info.kind == 0) ++first;
    ASSERT_GE(frames.size(), first + kSpeech + kRamp);
    for (size_t n = 0; n < frames.size(); ++n) {
      const le_utt_frame_info& i = frames[n].info;
      SCOPED_TRACE("frame " + std::to_string(n));
      EXPECT_EQ(i.serial, frames[0].info.serial + n);
      const int kind = n < first ? 0 : n < first + kSpeech ? 1 : n < first + kSpeech + kRamp ? 2 : 0;
      EXPECT_EQ(i.kind, kind);
      EXPECT_EQ(i.frame_no, kind == 1 ? int(n - first) : -1);
    }
    const Stats s = borrowStats(p.u);
    EXPECT_EQ(s.rc, 1);
    EXPECT_EQ(s.composited, kSpeech + kRamp);
    EXPECT_EQ(s.passed, 0);
    EXPECT_EQ(s.reason, "");
    double mean = -1, max = -1;
    int64_t composed = 0;
    ASSERT_EQ(le_utt_tessera_synth_w(p.u, &mean, &max, &composed), 1);
    EXPECT_EQ(composed, kSpeech + kRamp);
    EXPECT_GE(max, mean);

    Host host(kBank);
    const Frames kp = a2xSpeech(kBank, asFloat(pcm), frames[first].info.target);
    ASSERT_EQ(int(kp.size()), kSpeech);
    std::vector<HostFrame> renders;
    for (int k = 0; k < kSpeech; ++k) renders.push_back(host.render(kp.idx[k], &kp.base[k * kKp], &kp.out[k * kKp]));
    for (int j = 1; j <= kRamp; ++j)
      renders.push_back(host.ramp(kp.idx[kSpeech - 1], &kp.out[(kSpeech - 1) * kKp], j, kRamp));
    int passed = 0;
    const std::vector<HostFrame> borrowed = hostBorrow(members, host, renders, &passed);
    EXPECT_EQ(passed, 0);
    for (size_t i = 0; i < renders.size(); ++i) {
      SCOPED_TRACE("speech or ramp frame " + std::to_string(i));
      const std::vector<uint8_t>& got = frames[first + i].rgb;
      ASSERT_EQ(frames[first + i].info.target, renders[i].si);
      EXPECT_TRUE(got == host.paste(borrowed[i]));
      // The borrow shows only where the crop's window reaches the frame.
      const std::vector<uint8_t> plain = host.paste(renders[i]);
      const std::vector<uint8_t> dark = host.paste(host.filled(renders[i], members.stamp, 0.f));
      const std::vector<uint8_t> light = host.paste(host.filled(renders[i], members.stamp, 1.f));
      int inside = 0, outside = 0;
      for (size_t b = 0; b < got.size(); ++b)
        if (got[b] != plain[b]) ++(dark[b] != plain[b] || light[b] != plain[b] ? inside : outside);
      EXPECT_GT(inside, 0) << "the mouth was replaced";
      EXPECT_EQ(outside, 0);
    }
  }
  unsetenv("LE_UTT_PIPELINE_PASTE");
}

TEST(UttTessera, AMouthThePassCannotFindTurnsTheBorrowOffAndTheFramesGoOn) {
  // An audio model whose template lies beside the canvas: no frame has a
  // mouth to find, from the first on.
  const TempDir dir;
  copyA2x(kBank, dir.path());
  std::vector<float> tmpl = le::readFloats(dir / "xs_target.bin");
  for (size_t i = 0; i < tmpl.size(); i += 3) tmpl[i] += 4.0f;
  writeFile(dir / "xs_target.bin", std::string(reinterpret_cast<const char*>(tmpl.data()), tmpl.size() * 4));

  const Members members;
  Pipeline p(kBank, {}, dir.path());
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  ASSERT_EQ(members.attach(p.u), 0);
  constexpr int kSpeech = 8;
  const std::vector<int16_t> pcm = speechPiece(640 * kSpeech);
  p.push(pcm);
  le_utt_end_utterance(p.u);
  const std::vector<Frame> frames = pullUtterance(p);

  const Stats s = borrowStats(p.u);
  EXPECT_EQ(s.rc, -1);
  EXPECT_EQ(s.reason, "empty-pi");
  EXPECT_EQ(s.composited, 0);
  EXPECT_EQ(s.passed, 1) << "the borrow touches no crop after the first";

  // Every speech frame still comes, once and in order, as the host renders it.
  size_t first = 0;
  while (frames[first].info.kind == 0) ++first;
  Host host(kBank);
  const Frames kp = a2xSpeech(dir.path(), asFloat(pcm), frames[first].info.target);
  ASSERT_EQ(int(kp.size()), kSpeech);
  for (int k = 0; k < kSpeech; ++k) {
    SCOPED_TRACE("speech frame " + std::to_string(k));
    const Frame& f = frames[first + k];
    ASSERT_EQ(f.info.kind, 1);
    EXPECT_EQ(f.info.frame_no, k);
    EXPECT_TRUE(f.rgb == host.paste(host.render(kp.idx[k], &kp.base[k * kKp], &kp.out[k * kKp])));
  }
  EXPECT_EQ(frames[first + kSpeech].info.kind, 2) << "and the ramp after them";
}

TEST(UttTessera, TheLastCropOfAnUtteranceComesAtTheDrainComposited) {
  // A template of one row: too short to ramp over, so the one speech frame
  // is the utterance's last crop and only the idle frame behind it drains
  // it out of the pass.
  const TempDir dir;
  copyA2x(kBank, dir.path(), 1);
  const Members members;
  Pipeline p(kBank, {}, dir.path());
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  ASSERT_EQ(members.attach(p.u), 0);
  const std::vector<int16_t> pcm = speechPiece(640);
  p.push(pcm);
  le_utt_end_utterance(p.u);
  const std::vector<Frame> frames = pullUtterance(p);

  std::vector<Frame> speech;
  for (const Frame& f : frames)
    if (f.info.kind != 0) speech.push_back(f);
  ASSERT_EQ(speech.size(), 1u);
  EXPECT_EQ(speech[0].info.kind, 1);
  EXPECT_EQ(speech[0].info.frame_no, 0);
  const Stats s = borrowStats(p.u);
  EXPECT_EQ(s.rc, 1);
  EXPECT_EQ(s.composited, 1);
  EXPECT_EQ(s.passed, 0);

  Host host(kBank);
  const Frames kp = a2xSpeech(dir.path(), asFloat(pcm), speech[0].info.target);
  ASSERT_EQ(kp.size(), 1u);
  const HostFrame render = host.render(kp.idx[0], kp.base.data(), kp.out.data());
  const std::vector<uint8_t> want = host.paste(hostBorrow(members, host, {render})[0]);
  EXPECT_TRUE(speech[0].rgb == want);
  EXPECT_FALSE(speech[0].rgb == host.paste(render)) << "composited, not as rendered";
}

TEST(UttTessera, AttachingAgainReplacesTheBorrowAndRestartsItsCounts) {
  const Members members;
  Pipeline p(kBank);
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  ASSERT_EQ(members.attach(p.u), 0);
  const std::vector<int16_t> pcm = speechPiece(640 * 5);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("utterance " + std::to_string(round));
    p.push(pcm);
    le_utt_end_utterance(p.u);
    pullUtterance(p);
    EXPECT_EQ(borrowStats(p.u).composited, 5 + 6) << "the speech and its ramp";
    ASSERT_EQ(members.attach(p.u), 0);
    const Stats fresh = borrowStats(p.u);
    EXPECT_EQ(fresh.rc, 1);
    EXPECT_EQ(fresh.composited, 0);
    EXPECT_EQ(fresh.passed, 0);
    int64_t composed = -7;
    EXPECT_EQ(le_utt_tessera_synth_w(p.u, nullptr, nullptr, &composed), 0);
    EXPECT_EQ(composed, -7);
  }
}

TEST(UttTessera, AnInterruptDropsTheHeldCropAndTheBorrowGoesOn) {
  const Members members;
  Pipeline p(kBank);
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  ASSERT_EQ(members.attach(p.u), 0);
  p.push(speechPiece(640 * 40));
  Frame last;
  do last = p.pull();
  while (last.info.kind != 1 || last.info.frame_no < 5);
  le_utt_interrupt(p.u);
  // The interrupt ramp, then the next utterance whole and in order.
  for (int j = 1; j <= 4; ++j) {
    const Frame f = p.pull();
    EXPECT_EQ(f.info.kind, 2) << "ramp frame " << j;
    EXPECT_EQ(f.info.target, (last.info.target + j) % le_nt(p.ctx));
  }
  p.push(speechPiece(640 * 6));
  le_utt_end_utterance(p.u);
  int next = 0;
  for (const Frame& f : pullUtterance(p)) {
    if (f.info.kind == 1) {
      EXPECT_EQ(f.info.frame_no, next++);
    }
  }
  EXPECT_EQ(next, 6);
  const Stats s = borrowStats(p.u);
  EXPECT_EQ(s.rc, 1) << s.reason;
  EXPECT_EQ(s.passed, 0);
}

TEST(UttTessera, DestroyWhileAttachedDoesNotHang) {
  const Members members;
  struct Case {
    const char* name;
    int pulledSpeech;  // speech frames pulled before destroying; -1: none pulled at all
  };
  for (const Case c : {Case{"right after the attach", -1}, Case{"mid-utterance", 3},
                       Case{"host not pulling, every queue full", 0}}) {
    SCOPED_TRACE(c.name);
    auto p = std::make_unique<Pipeline>(kBank);
    ASSERT_EQ(p->waitReady(), 1) << le_utt_last_error();
    ASSERT_EQ(members.attach(p->u), 0);
    if (c.pulledSpeech >= 0) {
      p->push(speechPiece(640 * 30));
      Frame f;
      do f = p->pull();
      while (f.info.kind != 1 || f.info.frame_no < c.pulledSpeech);
      if (c.pulledSpeech == 0)
        while (le_utt_frames_available(p->u) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    p.reset();
  }
}

TEST(UttTessera, TheStageReportCountsTheBorrowThreadsJobs) {
  const Members members;
  setenv("LE_UTT_STAGE_REPORT", "1", 1);
  for (const char* paste : {"1", "0"}) {
    SCOPED_TRACE(std::string("LE_UTT_PIPELINE_PASTE=") + paste);
    setenv("LE_UTT_PIPELINE_PASTE", paste, 1);
    int rendered = 0;
    const std::string err = stderrOf([&] {
      Pipeline p(kBank);
      ASSERT_EQ(p.waitReady(), 1);
      ASSERT_EQ(members.attach(p.u), 0);
      p.push(speechPiece(640 * 4));
      le_utt_end_utterance(p.u);
      for (const Frame& f : pullUtterance(p)) rendered += f.info.kind != 0;
    });
    // Every frame made after the attach went through the borrow thread (the
    // idle frames before it may not have).
    const size_t at = err.find(paste[0] == '1' ? "[le_utt-stage] pipe=1 jobsB=" : "(pipe=1 jobsB=");
    ASSERT_NE(at, std::string::npos) << err;
    long long jobsB = -1, jobsC = -1;
    ASSERT_EQ(std::sscanf(err.c_str() + err.find("jobsB=", at), "jobsB=%lld jobsC=%lld", &jobsB, &jobsC), 2) << err;
    EXPECT_GE(jobsB, rendered);
    if (paste[0] == '1') {
      EXPECT_GE(jobsC, rendered) << "and then through the paste thread";
    } else {
      EXPECT_EQ(jobsC, 0);
    }
  }
  unsetenv("LE_UTT_PIPELINE_PASTE");
  unsetenv("LE_UTT_STAGE_REPORT");
}

}  // namespace
