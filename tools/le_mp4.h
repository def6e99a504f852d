// The tools' video file: H.264 (libx264, yuv420p) at 25 fps and, when asked
// for, an AAC track (FFmpeg's own "aac" encoder) of 16 kHz mono speech, muxed
// into an mp4. The file is written under a temporary name beside the output
// and renamed to it by finish(); a writer destroyed before that removes the
// temporary file, so a failed run leaves nothing under the output name.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace le::tool {

constexpr int kFps = 25;

class Mp4Writer {
 public:
  // input: the packed pixel format of the frames given to writeVideo
  // (AV_PIX_FMT_RGB24 or AV_PIX_FMT_RGBA). live: the writer shares the
  // machine with a real-time pipeline, so the encoder takes its fastest
  // preset (a larger file at the same quality) and one thread of the lowest
  // priority: it gets the time the pipeline leaves, and the frames wait in
  // memory meanwhile (writeVideo waits once kLiveQueueBytes are waiting).
  Mp4Writer(const std::string& path, int width, int height, AVPixelFormat input, bool audio, bool live = false);
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;
  ~Mp4Writer();

  // Appends one frame.
  void writeVideo(const uint8_t* pixels);
  // Appends one frame of width x height pixels; a live writer takes the
  // buffer itself and leaves frame another one of the same size.
  void writeVideo(std::vector<uint8_t>& frame);
  // Appends n samples of 16 kHz mono audio (only with an audio track).
  void writeAudio(const float* pcm, size_t n);
  // Flushes both encoders, completes the file and moves it to its name.
  void finish();

  static constexpr size_t kLiveQueueBytes = size_t(2) << 30;

 private:
  // A write waiting for the live encoding thread: a frame, or audio samples.
  struct Item {
    bool video = false;
    std::vector<uint8_t> pixels;
    std::vector<float> pcm;
  };
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
  void encodeVideo(const uint8_t* pixels);
  void toYuv420(const uint8_t* pixels);  // into picture_
  size_t frameBytes() const { return size_t(bytesPerPixel_) * size_t(width_) * size_t(height_); }
  std::vector<uint8_t> spareFrame();  // a frame buffer, reused when the live thread has one
  void appendAudio(const float* pcm, size_t n);
  void enqueue(Item item);
  void encodeQueued();  // the live encoding thread
  void drain();         // waits for the live thread to encode every item; rethrows its failure

  std::string path_, temp_;
  int width_, height_, bytesPerPixel_;
  bool committed_ = false;
  AVFormatContext* fmt_ = nullptr;
  Track video_, audio_;
  AVFrame* picture_ = nullptr;
  AVFrame* samples_ = nullptr;
  AVPacket* packet_ = nullptr;
  int64_t nextFrame_ = 0, nextSample_ = 0;
  std::vector<float> pending_;  // audio not yet a whole encoder frame

  // Live recording: the queue, guarded by mu_, and frame buffers to reuse.
  bool live_ = false;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  std::vector<std::vector<uint8_t>> spare_;
  size_t queuedBytes_ = 0;
  bool closing_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
};

}  // namespace le::tool
