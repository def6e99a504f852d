// The driver cursor: its reader thread, ring, history, pinning, hard seeks
// and failure recording, over a counting frame source and over real video.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>

#include "bundle/le_identity.h"
#include "driver/le_driver.h"
#include "bundle_fixtures.h"

namespace {

using namespace std::chrono_literals;
using le::test::errorOf;

constexpr int kFrameW = 8, kFrameH = 4;
constexpr size_t kFrameBytes = kFrameW * kFrameH * 3;

uint8_t patternByte(int index, size_t j) { return static_cast<uint8_t>(index * 31 + j * 7); }

bool holds(const uint8_t* frame, int index) {
  for (size_t j = 0; j < kFrameBytes; ++j) if (frame[j] != patternByte(index, j)) return false;
  return true;
}

struct Counters {
  std::atomic<int> produced{0}, rewinds{0}, seeks{0}, lastSeek{-1};
};

// NT frames of a known pattern; `length` frames are really there, and the
// source can be told to fail at one frame or on seeking.
class PatternSource final : public le::driver::Source {
 public:
  PatternSource(int nt, Counters& c, int length = -1) : nt_(nt), length_(length < 0 ? nt : length), c_(c) {}
  int NT() const override { return nt_; }
  int W() const override { return kFrameW; }
  int H() const override { return kFrameH; }
  bool next(uint8_t* out) override {
    if (pos_ == failAt) throw std::runtime_error("boom at " + std::to_string(pos_));
    if (pos_ >= length_) return false;
    for (size_t j = 0; j < kFrameBytes; ++j) out[j] = patternByte(pos_, j);
    ++pos_, ++c_.produced;
    return true;
  }
  void rewind() override { pos_ = 0, ++c_.rewinds; }
  void seek(int i) override {
    if (failSeek) throw std::runtime_error("no way back");
    le::driver::checkSeekTarget(i, nt_);
    pos_ = i, ++c_.seeks, c_.lastSeek = i;
  }
  std::string name() const override { return "pattern"; }
  size_t residentBytes() const override { return 1000; }

  int failAt = -1;
  bool failSeek = false;
 private:
  int nt_, length_, pos_ = 0;
  Counters& c_;
};

std::unique_ptr<le::DriverCursor> cursor(int nt, Counters& c, int ahead = 2, int hist = 11, int length = -1) {
  return le::DriverCursor::over(std::make_unique<PatternSource>(nt, c, length), ahead, hist);
}

void waitProduced(const Counters& c, int n) {
  for (int i = 0; i < 2000 && c.produced < n; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(c.produced, n);
}

void pullSequentially(le::DriverCursor& cur, int from, int to) {
  for (int i = from; i <= to; ++i) {
    int index = -1;
    const uint8_t* f = cur.pull(&index);
    ASSERT_EQ(index, i);
    ASSERT_TRUE(holds(f, i)) << i;
  }
}

// A cursor over 100 frames that has handed out frames 0 to 20.
std::unique_ptr<le::DriverCursor> cursorPast20(Counters& c) {
  auto cur = cursor(100, c);
  pullSequentially(*cur, 0, 20);
  return cur;
}

TEST(DriverCursor, SequentialPullsLoopAndHistoryIsServedWithoutSeeking) {
  Counters loop;
  auto cur = cursor(7, loop);
  pullSequentially(*cur, 0, 6);
  pullSequentially(*cur, 0, 6);
  pullSequentially(*cur, 0, 4);
  EXPECT_EQ(std::tuple(cur->name(), cur->frameBytes(), cur->position()), std::tuple("pattern", kFrameBytes, 5));
  EXPECT_EQ(std::pair(loop.rewinds.load(), loop.seeks + cur->seeks()), std::pair(2, uint64_t{0}));

  Counters c;
  cur = cursorPast20(c);
  int index = -1;
  EXPECT_TRUE(holds(cur->pullAt(15, &index), 15));
  pullSequentially(*cur, 16, 20);  // still from history

  waitProduced(c, 23);
  EXPECT_TRUE(holds(cur->pullAt(22, &index), 22));  // within the look-ahead
  waitProduced(c, 25);
  EXPECT_TRUE(holds(cur->pullAt(25, &index), 25));  // the frame the reader produces next
  EXPECT_EQ(c.seeks + cur->seeks(), 0u);

  EXPECT_TRUE(holds(cur->pullAt(5, &index), 5));  // past the history: a true jump
  EXPECT_EQ(std::make_tuple(cur->seeks(), c.seeks.load(), c.lastSeek.load()), std::make_tuple(uint64_t{1}, 1, 5));
  pullSequentially(*cur, 6, 8);

  cur->seek(50);
  EXPECT_EQ(cur->position(), 50);
  pullSequentially(*cur, 50, 51);
  EXPECT_EQ(cur->seeks(), 2u);
}

TEST(DriverCursor, PinnedFrameIsNeverServedFromHistoryAgain) {
  Counters c;
  auto cur = cursorPast20(c);
  int index = -1;
  uint8_t* pinned = cur->pullMutAt(15, &index);
  EXPECT_EQ(cur->seeks(), 0u);
  pinned[0] ^= 0xff;  // the consumer draws on it
  EXPECT_TRUE(holds(cur->pullAt(14, &index), 14));
  EXPECT_EQ(cur->seeks(), 1u);
  const uint8_t* fresh = cur->pullMut(&index);
  EXPECT_EQ(index, 15);
  EXPECT_TRUE(holds(fresh, 15));  // decoded afresh, not the drawn-on copy

  // A handed-out frame stays put while the history still covers it.
  pullSequentially(*cur, 16, 26);
  std::this_thread::sleep_for(10ms);  // let the reader fill its look-ahead
  EXPECT_TRUE(holds(fresh, 15));
}

TEST(DriverCursor, FailuresRepeatTheirTextOnEveryLaterCall) {
  Counters c;
  std::vector<uint8_t> out(kFrameBytes);
  // Look-ahead 0 counts as 1, so the reader hits the end only when frame 5
  // has been handed out.
  auto shortOne = cursor(7, c, 0, 3, 6);
  pullSequentially(*shortOne, 0, 5);
  auto failing = std::make_unique<PatternSource>(10, c), noSeek = std::make_unique<PatternSource>(10, c);
  failing->failAt = 3;
  noSeek->failSeek = true;
  auto boom = le::DriverCursor::over(std::move(failing), 1, 2), stuck = le::DriverCursor::over(std::move(noSeek), 2, 2);
  auto seven = cursor(7, c);
  const std::string shortText = "le_driver: pattern ended after 6 frames, the manifest says NT=7 \u2014 a short "
                                "driver is a session that stops part way through the loop, refusing";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { shortOne->pull(out.data()); }, shortText},
      {[&] { shortOne->seek(3); }, shortText},
      {[&] { for (;;) boom->pull(out.data()); }, "le_driver: boom at 3"},
      {[&] { boom->pull(out.data()); }, "le_driver: boom at 3"},
      {[&] { stuck->pullAt(8, out.data()); }, "le_driver: seek failed: no way back"},
      {[&] { stuck->pullAt(7, out.data()); }, "le_driver: seek failed: no way back"},
      {[&] { seven->seek(7); }, "le_driver: seek(7) outside [0,7)"},
      {[&] { seven->pullAt(-1, out.data()); }, "le_driver: seek(-1) outside [0,7)"},
  };
  for (const auto& [call, want] : cases) EXPECT_EQ(errorOf(call), want);
  EXPECT_EQ(seven->pullAt(6, out.data()), 6);
  EXPECT_TRUE(holds(out.data(), 6));
  EXPECT_EQ(seven->residentBytes(), 14 * kFrameBytes + 1000);
}

TEST(DriverCursor, ConcurrentSequentialPullsShareOneSequence) {
  Counters c;
  auto cur = cursor(37, c);
  constexpr int kPerThread = 100;
  std::vector<int> seen[2];
  std::atomic<bool> corrupt{false};
  auto puller = [&](std::vector<int>& mine) {
    std::vector<uint8_t> out(kFrameBytes);
    for (int k = 0; k < kPerThread; ++k) {
      const int i = cur->pull(out.data());
      if (!holds(out.data(), i)) corrupt = true;
      mine.push_back(i);
    }
  };
  std::thread a(puller, std::ref(seen[0])), b(puller, std::ref(seen[1]));
  a.join(), b.join();
  EXPECT_FALSE(corrupt);
  std::map<int, int> counts;
  for (const auto& v : seen) for (int i : v) ++counts[i];
  for (int i = 0; i < 37; ++i) EXPECT_EQ(counts[i], 2 * kPerThread / 37 + (i < 2 * kPerThread % 37)) << i;
  EXPECT_EQ(cur->seeks(), 0u);
}

TEST(DriverCursor, RandomAndSequentialConsumersAlwaysGetTheFrameTheyAreTold) {
  Counters c;
  auto cur = cursor(23, c, 2, 5);
  std::atomic<bool> corrupt{false};
  std::thread jumper([&] {
    std::mt19937 rng(7);
    std::vector<uint8_t> out(kFrameBytes);
    for (int k = 0; k < 60; ++k) {
      const int want = static_cast<int>(rng() % 23);
      if (cur->pullAt(want, out.data()) != want || !holds(out.data(), want)) corrupt = true;
    }
  });
  std::vector<uint8_t> out(kFrameBytes);
  for (int k = 0; k < 60; ++k) {
    const int i = cur->pull(out.data());
    if (!holds(out.data(), i)) corrupt = true;
    (void)cur->position();
    (void)cur->residentBytes();
  }
  jumper.join();
  EXPECT_FALSE(corrupt);
}

// The generated bundles: a jpg driver, an mp4 driver, both, renamed or none;
// decoded in software only.
class DriverCursorOpen : public ::testing::Test {
 protected:
  void SetUp() override { setenv("LE_DRIVER_HWDEC", "0", 1); }
  void TearDown() override { unsetenv("LE_DRIVER_HWDEC"); }
  static inline const std::string kDir = std::string(LE_FIXTURE_DIR) + "/";

  // Stderr of opening the bundle's driver and pulling two loops; *name is
  // the source's name, or the refusal.
  static std::string opened(const std::string& bundle, std::string* name) {
    const le::Manifest m = le::loadManifest(kDir + bundle);
    return le::test::stderrOf([&] {
      *name = errorOf([&] {
        auto cur = le::DriverCursor::open(m.video, 0, 11);
        *name = cur->name();
        std::vector<uint8_t> out(cur->frameBytes());
        for (int i = 0; i < 2 * m.NT; ++i) EXPECT_EQ(cur->pull(out.data()), i % m.NT);
        throw std::runtime_error(*name);
      });
    });
  }

  static std::string inPlace(const std::string& mp4) {
    return "[le-driver] " + mp4 + " decoded IN PLACE (mp4/libavcodec " + le::libavcodecVersion() +
           " h264, 12 frames 160x120, look-ahead 1, history 11) \u2014 no frame of the driver is expanded ahead of "
           "the paste\n";
  }
};

TEST_F(DriverCursorOpen, ChoosesBetweenJpgAndMp4) {
  std::string name;
  const std::string jpg = "[le-driver] " + kDir + "tiny_jpg/target_frames/ (raw jpg, 12 frames) \u2014 read one "
                          "frame per pull\n";
  EXPECT_EQ(std::pair(opened("tiny_jpg", &name), name), std::pair(jpg, std::string("jpg/stb")));
  // (An audio stream in the mp4 is skipped.)
  EXPECT_TRUE(opened("tiny_audio", &name).ends_with(inPlace(kDir + "tiny_audio/target_frames.mp4")));
  EXPECT_EQ(opened("tiny_both_drivers", &name).find("decoded IN PLACE"), std::string::npos);
  EXPECT_NE(opened("tiny_named", &name).find(kDir + "tiny_named/driver_jpg/ (raw jpg"), std::string::npos);

  // Preferring the mp4 changes nothing when there is none.
  setenv("LE_DRIVER_PREFER_MP4", "1", 1);
  EXPECT_EQ(opened("tiny_jpg", &name), jpg);
  const std::string both = kDir + "tiny_both_drivers/";
  EXPECT_TRUE(opened("tiny_both_drivers", &name).ends_with(inPlace(both + "target_frames.mp4")));
  EXPECT_TRUE(opened("tiny_named", &name).ends_with(inPlace(kDir + "tiny_named/driver.mp4")));
  unsetenv("LE_DRIVER_PREFER_MP4");

  opened("bad_no_driver", &name);
  EXPECT_EQ(name, "this bundle carries neither a populated target_frames/ nor target_frames.mp4 (" + kDir +
                      "bad_no_driver/target_frames.mp4) \u2014 there is no driver video to play. REFUSING to create a "
                      "session.");
}

}  // namespace
