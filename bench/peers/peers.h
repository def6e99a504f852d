// The peer-comparison program: each comparison times our code and a peer
// library on the same input in the same run and prints one line
//   PEER <name> le_ms=<float> peer=<peer-name> peer_ms=<float> speedup=<peer_ms/le_ms>
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace le::peers {

struct Comparison {
  std::string name;
  // Prints its PEER lines through report(); may print several peers.
  std::function<void()> run;
};

// Registers a comparison at static-initialisation time.
struct Register {
  Register(std::string name, std::function<void()> run);
};

// Median wall time of one call of fn, in milliseconds, over repeated calls
// lasting at least minSeconds in all (after one warm-up call).
double medianMs(const std::function<void()>& fn, double minSeconds = 0.5);

void report(const std::string& name, double leMs, const std::string& peer, double peerMs);

// The build directory (<build>/bin holds this program).
std::string buildDir();

// The sample avatar when `make demo` made it (<build>/sample), else the test
// fixtures' tiny bundle: both carry the same audio models.
std::string avatarDir();

// The espeak-ng utterance of `make demo` or of the test fixtures (16 kHz mono
// f32, 3 s); empty when neither was made.
std::vector<float> speech();

// True when pcm holds speech and dir the audio models; else prints why the
// comparison name is skipped.
bool audioReady(const char* name, const std::vector<float>& pcm, const std::string& dir);

}  // namespace le::peers
