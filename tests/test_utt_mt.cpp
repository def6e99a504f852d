// The utterance pipeline on the tiny bundle, driven from the host's side:
// the frame sequence (idle, speech, ramp, idle) with every frame equal to the
// one the host would render and paste itself from an a2x handle of its own,
// interrupts, the silence gap, readiness and its failure, and teardown at
// awkward moments.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "le/le_motion.h"
#include "le/le_utt.h"
#include "utt_fixtures.h"

namespace {

using namespace le::test;

// Pushes an utterance and ends it.
void speak(Pipeline& p, const std::vector<int16_t>& pcm) {
  p.push(pcm);
  le_utt_end_utterance(p.u);
}

int maxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int worst = a.size() == b.size() ? 0 : 256;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

TEST(UttPipeline, IdleSpeechRampIdleEachFrameAsTheHostWouldRenderIt) {
  // a2x with pipelined paste (no chunk graph: tiny_jpg has none), the same in
  // hybrid mode (replies collected while rendering), the motion generator
  // with the paste on the run thread, and tiny_b24's batch-24 chunk graph with
  // the direct paste, whose crops may differ from single renders in the last
  // bit.
  struct Case {
    const char* name;
    std::string bundle;
    int eager;
    const char* motion;
    const char* pipelinedPaste;  // the default when null
    int tolerance;
  };
  for (const Case& c : {Case{"a2x", kUttBundle, 0, "", nullptr, 0}, Case{"a2x hybrid", kUttBundle, -2, "", nullptr, 0},
                        Case{"motion", kUttBundle, 0, "/motion", nullptr, 0},
                        Case{"chunks", LE_FIXTURE_DIR "/tiny_b24", 0, "", "0", 1}}) {
    SCOPED_TRACE(c.name);
    c.pipelinedPaste ? setenv("LE_UTT_PIPELINE_PASTE", c.pipelinedPaste, 1) : unsetenv("LE_UTT_PIPELINE_PASTE");
    le_utt_opts opts{};
    opts.eager = c.eager;
    const std::string motionDir = c.motion[0] ? c.bundle + c.motion : "";
    Pipeline p(c.bundle, opts, motionDir);
    EXPECT_EQ(le_utt_ready(p.u), 0) << "the audio model cannot be loaded before create returns";
    std::vector<Frame> frames;
    for (int i = 0; i < 5; ++i) frames.push_back(p.pull());  // idle while warming up
    ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();

    const std::vector<int16_t> pcm = speechPcm();
    speak(p, pcm);
    const int speechFrames = int((pcm.size() + 639) / 640);
    int ramped = 0, idleAfter = 0;
    while (idleAfter < 5) {
      frames.push_back(p.pull());
      const int kind = frames.back().info.kind;
      ramped += kind == 2;
      idleAfter += kind == 0 && ramped > 0;
      ASSERT_LT(frames.size(), 400u) << "the utterance never ended";
    }

    Reference ref(c.bundle);
    size_t first = 0;
    while (frames[first].info.kind == 0) ++first;
    const Frames kp = ref.speech(asFloat(pcm), frames[first].info.target, motionDir);
    ASSERT_EQ(int(kp.size()), speechFrames);

    int speech = 0, ramp = 0;
    for (size_t n = 0; n < frames.size(); ++n) {
      const le_utt_frame_info& i = frames[n].info;
      SCOPED_TRACE("frame " + std::to_string(n) + " kind " + std::to_string(i.kind));
      EXPECT_EQ(i.serial, n) << "nothing dropped, nothing repeated";
      if (n > 0) {
        EXPECT_EQ(i.target, (frames[n - 1].info.target + 1) % ref.nt) << "the driver video plays on";
      }
      std::vector<uint8_t> want;
      if (i.kind == 1) {
        ASSERT_LT(n, first + speechFrames);
        EXPECT_EQ(i.frame_no, speech);
        EXPECT_EQ(i.target, kp.idx[speech]);
        want = ref.render(i.target, &kp.base[speech * kKp], &kp.out[speech * kKp]);
        ++speech;
      } else if (i.kind == 2) {
        EXPECT_EQ(i.frame_no, -1);
        const int last = speechFrames - 1;
        want = ref.ramp(kp.idx[last], &kp.out[last * kKp], ++ramp, 6);
      } else {
        EXPECT_EQ(i.frame_no, -1);
        EXPECT_TRUE(n < first || speech == speechFrames) << "no idle frame inside the utterance";
        want = ref.idle(i.target);
      }
      EXPECT_LE(maxDiff(frames[n].rgb, want), c.tolerance);
    }
    EXPECT_EQ(speech, speechFrames);
    EXPECT_EQ(ramp, 6) << "the default ramp";

    le_utt_stats st{};
    le_utt_get_stats(p.u, &st);
    EXPECT_EQ(st.frames_delivered, frames.size());
    EXPECT_EQ(st.speech_frames_delivered, uint64_t(speechFrames));
    EXPECT_EQ(st.utterances, 1u);
    EXPECT_GT(st.first_frame_ms, 0);
    EXPECT_GT(st.render_ms, 0);
    EXPECT_EQ(st.state, 0);
    int64_t failures = -1;
    EXPECT_EQ(le_utt_render_status(p.u, nullptr, 0, &failures), 0);
    EXPECT_EQ(failures, 0);
  }
}

TEST(UttPipeline, UtterancesPushedBackToBackPlayApart) {
  // A host reading out a queue of sentences pushes the next one right after
  // ending the last: each must still play whole, from frame 0, with its ramp.
  Pipeline p(kUttBundle);
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  const std::vector<int> lengths = {10, 7, 4};
  Clock::time_point lastPushed;
  for (const int frames : lengths) {
    if (frames == lengths.back()) {  // the last one a little later: its latency counts from its own push
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      lastPushed = Clock::now();
    }
    const std::vector<int16_t> pcm(640 * frames - 100, 4000);
    p.push(std::vector<int16_t>(pcm.begin(), pcm.begin() + 1000));
    p.push(std::vector<int16_t>(pcm.begin() + 1000, pcm.end()));
    le_utt_end_utterance(p.u);
  }
  std::vector<int> runs, ramps;
  Clock::time_point lastFirstPulled;
  for (int n = 0; n < 200 && (ramps.size() < lengths.size() || ramps.back() < 6); ++n) {
    const Frame f = p.pull();
    if (f.info.kind == 1) {
      if (f.info.frame_no == 0) runs.push_back(0), lastFirstPulled = Clock::now();
      ASSERT_FALSE(runs.empty());
      EXPECT_EQ(f.info.frame_no, runs.back()) << "utterance " << runs.size();
      ++runs.back();
      if (ramps.size() < runs.size()) ramps.push_back(0);
    } else if (f.info.kind == 2) {
      ASSERT_FALSE(ramps.empty());
      ++ramps.back();
    }
  }
  EXPECT_EQ(runs, lengths);
  EXPECT_EQ(ramps, std::vector<int>(lengths.size(), 6));
  le_utt_stats st{};
  le_utt_get_stats(p.u, &st);
  EXPECT_EQ(st.utterances, lengths.size());
  const double ownLatencyMs = std::chrono::duration<double, std::milli>(lastFirstPulled - lastPushed).count();
  EXPECT_LE(st.first_frame_ms, ownLatencyMs);
}

TEST(UttPipeline, InterruptRampsFromTheLastPulledFrame) {
  Pipeline p(kUttBundle);
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  std::vector<int16_t> pcm = speechPcm();
  p.push(pcm);
  Frame last;
  do last = p.pull();
  while (last.info.kind != 1 || last.info.frame_no < 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the ring fill behind it
  le_utt_interrupt(p.u);
  EXPECT_EQ(le_utt_frames_available(p.u), 0);

  Reference ref(kUttBundle);
  const Frames kp = ref.speech(asFloat(pcm), (last.info.target - last.info.frame_no + 10 * ref.nt) % ref.nt);
  const int k = last.info.frame_no;
  ASSERT_EQ(kp.idx[k], last.info.target);
  for (int j = 1; j <= 4; ++j) {
    const Frame f = p.pull();
    EXPECT_EQ(f.info.kind, 2) << "ramp frame " << j;
    EXPECT_EQ(f.info.target, (last.info.target + j) % ref.nt);
    EXPECT_TRUE(f.rgb == ref.ramp(last.info.target, &kp.out[k * kKp], j, 4)) << "ramp frame " << j;
  }
  for (int j = 5; j <= 20; ++j) {
    const Frame f = p.pull();
    EXPECT_EQ(f.info.kind, 0) << "no frame of the interrupted utterance comes back";
    EXPECT_EQ(f.info.target, (last.info.target + j) % ref.nt);
  }

  // Interrupted while idle: the loop goes on after the last pulled frame.
  const Frame idle = p.pull();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  le_utt_interrupt(p.u);
  const Frame next = p.pull();
  EXPECT_EQ(next.info.kind, 0);
  EXPECT_EQ(next.info.target, (idle.info.target + 1) % ref.nt);
  le_utt_stats st{};
  le_utt_get_stats(p.u, &st);
  EXPECT_GE(st.frames_dropped, 1u);
}

TEST(UttPipeline, SilenceGapEndsTheUtterance) {
  struct Case {
    double gap;
    bool endsAlone;
  };
  const std::vector<int16_t> pcm(640 * 10, 3000);
  for (const Case c : {Case{0, true}, Case{-1, false}}) {
    SCOPED_TRACE("gap " + std::to_string(c.gap));
    le_utt_opts opts{};
    opts.gap = c.gap;
    Pipeline p(kUttBundle, opts);
    ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
    const auto pushed = Clock::now();
    p.push(pcm);
    // Without an end the utterance stays open until the gap has passed.
    int speech = 0;
    bool ramped = false;
    while (!ramped && Clock::now() < pushed + std::chrono::milliseconds(1500)) {
      le_utt_frame_info i{};
      if (le_utt_pull_frame(p.u, p.rgb.data(), p.rgb.size(), &i) == 1) {
        speech += i.kind == 1;
        if (i.kind == 2) {
          ramped = true;
          EXPECT_GE(Clock::now() - pushed, std::chrono::milliseconds(600));
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(ramped, c.endsAlone);
    if (!ramped) {
      le_utt_end_utterance(p.u);
      for (le_utt_frame_info i{}; i.kind != 2;) {
        i = p.pull().info;
        speech += i.kind == 1;
      }
    }
    EXPECT_EQ(speech, 10) << "every frame of the audio plays before the ramp";
  }
}

TEST(UttPipeline, HostEdges) {
  // Audio before readiness plays nothing. The run thread takes audio within
  // 2 ms; a try counts when the model was still loading 5 ms after the push.
  const std::vector<int16_t> pcm(640 * 20, 8000);
  std::unique_ptr<Pipeline> early;
  for (int attempt = 0; attempt < 5 && !early; ++attempt) {
    auto p = std::make_unique<Pipeline>(kUttBundle);
    speak(*p, pcm);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (le_utt_ready(p->u) == 0) early = std::move(p);
  }
  if (!early) GTEST_SKIP() << "the audio model loaded within 5 ms every time";
  Pipeline& p = *early;
  ASSERT_EQ(p.waitReady(), 1);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(p.pull().info.kind, 0);

  // A buffer one byte short keeps the frame for the next pull.
  while (le_utt_frames_available(p.u) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  le_utt_frame_info a{}, b{};
  EXPECT_EQ(le_utt_pull_frame(p.u, p.rgb.data(), p.rgb.size() - 1, &a), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
  EXPECT_EQ(le_utt_pull_frame(p.u, p.rgb.data(), p.rgb.size(), &b), 1);
  EXPECT_STREQ(le_utt_last_error(), "");
  le_utt_stats st{};
  le_utt_get_stats(p.u, &st);
  EXPECT_EQ(b.serial + 1, st.frames_delivered) << "the kept frame is the one delivered";

  // Argument refusals.
  EXPECT_EQ(le_utt_push_audio(p.u, pcm.data(), 0), 1);
  EXPECT_EQ(le_utt_push_audio(p.u, nullptr, 5), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: bad args");
  EXPECT_EQ(le_utt_push_audio(p.u, pcm.data(), -1), 0);
  EXPECT_EQ(le_utt_pull_frame(p.u, nullptr, 10, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");
  EXPECT_EQ(le_utt_pull_frame(nullptr, p.rgb.data(), p.rgb.size(), nullptr), 0);
  EXPECT_EQ(le_utt_ready(nullptr), -1);
  EXPECT_EQ(le_utt_frames_available(nullptr), 0);
  EXPECT_EQ(le_utt_render_status(nullptr, nullptr, 0, nullptr), 0);
  le_utt_end_utterance(nullptr);
  le_utt_interrupt(nullptr);
  le_utt_destroy(nullptr);
  le_utt_opts opts{};
  EXPECT_EQ(le_utt_create(p.ctx, nullptr), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  EXPECT_EQ(le_utt_create(p.ctx, &opts), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");
}

TEST(UttPipeline, AModelThatCannotLoadFailsReadinessWithItsFamilysText) {
  TempDir empty;
  le_motion* m = le_motion_create(empty.path().c_str(), 1, "");
  ASSERT_EQ(m, nullptr);
  const std::string want = le_motion_last_error();
  Pipeline p(kUttBundle, {}, empty.path());
  EXPECT_EQ(p.waitReady(), -1);
  EXPECT_EQ(le_utt_last_error(), want);
  EXPECT_NE(want, "");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(p.pull().info.kind, 0) << "the idle loop still plays";
}

TEST(UttPipeline, RenderFailuresAreRecordedAndTheRampMovesOn) {
  // Template row 5 makes every render of target frame 5 fail in the runtime.
  TempDir dir;
  failingCopy(dir.path(), 5);
  Pipeline p(dir.path());
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  while (p.pull().info.target != 6) {
  }
  speak(p, std::vector<int16_t>(640 * 14, 4000));  // from target 7 or 8 round to 4, then 5 fails
  for (Frame f; f.info.target != 4 || f.info.kind != 1;) {
    f = p.pull();
    EXPECT_NE(f.info.target, 5);
  }
  char text[512];
  int64_t failures = 0;
  while (le_utt_render_status(p.u, text, sizeof text, &failures) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(failures, 1) << "the failed frame is tried again on every step";
  EXPECT_EQ(std::string(text).rfind("ep=cpu render: ", 0), 0u) << text;
  EXPECT_NE(std::string(text).find("Reshape"), std::string::npos) << "the runtime's own error: " << text;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(le_utt_frames_available(p.u), 0) << "a failed speech frame is never skipped";

  // The interrupt ramp's first step lands on frame 5 too: no frame for it,
  // and the ramp goes on.
  le_utt_interrupt(p.u);
  int64_t before = 0;
  for (int t = 6; t <= 8; ++t) {
    const Frame f = p.pull();
    EXPECT_EQ(f.info.kind, 2);
    EXPECT_EQ(f.info.target, t);
    if (t == 6) le_utt_render_status(p.u, nullptr, 0, &before);
  }
  EXPECT_EQ(p.pull().info.kind, 0);
  EXPECT_EQ(le_utt_render_status(p.u, text, 8, &failures), -1);
  EXPECT_EQ(failures, before) << "the ramp records its one failure and moves on";
  EXPECT_STREQ(text, "ep=cpu ") << "cap - 1 bytes and the terminator";
  le_utt_render_status(p.u, text, sizeof text, nullptr);
  EXPECT_EQ(std::string(text).rfind("ep=cpu ramp: ", 0), 0u) << text;
}

TEST(UttPipeline, DestroyAtAnyMoment) {
  const std::vector<int16_t> pcm = speechPcm();
  for (int moment = 0; moment < 4; ++moment) {
    SCOPED_TRACE("moment " + std::to_string(moment));
    Pipeline* p = new Pipeline(kUttBundle);
    if (moment >= 1) {
      ASSERT_EQ(p->waitReady(), 1);
    }
    if (moment >= 2) speak(*p, pcm);
    if (moment == 2) {  // mid-utterance, with the host pulling
      while (p->pull().info.kind != 1) {
      }
    }
    if (moment == 3) {  // the host stopped pulling: every stage waits on a full ring
      while (le_utt_frames_available(p->u) < 8) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto t0 = Clock::now();
    delete p;
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
  }
}

TEST(UttPipeline, StageReportLines) {
  setenv("LE_UTT_STAGE_REPORT", "1", 1);
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"1", {"[le_utt-stage] pipe=0 jobsB=0 jobsC=", " over 6 speech frames\n"}},
      {"0",
       {"[le_utt-stage] MEASURED NOTHING \xe2\x80\x94 the stage report was asked for and the paste-job counter never "
        "advanced (pipe=0 jobsB=0 jobsC=0, 6 speech frames delivered)."}},
  };
  for (const auto& [pipe, lines] : cases) {
    SCOPED_TRACE(std::string("LE_UTT_PIPELINE_PASTE=") + pipe);
    setenv("LE_UTT_PIPELINE_PASTE", pipe, 1);
    const std::string err = stderrOf([] {
      Pipeline p(kUttBundle);
      ASSERT_EQ(p.waitReady(), 1);
      speak(p, std::vector<int16_t>(640 * 6, 5000));
      for (int ramp = 0; ramp < 6;) ramp += p.pull().info.kind == 2;
    });
    for (const std::string& line : lines) EXPECT_EQ(occurrences(err, line), 1) << err;
  }
}

}  // namespace
