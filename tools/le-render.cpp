// le-render: speech in, talking-avatar mp4 out, through the utterance
// pipeline or the stream runner; or a bundle's idle loop, every drive frame
// through the director and the compositor, as an mp4 or a directory of PNGs.
extern "C" {
#include <libavutil/log.h>
}

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "borrow/bank_decode.h"
#include "driver/le_files.h"
#include "driver/le_image.h"
#include "le/le.h"
#include "le/le_stream.h"
#include "le/le_tessera.h"
#include "le/le_utt.h"
#include "le_mp4.h"
#include "le_speech.h"
#include "le_tool.h"

namespace {

using le::tool::kFps;
using le::tool::kFrameSamples;
using le::tool::kSpeechRate;
using le::tool::Mp4Writer;
using Clock = std::chrono::steady_clock;

// How long the pipeline may stay silent (no frame, not ready) before the run
// is given up.
constexpr auto kStall = std::chrono::seconds(60);
constexpr auto kTick = std::chrono::milliseconds(1000 / kFps);
constexpr int kPushSamples = kSpeechRate / 50;             // 20 ms pieces in --realtime
// Video a --realtime host keeps buffered: five frames, within the pipeline's
// output ring of eight. With three, a busy two-core machine still missed a
// frame in some runs.
constexpr auto kPlayout = std::chrono::milliseconds(200);

const char* kUsage =
    "usage: le-render BUNDLE (--audio SPEECH | --text TEXT) --out OUT.mp4 [--motion DIR]\n"
    "                 [--family a2x|motion] [--realtime | --stream] [--borrow | --no-borrow]\n"
    "                 [--model-key KEY] [--threads N]\n"
    "       le-render BUNDLE --idle OUT.mp4 [--model-key KEY] [--threads N]\n"
    "       le-render BUNDLE --png DIR [--model-key KEY] [--threads N]\n"
    "Speech to a talking-avatar mp4: H.264 at 25 fps and the speech as AAC, each speech frame shown\n"
    "with the 40 ms of audio it was made from: one second of the idle loop, the speech, the ramp back\n"
    "and one more second of idle. SPEECH is any audio file FFmpeg reads (resampled to 16 kHz mono);\n"
    "--text speaks TEXT with espeak-ng instead.\n"
    "--motion DIR: the audio model (default: the bundle directory and its streaming a2x model);\n"
    "  --family motion: the bundle's motion generator (BUNDLE/motion).\n"
    "--realtime: pushes the speech at its own pace in 20 ms pieces, pulls a frame every 40 ms and\n"
    "  reports the late frames and the latency from the first speech to its first frame (shown 200 ms\n"
    "  after it is made, as by a player that keeps five frames buffered; a frame that comes late is\n"
    "  skipped once the next is ready, as a player keeps the picture with its sound); the mp4 holds\n"
    "  every frame, encoded at idle priority. With 2 cores or fewer it sets LE_WARP_NODE=1 unless set.\n"
    "--stream: the whole utterance in one call through the bundle's FCA model (speech frames only).\n"
    "--borrow: real teeth from the bundle's donor bank composited into the mouth of every rendered\n"
    "  frame (the mouth borrow); on by default when the bundle carries its four members, and then\n"
    "  summed up at the end; --borrow fails on a bundle without them, --no-borrow turns it off.\n"
    "  Not with --stream.\n"
    "The speech encoder is $W2V_ONNX, else the bundle's audio_encoder.onnx.\n"
    "--idle: every idle-loop frame rendered through the director and pasted into its driver frame\n"
    "  (mp4 without audio); --png: the same as DIR/frame_NNNNNN.png.\n"
    "--model-key KEY: the director graph model_KEY.onnx (default \"render\"; not with --stream).\n"
    "--threads N: threads of the director and the audio model (default: the engine's choice).\n";

// One line redrawn in place; only when stderr is a terminal. total may be an
// estimate.
class Progress {
 public:
  explicit Progress(int total) : total_(total), tty_(isatty(STDERR_FILENO) == 1) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (tty_ && drawn_) std::fputc('\n', stderr);
  }

  void update(int done) {
    if (!tty_) return;
    constexpr int kWidth = 40;
    const int total = std::max(total_, done);
    const int filled = total ? done * kWidth / total : kWidth;
    const double s = std::chrono::duration<double>(Clock::now() - start_).count();
    std::fprintf(stderr, "\r[%s%s] %d/%d frames, %.1f fps", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total, s > 0 ? done / s : 0.0);
    std::fflush(stderr);
    drawn_ = true;
  }

 private:
  int total_;
  bool tty_, drawn_ = false;
  Clock::time_point start_ = Clock::now();
};

struct Options {
  std::string bundle, idle, pngDir, out, audio, text, motion, family = "a2x", key = "render";
  int threads = 0;
  int borrow = 0;  // 1 --borrow, -1 --no-borrow, 0 as the bundle carries it
  bool realtime = false, stream = false, keyGiven = false, help = false;
};

Options parse(int argc, char** argv) {
  Options o;
  bool textGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--idle")
      o.idle = value();
    else if (a == "--png")
      o.pngDir = value();
    else if (a == "--out")
      o.out = value();
    else if (a == "--audio")
      o.audio = value();
    else if (a == "--text")
      o.text = value(), textGiven = true;
    else if (a == "--motion")
      o.motion = value();
    else if (a == "--family")
      o.family = value();
    else if (a == "--realtime")
      o.realtime = true;
    else if (a == "--stream")
      o.stream = true;
    else if (a == "--borrow" || a == "--no-borrow") {
      const int choice = a == "--borrow" ? 1 : -1;
      if (o.borrow == -choice) throw std::invalid_argument("--borrow and --no-borrow exclude each other");
      o.borrow = choice;
    } else if (a == "--model-key")
      o.key = value(), o.keyGiven = true;
    else if (a == "--threads")
      o.threads = std::atoi(value().c_str());
    else if (a == "-h" || a == "--help")
      o.help = true;
    else if (!a.empty() && a[0] != '-' && o.bundle.empty())
      o.bundle = a;
    else
      throw std::invalid_argument("unexpected argument " + a);
  }
  if (o.help) return o;
  const int modes = !o.idle.empty() + !o.pngDir.empty() + !o.out.empty();
  if (o.bundle.empty() || modes != 1)
    throw std::invalid_argument("give a BUNDLE and exactly one of --out OUT.mp4, --idle OUT.mp4 or --png DIR");
  const bool speechOptions =
      !o.audio.empty() || textGiven || !o.motion.empty() || o.family != "a2x" || o.realtime || o.stream || o.borrow;
  if (o.out.empty()) {
    if (speechOptions) throw std::invalid_argument("the speech options go with --out OUT.mp4");
    return o;
  }
  if (o.audio.empty() == !textGiven)
    throw std::invalid_argument("--out needs exactly one of --audio SPEECH or --text TEXT");
  if (textGiven && o.text.find_first_not_of(" \t\n") == std::string::npos)
    throw std::invalid_argument("--text is empty");
  if (o.family != "a2x" && o.family != "motion")
    throw std::invalid_argument("--family is a2x or motion, not " + o.family);
  if (o.realtime && o.stream) throw std::invalid_argument("--realtime and --stream exclude each other");
  if (o.stream && o.borrow == 1) throw std::invalid_argument("--borrow goes with the utterance pipeline, not --stream");
  if (o.stream && (!o.motion.empty() || o.family != "a2x" || o.keyGiven))
    throw std::invalid_argument(
        "--stream uses the bundle's FCA model and \"render\" director: no --motion, --family or --model-key");
  return o;
}

// Writes the frames in the order they come and, beside each, the 640 samples
// of audio it is shown with. The speech starts at the frame with speech frame
// number 0, so speech frame k is shown with the samples [640k, 640k + 640) it
// was made from; the frames before the speech, and those after its end, are
// shown with silence.
class Recorder {
 public:
  Recorder(Mp4Writer& mp4, const std::vector<float>& speech, int expectedFrames)
      : mp4_(mp4), speech_(speech), progress_(expectedFrames) {}

  // kind: 0 idle, 1 speech, 2 ramp; frameNo: a speech frame's number.
  void add(const uint8_t* rgb, int kind, int frameNo) {
    check(kind, frameNo);
    mp4_.writeVideo(rgb);
    addAudio();
  }
  // The same, handing the frame's buffer to the writer (rgb gets another of
  // the same size).
  void add(std::vector<uint8_t>& rgb, int kind, int frameNo) {
    check(kind, frameNo);
    mp4_.writeVideo(rgb);
    addAudio();
  }

  int frames() const { return frames_; }
  int speechFrames() const { return speechFrames_; }
  int speechStart() const { return start_; }
  bool spoken() const { return start_ >= 0; }
  // The speech, its ramp and a second of idle loop after them are in.
  bool complete() const { return spoken() && idleAfter_ >= kFps; }

 private:
  void check(int kind, int frameNo) {
    if (kind == 1) {
      if (start_ < 0 && frameNo == 0) start_ = frames_;
      if (start_ < 0 || frameNo != frames_ - start_)
        throw std::runtime_error(
            "speech frame " + std::to_string(frameNo) + " came as frame " + std::to_string(frames_) +
            (start_ < 0 ? " before speech frame 0" : " (speech frame 0 was frame " + std::to_string(start_) + ")") +
            ": its audio would be out of step");
      ++speechFrames_;
    }
    if (start_ >= 0) idleAfter_ = kind == 0 ? idleAfter_ + 1 : 0;
  }

  void addAudio() {
    const long long from = (static_cast<long long>(frames_) - start_) * kFrameSamples;
    for (int i = 0; i < kFrameSamples; ++i) {
      const long long s = from + i;
      slice_[i] = start_ >= 0 && s >= 0 && s < static_cast<long long>(speech_.size()) ? speech_[size_t(s)] : 0.0f;
    }
    mp4_.writeAudio(slice_.data(), slice_.size());
    progress_.update(++frames_);
  }

  Mp4Writer& mp4_;
  const std::vector<float>& speech_;
  Progress progress_;
  int frames_ = 0, speechFrames_ = 0, start_ = -1, idleAfter_ = 0;
  std::vector<float> slice_ = std::vector<float>(kFrameSamples);
};

int speechFrameCount(const std::vector<float>& pcm) { return int((pcm.size() + kFrameSamples - 1) / kFrameSamples); }

void summary(const Recorder& rec, int w, int h, Clock::time_point start, const std::string& out) {
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::fprintf(stderr, "le-render: %d frames (%d speech from frame %d), %dx%d, %.1f fps -> %s\n", rec.frames(),
               rec.speechFrames(), rec.speechStart(), w, h, s > 0 ? rec.frames() / s : 0.0, out.c_str());
}

// ---- --stream: the stream runner ----

int renderStream(const Options& o, const std::vector<float>& pcm) {
  const Clock::time_point start = Clock::now();
  const std::string encoder = le::tool::speechEncoder(le::tool::bundleDir(o.bundle));
  le_stream* s = le_stream_create(o.bundle.c_str(), encoder.c_str(), o.threads, 0, 1.0f);
  if (!s) throw std::runtime_error(le_stream_last_error());
  const std::unique_ptr<le_stream, void (*)(le_stream*)> owner(s, le_stream_destroy);
  const int w = le_stream_width(s), h = le_stream_height(s);
  Mp4Writer mp4(o.out, w, h, AV_PIX_FMT_RGB24, true);
  Recorder rec(mp4, pcm, speechFrameCount(pcm));
  // The callback is called from the engine: a failure is kept for after the run.
  struct Sink {
    Recorder& rec;
    std::exception_ptr error;
  } sink{rec, nullptr};
  const auto onFrame = [](void* user, int index, const uint8_t* rgb, int, int) {
    auto* sink = static_cast<Sink*>(user);
    if (sink->error) return;
    try {
      sink->rec.add(rgb, 1, index);
    } catch (...) {
      sink->error = std::current_exception();
    }
  };
  const int frames = le_stream_run(s, pcm.data(), int(pcm.size()), onFrame, &sink);
  if (sink.error) std::rethrow_exception(sink.error);
  if (frames < 0) throw std::runtime_error(le_stream_last_error());
  mp4.finish();
  summary(rec, w, h, start, o.out);
  return 0;
}

// ---- the utterance pipeline ----

le_utt_stats stats(le_utt* u) {
  le_utt_stats s{};
  le_utt_get_stats(u, &s);
  return s;
}

// Fails once a render failure stopped the speech.
void checkStatus(le_utt* u) {
  char text[512] = {};
  if (le_utt_render_status(u, text, sizeof text, nullptr) < 0)
    throw std::runtime_error(std::string("rendering failed: ") + text);
}

[[noreturn]] void stalled(le_utt* u, const char* what) {
  throw std::runtime_error(std::string(what) + " for " + std::to_string(kStall.count()) + " s (pipeline state " +
                           std::to_string(stats(u).state) + ")");
}

// Whether the utterance produced its first speech frame; fails when the
// pipeline went back to idle without one.
class SpeechStart {
 public:
  bool operator()(le_utt* u) {
    const le_utt_stats s = stats(u);
    if (s.utterances > 0) return true;
    if (s.state != 0)
      left_ = true;
    else if (left_)
      throw std::runtime_error("the speech gave no frame");
    return false;
  }

 private:
  bool left_ = false;  // the pipeline left idle for the utterance
};

// Pulls the next frame into rgb, waiting for it.
le_utt_frame_info pullNext(le_utt* u, std::vector<uint8_t>& rgb) {
  le_utt_frame_info info{};
  const Clock::time_point deadline = Clock::now() + kStall;
  while (!le_utt_pull_frame(u, rgb.data(), rgb.size(), &info)) {
    if (*le_utt_last_error()) throw std::runtime_error(le_utt_last_error());
    checkStatus(u);
    if (Clock::now() > deadline) stalled(u, "no frame came");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return info;
}

std::vector<int16_t> toPcm16(const std::vector<float>& pcm) {
  std::vector<int16_t> out(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) out[i] = int16_t(std::clamp(std::lround(pcm[i] * 32768.0f), -32768L, 32767L));
  return out;
}

// As fast as the pipeline goes: a second of idle, then the whole speech in
// one push. The first speech frame is waited for without pulling, so the
// idle loop does not run on while the audio model starts.
void runOffline(le_utt* u, const std::vector<int16_t>& pcm16, Recorder& rec, std::vector<uint8_t>& rgb) {
  while (rec.frames() < kFps) {
    const le_utt_frame_info info = pullNext(u, rgb);
    rec.add(rgb.data(), info.kind, info.frame_no);
  }
  if (!le_utt_push_audio(u, pcm16.data(), int(pcm16.size()))) throw std::runtime_error(le_utt_last_error());
  le_utt_end_utterance(u);
  SpeechStart begun;
  for (const Clock::time_point deadline = Clock::now() + kStall; !begun(u);) {
    checkStatus(u);
    if (Clock::now() > deadline) stalled(u, "no speech frame came");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  while (!rec.complete()) {
    const le_utt_frame_info info = pullNext(u, rgb);
    rec.add(rgb.data(), info.kind, info.frame_no);
  }
}

// As a live host: the speech pushed at its own pace in 20 ms pieces from a
// feeder thread (after a second of idle), a frame pulled every 40 ms. Like a
// player that keeps a little video buffered, the clock is set once the first
// speech frame is made so that it is shown kPlayout later: the frames in
// between wait in the pipeline's output ring and absorb its hiccups. A tick
// with no frame ready is late (the screen keeps the last frame); like a player
// holding the picture to its sound, the host then skips the frame that came
// late as soon as the one after it is ready too, so one hiccup costs one frame
// rather than the buffer. The mp4 still records every frame.
void runRealtime(le_utt* u, const std::vector<int16_t>& pcm16, Recorder& rec, std::vector<uint8_t>& rgb) {
  std::jthread feeder;
  Clock::time_point fed{}, lastFrame = Clock::now();
  double hostLatencyMs = -1;
  int late = 0, lateBeforeSpeech = 0, lateInSpeech = 0, ticks = 0;
  int behind = 0, skipped = 0;  // frames the screen owes the clock, and those it skipped to catch up
  std::string lateAt;           // the frames since the first speech frame at the late ticks, the first dozen
  SpeechStart begun;
  bool awaitingSpeech = true;
  for (Clock::time_point next = Clock::now(); !rec.complete(); ++ticks, next += kTick) {
    for (Clock::time_point now = Clock::now(); now < next; now = Clock::now()) {
      if (awaitingSpeech && feeder.joinable() && begun(u)) {
        awaitingSpeech = false;
        next = now + kPlayout;
        behind = 0;  // the clock starts again with speech
      }
      std::this_thread::sleep_until(std::min(next, now + std::chrono::milliseconds(2)));
    }
    le_utt_frame_info info{};
    if (le_utt_pull_frame(u, rgb.data(), rgb.size(), &info)) {
      lastFrame = Clock::now();
      if (info.kind == 1 && info.frame_no == 0)
        hostLatencyMs = std::chrono::duration<double, std::milli>(lastFrame - fed).count();
      rec.add(rgb, info.kind, info.frame_no);
      // Frames owed by late ticks: skipped on screen while the next is ready.
      for (; behind > 0 && le_utt_frames_available(u) > 0 && le_utt_pull_frame(u, rgb.data(), rgb.size(), &info);
           --behind, ++skipped)
        rec.add(rgb, info.kind, info.frame_no);
    } else {
      ++behind;
      if (*le_utt_last_error()) throw std::runtime_error(le_utt_last_error());
      ++late;
      if (feeder.joinable() && !rec.spoken()) ++lateBeforeSpeech;
      if (rec.spoken() && ++lateInSpeech <= 12)
        lateAt += (lateAt.empty() ? "" : ", ") + std::to_string(rec.frames() - rec.speechStart());
      checkStatus(u);
      if (Clock::now() - lastFrame > kStall) stalled(u, "no frame came");
    }
    if (rec.frames() >= kFps && !feeder.joinable()) {
      fed = Clock::now();
      feeder = std::jthread([u, &pcm16, start = fed](const std::stop_token& stop) {
        for (size_t at = 0, k = 0; at < pcm16.size() && !stop.stop_requested(); at += kPushSamples, ++k) {
          std::this_thread::sleep_until(start + k * kTick / 2);
          le_utt_push_audio(u, pcm16.data() + at, int(std::min<size_t>(kPushSamples, pcm16.size() - at)));
        }
        le_utt_end_utterance(u);
      });
    }
  }
  std::fprintf(stderr,
               "le-render: realtime: %d late ticks of %d (no frame ready), %d of them between the first push "
               "and the first speech frame, %d from the first speech frame on%s%s%s; %d late frames skipped to catch "
               "up; first speech frame shown %.0f ms after the first push (pipeline: produced after %.0f ms, shown "
               "%lld ms later)\n",
               late, ticks, lateBeforeSpeech, lateInSpeech, lateAt.empty() ? "" : " (after frame ", lateAt.c_str(),
               lateAt.empty()      ? ""
               : lateInSpeech > 12 ? ", ...)"
                                   : ")",
               skipped, hostLatencyMs, stats(u).first_frame_ms, static_cast<long long>(kPlayout.count()));
  const char* warpNode = std::getenv("LE_WARP_NODE");
  if (lateInSpeech > 0 && !(warpNode && *warpNode && *warpNode != '0'))
    std::fprintf(stderr,
                 "le-render: realtime: the source-cone prefetch wants a spare core; on a machine without one, "
                 "LE_WARP_NODE=1 renders the warp in one node instead\n");
}

// A live run on a machine without a core to spare for the source-cone
// prefetch renders the warp in one node instead; the user's own LE_WARP_NODE
// wins.
void chooseWarpNode(const Options& o) {
  if (!o.realtime || std::getenv("LE_WARP_NODE")) return;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) > 2) return;
  setenv("LE_WARP_NODE", "1", 0);
  std::fprintf(stderr,
               "le-render: realtime on %d cores: LE_WARP_NODE=1, the warp in one node (the source-cone prefetch wants "
               "a spare core; LE_WARP_NODE=0 keeps it)\n",
               CPU_COUNT(&set));
}

// ---- the mouth borrow ----

// The bundle's four borrow members and its donor bank, decoded as the
// pipeline takes them.
struct MouthBorrow {
  std::unique_ptr<le_tessera_members, void (*)(le_tessera_members*)> members{nullptr, le_tessera_members_close};
  std::vector<uint8_t> bank;  // donor order
};

// The borrow the options ask for: none with --no-borrow, or by default when
// the bundle does not carry all four members; otherwise the members read
// (their refusal is the error) and the bank decoded.
std::unique_ptr<MouthBorrow> openBorrow(const Options& o) {
  if (o.borrow < 0) return nullptr;
  if (o.borrow == 0) {
    const std::unique_ptr<le_tessera_carriage, void (*)(le_tessera_carriage*)> carriage(
        le_tessera_carriage_open(o.bundle.c_str()), le_tessera_carriage_close);
    if (!le_tessera_carriage_complete(carriage.get())) return nullptr;
  }
  auto b = std::make_unique<MouthBorrow>();
  char err[1024] = "";
  b->members.reset(le_tessera_members_open(o.bundle.c_str(), err, sizeof err));
  if (!b->members) throw std::runtime_error(err);
  const le_tessera_members* m = b->members.get();
  const std::string track = le::readFile(le_tessera_members_bank_track_path(m));
  // Decoded in track order; the members know which donor each frame holds.
  std::vector<int32_t> trackOrder(size_t(le_tessera_members_n_donors(m)));
  for (size_t i = 0; i < trackOrder.size(); ++i) trackOrder[i] = int32_t(i);
  const std::vector<uint8_t> frames =
      le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), int(trackOrder.size()),
                                   le_tessera_members_band_h(m), le_tessera_members_band_w(m), trackOrder);
  b->bank.resize(le_tessera_members_band_bytes(m));
  if (le_tessera_members_reorder(m, frames.data(), b->bank.data(), err, sizeof err)) throw std::runtime_error(err);
  return b;
}

void attachBorrow(le_utt* u, const MouthBorrow& b) {
  const le_tessera_members* m = b.members.get();
  char err[1024] = "";
  if (le_utt_tessera_attach(u, b.bank.data(), le_tessera_members_n_donors(m), le_tessera_members_cent(m),
                            le_tessera_members_c_canon(m), le_tessera_members_aperture(m), le_tessera_members_stamp(m),
                            le_tessera_members_head_pt(m), le_tessera_members_head_pt_len(m),
                            le_tessera_members_head_json(m), le_tessera_members_manifest_json(m), err, sizeof err))
    throw std::runtime_error(std::string("the mouth borrow cannot be attached: ") + err);
}

void borrowSummary(le_utt* u) {
  int64_t composited = 0, passed = 0;
  char reason[256] = "", geometry[512] = "";
  const int on = le_utt_tessera_stats(u, &composited, &passed, reason, sizeof reason);
  le_utt_tessera_geometry(u, geometry, sizeof geometry);
  double mean = 0, max = 0;
  int64_t composed = 0;
  char weight[32] = "n/a";
  if (le_utt_tessera_synth_w(u, &mean, &max, &composed) == 1) std::snprintf(weight, sizeof weight, "%.3f", mean);
  std::fprintf(stderr,
               "le-render: borrow: %lld frames composited, %lld passed through (last reason: %s)%s, mean synthesis "
               "weight %s; %s\n",
               static_cast<long long>(composited), static_cast<long long>(passed), *reason ? reason : "none",
               on < 0 ? ", then off" : "", weight, *geometry ? geometry : "no geometry");
}

int renderUtterance(const Options& o, const std::vector<float>& pcm) {
  const Clock::time_point start = Clock::now();
  chooseWarpNode(o);
  const std::unique_ptr<MouthBorrow> borrow = openBorrow(o);
  const std::string dir = le::tool::bundleDir(o.bundle);
  le::tool::speechEncoder(dir);
  const std::string motionDir = !o.motion.empty() ? o.motion : o.family == "motion" ? dir + "/motion" : dir;
  le_ctx* ctx = le_create(o.bundle.c_str(), o.key.c_str(), o.threads, nullptr);
  if (!ctx) throw std::runtime_error(le_last_error());
  const std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctxOwner(ctx, le_destroy);
  le_utt_opts opts{};
  opts.motion_dir = motionDir.c_str();
  opts.threads = o.threads;
  opts.gap = -1;  // the utterance ends when the tool says so
  le_utt* u = le_utt_create(ctx, &opts);
  if (!u) throw std::runtime_error(le_utt_last_error());
  const std::unique_ptr<le_utt, void (*)(le_utt*)> uttOwner(u, le_utt_destroy);
  for (const Clock::time_point deadline = Clock::now() + kStall;;) {
    const int ready = le_utt_ready(u);
    if (ready < 0) throw std::runtime_error(le_utt_last_error());
    if (ready > 0) break;
    if (Clock::now() > deadline) stalled(u, "the audio model did not load");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (borrow) attachBorrow(u, *borrow);

  const int w = le_width(ctx), h = le_height(ctx);
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  Mp4Writer mp4(o.out, w, h, AV_PIX_FMT_RGB24, true, o.realtime);
  constexpr int kRampFrames = 6;  // the pipeline's default ramp
  Recorder rec(mp4, pcm, kFps + speechFrameCount(pcm) + kRampFrames + kFps);
  const std::vector<int16_t> pcm16 = toPcm16(pcm);
  if (o.realtime)
    runRealtime(u, pcm16, rec, rgb);
  else
    runOffline(u, pcm16, rec, rgb);
  mp4.finish();
  summary(rec, w, h, start, o.out);
  if (borrow) borrowSummary(u);
  return 0;
}

// ---- --idle and --png ----

int renderIdle(const Options& o) {
  le_ctx* ctx = le_create(o.bundle.c_str(), o.key.c_str(), o.threads, nullptr);
  if (!ctx) throw std::runtime_error(le_last_error());
  const std::unique_ptr<le_ctx, void (*)(le_ctx*)> owner(ctx, le_destroy);
  const int frames = le_drive_frames(ctx), w = le_width(ctx), h = le_height(ctx);
  if (frames == 0) throw std::runtime_error(o.bundle + " has no idle-loop frames");

  std::unique_ptr<Mp4Writer> mp4;
  if (!o.idle.empty())
    mp4 = std::make_unique<Mp4Writer>(o.idle, w, h, AV_PIX_FMT_RGBA, false);
  else
    std::filesystem::create_directories(o.pngDir);

  Progress progress(frames);
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4);
  for (int d = 0; d < frames; ++d) {
    if (!le_render_drive_rgba(ctx, d, rgba.data(), rgba.size())) throw std::runtime_error(le_last_error());
    if (mp4) {
      mp4->writeVideo(rgba.data());
    } else {
      char name[32];
      std::snprintf(name, sizeof name, "/frame_%06d.png", d);
      le::writePNG(o.pngDir + name, rgba.data(), w, h, 4);
    }
    progress.update(d + 1);
  }
  if (mp4) mp4->finish();
  std::fprintf(stderr, "le-render: %d frames (%dx%d) -> %s\n", frames, w, h, mp4 ? o.idle.c_str() : o.pngDir.c_str());
  return 0;
}

int run(const Options& o) {
  if (o.out.empty()) return renderIdle(o);
  const std::vector<float> pcm = o.audio.empty() ? le::tool::speakText(o.text) : le::tool::readSpeech(o.audio);
  if (pcm.empty()) throw std::runtime_error((o.audio.empty() ? "--text" : o.audio) + " holds no audio");
  return o.stream ? renderStream(o, pcm) : renderUtterance(o, pcm);
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // the encoders' statistics are not ours to print
  return le::tool::runMain("le-render", kUsage, argc, argv, parse, run);
}
