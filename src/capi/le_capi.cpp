#include "le/le.h"

#include <cstring>
#include <exception>

#include "capi/le_error.h"
#include "kernels/le_pool.h"
#include "pipeline/le_ctx.h"

using le::capi::renderError;
using le::capi::setArgErr;
using le::capi::setErr;

namespace {

bool validFrame(const le_ctx* ctx, int si) { return si >= 0 && si < ctx->manifest.NT; }

size_t canvasBytes(const le_ctx* ctx, int channels) {
  return static_cast<size_t>(ctx->manifest.W) * ctx->manifest.H * channels;
}

// The RGBA forms' shared tail: the last render pasted into frame si, widened
// to R, G, B, 255.
int pasteToRGBA(le_ctx* ctx, int si, uint8_t* out, size_t out_size) {
  if (!out || out_size < canvasBytes(ctx, 4)) {
    renderError() = "le_render_*_rgba: out buffer too small";
    return 0;
  }
  const uint8_t* rgb = le_paste_last(ctx, si);
  if (!rgb) return 0;
  const size_t pixels = canvasBytes(ctx, 1);
  for (size_t p = 0; p < pixels; ++p) {
    std::memcpy(out + 4 * p, rgb + 3 * p, 3);
    out[4 * p + 3] = 255;
  }
  return 1;
}

}  // namespace

extern "C" {

LE_API const char* le_version(void) { return LE_VERSION_STRING; }

LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }

LE_API const char* le_last_error(void) { return renderError().c_str(); }

LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  renderError().clear();
  if (!bundle_dir || !model_key) {
    setArgErr(renderError(), "le_create", "NULL bundle_dir/model_key");
    return nullptr;
  }
  const bool explicitThreads = threads > 0;
  if (threads < 1) threads = le::pool::threads();
  try {
    return new le_ctx(bundle_dir, model_key, threads, ep ? ep : "", explicitThreads);
  } catch (const std::exception& e) {
    setErr(renderError(), "le_create", e);
    return nullptr;
  }
}

LE_API void le_destroy(le_ctx* ctx) { delete ctx; }

LE_API int le_nt(le_ctx* ctx) { return ctx ? ctx->manifest.NT : 0; }
LE_API int le_height(le_ctx* ctx) { return ctx ? ctx->manifest.H : 0; }
LE_API int le_width(le_ctx* ctx) { return ctx ? ctx->manifest.W : 0; }
LE_API int le_crop(le_ctx* ctx) { return ctx ? ctx->manifest.crop : 0; }
LE_API int le_drive_frames(le_ctx* ctx) { return ctx ? ctx->drive.frames : 0; }

LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* ks, const float* kd) {
  renderError().clear();
  if (!ctx || !ks || !kd || !validFrame(ctx, si)) {
    setArgErr(renderError(), "le_render_kp_crop", "bad args");
    return nullptr;
  }
  try {
    ctx->lastCrop = ctx->ensureRenderer().render(&si, ks, kd, 1);
    return ctx->lastCrop;
  } catch (const std::exception& e) {
    setErr(renderError(), "le_render_kp_crop", e);
    return nullptr;
  }
}

LE_API const float* le_render_drive_crop(le_ctx* ctx, int d) {
  renderError().clear();
  if (!ctx || d < 0 || d >= ctx->drive.frames) {
    setArgErr(renderError(), "le_render_drive_crop", "bad frame index");
    return nullptr;
  }
  const size_t row = static_cast<size_t>(d) * le::kHostKpRows * 3;
  return le_render_kp_crop(ctx, ctx->drive.si[d], ctx->drive.xs.data() + row, ctx->drive.xd.data() + row);
}

LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si) {
  renderError().clear();
  if (!ctx || !ctx->lastCrop || !validFrame(ctx, si)) {
    setArgErr(renderError(), "le_paste_last", "bad args / no prior render");
    return nullptr;
  }
  try {
    ctx->pasteInto(si, ctx->lastCrop, ctx->frame.data());
    return ctx->frame.data();
  } catch (const std::exception& e) {
    setErr(renderError(), "le_paste_last", e);
    return nullptr;
  }
}

LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* ks, const float* kd, uint8_t* out,
                             size_t out_size) {
  renderError().clear();
  if (!ctx || !le_render_kp_crop(ctx, si, ks, kd)) return 0;
  return pasteToRGBA(ctx, si, out, out_size);
}

LE_API int le_render_drive_rgba(le_ctx* ctx, int d, uint8_t* out, size_t out_size) {
  renderError().clear();
  if (!ctx || !le_render_drive_crop(ctx, d)) return 0;
  return pasteToRGBA(ctx, ctx->drive.si[d], out, out_size);
}

LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_size) {
  renderError().clear();
  if (!ctx || !crop || !out || !validFrame(ctx, si) || out_size < canvasBytes(ctx, 3)) {
    setArgErr(renderError(), "le_paste_crop", "bad args / out too small");
    return 0;
  }
  try {
    ctx->pasteInto(si, crop, out);
    return 1;
  } catch (const std::exception& e) {
    setErr(renderError(), "le_paste_crop", e);
    return 0;
  }
}

LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si) {
  renderError().clear();
  if (!ctx || !validFrame(ctx, si)) {
    setArgErr(renderError(), "le_target_frame", "bad args");
    return nullptr;
  }
  try {
    int index = -1;
    return ctx->cursor->pullAt(si, &index);
  } catch (const std::exception& e) {
    setErr(renderError(), "le_target_frame", e);
    return nullptr;
  }
}

LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history) {
  renderError().clear();
  if (!bundle_dir) {
    setArgErr(renderError(), "le_prior_open", "NULL bundle_dir");
    return nullptr;
  }
  try {
    auto h = std::make_unique<le_prior>();
    h->manifest = le::loadManifest(bundle_dir);
    h->cursor = le::DriverCursor::openPrior(h->manifest.video, look_ahead < 1 ? 2 : look_ahead, history < 0 ? 0 : history);
    h->backend = h->cursor->name();
    return h.release();
  } catch (const std::exception& e) {
    setErr(renderError(), "le_prior_open", e);
    return nullptr;
  }
}

LE_API int le_prior_row(le_prior* h, int si, uint16_t* out, size_t out_size) {
  renderError().clear();
  if (!h || !out) {
    setArgErr(renderError(), "le_prior_row", "NULL prior/out");
    return 0;
  }
  const size_t bytes = h->cursor->frameBytes();
  if (out_size < bytes) {
    renderError() = "le_prior_row: cap " + std::to_string(out_size) + " < row bytes " + std::to_string(bytes);
    return 0;
  }
  try {
    h->cursor->pullAt(si, reinterpret_cast<uint8_t*>(out));
    return 1;
  } catch (const std::exception& e) {
    setErr(renderError(), "le_prior_row", e);
    return 0;
  }
}

LE_API size_t le_prior_row_bytes(le_prior* h) { return h ? h->cursor->frameBytes() : 0; }

LE_API const char* le_prior_backend(le_prior* h) { return h ? h->backend.c_str() : ""; }

LE_API void le_prior_close(le_prior* h) { delete h; }

}  // extern "C"
