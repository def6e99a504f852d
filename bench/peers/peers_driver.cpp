// The driver cursor over a 1080p H.264 member against the plain decode loop
// a host would write: libavcodec with the same frame threads, then
// sws_scale to packed RGB24. Both read the whole member once per timed call.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/le_driver.h"
#include "peers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kW = 1920, kH = 1080, kFrames = 100, kDecoderThreads = 4;

std::string member() {
  const std::string dir = "/tmp/le-peers";
  const std::string path = dir + "/driver_1080p_h264.mp4";
  if (!std::filesystem::exists(path)) {
    std::filesystem::create_directories(dir);
    const std::string cmd = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 "
                            "-frames:v 100 -pix_fmt yuv420p -c:v libx264 " + path + ".part.mp4 && mv " + path +
                            ".part.mp4 " + path;
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("could not make " + path);
  }
  return path;
}

void check(int r, const char* what) {
  if (r < 0) throw std::runtime_error(what);
}

// Decodes every frame of the member to RGB24; returns the frame count.
int decodeLoop(const std::string& path, std::vector<uint8_t>& rgb) {
  AVFormatContext* fmt = nullptr;
  check(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), "open");
  check(avformat_find_stream_info(fmt, nullptr), "stream info");
  const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  check(stream, "video stream");
  const AVCodecParameters* par = fmt->streams[stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  check(avcodec_parameters_to_context(dec, par), "parameters");
  dec->thread_count = kDecoderThreads;
  dec->thread_type = FF_THREAD_FRAME;
  check(avcodec_open2(dec, codec, nullptr), "decoder");
  SwsContext* sws =
      sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  uint8_t* dst[1] = {rgb.data()};
  const int dstStride[1] = {kW * 3};
  int frames = 0;
  bool flushed = false;
  for (;;) {
    const int r = avcodec_receive_frame(dec, frame);
    if (r == 0) {
      sws_scale(sws, frame->data, frame->linesize, 0, kH, dst, dstStride);
      ++frames;
      continue;
    }
    if (r == AVERROR_EOF) break;
    check(r == AVERROR(EAGAIN) ? 0 : r, "decode");
    if (flushed) break;
    if (av_read_frame(fmt, pkt) < 0) {
      avcodec_send_packet(dec, nullptr);
      flushed = true;
    } else {
      if (pkt->stream_index == stream) avcodec_send_packet(dec, pkt);
      av_packet_unref(pkt);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  sws_freeContext(sws);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return frames;
}

void run() {
  const std::string path = member();
  // Software decoding on both sides, with the same frame threads.
  setenv("LE_DRIVER_HWDEC", "0", 1);
  auto cursor = le::DriverCursor::over(le::driver::openMp4(path, kFrames, kW, kH), 2, 11);
  unsetenv("LE_DRIVER_HWDEC");
  size_t sink = 0;
  const double leMs = le::peers::medianMs([&] {
    for (int i = 0; i < kFrames; ++i) {
      int index = -1;
      sink += cursor->pull(&index)[0];
    }
  });
  std::vector<uint8_t> rgb(size_t{kW} * kH * 3);
  const double peerMs = le::peers::medianMs([&] {
    if (decodeLoop(path, rgb) != kFrames) throw std::runtime_error("peer decoded a different frame count");
  });
  if (sink == SIZE_MAX) std::puts("");
  le::peers::report("driver_1080p_h264", leMs / kFrames, "libavcodec+swscale", peerMs / kFrames);
}

const le::peers::Register reg("driver_1080p_h264", run);

}  // namespace
