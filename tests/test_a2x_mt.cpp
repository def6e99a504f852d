// Handles on several threads at once: each opens, streams and runs the
// whole-utterance form while the others do, all through the one shared
// speech front-end, and each gets the frames a lone handle gets.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "audio_fixtures.h"

namespace {

using namespace le::test;

const std::string kProbe = LE_FIXTURE_DIR "/audio_probe";

TEST(A2xThreads, HandlesShareTheFrontEnd) {
  useW2v(kProbe);
  const std::vector<float> pcm = noise(300 * 640, 3);
  const size_t pieces[] = {640, 999, 4000};
  std::vector<Frames> live(std::size(pieces));
  std::vector<std::vector<float>> whole(std::size(pieces));
  std::vector<std::string> errors(std::size(pieces));
  std::vector<std::thread> threads;
  // The threads race to open the front-end and find the short-window pair.
  for (size_t t = 0; t < std::size(pieces); ++t)
    threads.emplace_back([&, t] {
      try {
        Handle a(kProbe);
        live[t] = stream(a, pcm, pieces[t]);
        whole[t] = deltas(a, pcm);
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  for (std::thread& t : threads) t.join();

  Handle a(kProbe);
  const Frames refLive = stream(a, pcm, 640);
  const std::vector<float> refWhole = deltas(a, pcm);
  ASSERT_EQ(refLive.size(), 300u);
  for (size_t t = 0; t < std::size(pieces); ++t) {
    SCOPED_TRACE("pieces of " + std::to_string(pieces[t]));
    EXPECT_EQ(errors[t], "");
    EXPECT_EQ(live[t].out, refLive.out);
    EXPECT_EQ(whole[t], refWhole);
  }
}

}  // namespace
