/*
 * le: real-time talking-avatar rendering on the CPU.
 *
 * Render family: the render context, its accessors and the one-frame render
 * and paste calls. Every function of the library is thread-safe to call from
 * any thread unless a handle says otherwise; errors are reported through a
 * per-thread, per-family text.
 */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>
#include <stdint.h>

#if defined(LE_BUILDING_LIBRARY)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One opened avatar bundle: its tables, compositor and driver video. Calls on
 * one context must not run concurrently. */
typedef struct le_ctx le_ctx;

/* A bundle's HEVC warp prior, played frame by frame without a context. */
typedef struct le_prior le_prior;

/* The library's version, "MAJOR.MINOR.PATCH". Never NULL. */
LE_API const char* le_version(void);

/* Number of keypoint rows of one frame (21); each row is x, y, z float32. */
LE_API int le_host_kp_rows(void);

/*
 * The calling thread's render-family error text: empty after a call that
 * succeeded, otherwise "function: reason". Owned by the library, valid until
 * the thread's next render-family call; never NULL.
 */
LE_API const char* le_last_error(void);

/*
 * Opens the bundle at bundle_dir (a directory or an .imx container, unpacked
 * once beside it), validates every member against its manifest and starts the
 * driver video reader. model_key names the director graph used by the first
 * render. threads <= 0 uses the engine's worker count; ep (may be NULL)
 * requests an execution provider for the renderer.
 * Returns NULL on failure, with the reason in le_last_error().
 */
LE_API le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);

/* Releases the context and stops its reader thread. NULL does nothing. */
LE_API void le_destroy(le_ctx* ctx);

/* Accessors; 0 for a NULL context. They neither set nor clear the error. */
LE_API int le_nt(le_ctx* ctx);           /* target frames of the driver video */
LE_API int le_height(le_ctx* ctx);       /* canvas height in pixels */
LE_API int le_width(le_ctx* ctx);        /* canvas width in pixels */
LE_API int le_crop(le_ctx* ctx);         /* side of the square face crop */
LE_API int le_drive_frames(le_ctx* ctx); /* frames of the idle loop */

/*
 * Renders the face crop for target frame si (0 <= si < le_nt) from the
 * source keypoints ks and the driving keypoints kd (le_host_kp_rows() rows
 * of x, y, z each). The first call builds the renderer from the bundle's
 * director graph. Returns three planar float planes (R, G, B) of crop x crop
 * values in 0..1, owned by the context and valid until its next render; NULL
 * on failure.
 */
LE_API const float* le_render_kp_crop(le_ctx* ctx, int si, const float* ks, const float* kd);

/* Renders idle-loop frame d (0 <= d < le_drive_frames) with its stored
 * target frame and keypoints, as le_render_kp_crop. NULL on failure. */
LE_API const float* le_render_drive_crop(le_ctx* ctx, int d);

/*
 * Pastes the crop of the last successful render into target frame si and
 * returns the finished W x H x 3 RGB frame, held by the context until its
 * next le_paste_last or RGBA render. NULL on failure or before any render.
 */
LE_API const uint8_t* le_paste_last(le_ctx* ctx, int si);

/*
 * le_render_kp_crop, then the crop pasted into target frame si, written to
 * out as W x H x 4 RGBA bytes with alpha 255 (out_size >= W*H*4). Returns 1,
 * or 0 on failure; a buffer too small fails after the render, whose crop
 * le_paste_last can still use.
 */
LE_API int le_render_kp_rgba(le_ctx* ctx, int si, const float* ks, const float* kd, uint8_t* out,
                             size_t out_size);

/* le_render_drive_crop(d) pasted into its target frame, as le_render_kp_rgba. */
LE_API int le_render_drive_rgba(le_ctx* ctx, int d, uint8_t* out, size_t out_size);

/*
 * Pastes crop (planar float R, G, B planes of crop x crop values in 0..1)
 * into target frame si (0 <= si < le_nt) of the driver video and writes the
 * finished W x H x 3 RGB frame into out (out_size >= W*H*3 bytes).
 * Returns 1, or 0 on failure (out must then not be used).
 */
LE_API int le_paste_crop(le_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_size);

/*
 * The untouched driver frame si (W x H x 3 RGB) inside the context's frame
 * ring: valid until the context has handed out as many later frames as its
 * history keeps; must not be modified. NULL on failure.
 */
LE_API const uint8_t* le_target_frame(le_ctx* ctx, int si);

/*
 * Opens the HEVC warp prior of a bundle with its own reader thread reading
 * look_ahead frames ahead (below 1: 2) and keeping history frames (below 0:
 * 0). NULL on failure (le_last_error() says why).
 */
LE_API le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history);

/* Copies prior frame si (three planes of crop x crop halves holding
 * value/255) into out (out_size in bytes >= le_prior_row_bytes). 1 or 0. */
LE_API int le_prior_row(le_prior* prior, int si, uint16_t* out, size_t out_size);

/* Bytes of one prior frame, crop x crop x 6; 0 for NULL. */
LE_API size_t le_prior_row_bytes(le_prior* prior);

/* Name of the prior's decoder backend; "" for NULL, never NULL. */
LE_API const char* le_prior_backend(le_prior* prior);

/* Stops the prior's reader and releases it. NULL does nothing. */
LE_API void le_prior_close(le_prior* prior);

#ifdef __cplusplus
} /* extern "C" */

namespace le {
/* Keypoint rows per frame, as le_host_kp_rows(). */
constexpr int kHostKpRows = 21;
}  // namespace le
#endif

#endif /* LE_LE_H */
