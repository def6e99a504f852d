// The utterance pipeline with the mouth borrow attached, on the tiny bundle
// that carries all four borrow members, driven through the C interface as a
// host would: the attach refusals, every speech and ramp frame composited
// once and in order with the pixels a host gets by running the same pass
// over its own renders (also when the pass finds no mouth and the borrow goes
// off, and for the last crop of an utterance, delivered at the drain),
// re-attaching, interrupts and teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "borrow/stream_borrow.h"
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

struct Members : BorrowMembers {
  Members() : BorrowMembers(kBank) {}

  AttachArgs args() const {
    return {bank.bank.data(),     bank.n_donors,           bank.cent.data(),  bank.c_canon,
            bank.aperture.data(), in.stamp.data(),         in.head_pt.data(), uint32_t(in.head_pt.size()),
            in.head_json.c_str(), in.manifest_json.c_str()};
  }
  // 0, or 1 with the refusal in *err.
  static int attach(le_utt* u, const AttachArgs& a, std::string* err = nullptr, int errLen = 512) {
    std::vector<char> text(std::max(errLen, 1), '\x7f');
    const int rc = le_utt_tessera_attach(u, a.bank, a.n, a.cent, a.c_canon, a.aperture, a.stamp, a.head_pt,
                                         a.head_pt_len, a.head_json, a.manifest_json, text.data(), errLen);
    if (err) *err = rc ? std::string(text.data()) : "";
    return rc;
  }
  // The pass a host runs over its own renders.
  StreamBorrow pass() const { return {bank, head(), config(), corpusPi(), ""}; }
};

// A pipeline over the bundle (with the a2x model in motionDir when given),
// ready, the borrow attached.
std::unique_ptr<Pipeline> attached(const Members& members, const std::string& motionDir = "") {
  auto p = std::make_unique<Pipeline>(kBank, le_utt_opts{}, motionDir);
  if (p->waitReady() != 1) throw std::runtime_error(le_utt_last_error());
  std::string err;
  if (Members::attach(p->u, members.args(), &err)) throw std::runtime_error(err);
  return p;
}

// "rc composited passed reason" from le_utt_tessera_stats; -7 for a count it
// did not write.
std::string borrowStats(le_utt* u) {
  int64_t composited = -7, passed = -7;
  char reason[64];
  std::memset(reason, 'x', sizeof reason);
  const int rc = le_utt_tessera_stats(u, &composited, &passed, reason, sizeof reason);
  return std::to_string(rc) + " " + std::to_string(composited) + " " + std::to_string(passed) + " " + reason;
}

// The first `samples` of the speech past its leading silence.
std::vector<int16_t> speechPiece(size_t samples) {
  const std::vector<int16_t> pcm = speechPcm();
  const size_t from = std::min(pcm.size() - samples, size_t(16000) / 2);
  return {pcm.begin() + ptrdiff_t(from), pcm.begin() + ptrdiff_t(from + samples)};
}

// Says pcm as one utterance and pulls frames until its speech, its ramp and
// three idle frames after them have come.
std::vector<Frame> say(Pipeline& p, const std::vector<int16_t>& pcm) {
  p.push(pcm);
  le_utt_end_utterance(p.u);
  std::vector<Frame> frames;
  bool spoke = false;
  for (int idleAfter = 0; idleAfter < 3;) {
    frames.push_back(p.pull());
    const int kind = frames.back().info.kind;
    spoke = spoke || kind == 1;
    idleAfter = spoke && kind == 0 ? idleAfter + 1 : 0;
    if (frames.size() > 400) throw std::runtime_error("the utterance never ended");
  }
  return frames;
}

// A host's own render of one frame: its target frame, crop and driving
// keypoints.
struct HostFrame {
  int si;
  std::vector<float> crop, kp;
};

// The host's renders of the speech of pcm (keypoints from the a2x model in
// dir, from template frame start) and of the `ramp` steps after it.
std::vector<HostFrame> hostRenders(Reference& ref, const std::string& dir, const std::vector<int16_t>& pcm, int start,
                                   int ramp) {
  const Frames kp = a2xSpeech(dir, asFloat(pcm), start);
  std::vector<HostFrame> out;
  const auto add = [&](int si, const float* ks, const float* kd) {
    out.push_back({si, ref.crop(si, ks, kd), std::vector<float>(kd, kd + kKp)});
  };
  for (size_t k = 0; k < kp.size(); ++k) add(kp.idx[k], &kp.base[k * kKp], &kp.out[k * kKp]);
  for (int j = 1; j <= ramp; ++j) {
    std::vector<float> driven;
    const int t = ref.rampPose(kp.idx.back(), &kp.out[(kp.size() - 1) * kKp], j, ramp, &driven);
    add(t, &ref.tmpl[size_t(t) * kKp], driven.data());
  }
  return out;
}

// The frames through a pass of the host's own, in order, each composited
// window written back into its crop; returns how many the pass let through.
int hostBorrow(const Members& members, std::vector<HostFrame>& frames) {
  StreamBorrow pass = members.pass();
  std::vector<FrameResult> results;
  FrameResult r;
  for (const HostFrame& f : frames)
    if (pass.push(f.crop.data(), f.kp.data(), r)) results.push_back(r);
  if (pass.flush(r)) results.push_back(r);
  if (results.size() != frames.size()) throw std::runtime_error("the pass answered a frame twice or not at all");
  int passed = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    StreamBorrow::writeWindowDelta(frames[i].crop.data(), pass.side(), results[i], pass.stamp());
    passed += results[i].passed;
  }
  return passed;
}

TEST(UttTessera, ArgumentChecksAndRefusalsLeaveThePipelineAsItWas) {
  const Members members;
  Pipeline p(kBank);
  // Without a borrow the readers answer 0 and write nothing but an empty text.
  for (le_utt* u : {p.u, static_cast<le_utt*>(nullptr)}) {
    SCOPED_TRACE(u ? "not attached" : "null session");
    EXPECT_EQ(borrowStats(u), "0 -7 -7 ");
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

  const std::string where = "le_utt_tessera_attach: ";
  const std::string nullMember = where + "a required member is null \u2014 this ABI has no partial-attach state";
  std::vector<int32_t> wideCanvas(members.in.stamp.begin(), members.in.stamp.end());
  wideCanvas[0] = wideCanvas[1] = 256;  // still coherent: the window stays inside
  const std::vector<std::pair<std::function<void(AttachArgs&)>, std::string>> cases = {
      {[](AttachArgs& a) { a.bank = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.cent = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.c_canon = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.aperture = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.stamp = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.head_pt = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.head_json = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.manifest_json = nullptr; }, nullMember},
      {[](AttachArgs& a) { a.n = 0; }, where + "n_donors <= 0"},
      {[](AttachArgs& a) { a.n = -3; }, where + "n_donors <= 0"},
      {[&](AttachArgs& a) { a.stamp = wideCanvas.data(); },
       where + "bank canvas 256x256 != this bundle's render crop 128"},
  };
  // Refused before anything was attached, and again with a borrow attached,
  // which must stay as it was.
  for (const bool attached : {false, true}) {
    if (attached) {
      ASSERT_EQ(Members::attach(p.u, members.args()), 0);
    }
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE("case " + std::to_string(i) + (attached ? ", attached" : ""));
      AttachArgs a = members.args();
      cases[i].first(a);
      std::string err;
      EXPECT_EQ(Members::attach(p.u, a, &err), 1);
      EXPECT_EQ(err, cases[i].second);
      EXPECT_EQ(borrowStats(p.u), attached ? "1 0 0 " : "0 -7 -7 ");
    }
  }

  std::string err;
  EXPECT_EQ(Members::attach(nullptr, members.args(), &err), 1);
  EXPECT_EQ(err, where + "null session");
  EXPECT_EQ(Members::attach(nullptr, members.args(), &err, 8), 1);
  EXPECT_EQ(err, "le_utt_") << "at most err_len - 1 bytes and a NUL";
  EXPECT_EQ(le_utt_tessera_attach(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  nullptr, 0),
            1)
      << "no error buffer";
}

TEST(UttTessera, EveryFrameIsTheHostsOwnPassOverItsRenders) {
  const Members members;
  struct Case {
    const char* name;
    const char* paste;  // LE_UTT_PIPELINE_PASTE
    int rows;           // template rows the a2x model keeps (0: all)
    float shiftX;       // added to every template x
    int speech, ramp, composited;
    const char* stats;
  };
  const Case cases[] = {
      {"finished crops go on to the paste thread", "1", 0, 0.f, 20, 6, 26, "1 26 0 "},
      {"without one the borrow thread pastes them itself", "0", 0, 0.f, 20, 6, 26, "1 26 0 "},
      // No frame has a mouth to find, from the first on: the borrow goes off
      // and touches no crop after the first; the frames go on as rendered.
      {"a template beside the canvas", "1", 0, 4.f, 8, 6, 0, "-1 0 1 empty-pi"},
      // Too short to ramp over: the one speech frame is the utterance's last
      // crop, and only the idle frame behind it drains it out of the pass.
      {"a template of one row", "1", 1, 0.f, 1, 0, 1, "1 1 0 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("LE_UTT_PIPELINE_PASTE", c.paste, 1);
    const TempDir dir;
    copyA2x(kBank, dir.path(), c.rows);
    std::vector<float> tmpl = le::readFloats(dir / "xs_target.bin");
    for (size_t i = 0; i < tmpl.size(); i += 3) tmpl[i] += c.shiftX;
    writeFile(dir / "xs_target.bin", std::string(reinterpret_cast<const char*>(tmpl.data()), tmpl.size() * 4));
    const auto p = attached(members, dir.path());
    const std::vector<int16_t> pcm = speechPiece(640 * size_t(c.speech));
    const std::vector<Frame> frames = say(*p, pcm);

    // Each frame once, in order: idle, the speech, its ramp, idle.
    size_t first = 0;
    while (frames[first].info.kind == 0) ++first;
    ASSERT_GE(frames.size(), first + c.speech + c.ramp);
    for (size_t n = 0; n < frames.size(); ++n) {
      const le_utt_frame_info& i = frames[n].info;
      SCOPED_TRACE("frame " + std::to_string(n));
      EXPECT_EQ(i.serial, frames[0].info.serial + n);
      const size_t speech = first + c.speech, ramp = speech + c.ramp;
      const int kind = n < first ? 0 : n < speech ? 1 : n < ramp ? 2 : 0;
      EXPECT_EQ(i.kind, kind);
      EXPECT_EQ(i.frame_no, kind == 1 ? int(n - first) : -1);
    }
    EXPECT_EQ(borrowStats(p->u), c.stats);
    double mean = -1, max = -1;
    int64_t composed = 0;
    EXPECT_EQ(le_utt_tessera_synth_w(p->u, &mean, &max, &composed), c.composited > 0 ? 1 : 0);
    if (c.composited > 0) {
      EXPECT_EQ(composed, c.composited);
      EXPECT_GE(max, mean);
    }

    Reference ref(kBank);
    ref.tmpl = tmpl;  // the ramp returns to the motion's template
    const std::vector<HostFrame> renders = hostRenders(ref, dir.path(), pcm, frames[first].info.target, c.ramp);
    ASSERT_EQ(renders.size(), size_t(c.speech + c.ramp));
    std::vector<HostFrame> borrowed = renders;
    EXPECT_EQ(hostBorrow(members, borrowed), c.speech + c.ramp - c.composited);
    for (size_t i = 0; i < renders.size(); ++i) {
      SCOPED_TRACE("speech or ramp frame " + std::to_string(i));
      const Frame& got = frames[first + i];
      ASSERT_EQ(got.info.target, renders[i].si);
      EXPECT_TRUE(got.rgb == ref.paste(renders[i].si, borrowed[i].crop));
      if (c.composited) {
        EXPECT_FALSE(got.rgb == ref.paste(renders[i].si, renders[i].crop)) << "composited, not as rendered";
      }
    }
  }
  unsetenv("LE_UTT_PIPELINE_PASTE");
}

TEST(UttTessera, AttachingAgainReplacesTheBorrowAndRestartsItsCounts) {
  const Members members;
  const auto p = attached(members);
  char geometry[512] = "";
  EXPECT_EQ(le_utt_tessera_geometry(p->u, geometry, sizeof geometry), 1);
  EXPECT_NE(std::string(geometry), "") << "the corpus match names the geometry";
  const std::vector<int16_t> pcm = speechPiece(640 * 5);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("utterance " + std::to_string(round));
    say(*p, pcm);
    EXPECT_EQ(borrowStats(p->u), "1 11 0 ") << "the speech and its ramp";
    ASSERT_EQ(Members::attach(p->u, members.args()), 0);
    EXPECT_EQ(borrowStats(p->u), "1 0 0 ");
    int64_t composed = -7;
    EXPECT_EQ(le_utt_tessera_synth_w(p->u, nullptr, nullptr, &composed), 0);
    EXPECT_EQ(composed, -7);
  }
}

TEST(UttTessera, AnInterruptDropsTheHeldCropAndTheBorrowGoesOn) {
  const Members members;
  const auto p = attached(members);
  p->push(speechPiece(640 * 40));
  Frame last;
  do last = p->pull();
  while (last.info.kind != 1 || last.info.frame_no < 5);
  le_utt_interrupt(p->u);
  // The interrupt ramp, then the next utterance whole and in order.
  for (int j = 1; j <= 4; ++j) {
    const Frame f = p->pull();
    EXPECT_EQ(f.info.kind, 2) << "ramp frame " << j;
    EXPECT_EQ(f.info.target, (last.info.target + j) % le_nt(p->ctx));
  }
  int next = 0;
  for (const Frame& f : say(*p, speechPiece(640 * 6)))
    if (f.info.kind == 1) {
      EXPECT_EQ(f.info.frame_no, next++);
    }
  EXPECT_EQ(next, 6);
  EXPECT_THAT(borrowStats(p->u), testing::MatchesRegex("1 [0-9]+ 0 "));
}

TEST(UttTessera, DestroyWhileAttachedDoesNotHang) {
  const Members members;
  struct Case {
    const char* name;
    int pulledSpeech;  // speech frames pulled before destroying; -1: none pulled at all
  };
  for (const Case c :
       {Case{"right after the attach", -1}, Case{"mid-utterance", 3}, Case{"host not pulling, every queue full", 0}}) {
    SCOPED_TRACE(c.name);
    auto p = attached(members);
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
      for (const Frame& f : say(*attached(members), speechPiece(640 * 4))) rendered += f.info.kind != 0;
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
