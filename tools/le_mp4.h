// The tools' video file: H.264 (libx264, yuv420p) at 25 fps and, when asked
// for, an AAC track (FFmpeg's own "aac" encoder) of 16 kHz mono speech, muxed
// into an mp4. The file is written under a temporary name beside the output
// and renamed to it by finish(); a writer destroyed before that removes the
// temporary file, so a failed run leaves nothing under the output name.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;
struct SwsContext;

namespace le::tool {

constexpr int kFps = 25;

class Mp4Writer {
 public:
  // input: the packed pixel format of the frames given to writeVideo
  // (AV_PIX_FMT_RGB24 or AV_PIX_FMT_RGBA). live: the writer shares the
  // machine with a real-time pipeline, so the encoder takes its fastest
  // preset (a larger file at the same quality) and one thread.
  Mp4Writer(const std::string& path, int width, int height, AVPixelFormat input, bool audio, bool live = false);
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;
  ~Mp4Writer();

  // Appends one frame.
  void writeVideo(const uint8_t* pixels);
  // Appends n samples of 16 kHz mono audio (only with an audio track).
  void writeAudio(const float* pcm, size_t n);
  // Flushes both encoders, completes the file and moves it to its name.
  void finish();

 private:
  struct Track {
    AVCodecContext* enc = nullptr;
    AVStream* stream = nullptr;
    const char* label = "";  // "H.264" or "AAC", for error texts
  };
  // The encoder named encoder and its stream in the muxer, to be configured
  // and then opened by openTrack.
  void addTrack(Track& track, const char* encoder, const char* label);
  void openTrack(Track& track);
  void release();  // frees everything; removes the temporary file unless finished
  void encode(Track& track, const AVFrame* frame);
  void encodeAudio(size_t n);

  std::string path_, temp_;
  int width_, height_, bytesPerPixel_;
  bool committed_ = false;
  AVFormatContext* fmt_ = nullptr;
  Track video_, audio_;
  SwsContext* sws_ = nullptr;
  AVFrame* picture_ = nullptr;
  AVFrame* samples_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t nextFrame_ = 0, nextSample_ = 0;
  std::vector<float> pending_;  // audio not yet a whole encoder frame
};

}  // namespace le::tool
