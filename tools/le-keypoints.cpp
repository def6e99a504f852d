// le-keypoints: turns a speech file into keypoint rows with one of the three
// audio model families, streaming it in pushes the way a live host would,
// and optionally plots the lip opening against the audio envelope.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/le_files.h"
#include "driver/le_image.h"
#include "le/le_a2x.h"
#include "le/le_bundle.h"
#include "le/le_fca.h"
#include "le/le_motion.h"
#include "le_speech.h"
#include "le_tool.h"

namespace {

using le::tool::kFrameSamples;
using le::tool::kSpeechRate;

constexpr int kRow = 63;
// Inner lips of the keypoint layout (top, bottom): their vertical gap is the
// mouth opening.
constexpr int kInnerTop = 19, kInnerBottom = 20;

const char* kUsage =
    "usage: le-keypoints BUNDLE --audio SPEECH --out KP.f32 [--family a2x|motion|fca]\n"
    "                    [--push-ms N] [--eager N] [--threads N] [--plot PNG]\n"
    "Reads SPEECH (any format FFmpeg reads; resampled to 16 kHz mono), runs it through the\n"
    "bundle's audio model and writes one row of 63 float32 keypoints per 40 ms frame to KP.f32.\n"
    "--family: a2x (streaming audio-to-expression, default), motion (the bundle's motion/\n"
    "  directory) or fca (whole utterance); a2x and fca read the speech encoder from $W2V_ONNX,\n"
    "  else the bundle's audio_encoder.onnx.\n"
    "--push-ms N: audio per push for a2x and motion (default 20).\n"
    "--eager N: motion's eager production (default 0: off).\n"
    "--plot PNG: draws the lip opening over the audio envelope.\n";

struct Options {
  std::string bundle, audio, out, plot, family = "a2x";
  int pushMs = 20, eager = 0, threads = 0;
  bool help = false;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--audio")
      o.audio = value();
    else if (a == "--out")
      o.out = value();
    else if (a == "--plot")
      o.plot = value();
    else if (a == "--family")
      o.family = value();
    else if (a == "--push-ms")
      o.pushMs = std::atoi(value().c_str());
    else if (a == "--eager")
      o.eager = std::atoi(value().c_str());
    else if (a == "--threads")
      o.threads = std::atoi(value().c_str());
    else if (a == "-h" || a == "--help")
      o.help = true;
    else if (!a.empty() && a[0] != '-' && o.bundle.empty())
      o.bundle = a;
    else
      throw std::invalid_argument("unexpected argument " + a);
  }
  if (o.help) return o;
  if (o.bundle.empty() || o.audio.empty() || o.out.empty())
    throw std::invalid_argument("give a BUNDLE, --audio SPEECH and --out KP.f32");
  if (o.family != "a2x" && o.family != "motion" && o.family != "fca")
    throw std::invalid_argument("--family is a2x, motion or fca, not " + o.family);
  if (o.pushMs < 1) throw std::invalid_argument("--push-ms must be at least 1");
  return o;
}

// Rows as the family releases them: the keypoints to render (out) and the
// template rows they are offsets from (base).
struct Rows {
  std::vector<float> out, base;
  int count() const { return int(out.size() / kRow); }
};

// Streams pcm in pushes of `push` samples, pulling whatever is ready after
// each push, then finishes and pulls the rest: what a live host does.
template <class Push, class Finish, class Pull>
Rows stream(const std::vector<float>& pcm, int push, Push pushFn, Finish finishFn, Pull pullFn) {
  Rows rows;
  constexpr int kMax = 64;
  std::vector<int> idx(kMax);
  std::vector<float> base(kMax * kRow), out(kMax * kRow);
  const auto pullAll = [&]() {
    for (;;) {
      const int n = pullFn(idx.data(), base.data(), out.data(), kMax);
      if (n < 0) throw std::runtime_error("pull failed");
      rows.out.insert(rows.out.end(), out.begin(), out.begin() + n * kRow);
      rows.base.insert(rows.base.end(), base.begin(), base.begin() + n * kRow);
      if (n < kMax) return;
    }
  };
  for (size_t at = 0; at < pcm.size(); at += push) {
    pushFn(pcm.data() + at, int(std::min<size_t>(push, pcm.size() - at)));
    pullAll();
  }
  finishFn();
  pullAll();
  return rows;
}

Rows runA2x(const Options& o, const std::vector<float>& pcm, const std::string& dir) {
  le::tool::speechEncoder(dir);
  le_a2x* h = le_a2x_create(o.bundle.c_str(), o.threads);
  if (!h) throw std::runtime_error(le_a2x_last_error());
  const std::unique_ptr<le_a2x, void (*)(le_a2x*)> owner(h, le_a2x_destroy);
  const auto fail = [](int n) {
    if (*le_a2x_last_error()) throw std::runtime_error(le_a2x_last_error());
    return n;
  };
  return stream(
      pcm, kSpeechRate / 1000 * o.pushMs, [&](const float* p, int n) { le_a2x_push(h, p, n); },
      [&] { le_a2x_finish(h); },
      [&](int* idx, float* base, float* out, int max) { return fail(le_a2x_pull(h, idx, base, out, max)); });
}

Rows runMotion(const Options& o, const std::vector<float>& pcm, const std::string& dir) {
  le_motion* h = le_motion_create((dir + "/motion").c_str(), o.threads, nullptr);
  if (!h) throw std::runtime_error(le_motion_last_error());
  const std::unique_ptr<le_motion, void (*)(le_motion*)> owner(h, le_motion_destroy);
  le_motion_set_eager(h, o.eager);
  const auto fail = [](int n) {
    if (*le_motion_last_error()) throw std::runtime_error(le_motion_last_error());
    return n;
  };
  return stream(
      pcm, kSpeechRate / 1000 * o.pushMs,
      [&](const float* p, int n) { fail(le_motion_push(h, p, n) ? 0 : -1); }, [&] { le_motion_finish(h); },
      [&](int* idx, float* base, float* out, int max) { return fail(le_motion_pull(h, idx, base, out, max)); });
}

// The whole utterance in one call; frame i plays over template row i mod NT.
Rows runFca(const Options& o, const std::vector<float>& pcm, const std::string& dir) {
  le_fca* h = le_fca_create(le::tool::speechEncoder(dir).c_str(), (dir + "/fca_stream.onnx").c_str(), o.threads);
  if (!h) throw std::runtime_error(le_fca_last_error());
  const std::unique_ptr<le_fca, void (*)(le_fca*)> owner(h, le_fca_destroy);
  const int frames = int((pcm.size() + kFrameSamples - 1) / kFrameSamples);
  Rows rows;
  rows.out.resize(size_t(frames) * kRow);
  if (le_fca_deltas(h, pcm.data(), int(pcm.size()), rows.out.data(), frames) != frames)
    throw std::runtime_error(le_fca_last_error());

  std::vector<char> path(4096);
  if (!le_bundle_resolve_member(dir.c_str(), "xs_target.bin", path.data(), path.size()))
    throw std::runtime_error(dir + " has no template keypoints (xs_target.bin)");
  const std::vector<float> table = le::readFloats(path.data());
  const int nt = int(table.size() / kRow);
  if (nt < 1) throw std::runtime_error(std::string(path.data()) + " holds no keypoint row");
  rows.base.resize(rows.out.size());
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < kRow; ++c) {
      rows.base[size_t(i) * kRow + c] = table[size_t(i % nt) * kRow + c];
      rows.out[size_t(i) * kRow + c] += rows.base[size_t(i) * kRow + c];
    }
  return rows;
}

// Per-frame series the plot and the summary compare: RMS of each 640-sample
// frame, and the inner-lip gap the model adds to the template.
std::vector<double> envelope(const std::vector<float>& pcm, int frames) {
  std::vector<double> e(frames, 0.0);
  for (int f = 0; f < frames; ++f) {
    double sum = 0;
    int n = 0;
    for (size_t i = size_t(f) * kFrameSamples; i < std::min(pcm.size(), size_t(f + 1) * kFrameSamples); ++i, ++n)
      sum += double(pcm[i]) * pcm[i];
    e[f] = n ? std::sqrt(sum / n) : 0.0;
  }
  return e;
}

std::vector<double> lipOpening(const Rows& rows) {
  std::vector<double> gap(rows.count());
  for (int f = 0; f < rows.count(); ++f) {
    const auto y = [&](const std::vector<float>& v, int row) { return double(v[size_t(f) * kRow + 3 * row + 1]); };
    gap[f] = (y(rows.out, kInnerBottom) - y(rows.out, kInnerTop)) - (y(rows.base, kInnerBottom) - y(rows.base, kInnerTop));
  }
  return gap;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const size_t n = std::min(a.size(), b.size());
  double ma = 0, mb = 0;
  for (size_t i = 0; i < n; ++i) ma += a[i], mb += b[i];
  ma /= double(n), mb /= double(n);
  double sab = 0, saa = 0, sbb = 0;
  for (size_t i = 0; i < n; ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

// Two series over time, each scaled to its own range: the audio envelope as a
// grey area, the lip opening as a red line, a tick every second.
void plot(const std::string& path, const std::vector<double>& env, const std::vector<double>& lips) {
  const int frames = int(std::max(env.size(), lips.size()));
  const int kPx = 8, w = std::max(200, frames * kPx), h = 360, pad = 20;
  std::vector<uint8_t> rgb(size_t(w) * h * 3, 255);
  const auto put = [&](int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    if (x < 0 || y < 0 || x >= w || y >= h) return;
    uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
    p[0] = r, p[1] = g, p[2] = b;
  };
  const auto scaled = [&](const std::vector<double>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    std::vector<int> ys(v.size());
    const double span = v.empty() || *hi <= *lo ? 1.0 : *hi - *lo;
    for (size_t i = 0; i < v.size(); ++i) ys[i] = h - pad - int(std::lround((v[i] - *lo) / span * (h - 2 * pad)));
    return ys;
  };
  for (int f = 0; f < frames; f += 25)
    for (int y = 0; y < h; ++y) put(f * kPx, y, 200, 200, 200);
  const std::vector<int> ey = scaled(env), ly = scaled(lips);
  for (size_t f = 0; f < ey.size(); ++f)
    for (int x = int(f) * kPx; x < int(f + 1) * kPx; ++x)
      for (int y = ey[f]; y <= h - pad; ++y) put(x, y, 170, 170, 190);
  // Each column joins the previous one with a vertical run, so steep slopes
  // stay connected.
  for (size_t f = 0; f + 1 < ly.size(); ++f)
    for (int s = 0, prev = ly[f]; s <= kPx; ++s) {
      const int x = int(f) * kPx + s + kPx / 2;
      const int y = ly[f] + (ly[f + 1] - ly[f]) * s / kPx;
      for (int yy = std::min(prev, y) - 1; yy <= std::max(prev, y) + 1; ++yy) put(x, yy, 200, 30, 30);
      prev = y;
    }
  le::writePNG(path, rgb.data(), w, h);
}

int run(const Options& o) {
  const std::vector<float> pcm = le::tool::readSpeech(o.audio);
  if (pcm.empty()) throw std::runtime_error(o.audio + " holds no audio");
  const std::string dir = le::tool::bundleDir(o.bundle);
  const Rows rows = o.family == "a2x"      ? runA2x(o, pcm, dir)
                    : o.family == "motion" ? runMotion(o, pcm, dir)
                                           : runFca(o, pcm, dir);
  std::ofstream out(o.out, std::ios::binary);
  out.write(reinterpret_cast<const char*>(rows.out.data()), std::streamsize(rows.out.size() * sizeof(float)));
  if (!out) throw std::runtime_error("cannot write " + o.out);

  const std::vector<double> env = envelope(pcm, rows.count()), lips = lipOpening(rows);
  std::printf("%s: %d rows from %.2f s of speech; lip opening vs audio envelope r=%.3f\n", o.family.c_str(),
              rows.count(), double(pcm.size()) / kSpeechRate, correlation(env, lips));
  if (!o.plot.empty()) plot(o.plot, env, lips);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return le::tool::runMain("le-keypoints", kUsage, argc, argv, parse, run);
}
