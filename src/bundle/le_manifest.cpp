#include "bundle/le_manifest.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <optional>
#include <string_view>
#include <stdexcept>
#include <utility>

#include "bundle/le_imx.h"
#include "kernels/le_checked.h"

namespace le {

namespace {

// Marks a number the manifest does not carry.
constexpr double kAbsent = -1e300;

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

float toFloat(double v) {
  if (std::isfinite(v) && std::fabs(v) > FLT_MAX) return v > 0 ? HUGE_VALF : -HUGE_VALF;
  return static_cast<float>(v);
}

double numAt(const char* p) { return std::strtod(p, nullptr); }

double numField(const std::string& text, const char* key) { return numAt(manifest_key::findKey(text, key)); }

// Value of key when it has a scalar occurrence that is not the absent marker.
std::optional<double> optNum(const std::string& text, const char* key) {
  const size_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == std::string::npos) return std::nullopt;
  const double v = numAt(text.c_str() + pos);
  if (v == kAbsent) return std::nullopt;
  return v;
}

[[noreturn]] void ambiguous(const char* key, const std::vector<size_t>& at) {
  std::string msg = "manifest: key \"";
  msg += key;
  msg += "\" is AMBIGUOUS \u2014 ";
  msg += std::to_string(at.size());
  msg += " scalar occurrences (";
  for (size_t i = 0; i < at.size(); ++i) {
    if (i) msg += ", ";
    msg += "byte " + std::to_string(at[i]);
  }
  msg +=
      "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a nested "
      "block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, "
      "ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with the "
      "legacy manifest layout.";
  throw std::runtime_error(msg);
}

struct Canonical {
  const char* older;
  const char* canonical;
};
constexpr Canonical kCanonical[] = {
    {"P.f16", "source_frames.f16"},
    {"P_hevc.mov", "source_frames.hevc"},
    {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
    {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
    {"M.f32", "paste_transform.f32"},
    {"mask_512.u8", "paste_mask.u8"},
    {"pooled64.f16", "pooled_features.f16"},
    {"fs_red.f16", "feature_synth.f16"},
    {"xs_target.bin", "target_keypoints.bin"},
};

bool startsWith(const std::string& s, std::string_view p) { return s.compare(0, p.size(), p) == 0; }
bool endsWith(const std::string& s, std::string_view p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

}  // namespace

namespace manifest_key {

std::vector<KeyHit> keyHits(const std::string& text, const char* key) {
  std::vector<KeyHit> hits;
  const size_t keyLen = std::strlen(key);
  const size_t n = text.size();
  int depth = 0;
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == '"') {
      const size_t start = i + 1;
      size_t j = start;
      while (j < n && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
      if (j >= n) break;  // the text ends inside the quoted run
      size_t k = j + 1;
      while (k < n && isBlank(text[k])) ++k;
      if (k < n && text[k] == ':' && j - start == keyLen && text.compare(start, keyLen, key) == 0) {
        size_t v = k + 1;
        while (v < n && isBlank(text[v])) ++v;
        hits.push_back({v, depth, v < n && text[v] != '{' && text[v] != '['});
      }
      i = j + 1;
      continue;
    }
    ++i;
  }
  return hits;
}

size_t scalarValuePos(const std::string& text, const char* key) {
  std::vector<size_t> all, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    all.push_back(h.pos);
    if (h.depth == 1) top.push_back(h.pos);
  }
  if (top.size() == 1) return top[0];
  if (top.size() > 1) ambiguous(key, top);
  if (all.empty()) return std::string::npos;
  if (all.size() == 1) return all[0];
  ambiguous(key, all);
}

const char* findKey(const std::string& text, const char* key) {
  const size_t pos = scalarValuePos(text, key);
  if (pos == std::string::npos) throw std::runtime_error(std::string("manifest: missing key ") + key);
  return text.c_str() + pos;
}

std::string strField(const std::string& text, const char* key) {
  const char* p = findKey(text, key);
  const char* open = std::strchr(p, '"');
  const char* close = open ? std::strchr(open + 1, '"') : nullptr;
  if (!close) throw std::runtime_error(std::string("manifest: bad string ") + key);
  return std::string(open + 1, close);
}

double numFieldEither(const std::string& text, const char* key, const char* alias) {
  for (const char* k : {key, alias})
    if (auto v = optNum(text, k)) return *v;
  throw std::runtime_error(std::string("manifest: missing key ") + key + "/" + alias);
}

bool optStr(const std::string& text, const char* key, std::string* out) {
  const size_t pos = scalarValuePos(text, key);
  if (pos == std::string::npos || text[pos] != '"') return false;
  const size_t close = text.find('"', pos + 1);
  if (close == std::string::npos) return false;
  *out = text.substr(pos + 1, close - pos - 1);
  return true;
}

}  // namespace manifest_key

Manifest loadManifestText(const std::string& text, const std::string& dir) {
  using namespace manifest_key;
  if (strField(text, "format") != "le-bundle-v0") throw std::runtime_error("not an le-bundle-v0: " + dir);
  Manifest m;
  m.dir = dir;
  m.agent = strField(text, "agent");
  m.NT = truncToInt(numFieldEither(text, "NT", "frame_count"));
  m.H = truncToInt(numField(text, "H"));
  m.W = truncToInt(numField(text, "W"));
  m.crop = truncToInt(numFieldEither(text, "crop", "crop_size"));
  m.unsharp.amount = toFloat(numField(text, "amount"));
  m.unsharp.sigma = toFloat(numField(text, "sigma"));
  m.unsharp.ksize = truncToInt(numField(text, "ksize"));
  m.frames = truncToInt(numField(text, "frames"));
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");

  std::optional<double> w = optNum(text, "M_src_w");
  if (!w) w = optNum(text, "paste_source_width");
  std::optional<double> h = optNum(text, "M_src_h");
  if (!h) h = optNum(text, "paste_source_height");
  if (w && h) {
    m.srcW = truncToInt(*w);
    m.srcH = truncToInt(*h);
    if (m.srcW < 1 || m.srcH < 1)
      throw std::runtime_error("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  } else {
    const char* ok = std::getenv("VELISAR2_MSRC_MISSING_OK");
    if (!ok || std::strcmp(ok, "1") != 0)
      throw std::runtime_error(
          dir + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) \u2014 "
                "the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp the bundle "
          "(models/velisar-2/inference/backfill_msrc), or set VELISAR2_MSRC_MISSING_OK=1 to restore the legacy "
          "assumption.");
    std::fprintf(stderr,
                 "[le] WARNING VELISAR2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; ASSUMING M "
                 "was authored on this %dx%d canvas. If it was not, the face pastes off-target (cv#144) and nothing "
                 "will say so.\n",
                 dir.c_str(), m.W, m.H);
    m.srcW = m.W;
    m.srcH = m.H;
  }

  const std::string lip = resolveMember(dir, "lip_template.v1.json");
  if (canOpen(lip)) m.lipTemplate = readFile(lip);

  optStr(text, "P_rgb", &m.priorRgb);
  optStr(text, "P_hevc", &m.priorHevc);
  driver::VideoMembers& v = m.video;
  v.NT = m.NT, v.W = m.W, v.H = m.H, v.crop = m.crop;
  optStr(text, "target_frames", &v.jpgName);
  optStr(text, "target_frames_mp4", &v.mp4Name);
  if (!m.priorHevc.empty()) v.priorName = m.priorHevc;
  v.jpgDir = dir + "/" + v.jpgName;
  v.mp4Path = resolveMember(dir, v.mp4Name);
  v.priorPath = resolveMember(dir, v.priorName);
  return m;
}

Manifest loadManifest(const std::string& path) {
  const std::string dir = resolveBundlePath(path);
  return loadManifestText(readFile(dir + "/manifest.json"), dir);
}

std::string canonicalMember(const std::string& name) {
  for (const Canonical& c : kCanonical)
    if (name == c.older) return c.canonical;
  constexpr std::string_view kModel = "model_b", kOnnx = ".onnx", kDrive = "drive/";
  if (name.size() > kModel.size() + kOnnx.size() && startsWith(name, kModel) && endsWith(name, kOnnx)) {
    const std::string m = name.substr(kModel.size(), name.size() - kModel.size() - kOnnx.size());
    const size_t us = m.find('_');
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on the
    // operator+ chain with a temporary.
    std::string out = "render_model.batch";
    out.append(m, 0, us);
    if (us != std::string::npos && us + 1 < m.size()) out.append(".").append(m, us + 1);
    out += kOnnx;
    return out;
  }
  if (startsWith(name, kDrive)) {
    const std::string r = name.substr(kDrive.size());
    const size_t dot = r.find('.');
    std::string stem = r.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : r.substr(dot);
    if (stem == "xs") stem = "source_keypoints";
    else if (stem == "xd") stem = "driven_keypoints";
    else if (stem == "si") stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string Manifest::modelPath(const std::string& key) const { return resolveMember(dir, "model_" + key + ".onnx"); }

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string asked = dir + "/" + name;
  const std::string c = canonicalMember(name);
  if (c == name || canOpen(asked)) return asked;
  const std::string canonical = dir + "/" + c;
  return canOpen(canonical) ? canonical : asked;
}



}  // namespace le
