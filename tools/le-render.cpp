// le-render: renders a bundle's idle loop, every drive frame through the
// director and the compositor, into an H.264 mp4 or a directory of PNGs.
extern "C" {
#include <libavutil/log.h>
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
#include "le_mp4.h"
#include "le_tool.h"

namespace {

using le::tool::Mp4Writer;

const char* kUsage =
    "usage: le-render BUNDLE --idle OUT.mp4 [--model-key KEY] [--threads N]\n"
    "       le-render BUNDLE --png DIR [--model-key KEY] [--threads N]\n"
    "Renders every idle-loop frame of BUNDLE (director graph model_KEY.onnx, default key \"render\")\n"
    "pasted into its driver frame: an H.264 mp4 at 25 fps, or DIR/frame_NNNNNN.png.\n"
    "--threads N: director intra-op threads (default: the engine's choice).\n";

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
    mp4 = std::make_unique<Mp4Writer>(o.mp4, w, h, AV_PIX_FMT_RGBA, false);
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
  std::fprintf(stderr, "le-render: %d frames (%dx%d) -> %s\n", frames, w, h, mp4 ? o.mp4.c_str() : o.pngDir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are not ours to print
  return le::tool::runMain("le-render", kUsage, argc, argv, parse, run);
}
