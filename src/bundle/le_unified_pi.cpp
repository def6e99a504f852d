#include "bundle/le_unified_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "bundle/le_json.h"

namespace le::tessera {

namespace {

using json::JVal;

constexpr int kRows = 21;  // keypoint rows of a frame

// Known pi geometries a bank may have been built against.
struct CorpusRow {
  const char* name;
  float pad_x, pad_y, down;
  bool corner_recovery;
};
constexpr CorpusRow kCorpus[] = {
    {"v1", 0.05f, 0.08f, 0.015f, false},
    {"v2", 0.10f, 0.08f, 0.074f, false},
    {"v3", 0.14f, 0.08f, 0.074f, false},
};
constexpr double kCorpusMatchPx = 8.0;      // best row must lie this near c_canon
constexpr double kCorpusAmbiguousPx = 3.0;  // second best this near the best is a tie

double smoothstep(double u) { return u * u * (3.0 - 2.0 * u); }

// Soft ellipse value at (gx, gy); 0 outside (and for NaN geometry).
double ellValue(const UnifiedPi::EllParams& e, double gx, double gy) {
  const double qx = (gx - e.cx) / e.rx, qy = (gy - e.cy) / e.ry;
  const double t = (1.0 - std::sqrt(qx * qx + qy * qy)) * e.edge / 10.0;
  return t > 0.0 ? smoothstep(std::min(t, 1.0)) : 0.0;
}

// floor/ceil of a pixel bound, clamped before the conversion so that huge
// or NaN geometry cannot overflow it.
int32_t clampedInt(double v, double lo, double hi) { return static_cast<int32_t>(std::fmin(std::fmax(v, lo), hi)); }

std::string twoDecimals(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

// Mean column and row of the bytes >= 128 inside box.
bool byteCentroid(const uint8_t* mask, int canvas, const Box& box, double* x, double* y) {
  const Box b = box.intersect(Box{0, 0, canvas, canvas});
  double sx = 0, sy = 0;
  size_t n = 0;
  for (int r = b.y0; r < b.y1; ++r) {
    const uint8_t* row = mask + static_cast<size_t>(r) * canvas;
    for (int c = b.x0; c < b.x1; ++c)
      if (row[c] >= 128) {
        sx += c;
        sy += r;
        ++n;
      }
  }
  if (n == 0) return false;
  *x = sx / static_cast<double>(n);
  *y = sy / static_cast<double>(n);
  return true;
}

}  // namespace

Box Box::intersect(const Box& o) const {
  Box b{std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

Box Box::unite(const Box& o) const {
  if (empty()) return o;
  if (o.empty()) return *this;
  return {std::min(x0, o.x0), std::min(y0, o.y0), std::max(x1, o.x1), std::max(y1, o.y1)};
}

uint8_t maskByte(double v) { return static_cast<uint8_t>(std::nearbyint(std::fmin(std::fmax(v, 0.0), 1.0) * 255.0)); }

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifest_text, int canvas) {
  if (canvas < 1) throw std::runtime_error("teeth-pi: compose canvas " + std::to_string(canvas) + " is not positive");
  const JVal doc = json::parseMember(manifest_text, "manifest.json");
  const JVal* unified = doc.find("unified");
  if (!unified || unified->kind != JVal::Object)
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the "
        "pi geometry it was baked with; refusing to guess one");
  const JVal& pi = unified->req("pi");
  UnifiedPi u;
  u.canvas = canvas;

  const JVal& mode = pi.req("mode");
  if (mode.kind != JVal::String) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.s != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.s +
                             "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
                             "stamped-geometry rule)");
  u.mode = mode.s;

  if (const JVal* cr = pi.find("corner_recovery")) {
    if (cr->kind == JVal::Bool)
      u.corner_recovery = cr->b;
    else if (cr->kind == JVal::String && cr->s == "lip_landmark_half")
      u.corner_recovery = true;
    else
      throw std::runtime_error(
          "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never "
          "be guessed");
  }

  const JVal& gate = pi.req("prop_gate_scale");
  // A zero, negative or non-finite scale has no ellipse to draw.
  if (gate.kind != JVal::Number || !(gate.num > 0.0) || !std::isfinite(static_cast<float>(gate.num)))
    throw std::runtime_error("teeth-pi: unified.pi.prop_gate_scale is not a positive finite number — refusing");
  u.prop_gate_scale = static_cast<float>(gate.num);

  const JVal& idx = pi.req("lip_idx");
  if (idx.kind != JVal::Array || idx.arr.empty())
    throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& e : idx.arr) {
    const double row = std::trunc(e.num);
    if (!(row >= 0 && row < kRows))
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx names keypoint row " + json::numberText(e.num) +
                               ", and a keypoint row is 0..20 — refusing");
    u.lip_idx.push_back(static_cast<int32_t>(row));
  }

  const JVal& geom = pi.req("lip_geom_params");
  bool geomOk = geom.kind == JVal::Array && geom.arr.size() == 3;
  for (size_t i = 0; geomOk && i < 3; ++i)
    geomOk = geom.arr[i].kind == JVal::Number && std::isfinite(static_cast<float>(geom.arr[i].num));
  if (!geomOk) throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  u.pad_x = static_cast<float>(geom.arr[0].num);
  u.pad_y = static_cast<float>(geom.arr[1].num);
  u.down = static_cast<float>(geom.arr[2].num);

  if (const JVal* crop = unified->find("crop")) {
    if (const JVal* c = crop->find("canvas")) {
      if (c->kind != JVal::Number || c->num != canvas)
        throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                                 " but unified.crop.canvas is " +
                                 (c->kind == JVal::Number ? json::numberText(c->num) : std::string("not a number")));
    }
  }

  u.grid_x.resize(static_cast<size_t>(canvas));
  for (int i = 0; i < canvas; ++i)
    u.grid_x[static_cast<size_t>(i)] = canvas == 1 ? -1.0f : static_cast<float>(2.0 * i / (canvas - 1) - 1.0);
  u.grid_y = u.grid_x;
  return u;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifest_text, int canvas, const float* xs_target,
                                            int n_frames, const double c_canon[2], std::string* detail) {
  if (!xs_target || n_frames < 1)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing "
        "to fall back to the stamped geometry, which is the GRAPH's compose field");
  const UnifiedPi stamped = fromManifestJson(manifest_text, canvas);
  struct Candidate {
    const CorpusRow* row;
    UnifiedPi pi;
    double x, y, dist;
  };
  std::vector<Candidate> cands;
  for (const CorpusRow& row : kCorpus) {
    Candidate c{&row, stamped, 0, 0, 0};
    c.pi.pad_x = row.pad_x;
    c.pi.pad_y = row.pad_y;
    c.pi.down = row.down;
    c.pi.corner_recovery = row.corner_recovery;
    c.pi.canonicalCentroid(xs_target, n_frames, &c.x, &c.y);
    c.dist = std::hypot(c.x - c_canon[0], c.y - c_canon[1]);
    cands.push_back(std::move(c));
  }
  std::stable_sort(cands.begin(), cands.end(), [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
  auto rows = [&](size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
      s += std::string(i ? ", " : " ") + cands[i].row->name + " at " + twoDecimals(cands[i].dist) + "px";
    return s;
  };
  if (!(cands[0].dist <= kCorpusMatchPx))
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + twoDecimals(c_canon[0]) +
                             "," + twoDecimals(c_canon[1]) + ") within " + twoDecimals(kCorpusMatchPx) + "px —" +
                             rows(cands.size()) +
                             " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody "
                             "can name");
  if (cands[1].dist - cands[0].dist <= kCorpusAmbiguousPx)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " +
                             twoDecimals(kCorpusAmbiguousPx) + "px) —" + rows(2) +
                             " — refusing to guess the bank frame");
  if (detail)
    *detail = std::string("corpus pi geometry ") + cands[0].row->name + ": centroid (" + twoDecimals(cands[0].x) + "," +
              twoDecimals(cands[0].y) + ") at " + twoDecimals(cands[0].dist) + "px from c_canon (" +
              twoDecimals(c_canon[0]) + "," + twoDecimals(c_canon[1]) + "); next " + cands[1].row->name + " at " +
              twoDecimals(cands[1].dist) + "px";
  return std::move(cands[0].pi);
}

UnifiedPi::LipStats UnifiedPi::lipStats(const float* kp) const {
  LipStats st;
  if (lip_idx.empty()) return st;
  for (const int32_t r : lip_idx) {
    st.cx += kp[3 * r];
    st.cy += kp[3 * r + 1];
  }
  st.cx /= static_cast<double>(lip_idx.size());
  st.cy /= static_cast<double>(lip_idx.size());
  for (const int32_t r : lip_idx) {
    st.ax = std::max(st.ax, std::fabs(kp[3 * r] - st.cx));
    st.ay = std::max(st.ay, std::fabs(kp[3 * r + 1] - st.cy));
  }
  return st;
}

UnifiedPi::EllParams UnifiedPi::ellParams(const LipStats& st, double pad_x, double pad_y, double min_rx, double min_ry,
                                          double scale, double down) const {
  EllParams e;
  e.rx = std::max(min_rx, st.ax + pad_x);
  e.ry = std::max(min_ry, st.ay + pad_y);
  if (scale != 1.0) {
    e.rx *= scale;
    e.ry *= scale;
  }
  e.cx = st.cx;
  e.cy = st.cy + down;
  e.edge = std::sqrt(e.rx * e.ry) * 256.0;
  return e;
}

// Scale that puts every lip keypoint inside the padded ellipse with an edge
// margin (the "lip_landmark_half" rule).
double UnifiedPi::cornerScale(const float* kp, const LipStats& st) const {
  const double rx = std::max(0.1, st.ax + pad_x), ry = std::max(0.1, st.ay + pad_y);
  const double s = std::sqrt(rx * ry) * 256.0;
  double r = 0.0;
  for (const int32_t row : lip_idx) {
    const double qx = (kp[3 * row] - st.cx) / rx, qy = (kp[3 * row + 1] - st.cy - down) / ry;
    r = std::max(r, std::sqrt(qx * qx + qy * qy));
  }
  return std::max(1.0, 5.0 / s + r);
}

UnifiedPi::EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats st = lipStats(kp);
  return ellParams(st, pad_x, pad_y, 0.1, 0.1, corner_recovery ? cornerScale(kp, st) : 1.0, down);
}

UnifiedPi::EllParams UnifiedPi::gateParams(const float* kp, double* gate) const {
  const LipStats st = lipStats(kp);
  if (gate) *gate = lip_idx.empty() ? 0.0 : smoothstep(std::clamp((st.ay - 0.02) / 0.01, 0.0, 1.0));
  return ellParams(st, 0.0, 0.0, 0.004, 0.004, prop_gate_scale, 0.0);
}

Box UnifiedPi::ellBox(const EllParams& e) const {
  if (canvas < 2) return {0, 0, canvas, canvas};
  const double half = (canvas - 1) / 2.0, n = canvas;
  auto range = [&](double c, double r, int32_t* lo, int32_t* hi) {
    *lo = clampedInt(std::floor((c - r + 1.0) * half) - 1.0, 0.0, n);
    *hi = std::max(clampedInt(std::ceil((c + r + 1.0) * half) + 2.0, 0.0, n), *lo);
  };
  Box b;
  range(e.cx, e.rx, &b.x0, &b.x1);
  range(e.cy, e.ry, &b.y0, &b.y1);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  return ellBox(lipParams(kp)).unite(ellBox(gateParams(kp, nullptr)));
}

void UnifiedPi::ellMask(const float* kp, float pad_x_, float pad_y_, float min_rx, float min_ry, float scale,
                        float down_, float* out) const {
  const EllParams e = ellParams(lipStats(kp), pad_x_, pad_y_, min_rx, min_ry, scale, down_);
  for (int y = 0; y < canvas; ++y)
    for (int x = 0; x < canvas; ++x)
      out[static_cast<size_t>(y) * canvas + x] = static_cast<float>(ellValue(e, grid_x[x], grid_y[y]));
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const LipStats st = lipStats(kp);
  const float scale = corner_recovery ? static_cast<float>(cornerScale(kp, st)) : 1.0f;
  ellMask(kp, pad_x, pad_y, 0.1f, 0.1f, scale, down, out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  double g = 0.0;
  const EllParams e = gateParams(kp, &g);
  for (int y = 0; y < canvas; ++y)
    for (int x = 0; x < canvas; ++x)
      out[static_cast<size_t>(y) * canvas + x] = static_cast<float>(ellValue(e, grid_x[x], grid_y[y]) * g);
}

template <class Fn>
void UnifiedPi::forEachPi(const float* kp, const Box& box, Fn&& fn) const {
  double g = 0.0;
  const EllParams lip = lipParams(kp), gate = gateParams(kp, &g);
  for (int y = box.y0; y < box.y1; ++y)
    for (int x = box.x0; x < box.x1; ++x) {
      const double gx = grid_x[x], gy = grid_y[y];
      fn(static_cast<size_t>(y) * canvas + x, std::max(ellValue(lip, gx, gy), ellValue(gate, gx, gy) * g));
    }
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  forEachPi(kp, Box{0, 0, canvas, canvas}, [out](size_t i, double v) { out[i] = maskByte(v); });
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  std::fill(out, out + static_cast<size_t>(canvas) * canvas, uint8_t{0});
  forEachPi(kp, supportBox(kp), [out](size_t i, double v) { out[i] = maskByte(v); });
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* shrink, const Box& box, uint8_t* out) const {
  std::fill(out, out + static_cast<size_t>(canvas) * canvas, uint8_t{0});
  const Box within = supportBox(kp).intersect(box.intersect(Box{0, 0, canvas, canvas}));
  forEachPi(kp, within, [out, shrink](size_t i, double v) {
    if (shrink[i] > 0.0f) out[i] = maskByte(std::min(static_cast<double>(shrink[i]), v));
  });
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double* x, double* y) const {
  return piU8Centroid(mask, Box{0, 0, canvas, canvas}, x, y);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double* x, double* y) const {
  return byteCentroid(mask, canvas, box, x, y);
}

bool maskShift(const uint8_t* mask, int canvas, const Box& box, const double canon[2], int* dy, int* dx) {
  double x = 0, y = 0;
  if (!byteCentroid(mask, canvas, box, &x, &y)) return false;
  *dy = static_cast<int>(std::nearbyint(y - canon[1]));
  *dx = static_cast<int>(std::nearbyint(x - canon[0]));
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double canon[2], uint8_t* out, int* dy, int* dx) const {
  piU8Boxed(kp, out);
  return maskShift(out, canvas, supportBox(kp), canon, dy, dx);
}

void UnifiedPi::canonicalCentroid(const float* frames, int n, double* x, double* y) const {
  std::vector<uint8_t> mask(static_cast<size_t>(canvas) * canvas);
  double sx = 0, sy = 0;
  int used = 0;
  for (int i = 0; i < n; ++i) {
    const float* kp = frames + static_cast<size_t>(i) * 63;
    piU8Boxed(kp, mask.data());  // piU8's values: nothing lies outside the support box
    double cx = 0, cy = 0;
    if (!piU8Centroid(mask.data(), supportBox(kp), &cx, &cy)) continue;
    sx += cx;
    sy += cy;
    ++used;
  }
  if (used == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame is "
        "identified by");
  *x = sx / used;
  *y = sy / used;
}

}  // namespace le::tessera
