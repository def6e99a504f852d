#include "le_mp4.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}
#include <libyuv.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "le_speech.h"
#include "le_tool.h"

namespace le::tool {

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, AVPixelFormat input, bool audio, bool live)
    : path_(path), width_(width), height_(height), bytesPerPixel_(input == AV_PIX_FMT_RGBA ? 4 : 3) {
  // A hidden name of our own beside the output (so that the rename stays on
  // one file system), created with the mode the output would get.
  const std::filesystem::path out(path);
  std::random_device random;
  for (int tries = 0; temp_.empty(); ++tries) {
    // (appended piece by piece: GCC 12 at -O3 misreads "." + string as overlapping)
    std::string hidden(".");
    hidden.append(out.filename().string()).append(".").append(std::to_string(random() % 1000000)).append(".part");
    const std::string name = (out.parent_path() / hidden).string();
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      temp_ = name;
    } else if (errno != EEXIST || tries == 100) {
      throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
  }
  try {
    check(avformat_alloc_output_context2(&fmt_, nullptr, "mp4", nullptr), "cannot create the mp4 muxer");
    addTrack(video_, "libx264", "H.264");
    AVCodecContext* v = video_.enc;
    v->width = width;
    v->height = height;
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->time_base = AVRational{1, kFps};
    v->framerate = AVRational{kFps, 1};
    v->gop_size = 2 * kFps;
    // The RGB -> YUV matrix below (toYuv420) is BT.601 limited range; say so.
    v->colorspace = AVCOL_SPC_SMPTE170M;
    v->color_range = AVCOL_RANGE_MPEG;
    av_opt_set(v->priv_data, "preset", live ? "ultrafast" : "veryfast", 0);
    if (live) v->thread_count = 1;
    av_opt_set(v->priv_data, "crf", "18", 0);
    openTrack(video_);

    if (audio) {
      addTrack(audio_, "aac", "AAC");
      AVCodecContext* a = audio_.enc;
      a->sample_fmt = AV_SAMPLE_FMT_FLTP;
      a->sample_rate = kSpeechRate;
      av_channel_layout_default(&a->ch_layout, 1);
      a->bit_rate = 64000;
      a->time_base = AVRational{1, kSpeechRate};
      openTrack(audio_);
      samples_ = av_frame_alloc();
      if (!samples_) throw std::bad_alloc();
      samples_->format = a->sample_fmt;
      samples_->sample_rate = a->sample_rate;
      samples_->nb_samples = a->frame_size;
      check(av_channel_layout_copy(&samples_->ch_layout, &a->ch_layout), "audio frame");
      check(av_frame_get_buffer(samples_, 0), "audio frame");
    }

    check(avio_open(&fmt_->pb, temp_.c_str(), AVIO_FLAG_WRITE), "cannot write " + temp_);
    check(avformat_write_header(fmt_, nullptr), "cannot write the mp4 header");
    picture_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!picture_ || !packet_) throw std::bad_alloc();
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = width;
    picture_->height = height;
    check(av_frame_get_buffer(picture_, 0), "video frame");
    live_ = live;
    if (live_) worker_ = std::thread(&Mp4Writer::encodeQueued, this);
  } catch (...) {
    release();
    throw;
  }
}

Mp4Writer::~Mp4Writer() { release(); }

void Mp4Writer::addTrack(Track& track, const char* encoder, const char* label) {
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  if (!codec) throw std::runtime_error(std::string("this FFmpeg has no ") + encoder + " encoder");
  track.label = label;
  track.enc = avcodec_alloc_context3(codec);
  track.stream = avformat_new_stream(fmt_, nullptr);
  if (!track.enc || !track.stream) throw std::bad_alloc();
}

void Mp4Writer::openTrack(Track& track) {
  const std::string label = track.label;
  if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) track.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  check(avcodec_open2(track.enc, nullptr, nullptr), "cannot open the " + label + " encoder");
  check(avcodec_parameters_from_context(track.stream->codecpar, track.enc), label + " encoder parameters");
  track.stream->time_base = track.enc->time_base;
}

void Mp4Writer::release() {
  if (worker_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mu_);
      closing_ = true;
      queue_.clear();  // abandoned: the file is removed below
    }
    cv_.notify_all();
    worker_.join();
  }
  av_packet_free(&packet_);
  av_frame_free(&samples_);
  av_frame_free(&picture_);
  avcodec_free_context(&audio_.enc);
  avcodec_free_context(&video_.enc);
  if (fmt_ && fmt_->pb) avio_closep(&fmt_->pb);
  avformat_free_context(fmt_);
  fmt_ = nullptr;
  if (!committed_ && !temp_.empty()) std::remove(temp_.c_str());
  temp_.clear();
}

void Mp4Writer::writeVideo(const uint8_t* pixels) {
  if (!live_) return encodeVideo(pixels);
  Item item;
  item.video = true;
  item.pixels = spareFrame();
  std::copy_n(pixels, item.pixels.size(), item.pixels.data());
  enqueue(std::move(item));
}

void Mp4Writer::writeVideo(std::vector<uint8_t>& frame) {
  if (frame.size() != frameBytes()) throw std::logic_error("Mp4Writer: a frame of the wrong size");
  if (!live_) return encodeVideo(frame.data());
  Item item;
  item.video = true;
  item.pixels = std::move(frame);
  frame = spareFrame();
  enqueue(std::move(item));
}

std::vector<uint8_t> Mp4Writer::spareFrame() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    if (!spare_.empty()) {
      std::vector<uint8_t> frame = std::move(spare_.back());
      spare_.pop_back();
      return frame;
    }
  }
  return std::vector<uint8_t>(frameBytes());
}

void Mp4Writer::writeAudio(const float* pcm, size_t n) {
  if (!audio_.enc) throw std::logic_error("Mp4Writer: audio written to a file without an audio track");
  if (!live_) return appendAudio(pcm, n);
  Item item;
  item.pcm.assign(pcm, pcm + n);
  enqueue(std::move(item));
}

void Mp4Writer::enqueue(Item item) {
  const size_t bytes = item.pixels.size() + item.pcm.size() * sizeof(float);
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return failure_ || queuedBytes_ == 0 || queuedBytes_ + bytes <= kLiveQueueBytes; });
  if (failure_) std::rethrow_exception(failure_);
  queuedBytes_ += bytes;
  queue_.push_back(std::move(item));
  cv_.notify_all();
}

void Mp4Writer::encodeQueued() {
#ifdef __linux__
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
#endif
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    try {
      if (item.video)
        encodeVideo(item.pixels.data());
      else
        appendAudio(item.pcm.data(), item.pcm.size());
    } catch (...) {
      lock.lock();
      failure_ = std::current_exception();
      queue_.clear();
      queuedBytes_ = 0;
      cv_.notify_all();
      return;
    }
    lock.lock();
    queuedBytes_ -= item.pixels.size() + item.pcm.size() * sizeof(float);
    if (item.video) spare_.push_back(std::move(item.pixels));
    cv_.notify_all();
  }
}

void Mp4Writer::drain() {
  {
    const std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  cv_.notify_all();
  worker_.join();
  spare_.clear();
  if (failure_) std::rethrow_exception(failure_);
}

void Mp4Writer::encodeVideo(const uint8_t* pixels) {
  check(av_frame_make_writable(picture_), "video frame");
  toYuv420(pixels);
  picture_->pts = nextFrame_++;
  encode(video_, picture_);
}

void Mp4Writer::toYuv420(const uint8_t* pixels) {
  // Byte order R, G, B(, A) is what the converter calls RAW (and ABGR).
  uint8_t* const* d = picture_->data;
  const int* ls = picture_->linesize;
  const int stride = bytesPerPixel_ * width_;
  if (bytesPerPixel_ == 4)
    libyuv::ABGRToI420(pixels, stride, d[0], ls[0], d[1], ls[1], d[2], ls[2], width_, height_);
  else
    libyuv::RAWToI420(pixels, stride, d[0], ls[0], d[1], ls[1], d[2], ls[2], width_, height_);
}

void Mp4Writer::appendAudio(const float* pcm, size_t n) {
  pending_.insert(pending_.end(), pcm, pcm + n);
  const size_t frame = size_t(audio_.enc->frame_size);
  while (pending_.size() >= frame) encodeAudio(frame);
}

void Mp4Writer::encodeAudio(size_t n) {
  check(av_frame_make_writable(samples_), "audio frame");
  samples_->nb_samples = int(n);
  std::copy_n(pending_.begin(), n, reinterpret_cast<float*>(samples_->data[0]));
  pending_.erase(pending_.begin(), pending_.begin() + ptrdiff_t(n));
  samples_->pts = nextSample_;
  nextSample_ += int64_t(n);
  encode(audio_, samples_);
}

void Mp4Writer::finish() {
  if (worker_.joinable()) drain();
  if (audio_.enc) {
    // The encoder takes a short last frame, so the track ends on the last
    // sample given rather than on a frame boundary.
    if (!pending_.empty()) {
      if (!(audio_.enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME))
        pending_.resize(size_t(audio_.enc->frame_size), 0.0f);
      encodeAudio(pending_.size());
    }
    encode(audio_, nullptr);
  }
  encode(video_, nullptr);
  check(av_write_trailer(fmt_), "cannot finish the mp4");
  check(avio_closep(&fmt_->pb), "cannot write " + temp_);
  if (std::rename(temp_.c_str(), path_.c_str()) != 0)
    throw std::runtime_error("cannot rename " + temp_ + " to " + path_ + ": " + std::strerror(errno));
  committed_ = true;
}

void Mp4Writer::encode(Track& track, const AVFrame* frame) {
  const std::string what = std::string(track.label) + " encoding";
  check(avcodec_send_frame(track.enc, frame), what);
  for (;;) {
    const int err = avcodec_receive_packet(track.enc, packet_);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
    check(err, what);
    // One frame long: the video then ends after its last frame.
    if (&track == &video_ && packet_->duration == 0) packet_->duration = 1;
    av_packet_rescale_ts(packet_, track.enc->time_base, track.stream->time_base);
    packet_->stream_index = track.stream->index;
    check(av_interleaved_write_frame(fmt_, packet_), "cannot write to the mp4");
  }
}

}  // namespace le::tool
