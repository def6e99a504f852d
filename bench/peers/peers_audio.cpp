// The audio model families on 3 s of speech, one intra-op thread each:
//   a2x_stream_rtf, motion_stream_rtf: compute time of streaming the
//     utterance in 20 ms pushes (pulling whatever is ready after each), against
//     the utterance's own duration (peer=realtime): speedup is the real-time
//     factor;
//   fca_rtf: the same for the whole-utterance FCA call;
//   a2x_first_row_ms: from pushing the whole utterance at once to the first
//     row pulled, against one video frame period (peer=frame, 40 ms);
//   logmel_window: one analysis window's log-mel block through the FFT
//     against a plain per-bin DFT of the same frames (peer=dft).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/le_logmel.h"
#include "driver/le_files.h"
#include "le/le_a2x.h"
#include "le/le_fca.h"
#include "le/le_motion.h"
#include "peers.h"

namespace {

constexpr int kRate = 16000;
constexpr int kPush = kRate / 50;  // 20 ms
constexpr int kRow = 63;

double durationMs(const std::vector<float>& pcm) { return 1000.0 * double(pcm.size()) / kRate; }

// Pushes pcm in pieces of `push` samples, pulling after each; returns the rows.
template <class Push, class Pull>
int streamAll(const std::vector<float>& pcm, int push, Push pushFn, Pull pullFn) {
  std::vector<int> idx(64);
  std::vector<float> base(64 * kRow), out(64 * kRow);
  int rows = 0;
  for (size_t at = 0; at < pcm.size(); at += push) {
    pushFn(pcm.data() + at, int(std::min<size_t>(push, pcm.size() - at)));
    while (const int n = pullFn(idx.data(), base.data(), out.data(), 64)) rows += n;
  }
  return rows;
}

void a2x(bool firstRow) {
  const char* name = firstRow ? "a2x_first_row_ms" : "a2x_stream_rtf";
  const std::string dir = le::peers::avatarDir();
  const std::vector<float> pcm = le::peers::speech();
  if (!le::peers::audioReady(name, pcm, dir)) return;
  setenv("W2V_ONNX", (dir + "/audio_encoder.onnx").c_str(), 0);
  le_a2x* h = le_a2x_create(dir.c_str(), 1);
  if (!h) {
    std::printf("%s: skipped, %s\n", name, le_a2x_last_error());
    return;
  }
  const std::unique_ptr<le_a2x, void (*)(le_a2x*)> owner(h, le_a2x_destroy);
  std::vector<int> idx(64);
  std::vector<float> base(64 * kRow), out(64 * kRow);
  const auto pull = [&](int* i, float* b, float* o, int max) { return le_a2x_pull(h, i, b, o, max); };
  if (firstRow) {
    const double ms = le::peers::medianMs([&] {
      le_a2x_reset(h, 0, 1, 1);
      le_a2x_push(h, pcm.data(), int(pcm.size()));
      while (le_a2x_pull(h, idx.data(), base.data(), out.data(), 1) == 0) {
      }
    });
    le::peers::report(name, ms, "frame", 40.0);
    return;
  }
  const double ms = le::peers::medianMs([&] {
    le_a2x_reset(h, 0, 1, 1);
    streamAll(pcm, kPush, [&](const float* p, int n) { le_a2x_push(h, p, n); }, pull);
    le_a2x_finish(h);
    while (pull(idx.data(), base.data(), out.data(), 64)) {
    }
  });
  le::peers::report(name, ms, "realtime", durationMs(pcm));
}

void motion() {
  const char* name = "motion_stream_rtf";
  const std::string dir = le::peers::avatarDir();
  const std::vector<float> pcm = le::peers::speech();
  if (!le::peers::audioReady(name, pcm, dir)) return;
  le_motion* h = le_motion_create((dir + "/motion").c_str(), 1, nullptr);
  if (!h) {
    std::printf("%s: skipped, %s\n", name, le_motion_last_error());
    return;
  }
  const std::unique_ptr<le_motion, void (*)(le_motion*)> owner(h, le_motion_destroy);
  std::vector<int> idx(64);
  std::vector<float> base(64 * kRow), out(64 * kRow);
  const auto pull = [&](int* i, float* b, float* o, int max) { return le_motion_pull(h, i, b, o, max); };
  const double ms = le::peers::medianMs([&] {
    le_motion_reset(h, 0, 1, 1);
    streamAll(pcm, kPush, [&](const float* p, int n) { le_motion_push(h, p, n); }, pull);
    le_motion_finish(h);
    while (pull(idx.data(), base.data(), out.data(), 64)) {
    }
  });
  le::peers::report(name, ms, "realtime", durationMs(pcm));
}

void fca() {
  const char* name = "fca_rtf";
  const std::string dir = le::peers::avatarDir();
  const std::vector<float> pcm = le::peers::speech();
  if (!le::peers::audioReady(name, pcm, dir)) return;
  le_fca* h = le_fca_create((dir + "/audio_encoder.onnx").c_str(), (dir + "/fca_stream.onnx").c_str(), 1);
  if (!h) {
    std::printf("%s: skipped, %s\n", name, le_fca_last_error());
    return;
  }
  const std::unique_ptr<le_fca, void (*)(le_fca*)> owner(h, le_fca_destroy);
  std::vector<float> out(pcm.size() / 640 * kRow + kRow);
  const double ms = le::peers::medianMs(
      [&] { le_fca_deltas(h, pcm.data(), int(pcm.size()), out.data(), int(out.size() / kRow)); });
  le::peers::report(name, ms, "realtime", durationMs(pcm));
}

// The same log-mel block with a direct DFT per bin: what the FFT replaces.
class DftLogMel {
 public:
  DftLogMel(std::vector<float> window, std::vector<float> binmat)
      : window_(std::move(window)), binmat_(std::move(binmat)), cos_(size_t(kBins) * kFft), sin_(cos_.size()) {
    for (int k = 0; k < kBins; ++k)
      for (int n = 0; n < kFft; ++n) {
        const double a = 2.0 * M_PI * double(k) * n / kFft;
        cos_[size_t(k) * kFft + n] = float(std::cos(a));
        sin_[size_t(k) * kFft + n] = float(std::sin(a));
      }
  }

  void compute(const float* samples, float* out) {
    using L = le::LogMel;
    std::vector<float> padded(L::kSamples + 2 * L::kPad), frame(kFft), mag(kBins);
    for (int i = 0; i < int(padded.size()); ++i) {
      int j = i - L::kPad;
      if (j < 0) j = -j;
      if (j >= L::kSamples) j = 2 * (L::kSamples - 1) - j;
      padded[i] = samples[j];
    }
    for (int f = 0; f < L::kFrames; ++f) {
      for (int n = 0; n < kFft; ++n) frame[n] = padded[size_t(f) * L::kHop + n] * window_[n];
      for (int k = 0; k < kBins; ++k) {
        float re = 0, im = 0;
        for (int n = 0; n < kFft; ++n) {
          re += frame[n] * cos_[size_t(k) * kFft + n];
          im -= frame[n] * sin_[size_t(k) * kFft + n];
        }
        mag[k] = std::sqrt(re * re + im * im);
      }
      for (int m = 0; m < L::kBands; ++m) {
        float band = 0;
        for (int k = 0; k < kBins; ++k) band += mag[k] * binmat_[size_t(k) * L::kBands + m];
        out[size_t(m) * L::kFrames + f] = std::log(band + 1e-8f);
      }
    }
  }

 private:
  static constexpr int kFft = le::LogMel::kFft, kBins = le::LogMel::kBins;
  std::vector<float> window_, binmat_, cos_, sin_;
};

// Exactly count floats, empty when the table is missing or of another size.
std::vector<float> table(const std::string& path, size_t count) {
  try {
    return le::readRaw<float>(path, count);
  } catch (const std::exception&) {
    return {};
  }
}

void logmel() {
  const char* name = "logmel_window";
  const std::string dir = le::peers::avatarDir();
  const std::vector<float> pcm = le::peers::speech();
  if (!le::peers::audioReady(name, pcm, dir)) return;
  using L = le::LogMel;
  std::vector<float> window = table(dir + "/motion/hubert_stft_window.bin", L::kFft);
  std::vector<float> binmat = table(dir + "/motion/hubert_stft_binmat.bin", size_t(L::kBins) * L::kBands);
  if (window.empty() || binmat.empty()) {
    std::printf("%s: skipped, no motion tables in %s\n", name, dir.c_str());
    return;
  }
  le::LogMel fft(window, binmat);
  DftLogMel dft(window, binmat);
  std::vector<float> a(size_t(L::kBands) * L::kFrames), b(a.size());
  const float* at = pcm.data() + pcm.size() / 2;  // a window of speech
  const double leMs = le::peers::medianMs([&] { fft.compute(at, a.data()); });
  const double dftMs = le::peers::medianMs([&] { dft.compute(at, b.data()); });
  le::peers::report(name, leMs, "dft", dftMs);
}

const le::peers::Register regA2x("a2x_stream_rtf", [] { a2x(false); });
const le::peers::Register regFirst("a2x_first_row_ms", [] { a2x(true); });
const le::peers::Register regMotion("motion_stream_rtf", motion);
const le::peers::Register regFca("fca_rtf", fca);
const le::peers::Register regLogmel("logmel_window", logmel);

}  // namespace
