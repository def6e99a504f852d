// le-render: renders a bundle's idle loop, every drive frame through the
// director and the compositor, into an H.264 mp4 or a directory of PNGs.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/le_image.h"
#include "le/le.h"
#include "le_tool.h"

namespace {

using le::tool::check;

constexpr int kFps = 25;

const char* kUsage =
    "usage: le-render BUNDLE --idle OUT.mp4 [--model-key KEY] [--threads N]\n"
    "       le-render BUNDLE --png DIR [--model-key KEY] [--threads N]\n"
    "Renders every idle-loop frame of BUNDLE (director graph model_KEY.onnx, default key \"render\")\n"
    "pasted into its driver frame: an H.264 mp4 at 25 fps, or DIR/frame_NNNNNN.png.\n"
    "--threads N: director intra-op threads (default: the engine's choice).\n";

// H.264 (libx264, yuv420p) in an mp4 container, fed packed RGBA frames.
class Mp4Writer {
 public:
  Mp4Writer(const std::string& path, int w, int h) : w_(w), h_(h) {
    check(avformat_alloc_output_context2(&fmt_, nullptr, "mp4", path.c_str()), "cannot create mp4 muxer");
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) throw std::runtime_error("this FFmpeg has no libx264 encoder");
    enc_ = avcodec_alloc_context3(codec);
    AVStream* stream = avformat_new_stream(fmt_, nullptr);
    if (!enc_ || !stream) throw std::runtime_error("out of memory");
    enc_->width = w;
    enc_->height = h;
    enc_->pix_fmt = AV_PIX_FMT_YUV420P;
    enc_->time_base = AVRational{1, kFps};
    enc_->framerate = AVRational{kFps, 1};
    enc_->gop_size = 2 * kFps;
    // swscale's RGB -> YUV matrix is BT.601 limited range; say so.
    enc_->colorspace = AVCOL_SPC_SMPTE170M;
    enc_->color_range = AVCOL_RANGE_MPEG;
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(enc_->priv_data, "preset", "veryfast", 0);
    av_opt_set(enc_->priv_data, "crf", "18", 0);
    check(avcodec_open2(enc_, codec, nullptr), "cannot open the H.264 encoder");
    check(avcodec_parameters_from_context(stream->codecpar, enc_), "encoder parameters");
    stream->time_base = enc_->time_base;
    stream_ = stream;
    check(avio_open(&fmt_->pb, path.c_str(), AVIO_FLAG_WRITE), ("cannot write " + path).c_str());
    check(avformat_write_header(fmt_, nullptr), "cannot write the mp4 header");

    sws_ = sws_getContext(w, h, AV_PIX_FMT_RGBA, w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!sws_ || !frame_ || !packet_) throw std::runtime_error("cannot set up RGBA -> yuv420p conversion");
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = w;
    frame_->height = h;
    check(av_frame_get_buffer(frame_, 0), "frame buffer");
  }

  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  ~Mp4Writer() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    sws_freeContext(sws_);
    avcodec_free_context(&enc_);
    if (fmt_ && fmt_->pb) avio_closep(&fmt_->pb);
    avformat_free_context(fmt_);
  }

  void write(const uint8_t* rgba) {
    check(av_frame_make_writable(frame_), "frame buffer");
    const uint8_t* src[1] = {rgba};
    const int stride[1] = {4 * w_};
    sws_scale(sws_, src, stride, 0, h_, frame_->data, frame_->linesize);
    frame_->pts = next_++;
    encode(frame_);
  }

  void finish() {
    encode(nullptr);
    check(av_write_trailer(fmt_), "cannot finish the mp4");
  }

 private:
  void encode(const AVFrame* frame) {
    check(avcodec_send_frame(enc_, frame), "H.264 encoding");
    for (;;) {
      const int err = avcodec_receive_packet(enc_, packet_);
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      check(err, "H.264 encoding");
      if (packet_->duration == 0) packet_->duration = 1;  // one frame: the mp4 then ends after the last one
      av_packet_rescale_ts(packet_, enc_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      check(av_interleaved_write_frame(fmt_, packet_), "cannot write to the mp4");
    }
  }

  int w_, h_;
  int64_t next_ = 0;
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* enc_ = nullptr;
  AVStream* stream_ = nullptr;
  SwsContext* sws_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// One line redrawn in place; only when stderr is a terminal.
class Progress {
 public:
  explicit Progress(int total) : total_(total), tty_(isatty(STDERR_FILENO) == 1) {}

  void update(int done) {
    if (!tty_) return;
    constexpr int kWidth = 40;
    const int filled = total_ ? done * kWidth / total_ : kWidth;
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr, "\r[%s%s] %d/%d frames, %.1f fps", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total_, s > 0 ? done / s : 0.0);
    if (done == total_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  int total_;
  bool tty_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct Options {
  std::string bundle, mp4, pngDir, key = "render";
  int threads = 0;
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
    if (a == "--idle")
      o.mp4 = value();
    else if (a == "--png")
      o.pngDir = value();
    else if (a == "--model-key")
      o.key = value();
    else if (a == "--threads")
      o.threads = std::atoi(value().c_str());
    else if (a == "-h" || a == "--help")
      o.help = true;
    else if (!a.empty() && a[0] != '-' && o.bundle.empty())
      o.bundle = a;
    else
      throw std::invalid_argument("unexpected argument " + a);
  }
  if (!o.help && (o.bundle.empty() || o.mp4.empty() == o.pngDir.empty()))
    throw std::invalid_argument("give a BUNDLE and exactly one of --idle OUT.mp4 or --png DIR");
  return o;
}

int run(const Options& o) {
  le_ctx* ctx = le_create(o.bundle.c_str(), o.key.c_str(), o.threads, nullptr);
  if (!ctx) throw std::runtime_error(le_last_error());
  const std::unique_ptr<le_ctx, void (*)(le_ctx*)> owner(ctx, le_destroy);
  const int frames = le_drive_frames(ctx), w = le_width(ctx), h = le_height(ctx);
  if (frames == 0) throw std::runtime_error(o.bundle + " has no idle-loop frames");

  std::unique_ptr<Mp4Writer> mp4;
  if (!o.mp4.empty())
    mp4 = std::make_unique<Mp4Writer>(o.mp4, w, h);
  else
    std::filesystem::create_directories(o.pngDir);

  Progress progress(frames);
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int d = 0; d < frames; ++d) {
    if (!le_render_drive_rgba(ctx, d, rgba.data(), rgba.size())) throw std::runtime_error(le_last_error());
    if (mp4) {
      mp4->write(rgba.data());
    } else {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06d.png", d);
      le::writePNG(o.pngDir + name, rgba.data(), w, h, 4);
    }
    progress.update(d + 1);
  }
  if (mp4) mp4->finish();
  std::fprintf(stderr, "le-render: %d frames (%dx%d) -> %s\n", frames, w, h, mp4 ? o.mp4.c_str() : o.pngDir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are not ours to print
  return le::tool::runMain("le-render", kUsage, argc, argv, parse, run);
}
