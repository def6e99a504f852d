#include "borrow/bank_decode.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "driver/le_files.h"
#include "kernels/le_checked.h"

namespace le::tessera {

namespace {

constexpr int kIoBufferBytes = 65536;

// Every FFmpeg object of one decode; the destructor frees whatever was made,
// so each refusal leaves nothing behind.
struct Decode {
  MemCursor cursor;
  uint8_t* ioBuffer = nullptr;  // ours until the I/O context takes it over
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);  // a custom pb stays ours
    // The I/O context may have replaced the buffer it was given.
    if (io) ioBuffer = io->buffer;
    av_freep(&ioBuffer);
    if (io) io->buffer = nullptr;
    avio_context_free(&io);
  }
};

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

}  // namespace

int memRead(void* opaque, uint8_t* buf, int n) {
  auto* c = static_cast<MemCursor*>(opaque);
  if (c->pos >= c->size) return AVERROR_EOF;
  const int64_t take = std::min<int64_t>(c->size - c->pos, std::max(n, 0));
  std::memcpy(buf, c->data + c->pos, static_cast<size_t>(take));
  c->pos += take;
  return static_cast<int>(take);
}

int64_t memSeek(void* opaque, int64_t offset, int whence) {
  auto* c = static_cast<MemCursor*>(opaque);
  if (whence == AVSEEK_SIZE) return c->size;
  // A forced seek is a seek like any other on memory.
  int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = c->pos + offset; break;
    case SEEK_END: target = c->size + offset; break;
    default: return -1;
  }
  if (target < 0 || target > c->size) return -1;
  c->pos = target;
  return target;
}

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int h, int w,
                                     const std::vector<int32_t>& track_order) {
  if (!data || size == 0) refuse("reference bank track is empty — refusing to serve");
  if (h <= 0 || w <= 0 || n < 1) refuse("reference bank geometry is not positive — refusing to serve");
  if (track_order.size() != static_cast<size_t>(n))
    refuse("reference bank sidecar track_order has " + std::to_string(track_order.size()) + " entries, expected " +
           std::to_string(n) + " — sidecar/track mismatch, refusing to serve");

  Decode d;
  d.cursor = MemCursor{data, static_cast<int64_t>(size), 0};
  d.ioBuffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (!d.ioBuffer) refuse("reference bank decode: out of memory");
  d.io = avio_alloc_context(d.ioBuffer, kIoBufferBytes, 0, &d.cursor, memRead, nullptr, memSeek);
  if (!d.io) refuse("reference bank decode: avio_alloc_context failed");

  d.fmt = avformat_alloc_context();
  if (!d.fmt) refuse("reference bank decode: avformat_alloc_context failed");
  d.fmt->pb = d.io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure the format context is freed and the pointer cleared.
  if (avformat_open_input(&d.fmt, nullptr, nullptr, nullptr) < 0)
    refuse("reference bank track is not a readable container — refusing to serve");
  if (avformat_find_stream_info(d.fmt, nullptr) < 0)
    refuse("reference bank track carries no stream info — refusing to serve");

  int video = -1;
  for (unsigned i = 0; i < d.fmt->nb_streams; ++i)
    if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      video = static_cast<int>(i);
      break;
    }
  if (video < 0) refuse("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[video]->codecpar;
  if (par->width != w || par->height != h)
    refuse("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(w) + "x" + std::to_string(h) +
           " — geometry mismatch, refusing to serve");

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    refuse(
        "no decoder for the reference bank track — this build must carry the h264 decoder (see "
        "build_ffmpeg_android); refusing to serve");
  d.dec = avcodec_alloc_context3(codec);
  if (!d.dec) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(d.dec, par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  d.dec->thread_count = 1;  // frames come out on this thread, in order
  if (avcodec_open2(d.dec, codec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder — refusing to serve");
  d.pkt = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.pkt || !d.frame) refuse("reference bank decode: out of memory");

  const size_t patch = static_cast<size_t>(w) * static_cast<size_t>(h) * 3;
  size_t total = 0;
  if (!checkedProduct({patch, static_cast<size_t>(n)}, &total)) refuse("reference bank decode: out of memory");
  std::vector<uint8_t> out;
  try {
    out.assign(total, 0);
  } catch (const std::exception&) {  // bad_alloc, or length_error past the largest vector
    refuse("reference bank decode: out of memory");
  }
  std::vector<bool> seen(static_cast<size_t>(n), false);
  for (const int32_t t : track_order) {
    if (t < 0 || t >= n) refuse("reference bank track_order is out of range — refusing to serve");
    if (seen[static_cast<size_t>(t)]) refuse("reference bank track_order is not a permutation — refusing to serve");
    seen[static_cast<size_t>(t)] = true;
  }

  int count = 0;
  bool draining = false;
  for (;;) {
    if (!draining) {
      if (av_read_frame(d.fmt, d.pkt) < 0) {
        avcodec_send_packet(d.dec, nullptr);
        draining = true;
      } else {
        // A packet the decoder rejects is no error here: the frame count says
        // what was lost.
        if (d.pkt->stream_index == video) avcodec_send_packet(d.dec, d.pkt);
        av_packet_unref(d.pkt);
      }
    }
    while (avcodec_receive_frame(d.dec, d.frame) >= 0) {
      if (d.frame->width != w || d.frame->height != h)
        refuse("reference bank frame changed size mid-track — refusing to serve");
      if (!d.sws) {
        d.sws = sws_getContext(w, h, static_cast<AVPixelFormat>(d.frame->format), w, h, AV_PIX_FMT_RGB24,
                               SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!d.sws) refuse("reference bank decode: no rgb24 conversion — refusing to serve");
      }
      if (count >= n)
        refuse(
            "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to "
            "serve");
      uint8_t* dst[4] = {out.data() + static_cast<size_t>(track_order[static_cast<size_t>(count)]) * patch, nullptr,
                         nullptr, nullptr};
      const int dstStride[4] = {w * 3, 0, 0, 0};
      sws_scale(d.sws, d.frame->data, d.frame->linesize, 0, h, dst, dstStride);
      ++count;
      av_frame_unref(d.frame);
    }
    // Once drained, the decoder has nothing more to give, whatever it answers.
    if (draining) break;
  }

  if (count != n)
    refuse("bank track decoded to " + std::to_string(count) + " frames, expected " + std::to_string(n) +
           " — geometry/N mismatch, refusing to serve");
  return out;
}

std::string bankDecoderBuild() {
  const char* config = avcodec_configuration();
  return std::string("libavcodec ") + AV_STRINGIFY(LIBAVCODEC_VERSION) + " / " + (config ? config : "");
}

BankData bankFromMembers(const TesseraAttachInputs& in) {
  const std::string track = le::readFile(in.bank_track_path);
  const std::vector<uint8_t> bank = decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(),
                                                    in.n_donors, in.band_h, in.band_w, in.track_order);
  return BankData::fromArrays(bank.data(), in.n_donors, in.cent.data(), in.c_canon.data(), in.aperture.data(),
                              in.stamp.data());
}

}  // namespace le::tessera
