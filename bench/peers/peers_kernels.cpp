// Our colour conversion against libyuv and libswscale on a whole 1080p
// frame, and our half conversions against copying the f32 array; one thread
// everywhere.
#include <libyuv.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "kernels/le_simd.h"
#include "peers.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kW = 1920, kH = 1080;

struct I420Frame {
  std::vector<uint8_t> y, u, v, rgb;
  I420Frame() : y(size_t{kW} * kH), u(size_t{kW / 2} * (kH / 2)), v(u.size()), rgb(size_t{3} * kW * kH) {
    std::mt19937 rng(1);
    for (auto* p : {&y, &u, &v})
      for (auto& b : *p) b = static_cast<uint8_t>(rng());
  }
};

void leFrame(I420Frame& f) {
  for (int r = 0; r < kH; ++r) {
    const size_t c = size_t{kW / 2} * (r / 2);
    le::simd::yuv420RowToRgb24(f.y.data() + size_t{kW} * r, f.u.data() + c, f.v.data() + c, kW, 1,
                               f.rgb.data() + size_t{3} * kW * r);
  }
}

// YUV420P -> RGB24, BT.601 limited range, single-threaded.
SwsContext* makeSws() {
  SwsContext* ctx = sws_alloc_context();
  if (!ctx) throw std::runtime_error("sws_alloc_context");
  av_opt_set_int(ctx, "srcw", kW, 0);
  av_opt_set_int(ctx, "srch", kH, 0);
  av_opt_set_int(ctx, "src_format", AV_PIX_FMT_YUV420P, 0);
  av_opt_set_int(ctx, "dstw", kW, 0);
  av_opt_set_int(ctx, "dsth", kH, 0);
  av_opt_set_int(ctx, "dst_format", AV_PIX_FMT_RGB24, 0);
  av_opt_set_int(ctx, "sws_flags", SWS_BILINEAR, 0);
  av_opt_set_int(ctx, "threads", 1, 0);
  if (sws_init_context(ctx, nullptr, nullptr) < 0) {
    sws_freeContext(ctx);
    throw std::runtime_error("sws_init_context");
  }
  const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
  sws_setColorspaceDetails(ctx, bt601, 0, bt601, 1, 0, 1 << 16, 1 << 16);
  return ctx;
}

const le::peers::Register yuvPeers("yuv420_rgb24_1080p", [] {
  I420Frame f;
  const double leMs = le::peers::medianMs([&] { leFrame(f); });
  const double yuvMs = le::peers::medianMs([&] {
    libyuv::I420ToRAW(f.y.data(), kW, f.u.data(), kW / 2, f.v.data(), kW / 2, f.rgb.data(), 3 * kW, kW, kH);
  });
  le::peers::report("yuv420_rgb24_1080p", leMs, "libyuv", yuvMs);
  SwsContext* sws = makeSws();
  const uint8_t* src[3] = {f.y.data(), f.u.data(), f.v.data()};
  const int srcStride[3] = {kW, kW / 2, kW / 2};
  uint8_t* dst[1] = {f.rgb.data()};
  const int dstStride[1] = {3 * kW};
  const double swsMs = le::peers::medianMs([&] { sws_scale(sws, src, srcStride, 0, kH, dst, dstStride); });
  sws_freeContext(sws);
  le::peers::report("yuv420_rgb24_1080p", leMs, "swscale", swsMs);
});

constexpr size_t kCount = size_t{16} << 20;  // 64 MB of f32

// Copying the f32 array is the floor a conversion of it can hope for.
double memcpyMs() {
  std::vector<float> a(kCount, 1.0f), b(kCount);
  return le::peers::medianMs([&] { std::memcpy(b.data(), a.data(), kCount * sizeof(float)); });
}

const le::peers::Register f16ToF32Peer("f16_to_f32_64MB", [] {
  std::vector<uint16_t> half(kCount);
  for (size_t i = 0; i < kCount; ++i) half[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
  std::vector<float> out(kCount);
  const double leMs = le::peers::medianMs([&] { le::simd::f16ToF32(half.data(), out.data(), kCount); });
  le::peers::report("f16_to_f32_64MB", leMs, "memcpy", memcpyMs());
});

const le::peers::Register f32ToF16Peer("f32_to_f16_64MB", [] {
  std::vector<float> in(kCount);
  std::mt19937 rng(2);
  std::normal_distribution<float> dist(0.0f, 100.0f);
  for (auto& x : in) x = dist(rng);
  std::vector<uint16_t> out(kCount);
  const double leMs = le::peers::medianMs([&] { le::simd::f32ToF16(in.data(), out.data(), kCount); });
  le::peers::report("f32_to_f16_64MB", leMs, "memcpy", memcpyMs());
});

}  // namespace
