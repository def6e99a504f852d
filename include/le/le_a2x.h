/*
 * le: streaming audio-to-expression.
 *
 * Turns live 16 kHz mono speech (float samples) into facial keypoints at 25
 * frames per second, 640 samples per frame. The host pushes audio as it
 * arrives and pulls keypoint frames as soon as enough look-ahead audio
 * exists; each frame is a row of le_host_kp_rows() x 3 = 63 floats: the
 * bundle's template frame that the frame plays over, plus the offset the
 * model predicts for it. Audio is released in blocks of 8 frames (5120
 * samples), so the frames do not depend on how the audio was cut into
 * pushes.
 *
 * The speech front-end model is named by the environment variable W2V_ONNX
 * and shared by every handle of the process (the first model opened stays
 * for the life of the process). When a short-window trunk and head are
 * deployed (LE_A2X_W2V_WIN_ONNX and LE_A2X_W2V_HEAD_ONNX, or
 * audio_encoder_fp16_window_{trunk,head}.onnx beside the model) features are
 * made per 8-frame block; otherwise from 8-second windows.
 *
 * A handle is used by one thread at a time. Errors are reported through a
 * per-thread text, le_a2x_last_error(), cleared by every call of this family
 * except the accessors le_a2x_nt, le_a2x_total and le_a2x_width.
 */
#ifndef LE_LE_A2X_H
#define LE_LE_A2X_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One streaming audio-to-expression model over a bundle, with the audio,
 * features and frames of the current utterance. */
typedef struct le_a2x le_a2x;

/*
 * Opens the a2x models of bundle (a directory or an .imx container):
 * a2x_meta.json, a2x_pos.f32, a2x_norm.f32, the template keypoints
 * xs_target.bin, a2x_enc_stream.onnx and a2x_dec.onnx, and the shared speech
 * front-end from $W2V_ONNX. threads is the intra-op thread count; values
 * outside 1 .. engine workers - 1 use the engine's worker count. The
 * template cursor starts at frame 0, forward, looping.
 * Returns NULL on failure; le_a2x_last_error() then reads "le_a2x_create: "
 * and the reason, e.g. "a2x_meta.json missing in DIR", "meta lacks causal
 * window/left (not a streaming a2x)", "pos/norm/xs_target read failed",
 * "$W2V_ONNX not set" or "shared w2v load failed".
 */
LE_API le_a2x* le_a2x_create(const char* bundle, int threads);

/* Releases the handle. NULL does nothing. */
LE_API void le_a2x_destroy(le_a2x* a2x);

/*
 * Appends n samples of pcm to the current utterance; no frame is computed
 * here. Returns 1 (n < 1 appends nothing), or 0 for a NULL handle or a NULL
 * pcm with n >= 1.
 */
LE_API int le_a2x_push(le_a2x* a2x, const float* pcm, int n);

/* Marks the end of the utterance: the look-ahead no longer holds frames
 * back, and the last partial frame counts. NULL does nothing. */
LE_API void le_a2x_finish(le_a2x* a2x);

/*
 * Starts a new utterance: drops its audio and frames and restores the
 * decoder's start state. The template cursor starts at frame start (start <
 * 0: the frame the next pull would have played, so the template plays on
 * without a jump), runs backwards when dir < 0, and with loop != 0 wraps
 * around the template frames, else bounces between its first and last
 * frame. NULL does nothing.
 */
LE_API void le_a2x_reset(le_a2x* a2x, int start, int dir, int loop);

/*
 * Frames ready to pull now (>= 0), after producing the next step of them
 * when audio allows. A model error is reported as "le_a2x extend: " and the
 * reason; frames produced before it stay available. 0 for NULL.
 */
LE_API int le_a2x_avail(le_a2x* a2x);

/*
 * Pulls up to max frames, producing them first when none are waiting. For
 * frame i written: idx[i] is the template frame it plays over, base[63 i ..]
 * that template row and out[63 i ..] the template row plus the predicted
 * offset. idx, base and out hold max entries (ints, rows, rows) and any of
 * them may be NULL to skip it. Returns the number of frames written (0 when
 * none is ready, max < 1, or for NULL). Errors as le_a2x_avail.
 */
LE_API int le_a2x_pull(le_a2x* a2x, int* idx, float* base, float* out, int max);

/* le_a2x_pull, also writing each frame's width value to wn[i] (0 when the
 * encoder has no width output; wn may be NULL). */
LE_API int le_a2x_pull_wn(le_a2x* a2x, int* idx, float* base, float* out, float* wn, int max);

/*
 * The whole utterance pcm (n samples) at once, independent of the streaming
 * state: writes ceil(n / 640) offset rows of 63 floats (without the
 * template) to out. Returns the frame count; 0 for n <= 0; -2 when the
 * frames exceed max_frames (nothing written, no error text); -1 on an error
 * ("le_a2x_deltas: " and the reason; also for a NULL handle, pcm or out).
 */
LE_API int le_a2x_deltas(le_a2x* a2x, const float* pcm, int n, float* out, int max_frames);

/* le_a2x_deltas, also writing one width value per frame to wn (max_frames
 * floats). Returns -3 with "le_a2x_deltas_wn: encoder declares no wn output"
 * when the encoder has no width output. */
LE_API int le_a2x_deltas_wn(le_a2x* a2x, const float* pcm, int n, float* out, float* wn, int max_frames);

/* Template frames of the bundle; 0 for NULL. */
LE_API int le_a2x_nt(le_a2x* a2x);

/* Frames of the utterance, ceil(samples / 640), once finished; -1 before
 * le_a2x_finish and for NULL. */
LE_API int le_a2x_total(le_a2x* a2x);

/* 1 when the encoder declares the width output "wn", else 0 (also for NULL). */
LE_API int le_a2x_width(le_a2x* a2x);

/* Stores the host's eager setting; production does not depend on it. NULL
 * does nothing. */
LE_API void le_a2x_set_eager(le_a2x* a2x, int eager);

/* The calling thread's a2x error text: empty after a call that succeeded,
 * otherwise "function: reason". Owned by the library, valid until the
 * thread's next a2x call; never NULL. */
LE_API const char* le_a2x_last_error(void);

/*
 * Opens the shared speech front-end now rather than in the first
 * le_a2x_create: from path, or $W2V_ONNX when path is NULL or empty, with the
 * engine's worker count. Returns 1 when the front-end is open (possibly an
 * earlier one: the first model opened stays), 0 with "le_a2x_preload_w2v: no
 * path and $W2V_ONNX unset" or "le_a2x_preload_w2v: shared w2v load failed".
 */
LE_API int le_a2x_preload_w2v(const char* path);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_A2X_H */
