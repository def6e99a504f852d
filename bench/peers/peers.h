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

}  // namespace le::peers
