/*
 * le: the stream runner.
 *
 * One call turns a whole utterance of 16 kHz mono speech into finished video
 * frames delivered to a callback: the bundle's FCA model predicts a keypoint
 * offset per 40 ms frame, a render thread renders the face crops and the
 * calling thread pastes them into the driver frames, in order.
 *
 *     le_stream* s = le_stream_create("avatar", "avatar/audio_encoder.onnx", 0, 0, 1.0f);
 *     if (!s) { fprintf(stderr, "%s\n", le_stream_last_error()); return 1; }
 *     int frames = le_stream_run(s, pcm, n, on_frame, my_encoder);
 *     if (frames < 0) fprintf(stderr, "%s\n", le_stream_last_error());
 *     le_stream_destroy(s);
 *
 *     static void on_frame(void* user, int index, const uint8_t* rgb, int w, int h) {
 *       encode(user, index, rgb, w, h);  // rgb: w x h x 3, valid during the call only
 *     }
 *
 * A handle serves any number of runs, one at a time. Errors are reported
 * through a per-thread text, le_stream_last_error(), cleared by every call
 * of this family except the accessors.
 */
#ifndef LE_LE_STREAM_H
#define LE_LE_STREAM_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A render context over a bundle, its FCA model and template keypoints. */
typedef struct le_stream le_stream;

/* Receives finished frame index (0, 1, ... in order) as packed RGB. */
typedef void (*le_stream_frame_fn)(void* user, int index, const uint8_t* rgb, int width, int height);

/*
 * Opens bundle (a directory or an .imx container) for rendering with its
 * "render" director, the FCA model "fca_stream.onnx" in the bundle directory
 * over speech_model (the long-window speech encoder), and the bundle's
 * template keypoints (xs_target.bin, NT rows of 63 floats). threads is the
 * thread count of the renderer and the models (<= 0: the engine's choice).
 * skip leading frames of every utterance are dropped; gain scales the FCA
 * offsets. Returns NULL on failure with le_stream_last_error() set:
 * "le_stream_create: " and the reason, "le_fca_create: " and the FCA error,
 * or "le_stream_create: cannot read xs_target.bin (NT*63 f32)".
 */
LE_API le_stream* le_stream_create(const char* bundle, const char* speech_model, int threads, int skip,
                                   float gain);

/*
 * Renders the utterance pcm (n samples): F = ceil(n / 640) frames, of which
 * the first skip are dropped; frame i plays over template frame i mod NT with
 * the template's keypoints plus gain times the FCA offset. Calls fn on the
 * calling thread for every delivered frame, in order. Returns the number of
 * frames delivered (0 when n < 1 or skip >= F), or -1 with
 * le_stream_last_error() set: "le_fca_deltas: " and the FCA error,
 * "le_stream_run: render/paste failed" (after the frames before the failure
 * were delivered), or "le_stream_run: " and another reason.
 */
LE_API int le_stream_run(le_stream* s, const float* pcm, int n, le_stream_frame_fn fn, void* user);

/* The frame size of the render context; 0 for NULL. */
LE_API int le_stream_width(le_stream* s);
LE_API int le_stream_height(le_stream* s);

/* This thread's last stream error text; never NULL, empty after success. */
LE_API const char* le_stream_last_error(void);

/* Destroys the FCA handle, the render context and the tables. NULL does nothing. */
LE_API void le_stream_destroy(le_stream* s);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_STREAM_H */
