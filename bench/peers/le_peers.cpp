#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "peers.h"

namespace le::peers {
namespace {
std::vector<Comparison>& registry() {
  static std::vector<Comparison> all;
  return all;
}
}  // namespace

Register::Register(std::string name, std::function<void()> run) {
  registry().push_back({std::move(name), std::move(run)});
}

double medianMs(const std::function<void()>& fn, double minSeconds) {
  using clock = std::chrono::steady_clock;
  fn();
  std::vector<double> times;
  const auto start = clock::now();
  while (times.size() < 5 ||
         (std::chrono::duration<double>(clock::now() - start).count() < minSeconds && times.size() < 10000)) {
    const auto t0 = clock::now();
    fn();
    times.push_back(std::chrono::duration<double, std::milli>(clock::now() - t0).count());
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

void report(const std::string& name, double leMs, const std::string& peer, double peerMs) {
  std::printf("PEER %s le_ms=%.4f peer=%s peer_ms=%.4f speedup=%.3f\n", name.c_str(), leMs, peer.c_str(), peerMs,
              peerMs / leMs);
  std::fflush(stdout);
}

std::string buildDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string();
}

std::string avatarDir() {
  const std::filesystem::path sample = std::filesystem::path(buildDir()) / "sample";
  if (std::filesystem::exists(sample / "a2x_meta.json")) return sample.string();
  return buildDir() + "/fixtures/tiny_jpg";
}

std::vector<float> speech() {
  std::filesystem::path path = std::filesystem::path(buildDir()) / "speech" / "speech_3s.f32";
  if (!std::filesystem::exists(path)) path = std::filesystem::path(buildDir()) / "fixtures" / "speech_3s.f32";
  std::ifstream in(path, std::ios::binary);
  std::vector<float> pcm(3 * 16000);
  if (!in.read(reinterpret_cast<char*>(pcm.data()), std::streamsize(pcm.size() * sizeof(float)))) return {};
  return pcm;
}

bool audioReady(const char* name, const std::vector<float>& pcm, const std::string& dir) {
  if (!pcm.empty() && std::filesystem::exists(dir + "/a2x_meta.json")) return true;
  std::printf("%s: skipped, no speech or audio models (`make demo` writes %s/speech, `ctest --test-dir %s -R "
              "bundlegen_fixtures` the fixtures)\n",
              name, buildDir().c_str(), buildDir().c_str());
  return false;
}

}  // namespace le::peers

namespace {

void usage(std::FILE* to) {
  std::fprintf(to,
               "usage: le-peers [NAME...]\n"
               "Times the comparisons whose names contain any NAME (all when none is given):\n");
  for (const auto& c : le::peers::registry()) std::fprintf(to, "  %s\n", c.name.c_str());
}

bool selects(const std::string& arg, const le::peers::Comparison& c) { return c.name.find(arg) != std::string::npos; }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    }
    // An option we do not know, or a name that selects nothing, would
    // otherwise end in a silent run of nothing.
    const auto& all = le::peers::registry();
    if (a.starts_with('-') || std::none_of(all.begin(), all.end(), [&](const auto& c) { return selects(a, c); })) {
      std::fprintf(stderr, "le-peers: %s selects no comparison\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  for (const auto& c : le::peers::registry())
    if (args.empty() || std::any_of(args.begin(), args.end(), [&](const std::string& a) { return selects(a, c); }))
      c.run();
  return 0;
}
