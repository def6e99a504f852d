#include "le_speech.h"

extern "C" {
#include <espeak-ng/speak_lib.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "le_tool.h"

namespace le::tool {

namespace {

// Any layout, sample format and rate to 16 kHz mono float, appended to out.
class Resampler {
 public:
  Resampler(AVChannelLayout layout, AVSampleFormat format, int rate) {
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    check(swr_alloc_set_opts2(&swr_, &mono, AV_SAMPLE_FMT_FLT, kSpeechRate, &layout, format, rate, 0, nullptr),
          "resampler");
    check(swr_init(swr_), "resampler");
  }
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;
  ~Resampler() { swr_free(&swr_); }

  // in == nullptr with n == 0 drains the resampler's delayed tail.
  void convert(const uint8_t* const* in, int n, std::vector<float>& out) {
    const int room = swr_get_out_samples(swr_, n);
    if (room <= 0) return;
    const size_t at = out.size();
    out.resize(at + room);
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
    const int got = swr_convert(swr_, &dst, room, const_cast<const uint8_t**>(in), n);
    check(got, "resampling");
    out.resize(at + got);
  }

 private:
  SwrContext* swr_ = nullptr;
};

// espeak-ng's callback: the samples go to the vector given to espeak_Synth.
int collectSpoken(short* wav, int n, espeak_EVENT* events) {
  auto* out = static_cast<std::vector<int16_t>*>(events->user_data);
  if (wav && n > 0) out->insert(out->end(), wav, wav + n);
  return 0;
}

}  // namespace

std::vector<float> readSpeech(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  check(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), "cannot open " + path);
  const std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> fmtOwner(&fmt, avformat_close_input);
  check(avformat_find_stream_info(fmt, nullptr), path);
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  check(stream, path + " has no audio stream");
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  const std::unique_ptr<AVCodecContext*, void (*)(AVCodecContext**)> decOwner(&dec, avcodec_free_context);
  check(avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar), path);
  check(avcodec_open2(dec, codec, nullptr), "cannot open the audio decoder");
  Resampler resampler(dec->ch_layout, dec->sample_fmt, dec->sample_rate);

  std::vector<float> pcm;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  const std::unique_ptr<AVPacket*, void (*)(AVPacket**)> packetOwner(&packet, av_packet_free);
  const std::unique_ptr<AVFrame*, void (*)(AVFrame**)> frameOwner(&frame, av_frame_free);
  if (!packet || !frame) throw std::bad_alloc();
  const auto drain = [&]() {
    for (;;) {
      const int err = avcodec_receive_frame(dec, frame);
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      check(err, "decoding " + path);
      resampler.convert(frame->extended_data, frame->nb_samples, pcm);
    }
  };
  while (av_read_frame(fmt, packet) >= 0) {
    if (packet->stream_index == stream) {
      check(avcodec_send_packet(dec, packet), "decoding " + path);
      drain();
    }
    av_packet_unref(packet);
  }
  check(avcodec_send_packet(dec, nullptr), "decoding " + path);
  drain();
  resampler.convert(nullptr, 0, pcm);
  return pcm;
}

std::vector<float> speakText(const std::string& text) {
  // The synthesiser is one per process.
  static std::mutex lock;
  const std::lock_guard<std::mutex> hold(lock);
  const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
  if (rate <= 0) throw std::runtime_error("espeak-ng: cannot start (is espeak-ng-data installed?)");
  const struct Session {
    ~Session() { espeak_Terminate(); }
  } session;
  if (espeak_SetVoiceByName("en") != EE_OK) throw std::runtime_error("espeak-ng: no English voice");
  espeak_SetParameter(espeakRATE, 150, 0);
  std::vector<int16_t> spoken;
  espeak_SetSynthCallback(collectSpoken);
  if (espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, &spoken) != EE_OK ||
      espeak_Synchronize() != EE_OK)
    throw std::runtime_error("espeak-ng: cannot speak the text");

  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  Resampler resampler(mono, AV_SAMPLE_FMT_S16, rate);
  std::vector<float> pcm;
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(spoken.data())};
  resampler.convert(in, int(spoken.size()), pcm);
  resampler.convert(nullptr, 0, pcm);
  return pcm;
}

std::string speechEncoder(const std::string& bundleDir) {
  const char* env = std::getenv("W2V_ONNX");
  if (env && *env) return env;
  const std::string path = bundleDir + "/audio_encoder.onnx";
  setenv("W2V_ONNX", path.c_str(), 1);
  return path;
}

}  // namespace le::tool
