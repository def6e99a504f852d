// Helpers of the audio-model tests: the probe bundles' front-end, a2x-only
// copies of a bundle to edit, test audio and a puller that keeps every frame.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_manifest.h"
#include "driver/le_files.h"
#include "bundle_fixtures.h"
#include "le/le_a2x.h"

namespace le::test {

constexpr int kKp = 63;

// Points W2V_ONNX at the bundle's long-window speech encoder.
inline std::string useW2v(const std::string& bundle) {
  const std::string path = bundle + "/audio_encoder.onnx";
  setenv("W2V_ONNX", path.c_str(), 1);
  return path;
}

// Copies the members an a2x handle reads into dir; the template keypoints
// keep their first nt rows when nt > 0.
inline void copyA2x(const std::string& bundle, const std::string& dir, int nt = 0) {
  for (const char* name : {"a2x_meta.json", "a2x_pos.f32", "a2x_norm.f32", "a2x_enc_stream.onnx", "a2x_dec.onnx"})
    writeFile(dir + "/" + name, readAll(resolveMember(bundle, name)));
  std::string xs = readAll(resolveMember(bundle, "xs_target.bin"));
  if (nt > 0) xs.resize(sizeof(float) * kKp * nt);
  writeFile(dir + "/xs_target.bin", xs);
}

// A copy in dir of tiny_fail_kp, which renders tiny_jpg's pixels but fails in
// ONNX Runtime when the driving keypoints start with an x over 100: template
// row `row` gets a first value of 1000, so every frame driven near it fails.
inline void failingCopy(const std::string& dir, int row) {
  std::filesystem::copy(LE_FIXTURE_DIR "/tiny_fail_kp", dir, std::filesystem::copy_options::recursive);
  const std::string table = resolveMember(dir, "xs_target.bin");
  std::vector<float> tmpl = readFloats(table);
  if (tmpl.size() < size_t(row + 1) * kKp) throw std::runtime_error("template too short");
  tmpl[size_t(row) * kKp] = 1000.0f;
  writeFile(table, std::string(reinterpret_cast<const char*>(tmpl.data()), tmpl.size() * sizeof(float)));
}

// Uniform noise in [-amp, amp).
inline std::vector<float> noise(size_t n, unsigned seed, float amp = 0.5f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-amp, amp);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

struct Handle {
  explicit Handle(const std::string& bundle) : a(le_a2x_create(bundle.c_str(), 1)) {
    if (!a) throw std::runtime_error(le_a2x_last_error());
  }
  ~Handle() { le_a2x_destroy(a); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  operator le_a2x*() const { return a; }  // NOLINT: a handle stands for its pointer
  le_a2x* a;
};

// Every frame pulled from a handle, in order.
struct Frames {
  std::vector<int> idx;
  std::vector<float> base, out, wn;

  size_t size() const { return idx.size(); }
  // The model's offset for frame f, channel c (out less the template row).
  float offset(size_t f, int c) const { return out[f * kKp + c] - base[f * kKp + c]; }
  // Pulls in calls of at most 64 frames until none comes.
  void pullAll(le_a2x* a) {
    int i[64];
    float b[64 * kKp], o[64 * kKp], w[64];
    while (const int got = le_a2x_pull_wn(a, i, b, o, w, 64)) {
      idx.insert(idx.end(), i, i + got);
      base.insert(base.end(), b, b + got * kKp);
      out.insert(out.end(), o, o + got * kKp);
      wn.insert(wn.end(), w, w + got);
    }
  }
};

// Pushes pcm in pieces of the given size, pulling after each; then finishes
// and pulls the rest.
inline Frames stream(le_a2x* a, const std::vector<float>& pcm, size_t piece) {
  Frames fr;
  for (size_t at = 0; at < pcm.size(); at += piece) {
    le_a2x_push(a, pcm.data() + at, static_cast<int>(std::min(piece, pcm.size() - at)));
    le_a2x_avail(a);
    fr.pullAll(a);
  }
  le_a2x_finish(a);
  fr.pullAll(a);
  return fr;
}

// le_a2x_deltas_wn over the whole of pcm: ceil(n/640) rows of 63 offsets,
// then (when wn is given) one width value per frame.
inline std::vector<float> deltas(le_a2x* a, const std::vector<float>& pcm, std::vector<float>* wn = nullptr) {
  const int frames = static_cast<int>((pcm.size() + 639) / 640);
  std::vector<float> out(static_cast<size_t>(frames) * kKp);
  if (wn) wn->resize(frames);
  const int n = static_cast<int>(pcm.size());
  const int got = wn ? le_a2x_deltas_wn(a, pcm.data(), n, out.data(), wn->data(), frames)
                     : le_a2x_deltas(a, pcm.data(), n, out.data(), frames);
  if (got != frames) throw std::runtime_error(le_a2x_last_error());
  return out;
}

// How often needle occurs in text.
inline int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace le::test
