// Avatar bundle utility: packs a bundle directory into an IMX container,
// unpacks one, resolves bundle paths and members as the engine does, lists
// what a bundle holds and checks whether the engine would open it (and arm
// its mouth borrow).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "borrow/bank_decode.h"
#include "borrow/head_weights.h"
#include "borrow/serve_config.h"
#include "borrow/teeth_pass.h"
#include "bundle/le_identity.h"
#include "bundle/le_imx.h"
#include "bundle/le_tessera_members.h"
#include "driver/le_driver.h"
#include "driver/le_files.h"
#include "le/le.h"
#include "le/le_bundle.h"

namespace {

constexpr size_t kPathBuffer = 65536;

// Exit status 2 for a wrong command line, 0 when asked for with --help.
int usage(std::FILE* to = stderr) {
  std::fprintf(to,
               "usage: le-bundle pack DIR OUT.imx      write DIR as an IMX v2 container\n"
               "       le-bundle unpack IMX DIR        write the container's members into DIR\n"
               "       le-bundle resolve PATH [MEMBER] print the bundle directory (and the member's path)\n"
               "       le-bundle info PATH             print the manifest, the members and their sizes, and\n"
               "                                       the mouth borrow's members and bank\n"
               "       le-bundle check PATH            exit 1 with the engine's refusal if it would not open\n"
               "                                       (the mouth borrow's too: its bank track is decoded)\n");
  return to == stdout ? 0 : 2;
}

int pack(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage();
  le::packImx(args[0], args[1]);
  return 0;
}

int unpack(const std::vector<std::string>& args) {
  if (args.size() != 2) return usage();
  std::filesystem::create_directories(args[1]);
  le::extractImx(args[0], args[1], false);
  return 0;
}

// Exit status 0 when resolved (and the member exists), 1 when the member is
// missing, 2 on failure.
int resolve(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) return usage();
  std::vector<char> out(kPathBuffer);
  if (le_bundle_resolve_handle(args[0].c_str(), out.data(), out.size()) != 1) {
    std::fprintf(stderr, "le-bundle: %s\n", le_last_error());
    return 2;
  }
  std::printf("%s\n", out.data());
  if (args.size() == 1) return 0;
  const int found = le_bundle_resolve_member(args[0].c_str(), args[1].c_str(), out.data(), out.size());
  if (found < 0) {
    std::fprintf(stderr, "le-bundle: cannot resolve member %s\n", args[1].c_str());
    return 2;
  }
  std::printf("%s\n", out.data());
  if (found == 0) std::fprintf(stderr, "le-bundle: member missing: %s\n", out.data());
  return found ? 0 : 1;
}

// One member line: resolved path, expected and actual size.
void printMember(const le::Manifest& m, const char* name, long long expected) {
  const std::string path = le::resolveMember(m.dir, name);
  struct stat st {};
  const bool present = ::stat(path.c_str(), &st) == 0;
  std::printf("  %-22s %s", name, path.c_str());
  if (!present) {
    std::printf("  (absent)\n");
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    std::printf("  (directory)\n");
    return;
  }
  std::printf("  %lld bytes", static_cast<long long>(st.st_size));
  if (expected >= 0) std::printf(", expected %lld%s", expected, st.st_size == expected ? "" : "  MISMATCH");
  std::printf("\n");
}

// The mouth borrow's members and, when all four are there, the sidecar's facts.
void borrowInfo(const le::Manifest& m) {
  const le::TesseraCarriage c = le::tesseraCarriage(m);
  std::printf("mouth borrow: %zu of 4 members%s\n", 4 - c.missing.size(),
              c.declared ? " (the manifest declares a tessera block)" : "");
  for (int i = 0; i < le::tesseraSlotCount(); ++i) {
    const char* key = le::tesseraSlotKeys()[i];
    const bool missing = std::find(c.missing.begin(), c.missing.end(), key) != c.missing.end();
    std::printf("  %-14s %s%s\n", key, c.path(key).c_str(), missing ? "  (absent)" : "");
  }
  if (!c.complete) return;
  try {
    const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
    const le::tessera::GeometryStamp s = le::tessera::GeometryStamp::fromArray(in.stamp.data());
    std::printf("  donors         %d, patches %dx%d (%.2f MB), c_canon (%.2f, %.2f)\n", in.n_donors, in.band_w,
                in.band_h, double(in.n_donors) * in.band_w * in.band_h * 3 / 1e6, in.c_canon[0], in.c_canon[1]);
    std::printf("  window         %dx%d at (%d, %d) of %dx%d, pad %d, band rows %d..%d cols %d..%d, margin %d\n",
                s.window_w, s.window_h, s.window_x0, s.window_y0, s.canvas_w, s.canvas_h, s.pad, s.band_r0, s.band_r1,
                s.band_c0, s.band_c1, s.shift_margin);
    std::printf("  track          %s, codec %s, %s, %s\n", in.bank_container.c_str(),
                in.bank_codec.empty() ? "(unstated)" : in.bank_codec.c_str(), in.bank_pix_fmt.c_str(),
                in.bank_packing.c_str());
    const le::tessera::ServeConfig cfg = le::tessera::ServeConfig::fromHeadMemberJson(in.head_json);
    std::printf(
        "  head           %u parameters; kshort %d, K %d, cut %d, aperture_tol %g, hysteresis %d, "
        "lookahead %d\n",
        le::tessera::loadHeadPt(in.head_pt).params(), cfg.kshort, cfg.K, cfg.cut, cfg.aperture_tol, cfg.hysteresis,
        cfg.lookahead);
  } catch (const std::exception& e) {
    std::printf("  REFUSED: %s\n", e.what());
  }
}

// With any member, all four read, the bank decoded and the pass built as the
// attach does: the text of its refusal, or what it holds.
bool borrowCheck(const std::string& path, std::string& what) {
  const le::Manifest m = le::loadManifest(path);
  const le::TesseraCarriage c = le::tesseraCarriage(m);
  if (c.missing.size() == 4 && !c.declared) {
    what = "no mouth borrow";
    return true;
  }
  try {
    const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
    le::tessera::BankData bank = le::tessera::bankFromMembers(in);
    const le::tessera::TeethPass pass(std::move(bank), le::tessera::loadHeadPt(in.head_pt),
                                      le::tessera::ServeConfig::fromHeadMemberJson(in.head_json));
    what = "mouth borrow of " + std::to_string(in.n_donors) + " donors (" + std::to_string(in.band_w) + "x" +
           std::to_string(in.band_h) + ", bank track decoded)";
    return true;
  } catch (const std::exception& e) {
    what = e.what();
    return false;
  }
}

int info(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage();
  const le::Manifest m = le::loadManifest(args[0]);
  std::printf(
      "bundle   %s\nagent    %s\nNT       %d\ncanvas   %dx%d (M authored on %dx%d)\ncrop     %d\n"
      "unsharp  amount %g sigma %g ksize %d\nframes   %d (idle loop)\n",
      m.dir.c_str(), m.agent.c_str(), m.NT, m.W, m.H, m.srcW, m.srcH, m.crop, m.unsharp.amount, m.unsharp.sigma,
      m.unsharp.ksize, m.frames);
  const long long nt = m.NT, crop = m.crop, frames = m.frames;
  std::printf("members:\n");
  printMember(m, "pooled64.f16", nt * 131072);
  printMember(m, "P.f16", nt * crop * crop * 6);
  printMember(m, "fs_red.f16", nt * 524288);
  printMember(m, m.video.priorName.c_str(), -1);
  printMember(m, "M.f32", nt * 24);
  printMember(m, "mask_512.u8", crop * crop);
  printMember(m, "drive/xs.f32", frames * 252);
  printMember(m, "drive/xd.f32", frames * 252);
  printMember(m, "drive/si.i32", frames * 4);
  le::Identity identity(m);
  std::printf("warp prior: %s\n", identity.priorBackend().c_str());
  std::printf("driver:     %s\n", le::DriverCursor::open(m.video, 1, 0)->name().c_str());
  borrowInfo(m);
  return 0;
}

// Opens the bundle exactly as a host would, then reads every driver frame
// and every frame of a video warp prior, which the engine decodes lazily,
// and builds the mouth borrow from its members when it carries any.
int check(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage();
  const char* path = args[0].c_str();
  le_ctx* ctx = le_create(path, "render", 1, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "%s\n", le_last_error());
    return 1;
  }
  bool ok = true;
  for (int si = 0; si < le_nt(ctx) && ok; ++si) ok = le_target_frame(ctx, si) != nullptr;
  // The context opened, so the bundle carries a warp prior in one of its
  // forms; the identity says which, and only the video form is decoded lazily.
  const le::Identity identity(le::loadManifest(path));
  const bool video = identity.prgb.empty() && !identity.priorPath.empty();
  std::string prior = !identity.prgb.empty() ? "mmap P.f16" : video ? identity.manifest.video.priorName : "fs_red.f16";
  if (ok && video) {
    le_prior* h = le_prior_open(path, 2, 0);
    ok = h != nullptr;
    std::vector<uint16_t> row(h ? le_prior_row_bytes(h) / 2 : 0);
    for (int si = 0; si < le_nt(ctx) && ok; ++si) ok = le_prior_row(h, si, row.data(), row.size() * 2) == 1;
    if (h) prior += std::string(" (") + le_prior_backend(h) + ")";
    le_prior_close(h);
  }
  if (!ok) std::fprintf(stderr, "%s\n", le_last_error());
  std::string borrow;
  if (ok && !borrowCheck(path, borrow)) {
    std::fprintf(stderr, "%s\n", borrow.c_str());
    ok = false;
  }
  if (ok)
    std::printf("ok: %d target frames of %dx%d, crop %d, %d idle frames, warp prior %s, %s\n", le_nt(ctx),
                le_width(ctx), le_height(ctx), le_crop(ctx), le_drive_frames(ctx), prior.c_str(), borrow.c_str());
  le_destroy(ctx);
  return ok ? 0 : 1;
}

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};
constexpr Command kCommands[] = {
    {"pack", pack}, {"unpack", unpack}, {"resolve", resolve}, {"info", info}, {"check", check}};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) return usage(stdout);
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) != 0) continue;
    try {
      return c.run(std::vector<std::string>(argv + 2, argv + argc));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "le-bundle %s: %s\n", c.name, e.what());
      return 2;
    }
  }
  return usage();
}
