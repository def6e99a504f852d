#include "bundle/le_lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "bundle/le_json.h"

namespace le::tessera {

namespace {

using json::JVal;

constexpr int kRows = 21;             // keypoint rows of a frame
constexpr int kMaxMapRows = 8;        // anchor rows a lip map may read
constexpr float kFar = 1e10f;         // distance of a pixel no fill pixel reaches
constexpr float kEdgeStep = 0.955f;   // chamfer cost to an edge neighbour
constexpr float kDiagStep = 1.3693f;  // and to a diagonal neighbour
const std::string kMember = "lip_template.v1.json";

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(kMember + ": " + what); }

bool isRow(const JVal& v) { return v.kind == JVal::Number && v.num >= 0 && v.num < kRows; }

// Keypoint rows of a lip_idx array (already checked by the caller).
std::vector<int32_t> rows(const JVal& arr) {
  std::vector<int32_t> out;
  for (const JVal& e : arr.arr) out.push_back(static_cast<int32_t>(e.num));
  return out;
}

void appendCoefficients(const JVal& arr, std::vector<double>& out) {
  for (const JVal& e : arr.arr) {
    if (e.kind != JVal::Number || !std::isfinite(e.num)) refuse("lip_map carries a non-finite coefficient");
    out.push_back(e.num);
  }
}

void readMap(const JVal& map, int canvas, size_t nv, LipContour& contour) {
  if (map.kind != JVal::Object) refuse("lip_map is not a JSON object");
  const JVal* schema = map.find("schema");
  const std::string schemaName = schema && schema->kind == JVal::String ? schema->s : "";
  if (schemaName != "lip-map-v1")
    refuse("lip_map declares schema '" + schemaName + "', not 'lip-map-v1' — this runtime cannot evaluate it");
  const JVal* kind = map.find("kind");
  if (!kind || kind->kind != JVal::String || kind->s != "anchor-linear") refuse("lip_map kind is not 'anchor-linear'");
  const JVal* idx = map.find("lip_idx");
  if (!idx || idx->kind != JVal::Array || idx->arr.empty() || idx->arr.size() > kMaxMapRows)
    refuse("lip_map lip_idx is not 1..8 kd rows");
  for (const JVal& e : idx->arr)
    if (!isRow(e)) refuse("lip_map lip_idx names a row outside 0..20");
  const JVal* W = map.find("W");
  const JVal* b = map.find("b");
  if (!W || !b || W->kind != JVal::Array || b->kind != JVal::Array) refuse("lip_map carries no W/b arrays");
  if (W->arr.size() != 2 * nv || b->arr.size() != 2 * nv)
    refuse("lip_map W/b have " + std::to_string(W->arr.size()) + "/" + std::to_string(b->arr.size()) +
           " rows, not 2*nv=" + std::to_string(2 * nv));
  const size_t cols = 2 * idx->arr.size();
  std::vector<double> w;
  for (size_t i = 0; i < W->arr.size(); ++i) {
    const JVal& row = W->arr[i];
    if (row.kind != JVal::Array || row.arr.size() != cols)
      refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(cols) + " wide");
  }
  for (const JVal& row : W->arr) appendCoefficients(row, w);
  std::vector<double> off;
  appendCoefficients(*b, off);
  const JVal* c = map.find("canvas");
  if (!c || c->kind != JVal::Number || c->num != canvas)
    refuse("lip_map was fitted on another canvas than this bundle composes on");
  const std::vector<int32_t> mapRows = rows(*idx);
  contour.attachMap(w.data(), off.data(), static_cast<int>(2 * nv), static_cast<int>(cols), mapRows.data(),
                    static_cast<int>(mapRows.size()));
}

int32_t clampedInt(double v, double lo, double hi) { return static_cast<int32_t>(std::fmin(std::fmax(v, lo), hi)); }

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  JVal doc;
  try {
    json::JParser p(text);
    doc = p.val();
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (doc.kind != JVal::Object) refuse("is not a JSON object");
  const JVal* format = doc.find("format");
  if (!format || format->kind != JVal::String) refuse("carries no string `format`");
  if (format->s != "lip-template-v1")
    refuse("declares format '" + format->s + "', not 'lip-template-v1' — this runtime cannot read it");
  const JVal* edge = doc.find("edge");
  if (edge && edge->kind == JVal::String && edge->s == "outward")
    refuse(
        "declares edge 'outward', and the contour feather is OUTWARD — refusing to serve a mask this runtime does "
        "not compute");
  const JVal* c = doc.find("canvas");
  if (!c || c->kind != JVal::Number) refuse("carries no numeric `canvas`");
  if (c->num != canvas)
    refuse("was baked on a " + json::numberText(c->num) + " canvas but this bundle composes on " +
           std::to_string(canvas) + " — refusing to deform a polygon onto a canvas it does not name");
  const JVal* feather = doc.find("feather_px");
  if (!feather || feather->kind != JVal::Number) refuse("carries no numeric `feather_px`");
  if (!(feather->num > 0)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%f", feather->num);
    refuse(std::string("declares feather_px ") + buf + ", which is not positive");
  }
  const JVal* uc = doc.find("u_canon");
  if (!uc || uc->kind != JVal::Array || uc->arr.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> u;
  for (size_t i = 0; i < uc->arr.size(); ++i) {
    const JVal& row = uc->arr[i];
    const bool pair = row.kind == JVal::Array && row.arr.size() == 2 && row.arr[0].kind == JVal::Number &&
                      row.arr[1].kind == JVal::Number && std::isfinite(row.arr[0].num) && std::isfinite(row.arr[1].num);
    if (!pair) refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    u.push_back(row.arr[0].num);
    u.push_back(row.arr[1].num);
  }
  const JVal* idx = doc.find("lip_idx");
  if (!idx || idx->kind != JVal::Array || idx->arr.empty()) refuse("carries a `lip_idx` that is not a non-empty array");
  for (const JVal& e : idx->arr)
    if (!isRow(e)) refuse("lip_idx names keypoint row " + json::numberText(e.num) + ", and a kd row is 0..20");
  const std::vector<int32_t> anchors = rows(*idx);
  const size_t nv = uc->arr.size();
  LipContour contour(canvas, feather->num, u.data(), static_cast<int>(nv), anchors.data(),
                     static_cast<int>(anchors.size()));
  if (const JVal* map = doc.find("lip_map")) readMap(*map, canvas, nv, contour);
  return contour;
}

LipContour::LipContour(int canvas, double feather_px, const double* u_canon, int nv, const int32_t* lip_idx, int n)
    : canvas_(canvas), feather_(feather_px) {
  if (canvas < 1 || !(feather_px > 0) || nv < 1 || n < 1)
    throw std::invalid_argument("LipContour: needs a canvas, a positive feather, vertices and anchor rows");
  for (int i = 0; i < n; ++i)
    if (lip_idx[i] < 0 || lip_idx[i] >= kRows) throw std::invalid_argument("LipContour: anchor row outside 0..20");
  u_.assign(u_canon, u_canon + 2 * static_cast<size_t>(nv));
  anchors_.assign(lip_idx, lip_idx + n);
}

void LipContour::attachMap(const double* W, const double* b, int rows, int cols, const int32_t* lip_idx, int n) {
  bool ok = n >= 1 && n <= kMaxMapRows && rows == 2 * vertexCount() && cols == 2 * n;
  for (int i = 0; ok && i < n; ++i) ok = lip_idx[i] >= 0 && lip_idx[i] < kRows;
  if (!ok) refuse("lip_map shape does not match the template");
  W_.assign(W, W + static_cast<size_t>(rows) * cols);
  b_.assign(b, b + rows);
  mapRows_.assign(lip_idx, lip_idx + n);
}

void LipContour::polygon(const float* kp, double* out) const {
  const double half = canvas_ / 2.0;
  auto X = [&](int32_t r) { return (kp[3 * r] + 1.0) * half; };
  auto Y = [&](int32_t r) { return (kp[3 * r + 1] + 1.0) * half; };
  double mx = 0, my = 0;
  for (const int32_t r : anchors_) {
    mx += X(r);
    my += Y(r);
  }
  mx /= static_cast<double>(anchors_.size());
  my /= static_cast<double>(anchors_.size());
  const size_t n2 = u_.size();
  if (!hasMap()) {
    double sx = 0, sy = 0;
    for (const int32_t r : anchors_) {
      sx = std::max(sx, std::fabs(X(r) - mx));
      sy = std::max(sy, std::fabs(Y(r) - my));
    }
    sx = std::max(1e-6, sx);
    sy = std::max(1e-6, sy);
    for (size_t j = 0; j < n2; j += 2) {
      out[j] = sx * u_[j] + mx;
      out[j + 1] = sy * u_[j + 1] + my;
    }
    return;
  }
  double f[2 * kMaxMapRows];
  const size_t m2 = 2 * mapRows_.size();
  for (size_t i = 0; i < mapRows_.size(); ++i) {
    f[2 * i] = X(mapRows_[i]) - mx;
    f[2 * i + 1] = Y(mapRows_[i]) - my;
  }
  for (size_t j = 0; j < n2; ++j) {
    const double* w = W_.data() + j * m2;
    double v = b_[j];
    for (size_t i = 0; i < m2; ++i) v += w[i] * f[i];
    out[j] = v + (j % 2 ? my : mx);
  }
}

Box LipContour::box(const double* vertices) const {
  double x0 = vertices[0], x1 = x0, y0 = vertices[1], y1 = y0;
  for (size_t j = 0; j < u_.size(); j += 2) {
    if (!std::isfinite(vertices[j]) || !std::isfinite(vertices[j + 1])) return {};
    x0 = std::min(x0, vertices[j]);
    x1 = std::max(x1, vertices[j]);
    y0 = std::min(y0, vertices[j + 1]);
    y1 = std::max(y1, vertices[j + 1]);
  }
  // A pixel k steps from the fill lies at least k edge steps away.
  const double reach = std::ceil(std::fmin(feather_, canvas_) / kEdgeStep) + 1.0;
  const double n = canvas_;
  Box b{clampedInt(std::floor(x0) - reach, 0, n), clampedInt(std::floor(y0) - reach, 0, n),
        clampedInt(std::ceil(x1) + reach, 0, n), clampedInt(std::ceil(y1) + reach, 0, n)};
  if (b.empty()) return {};
  return b;
}

// Even-odd fill of pixel centres: an edge counts on a row when its end points
// straddle the centre line half-open, so shared vertices count once.
template <class Fn>
void LipContour::forEachSpan(const double* v, const Box& box, Fn&& fn) const {
  const Box bx = box.intersect(Box{0, 0, canvas_, canvas_});
  const size_t nv = u_.size() / 2;
  for (size_t j = 0; j < 2 * nv; ++j)
    if (!std::isfinite(v[j])) return;
  std::vector<double> xs;
  xs.reserve(nv);
  for (int r = bx.y0; r < bx.y1; ++r) {
    const double yc = r + 0.5;
    xs.clear();
    for (size_t i = 0; i < nv; ++i) {
      const size_t k = (i + 1) % nv;
      const double xa = v[2 * i], ya = v[2 * i + 1], xb = v[2 * k], yb = v[2 * k + 1];
      if ((ya <= yc) == (yb <= yc)) continue;
      const double x = xa + (yc - ya) * (xb - xa) / (yb - ya);
      xs.push_back(std::isnan(x) ? -HUGE_VAL : x);  // only from overflowing geometry
    }
    std::sort(xs.begin(), xs.end());
    for (size_t i = 0; i + 1 < xs.size(); i += 2) {
      const int32_t a = clampedInt(std::ceil(xs[i] - 0.5), bx.x0, bx.x1);
      const int32_t b = clampedInt(std::ceil(xs[i + 1] - 0.5), bx.x0, bx.x1);
      if (a < b) fn(r, a, b);
    }
  }
}

void LipContour::fillScanline(const double* vertices, const Box& box, uint8_t* out) const {
  const Box bx = box.intersect(Box{0, 0, canvas_, canvas_});
  for (int r = bx.y0; r < bx.y1; ++r)
    std::fill(out + static_cast<size_t>(r) * canvas_ + bx.x0, out + static_cast<size_t>(r) * canvas_ + bx.x1,
              uint8_t{0});
  forEachSpan(vertices, bx, [&](int r, int a, int b) {
    std::fill(out + static_cast<size_t>(r) * canvas_ + a, out + static_cast<size_t>(r) * canvas_ + b, uint8_t{1});
  });
}

void LipContour::contourF32(const double* vertices, const Box& box, float* out) const {
  const Box bx = box.intersect(Box{0, 0, canvas_, canvas_});
  if (bx.empty()) return;
  const size_t stride = static_cast<size_t>(canvas_);
  const int x0 = bx.x0, x1 = bx.x1;
  auto row = [&](int r) { return out + static_cast<size_t>(r) * stride; };
  // The distances live in out until the last step maps them to the mask.
  for (int r = bx.y0; r < bx.y1; ++r) std::fill(row(r) + x0, row(r) + x1, kFar);
  forEachSpan(vertices, bx, [&](int r, int a, int b) { std::fill(row(r) + a, row(r) + b, 0.0f); });

  // One pass of the two-pass chamfer transform: first the three neighbours
  // of the row already done (independent per pixel), then the neighbour
  // along the row (a running minimum).
  auto pass = [&](int r, const float* prev, int dir) {
    float* d = row(r);
    if (prev) {
      d[x0] = std::min({d[x0], prev[x0] + kEdgeStep, x0 + 1 < x1 ? prev[x0 + 1] + kDiagStep : kFar});
      for (int x = x0 + 1; x < x1 - 1; ++x)
        d[x] = std::min(std::min(d[x], prev[x] + kEdgeStep), std::min(prev[x - 1], prev[x + 1]) + kDiagStep);
      if (x1 - 1 > x0) d[x1 - 1] = std::min({d[x1 - 1], prev[x1 - 1] + kEdgeStep, prev[x1 - 2] + kDiagStep});
    }
    if (dir > 0)
      for (int x = x0 + 1; x < x1; ++x) d[x] = std::min(d[x], d[x - 1] + kEdgeStep);
    else
      for (int x = x1 - 2; x >= x0; --x) d[x] = std::min(d[x], d[x + 1] + kEdgeStep);
  };
  for (int r = bx.y0; r < bx.y1; ++r) pass(r, r > bx.y0 ? row(r - 1) : nullptr, +1);
  for (int r = bx.y1 - 1; r >= bx.y0; --r) pass(r, r + 1 < bx.y1 ? row(r + 1) : nullptr, -1);

  const float inv = static_cast<float>(1.0 / feather_);
  for (int r = bx.y0; r < bx.y1; ++r) {
    float* d = row(r);
    for (int x = x0; x < x1; ++x) {
      const float u = std::min(1.0f, 1.0f - d[x] * inv);
      d[x] = u > 0.0f ? u * u * (3.0f - 2.0f * u) : 0.0f;
    }
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) const {
  std::vector<double> v(u_.size());
  polygon(kp, v.data());
  const Box b = box(v.data());
  const size_t n = static_cast<size_t>(canvas_);
  // Zero only what the contour does not write: the rows around the box and
  // the strips beside it.
  std::fill(out, out + static_cast<size_t>(b.y0) * n, 0.0f);
  for (int r = b.y0; r < b.y1; ++r) {
    std::fill(out + r * n, out + r * n + b.x0, 0.0f);
    std::fill(out + r * n + b.x1, out + (r + 1) * n, 0.0f);
  }
  std::fill(out + static_cast<size_t>(b.y1) * n, out + n * n, 0.0f);
  contourF32(v.data(), b, out);
}

Box LipContour::contourScratch(const float* kp) {
  scratch_.resize(static_cast<size_t>(canvas_) * canvas_);
  vertices_.resize(u_.size());
  polygon(kp, vertices_.data());
  const Box b = box(vertices_.data());
  contourF32(vertices_.data(), b, scratch_.data());
  return b;
}

Box LipContour::delivered(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  if (pi.canvas != canvas_) throw std::invalid_argument("LipContour: pi composes on another canvas");
  const Box b = contourScratch(kp);
  if (b.empty()) {
    std::fill(out, out + static_cast<size_t>(canvas_) * canvas_, uint8_t{0});
    return b;
  }
  pi.piU8ShrunkBy(kp, scratch_.data(), b, out);
  return b;
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) { delivered(kp, pi, out); }

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double canon[2], uint8_t* out, int* dy,
                                     int* dx) {
  // Nothing outside the contour's box is delivered.
  return maskShift(out, canvas_, delivered(kp, pi, out), canon, dy, dx);
}

void LipContour::shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask) {
  const Box reach = contourScratch(kp);
  const Box bx = box.intersect(Box{0, 0, canvas_, canvas_});
  for (int r = bx.y0; r < bx.y1; ++r) {
    uint8_t* m = mask + static_cast<size_t>(r) * canvas_;
    const float* c = scratch_.data() + static_cast<size_t>(r) * canvas_;
    const bool rowReached = r >= reach.y0 && r < reach.y1;
    for (int x = bx.x0; x < bx.x1; ++x) {
      const bool reached = rowReached && x >= reach.x0 && x < reach.x1;
      m[x] = std::min(m[x], reached ? maskByte(c[x]) : uint8_t{0});
    }
  }
}

}  // namespace le::tessera
