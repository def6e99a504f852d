// teeth_pass_N1024_K64: one frame through the teeth pass with a bank of 1024
// donors and the shipped serve config (K 64, shortlist 512, cut 96), against
// the borrow's share of a frame (8 ms). The stamp is a 512 crop's mouth: a
// 128 x 96 window at (192, 300) around a mouth centred at (256, 348), pad 16,
// donors storing window rows 16..80 and columns 16..112 widened by 8 (patches
// of 112 x 80). Everything runs on le::pool::threads() threads. The two
// retrieval stages are timed on their own against plain scalar loops over the
// same data (they give the same scores), split over the same threads.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "borrow/teeth_pass.h"
#include "kernels/le_pool.h"
#include "kernels/le_simd.h"
#include "peers.h"

namespace {

using le::tessera::TeethPass;

constexpr int kDonors = 1024, kCanvas = 512;
constexpr int32_t kStamp[12] = {kCanvas, kCanvas, 192, 300, 128, 96, 16, 16, 80, 16, 112, 8};
constexpr double kCanonX = 256, kCanonY = 348;
constexpr double kBudgetMs = 8.0;

// An open mouth centred at (cy, cx) of an RGB image: lips around a dark
// interior whose upper part shows teeth of the given brightness.
void drawMouth(uint8_t* rgb, int h, int w, double cy, double cx, double open, double bright, std::mt19937& rng) {
  std::uniform_int_distribution<int> noise(-6, 6);
  const double rx = 44, ry = 8 + 16 * open;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double u = (x - cx) / rx, v = (y - cy) / ry, r = std::sqrt(u * u + v * v);
      int c[3] = {200, 150, 130};  // skin
      if (r < 1.0) {
        const bool teeth = v < -0.1 && v > -0.85;
        c[0] = teeth ? static_cast<int>(bright) : 90;
        c[1] = teeth ? static_cast<int>(bright) - 4 : 30;
        c[2] = teeth ? static_cast<int>(bright) - 12 : 35;
      } else if (r < 1.35) {
        c[0] = 170, c[1] = 90, c[2] = 90;  // lips
      }
      for (int k = 0; k < 3; ++k)
        rgb[(y * w + x) * 3 + k] = static_cast<uint8_t>(std::clamp(c[k] + noise(rng), 0, 255));
    }
}

le::tessera::BankData makeBank() {
  le::tessera::BankData b;
  b.stamp = le::tessera::GeometryStamp::fromArray(kStamp);
  b.n_donors = kDonors;
  b.c_canon[0] = kCanonX;
  b.c_canon[1] = kCanonY;
  const int sh = b.stamp.storedH(), sw = b.stamp.storedW();
  b.bank.resize(static_cast<size_t>(kDonors) * sh * sw * 3);
  std::mt19937 rng(1);
  for (int d = 0; d < kDonors; ++d) {
    const double open = (d % 32) / 31.0, dx = d % 7 - 3, dy = d % 5 - 2;
    // The patch starts at window row band_r0 - margin, column band_c0 - margin.
    drawMouth(b.bank.data() + static_cast<size_t>(d) * sh * sw * 3, sh, sw, 48 - 8 + dy, 64 - 8 + dx, open,
              190 + (d * 37) % 50, rng);
    b.cent.push_back(kCanonX + dx);
    b.cent.push_back(kCanonY + dy);
    b.aperture.push_back(0.2 + open);
  }
  return b;
}

le::tessera::HeadWeights makeHead() {
  std::mt19937 rng(2);
  std::normal_distribution<float> n(0.0f, 0.1f);
  le::tessera::HeadWeights h;
  for (auto [v, count] : {std::pair{&h.cand0_w, 1008}, {&h.cand0_b, 16}, {&h.cand2_w, 2304}, {&h.cand2_b, 16},
                          {&h.cand4_w, 144}, {&h.cand4_b, 1}}) {
    v->resize(count);
    for (float& x : *v) x = n(rng);
  }
  return h;
}

struct Frame {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(kCanvas * kCanvas * 3);
  std::vector<uint8_t> mask = std::vector<uint8_t>(kCanvas * kCanvas);
  int32_t shift[2] = {0, 0};
};

// Eight frames of a mouth opening and closing, moving by a pixel or two.
std::vector<Frame> makeFrames() {
  std::vector<Frame> frames(8);
  std::mt19937 rng(3);
  for (int i = 0; i < 8; ++i) {
    Frame& f = frames[i];
    f.shift[0] = i % 3 - 1;
    f.shift[1] = i % 4 - 2;
    const double cy = kCanonY + f.shift[0], cx = kCanonX + f.shift[1];
    drawMouth(f.rgb.data(), kCanvas, kCanvas, cy, cx, 0.5 + 0.5 * std::sin(i * 0.8), 220, rng);
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        const double u = (x - cx) / 56, v = (y - cy) / 34, r = std::sqrt(u * u + v * v);
        f.mask[y * kCanvas + x] = static_cast<uint8_t>(std::lround(255 * std::clamp((1 - r) * 6, 0.0, 1.0)));
      }
  }
  return frames;
}

// Plain scalar forms of the two retrieval scores.
class Scalar {
 public:
  Scalar() : widen_(65536) {
    for (uint32_t i = 0; i < widen_.size(); ++i) widen_[i] = le::f16ToF32(static_cast<uint16_t>(i));
  }

  float h(float v) const { return widen_[le::f32ToF16(v)]; }

  void pooled(const TeethPass& pass, const TeethPass::RetrieveWork& w, size_t cells, float* score) const {
    le::pool::parallelRange(kDonors, 1, [&](size_t b, size_t e) {
      for (size_t d = b; d < e; ++d) {
        const uint16_t* a = pass.pooledIndex(static_cast<int32_t>(d));
        float total = 0;
        for (size_t i = 0; i < cells; ++i) {
          float s = 0;
          for (size_t k = 0; k < 3; ++k)
            s += std::fabs(h(widen_[a[k * cells + i]] - widen_[w.pooled_query[k * cells + i]]));
          total += h(h(s / 3.0f) * widen_[w.pooled_weights[i]]);
        }
        score[d] = h(total) / w.pooled_weight_sum;
      }
    });
  }

  void exact(const le::tessera::BankData& bank, const TeethPass::RetrieveWork& w, const int32_t* donors, size_t n,
             float* score) const {
    const le::tessera::GeometryStamp& s = bank.stamp;
    const int sh = s.storedH(), sw = s.storedW();
    le::pool::parallelRange(n, 1, [&](size_t b, size_t e) {
      for (size_t j = b; j < e; ++j) {
        const int d = donors[j];
        const int sy = static_cast<int>(std::rint(bank.cent[2 * d + 1] - bank.c_canon[1]));
        const int sx = static_cast<int>(std::rint(bank.cent[2 * d] - bank.c_canon[0]));
        const int row = std::clamp(s.pad + sy, 0, 2 * s.pad) - (s.band_r0 + s.pad - s.shift_margin);
        const int col = std::clamp(s.pad + sx, 0, 2 * s.pad) - (s.band_c0 + s.pad - s.shift_margin);
        const uint8_t* patch = bank.bank.data() + static_cast<size_t>(d) * sh * sw * 3;
        float total = 0;
        for (int y = w.r0; y < w.r1; ++y)
          for (int x = 0; x < s.window_w; ++x) {
            const size_t i = static_cast<size_t>(y) * s.window_w + x;
            if (w.weights[i] == 0.0f) continue;
            const int r = y + row, c = x + col;
            const bool in = r >= 0 && r < sh && c >= 0 && c < sw;
            float sum = 0;
            for (int k = 0; k < 3; ++k) {
              const int q = in ? patch[(r * sw + c) * 3 + k] : 0;
              sum += h(std::fabs(h(w.rgb[i * 3 + k] / 255.0f) - h(q / 255.0f)));
            }
            total += w.weights[i] * h(sum / 3.0f);
          }
        score[j] = total / w.weight_sum;
      }
    });
  }

 private:
  std::vector<float> widen_;
};

const le::peers::Register teeth("teeth_pass_N1024_K64", [] {
  const std::string name = "teeth_pass_N1024_K64";
  const le::tessera::BankData bank = makeBank();
  TeethPass pass(bank, makeHead(), le::tessera::ServeConfig{});
  const std::vector<Frame> frames = makeFrames();

  int64_t index = 0;
  le::tessera::FrameResult out;
  const double leMs = le::peers::medianMs([&] {
    const Frame& f = frames[index % frames.size()];
    pass.push(index++, f.rgb.data(), f.mask.data(), f.shift, out);
  });
  le::peers::report(name, leMs, "budget", kBudgetMs);

  // The stages on one prepared frame.
  TeethPass::RetrieveWork work;
  pass.retrievePrepare(frames[1].rgb.data(), frames[1].mask.data(), frames[1].shift[0], frames[1].shift[1], work);
  const size_t cells = static_cast<size_t>(bank.stamp.window_h / 4) * (bank.stamp.window_w / 4);
  const Scalar scalar;
  std::vector<float> pooled(kDonors), reference(kDonors);
  const double pooledMs = le::peers::medianMs([&] { pass.scorePooled(work, pooled.data()); });
  const double pooledScalarMs = le::peers::medianMs([&] { scalar.pooled(pass, work, cells, reference.data()); });
  le::peers::report(name + "_pooled", pooledMs, "scalar", pooledScalarMs);

  std::vector<int32_t> shortlist(kDonors);
  for (int32_t d = 0; d < kDonors; ++d) shortlist[d] = d;
  std::stable_sort(shortlist.begin(), shortlist.end(), [&](int32_t a, int32_t b) { return pooled[a] < pooled[b]; });
  shortlist.resize(le::tessera::ServeConfig{}.kshort);
  std::vector<float> exact(shortlist.size()), exactRef(shortlist.size());
  const double exactMs =
      le::peers::medianMs([&] { pass.scoreExact(work, shortlist.data(), shortlist.size(), exact.data()); });
  const double exactScalarMs = le::peers::medianMs(
      [&] { scalar.exact(bank, work, shortlist.data(), shortlist.size(), exactRef.data()); });
  le::peers::report(name + "_exact", exactMs, "scalar", exactScalarMs);
});

}  // namespace
