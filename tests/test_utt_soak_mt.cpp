// The utterance pipeline over a long run: one host thread pushes utterances
// of random lengths in random pieces with random pauses, ends and interrupts
// them at random moments, while another pulls at 25 fps or faster (with
// stalls that let the ring fill). Every event goes through one checker in the
// order the pipeline saw it. The run lasts LE_SOAK_SECONDS (split between the
// configurations; scripts/soak runs it for minutes) and draws its schedule
// from LE_SOAK_SEED (1 when unset).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "le/le_utt.h"
#include "utt_fixtures.h"

namespace {

using namespace le::test;
using std::chrono::milliseconds;

constexpr int kRampFrames = 5, kInterruptRampFrames = 3;  // not the defaults, so a mix-up shows

double envOr(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atof(v) : fallback;
}

size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * size_t(sysconf(_SC_PAGESIZE));
}

template <class... T>
std::string str(const T&... parts) {
  std::ostringstream s;
  (s << ... << parts);
  return s.str();
}

// What the delivered frames must be, given the pushes, ends and interrupts
// before them. Within the stretch between two interrupts every utterance
// plays whole and in order, each followed by its ramp; an interrupt may cut
// the utterance playing (and drop the ones waiting), after which the face
// ramps back from the last delivered frame.
class Checker {
 public:
  explicit Checker(int nt) : nt_(nt) {}

  void push(int utt, int samples) {
    note(str("push ", utt, " ", samples));
    if (utts_.empty() || utts_.back().id != utt) utts_.push_back({utt, 0, false});
    utts_.back().samples += samples;
  }
  void end(int utt) {
    note(str("end ", utt));
    if (utts_.empty() || utts_.back().id != utt) return fail(str("end of utterance ", utt, " unseen"));
    utts_.back().ended = true;
  }
  void interrupt() {
    note("interrupt");
    ++interrupts;
    cut += pos_ > 0;
    utts_.clear();
    pos_ = 0;
    rampLeft_ = have_ && last_.kind != 0 ? kInterruptRampFrames : 0;
    afterInterrupt_ = true;
  }
  void frame(const le_utt_frame_info& f) {
    ++frames;
    speech += f.kind == 1;
    note(str("frame serial ", f.serial, " kind ", f.kind, " target ", f.target, " frame_no ", f.frame_no));
    // Serials count from 0; an interrupt before the first pull drops from there.
    const uint64_t next = have_ ? last_.serial + 1 : 0;
    if (afterInterrupt_ && f.serial >= next)
      dropped += f.serial - next;
    else if (f.serial != next)
      fail(str("serial ", f.serial, " where ", next, " was due"));
    if (have_ && f.target != (last_.target + 1) % nt_) fail(str("target ", f.target, " after ", last_.target));
    if (f.kind != 1 && f.frame_no != -1) fail(str("kind ", f.kind, " with frame_no"));
    if (rampLeft_ > 0) {
      if (f.kind != 2) fail(str("kind ", f.kind, " where a ramp frame was due"));
      --rampLeft_;
      rampFrames += f.kind == 2;
    } else if (f.kind == 2) {
      fail("a ramp frame beyond the ramp's length");
    } else if (f.kind == 0) {
      if (pos_ > 0) fail(str("idle frame inside utterance ", utts_.front().id));
    } else {
      speechFrame(f);
    }
    afterInterrupt_ = false;
    have_ = true;
    last_ = f;
  }
  size_t pending() const { return utts_.size(); }
  // After the host's last end: nothing may be left to play.
  void drained() {
    if (!utts_.empty())
      fail(str("utterance ", utts_.front().id, " ended with ", pos_, " of ", utts_.front().frames(), " frames"));
    if (rampLeft_ > 0) fail(str("the last ramp is short by ", rampLeft_));
  }

  std::vector<std::string> errors;
  uint64_t frames = 0, speech = 0, rampFrames = 0, dropped = 0;
  int interrupts = 0, cut = 0, whole = 0;

 private:
  struct Utt {
    int id, samples;
    bool ended;
    int frames() const { return (samples + 639) / 640; }
  };

  void speechFrame(const le_utt_frame_info& f) {
    if (utts_.empty()) return fail(str("speech frame ", f.frame_no, " with no utterance pushed"));
    if (f.frame_no == 0 && pos_ > 0) {  // the next utterance began: the one before stopped short
      fail(str("utterance ", utts_.front().id, " stopped after ", pos_, " of ", utts_.front().frames(), " frames"));
      utts_.pop_front();
      pos_ = 0;
      if (utts_.empty()) return;
    }
    const Utt& u = utts_.front();
    if (f.frame_no != pos_) fail(str("utterance ", u.id, ": frame ", f.frame_no, " where ", pos_, " was due"));
    pos_ = f.frame_no + 1;
    if (pos_ > u.frames()) fail(str("utterance ", u.id, " of ", u.frames(), " frames delivered frame ", f.frame_no));
    if (pos_ >= u.frames() && u.ended) {
      ++whole;
      utts_.pop_front();
      pos_ = 0;
      rampLeft_ = kRampFrames;
    }
  }
  void fail(const std::string& what) {
    std::string text = str("frame ", frames, ": ", what);
    if (errors.empty())  // the first failure comes with the events that led to it
      for (const std::string& e : recent_) text += "\n  " + e;
    if (errors.size() < 20) errors.push_back(text);
  }
  void note(std::string what) {
    if (recent_.size() == 16) recent_.pop_front();
    recent_.push_back(std::move(what));
  }

  int nt_;
  std::deque<std::string> recent_;
  std::deque<Utt> utts_;  // pushed and not yet played whole; the front is playing
  int pos_ = 0;           // next frame_no of the front utterance
  int rampLeft_ = 0;
  bool have_ = false, afterInterrupt_ = false;
  le_utt_frame_info last_{};
};

struct Config {
  const char* name;
  const char* bundle;
  const char* pipelinedPaste;
  int eager;
};

void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

class Soak : public testing::TestWithParam<Config> {};

TEST_P(Soak, EveryUtteranceWholeOrCutNothingRepeatedMemoryFlat) {
  const Config& c = GetParam();
  setenv("LE_UTT_PIPELINE_PASTE", c.pipelinedPaste, 1);
  const double seconds = envOr("LE_SOAK_SECONDS", LE_SOAK_DEFAULT_SECONDS) / 2;  // two configurations share the time
  const unsigned seed = unsigned(envOr("LE_SOAK_SEED", 1));
  std::printf("soak: %s for %.0f s, LE_SOAK_SEED=%u\n", c.name, seconds, seed);

  le_utt_opts opts{};
  opts.eager = c.eager;
  opts.gap = -1;  // an utterance ends only when the host says so, however late a pause runs
  opts.ramp_frames = kRampFrames;
  opts.interrupt_ramp_frames = kInterruptRampFrames;
  Pipeline p(std::string(LE_FIXTURE_DIR) + "/" + c.bundle, opts);
  ASSERT_EQ(p.waitReady(), 1) << le_utt_last_error();
  const std::vector<int16_t> speech = speechPcm();

  // Calls that change or read the frame order hold this lock, so the checker
  // sees them in the order the pipeline did.
  std::mutex mu;
  Checker check(le_nt(p.ctx));
  std::atomic<bool> draining{false}, done{false};
  std::string pullerFailure;

  std::thread puller([&] {
    std::mt19937 rng(seed + 1);
    const auto rand = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<uint8_t> rgb(p.rgb.size());
    int idleRun = 0, mode = 0;  // mode 0 as fast as frames come, 1 at 25 fps, 2 a stall
    auto lastFrame = Clock::now(), modeUntil = Clock::now();
    Clock::time_point drainFrom{};
    while (!done) {
      const auto now = Clock::now();
      if (now >= modeUntil && !draining) {
        const int r = rand(0, 9);
        mode = r < 4 ? 0 : r < 9 ? 1 : 2;
        modeUntil = now + milliseconds(mode == 2 ? rand(100, 400) : rand(300, 3000));
        if (mode == 2) {
          std::this_thread::sleep_until(modeUntil);
          continue;
        }
      }
      if (draining && drainFrom == Clock::time_point{}) mode = 0, drainFrom = now;
      le_utt_frame_info info{};
      int got;
      {
        const std::lock_guard<std::mutex> lock(mu);
        if ((got = le_utt_pull_frame(p.u, rgb.data(), rgb.size(), &info))) check.frame(info);
      }
      if (got) {
        lastFrame = Clock::now();
        idleRun = info.kind == 0 ? idleRun + 1 : 0;
        // Drained: the last utterance and its ramp played, the idle loop runs on.
        if (draining && idleRun >= 10 && lastFrame - drainFrom > milliseconds(300)) break;
        if (mode == 1) std::this_thread::sleep_for(milliseconds(40));
      } else if (Clock::now() - lastFrame > std::chrono::seconds(30)) {
        pullerFailure = "no frame for 30 s";
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    }
    done = true;
  });

  // The host's side: utterances of 20 ms to 2 s cut from the speech fixture.
  std::mt19937 rng(seed);
  const auto rand = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const auto pause = [&](int maxMs) {
    if (rand(0, 2) > 0) std::this_thread::sleep_for(milliseconds(rand(0, maxMs)));
  };
  const auto locked = [&](auto fn) {
    const std::lock_guard<std::mutex> lock(mu);
    return fn();
  };
  const auto interrupt = [&] { locked([&] { le_utt_interrupt(p.u), check.interrupt(); }); };
  // Resident memory after the first quarter (warm-up), at half time and at the end.
  size_t resident[3] = {0, 0, 0};
  const auto start = Clock::now();
  const auto at = [&](double share) {
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds * share));
  };
  int utt = 0;
  while (Clock::now() < at(1.0) && !done) {
    if (!resident[0] && Clock::now() > at(0.25)) resident[0] = residentBytes();
    if (!resident[1] && Clock::now() > at(0.5)) resident[1] = residentBytes();
    // At most three utterances wait to play, so interrupts find one playing.
    while (locked([&] { return check.pending() >= 3; })) std::this_thread::sleep_for(milliseconds(20));
    ++utt;
    const int samples = rand(320, 32000);
    const int cutAt = rand(0, 9) == 0 ? rand(1, samples) : samples + 1;  // an interrupt while pushing
    size_t from = size_t(rand(0, int(speech.size()) - 1));
    int pushed = 0;
    for (; pushed < samples && pushed < cutAt; pause(30)) {
      const int n = std::min(samples - pushed, rand(1, 4000));
      std::vector<int16_t> piece(static_cast<size_t>(n));
      for (int16_t& s : piece) s = speech[from++ % speech.size()];
      locked([&] {
        EXPECT_EQ(le_utt_push_audio(p.u, piece.data(), n), 1);
        check.push(utt, n);
      });
      if (rand(0, 19) == 0) le_utt_push_audio(p.u, piece.data(), 0);  // only marks the time
      pushed += n;
    }
    if (pushed < samples) {
      interrupt();
      continue;
    }
    locked([&] { le_utt_end_utterance(p.u), check.end(utt); });
    // The next utterance follows at once, while this one plays, or after it.
    pause(rand(0, 3) == 0 ? 2500 : 400);
    if (rand(0, 6) == 0) interrupt();
  }
  draining = true;
  puller.join();
  resident[2] = residentBytes();

  check.drained();
  EXPECT_EQ(pullerFailure, "");
  for (const std::string& e : check.errors) ADD_FAILURE() << e;
  le_utt_stats st{};
  le_utt_get_stats(p.u, &st);
  EXPECT_EQ(st.frames_delivered, check.frames);
  EXPECT_EQ(st.speech_frames_delivered, check.speech);
  EXPECT_EQ(st.frames_dropped, check.dropped) << "the serials skip exactly the frames interrupts dropped";
  EXPECT_EQ(st.state, 0);
  char status[256] = "";
  int64_t failures = -1;
  EXPECT_EQ(le_utt_render_status(p.u, status, sizeof status, &failures), 0) << status;
  EXPECT_EQ(failures, 0) << status;
  EXPECT_GT(check.whole, 0);
  std::printf("%s\n", str("soak: ", utt, " utterances pushed, ", check.whole, " played whole, ", check.interrupts,
                          " interrupts (", check.cut, " cut one short), ", check.frames, " frames (", check.speech,
                          " speech, ", check.rampFrames, " ramp, ", check.dropped, " dropped), resident ",
                          resident[0] >> 20, ", ", resident[1] >> 20, ", ", resident[2] >> 20, " MiB")
                          .c_str());
  // A leak grows with the work, in both halves after the warm-up. Memory
  // taken once may come late: the chunk renderer's working memory for a
  // whole chunk (some 60 MiB on tiny_b24) waits for the first chunk, which
  // only a burst of keypoint frames brings. So the run fails when both halves
  // grew by more than 8 MiB.
  if (LE_SOAK_WATCH_RESIDENT && resident[1] > 0) {
    const auto grew = [](size_t from, size_t to) { return to > from + (size_t(8) << 20); };
    EXPECT_FALSE(grew(resident[0], resident[1]) && grew(resident[1], resident[2]))
        << "resident memory grew by more than 8 MiB in each half after the warm-up";
  }
}

INSTANTIATE_TEST_SUITE_P(Configs, Soak,
                         testing::Values(Config{"pipelined paste, one frame per render", "tiny_jpg", "1", 0},
                                         Config{"direct paste, chunk renderer, hybrid eager", "tiny_b24", "0", -2}),
                         [](const testing::TestParamInfo<Config>& i) {
                           return i.index == 0 ? std::string("PipelinedPaste") : std::string("ChunksHybrid");
                         });

}  // namespace
