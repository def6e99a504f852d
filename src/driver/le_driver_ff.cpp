// Video members decoded in place with libavformat/libavcodec, one frame per
// call, straight into the caller's buffer; and what the linked FFmpeg
// reports about itself, for diagnostics.
#include <dlfcn.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "driver/le_driver.h"
#include "kernels/le_simd.h"

namespace le::driver {
namespace {

constexpr const char* kHwDecoder = "h264_cuvid";
constexpr int kSoftwareThreads = 4;

std::string errText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// FFmpeg's hardware wrapper logs errors of its own when the video driver
// library is missing; looking for it first leaves such machines with our one
// refusal line.
bool cudaVideoPresent() {
  static const bool present = [] {
    void* lib = dlopen("libnvcuvid.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (lib) dlclose(lib);
    return lib != nullptr;
  }();
  return present;
}

uint8_t clamp255(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

class FfSource final : public Source {
 public:
  enum Mode { kCanvas = 0, kPrior = 1 };

  FfSource(Mode mode, std::string path, int nt, int w, int h) : mode_(mode), path_(std::move(path)), nt_(nt), w_(w), h_(h) {
    if (mode_ == kPrior)
      for (int i = 0; i < 256; ++i) half_[i] = le::f32ToF16(static_cast<float>(i) / 255.0f);
    try {
      openMember();
    } catch (...) {
      close();
      throw;
    }
  }
  ~FfSource() override { close(); }

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  size_t frameBytes() const override { return static_cast<size_t>(w_) * h_ * (mode_ == kPrior ? 6 : 3); }
  bool next(uint8_t* out) override { return decode(out); }
  std::string name() const override { return name_; }

  void rewind() override {
    if (fmt_ && dec_ && av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(dec_);
      draining_ = false;
      position_ = 0;
      return;
    }
    // The demuxer cannot go back: start over from a fresh open.
    close();
    openMember();
  }

  void seek(int i) override {
    checkSeekTarget(i, nt_);
    if (position_ > i) rewind();
    while (position_ < i)
      if (!decode(nullptr))
        throw std::runtime_error("le_driver: " + path_ + " ended at frame " + std::to_string(position_) +
                                 " while seeking to " + std::to_string(i));
  }

  size_t residentBytes() const override {
    const size_t pixels = static_cast<size_t>(w_) * h_;
    const size_t decoded = mode_ == kPrior ? pixels * 3 : pixels * 3 / 2;
    const int threads = threads_.load(std::memory_order_relaxed);
    const size_t factor = threads > 0 ? static_cast<size_t>(threads) + 5 : 6;
    return decoded * factor + maxPacket_.load(std::memory_order_relaxed);
  }

 private:
  std::string refusal(const std::string& what) const { return "le_driver: " + path_ + " " + what; }

  void openMember() {
    if (avformat_open_input(&fmt_, path_.c_str(), nullptr, nullptr) < 0)
      throw std::runtime_error(refusal("is not a readable container"));
    if (avformat_find_stream_info(fmt_, nullptr) < 0) throw std::runtime_error(refusal("carries no stream info"));
    stream_ = -1;
    for (unsigned s = 0; s < fmt_->nb_streams; ++s) {
      if (fmt_->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        stream_ = static_cast<int>(s);
        break;
      }
    }
    if (stream_ < 0) throw std::runtime_error(refusal("has no video stream"));
    const AVStream* st = fmt_->streams[stream_];
    const AVCodecParameters* par = st->codecpar;
    if (par->width != w_ || par->height != h_)
      throw std::runtime_error(refusal("is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
                                       ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) +
                                       " \u2014 refusing to rescale the driver"));
    if (st->nb_frames > 0 && st->nb_frames != nt_)
      throw std::runtime_error(refusal("carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" +
                                       std::to_string(nt_) + " \u2014 member/manifest mismatch, refusing"));

    const AVCodec* codec = nullptr;
    const char* hwdec = std::getenv("LE_DRIVER_HWDEC");
    if (hwdec && std::strcmp(hwdec, "0") == 0) {
      std::fprintf(stderr,
                   "[le-driver] LE_DRIVER_HWDEC=0 \u2014 %s not attempted; the software decoder is the one decoder on "
                   "this fleet (same samples)\n",
                   kHwDecoder);
    } else if (mode_ == kCanvas && par->codec_id == AV_CODEC_ID_H264) {
      if (const AVCodec* hw = avcodec_find_decoder_by_name(kHwDecoder)) {
        allocDecoder(hw, par);
        dec_->thread_count = 1;
        if (!cudaVideoPresent() || avcodec_open2(dec_, hw, nullptr) < 0) {
          avcodec_free_context(&dec_);
          std::fprintf(stderr,
                       "[le-driver] %s refused %s \u2014 falling back to the software h264 decoder (same samples, "
                       "more CPU)\n",
                       kHwDecoder, path_.c_str());
        } else {
          codec = hw;
        }
      }
    }
    if (!dec_) {
      codec = avcodec_find_decoder(par->codec_id);
      if (!codec)
        throw std::runtime_error("le_driver: no decoder for " + path_ + " (codec id " +
                                 std::to_string(static_cast<int>(par->codec_id)) + ")");
      allocDecoder(codec, par);
      dec_->thread_count = kSoftwareThreads;
      dec_->thread_type = FF_THREAD_FRAME;
      if (avcodec_open2(dec_, codec, nullptr) < 0)
        throw std::runtime_error("le_driver: could not open the decoder for " + path_);
    }
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!pkt_ || !frame_) throw std::runtime_error("le_driver: out of memory");
    position_ = 0;
    draining_ = false;
    threads_.store(std::max(1, dec_->thread_count), std::memory_order_relaxed);
    name_ = std::string(mode_ == kPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") + libavcodecVersion() + " " +
            codec->name;
  }

  void allocDecoder(const AVCodec* codec, const AVCodecParameters* par) {
    dec_ = avcodec_alloc_context3(codec);
    if (!dec_) throw std::runtime_error("le_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(dec_, par) < 0)
      throw std::runtime_error("le_driver: avcodec_parameters_to_context failed");
  }

  void close() {
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
    stream_ = -1;
    threads_.store(0, std::memory_order_relaxed);
  }

  // Delivers the next frame into out, or only decodes it when out is null.
  bool decode(uint8_t* out) {
    for (;;) {
      int r = avcodec_receive_frame(dec_, frame_);
      if (r >= 0) {
        if (out) convert(out);
        av_frame_unref(frame_);
        ++position_;
        return true;
      }
      if (r == AVERROR_EOF) return false;
      if (r != AVERROR(EAGAIN))
        throw std::runtime_error(refusal("decode fault at frame " + std::to_string(position_) + " (" + errText(r) +
                                         ")"));
      if (draining_) return false;
      r = av_read_frame(fmt_, pkt_);
      if (r == AVERROR_EOF) {
        draining_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (r < 0) throw std::runtime_error(refusal("read fault (" + errText(r) + ")"));
      if (pkt_->stream_index == stream_) {
        if (static_cast<size_t>(pkt_->size) > maxPacket_.load(std::memory_order_relaxed))
          maxPacket_.store(static_cast<size_t>(pkt_->size), std::memory_order_relaxed);
        r = avcodec_send_packet(dec_, pkt_);
        av_packet_unref(pkt_);
        if (r < 0 && r != AVERROR(EAGAIN)) throw std::runtime_error(refusal("packet refused (" + errText(r) + ")"));
      } else {
        av_packet_unref(pkt_);
      }
    }
  }

  // Checks the decoded frame against what the member must hold, then
  // converts it into out.
  void convert(uint8_t* out) const {
    const AVFrame* f = frame_;
    if (f->width != w_ || f->height != h_) throw std::runtime_error(refusal("changed size mid-stream \u2014 refusing"));
    const auto fmt = static_cast<AVPixelFormat>(f->format);
    const char* fmtName = av_get_pix_fmt_name(fmt);
    const std::string shown = fmtName ? fmtName : "?";
    if (mode_ == kPrior) {
      if (fmt != AV_PIX_FMT_YUV444P)
        throw std::runtime_error(refusal("decoded to " + shown +
                                         ", not the yuv444p a warp prior is authored in \u2014 a subsampled prior is "
                                         "a different mouth, refusing"));
      convertPrior(reinterpret_cast<uint16_t*>(out));
      return;
    }
    if (fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_NV12)
      throw std::runtime_error(refusal("decoded to " + shown +
                                       ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) "
                                       "\u2014 refusing rather than pasting onto a different pixel domain"));
    const bool nv12 = fmt == AV_PIX_FMT_NV12;
    const size_t rowBytes = static_cast<size_t>(w_) * 3;
    for (int y = 0; y < h_; ++y) {
      const uint8_t* luma = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
      const uint8_t* u = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1];
      const uint8_t* v = nv12 ? u + 1 : f->data[2] + static_cast<ptrdiff_t>(y / 2) * f->linesize[2];
      simd::yuv420RowToRgb24(luma, u, v, w_, nv12 ? 2 : 1, out + y * rowBytes);
    }
  }

  // Limited-range BT.601 in 16-bit fixed point, then value/255 as a half.
  void convertPrior(uint16_t* out) const {
    const AVFrame* f = frame_;
    const size_t plane = static_cast<size_t>(w_) * h_;
    for (int y = 0; y < h_; ++y) {
      const uint8_t* ys = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
      const uint8_t* us = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
      const uint8_t* vs = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
      uint16_t* r = out + static_cast<size_t>(y) * w_;
      uint16_t* g = r + plane;
      uint16_t* b = g + plane;
      for (int x = 0; x < w_; ++x) {
        const int c = (ys[x] - 16) * 76312, d = us[x] - 128, e = vs[x] - 128;
        r[x] = half_[clamp255((c + 104600 * e + 32768) >> 16)];
        g[x] = half_[clamp255((c - 25672 * d - 53280 * e + 32768) >> 16)];
        b[x] = half_[clamp255((c + 132200 * d + 32768) >> 16)];
      }
    }
  }

  const Mode mode_;
  const std::string path_;
  const int nt_, w_, h_;
  uint16_t half_[256] = {};
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  bool draining_ = false;
  int position_ = 0;
  // Read by residentBytes() from other threads.
  std::atomic<size_t> maxPacket_{0};
  std::atomic<int> threads_{0};
  std::string name_;
};

}  // namespace

std::unique_ptr<Source> openMp4(const std::string& path, int nt, int w, int h) {
  return std::make_unique<FfSource>(FfSource::kCanvas, path, nt, w, h);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int nt, int side) {
  return std::make_unique<FfSource>(FfSource::kPrior, path, nt, side, side);
}

}  // namespace le::driver

namespace le {

std::string libavcodecVersion() {
  const unsigned v = avcodec_version();
  return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." + std::to_string(v & 0xff);
}

std::string movieDecoderBuild() {
  std::string text = "libavcodec " + libavcodecVersion();
  const char* config = avcodec_configuration();
  if (config && *config) text += std::string(" / ") + config;
  return text;
}

}  // namespace le
