/*
 * le: motion generator.
 *
 * Turns speech into driving keypoints for the render family (le/le.h). The
 * generator works from a motion directory of its own: three ONNX models
 * ("hubert_student.onnx", "lmdm.onnx", "stitch.onnx"), "meta.json", its
 * tables and "xs_target.bin", the bundle's template keypoints (nt frames of
 * le_host_kp_rows() x 3 floats). It generates motion 80 video frames at a
 * time (each chunk cross-fades over the last 10 frames of the one before) and
 * turns every motion frame into keypoints on one template frame, which a
 * template cursor walks through the nt frames, looping or bouncing.
 *
 * Audio is 16 kHz mono float32; a video frame is 640 samples (25 per second).
 * The host pushes audio, pulls frames as they become ready and calls
 * le_motion_finish at the end of the utterance; le_motion_reset starts the
 * next one. Production (speech analysis and model runs) happens inside
 * le_motion_avail, le_motion_pull and le_motion_finish.
 *
 * A handle is used by one thread at a time. Errors are reported through a
 * per-thread text, le_motion_last_error(), cleared on entry to every function
 * that can fail.
 */
#ifndef LE_LE_MOTION_H
#define LE_LE_MOTION_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One motion generator over one motion directory. */
typedef struct le_motion le_motion;

/*
 * The calling thread's motion-family error text: empty after a call that
 * succeeded, otherwise "function: reason". Owned by the library, valid until
 * the thread's next motion-family call; never NULL.
 */
LE_API const char* le_motion_last_error(void);

/*
 * Reads the motion directory motion_dir and opens its three models with
 * threads intra-op threads (< 1: the engine's worker count). ep (may be NULL)
 * is the execution provider: NULL or "" for the CPU, or "coreml",
 * "coreml:cpu", "coreml:gpu", "coreml:ane" (where this build has no CoreML
 * provider, the models open on the CPU after one line on stderr).
 * Every table must hold exactly the floats meta.json's counts give.
 * Returns NULL on failure: "le_motion_create: NULL motion_dir", or
 * "le_motion_create: " and the reason, for example "meta.json: missing nt",
 * "cannot open PATH", "short read PATH (...)", "le_motion: n_src != nt
 * unsupported" or "le_motion: unknown ep 'NAME'".
 */
LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep);

/* Releases the generator and its models. NULL does nothing. */
LE_API void le_motion_destroy(le_motion* m);

/*
 * Appends n samples (n >= 0) of the current utterance. Returns 1, or 0 with
 * "le_motion_push: bad args / already finished" for a NULL handle or pcm, a
 * negative n, or after le_motion_finish.
 */
LE_API int le_motion_push(le_motion* m, const float* pcm, int n);

/*
 * Ends the utterance: its frame count (le_motion_total) is the pushed audio
 * in 640-sample frames, a partial last frame counting as one. Runs the rest
 * of the production and the final pass, so that every frame is then
 * available. A second call does nothing. Returns 1, or 0 with
 * "le_motion_finish: bad args" (NULL handle) or "le_motion_finish: " and the
 * reason.
 */
LE_API int le_motion_finish(le_motion* m);

/*
 * Runs the production the pushed audio allows and returns the number of
 * frames le_motion_pull can write now. Before the end of the utterance the
 * last 10 generated frames are held back (the next chunk still blends into
 * them), unless eager production is on. Returns 0 with
 * "le_motion_avail: bad args" (NULL handle) or "le_motion_avail: " and the
 * reason.
 */
LE_API int le_motion_avail(le_motion* m);

/*
 * Runs the production the pushed audio allows, then writes up to max of the
 * available frames, in order: for frame i, idx[i] is its template frame,
 * base + 63 i that frame's template keypoints and out + 63 i the driving
 * keypoints (idx holds max ints, base and out max x 63 floats). Returns the
 * number of frames written; 0 with "le_motion_pull: bad args" (a NULL
 * pointer or max < 0) or "le_motion_pull: " and the reason.
 */
LE_API int le_motion_pull(le_motion* m, int* idx, float* base, float* out, int max);

/*
 * Drops the current utterance (audio, motion, frames not yet pulled) and
 * places the template cursor: at start clamped into 0..nt-1, walking
 * backwards when dir < 0, else forwards; with loop non-zero it wraps around
 * at either end, otherwise it bounces back. The eager setting is kept. NULL
 * does nothing.
 */
LE_API void le_motion_reset(le_motion* m, int start, int dir, int loop);

/*
 * Eager production: 0 (the default) releases frames only once their motion
 * is final. Any other value releases speculative frames up to the frame
 * before the end of the pushed audio, generated from the audio so far and
 * revised for later frames once more audio arrives (frames already pulled
 * stay as they were). A positive value re-runs the speculation after that
 * many new audio frames; a negative value adapts the step to the measured
 * cost of a run (1 to 8 frames). NULL does nothing.
 */
LE_API void le_motion_set_eager(le_motion* m, int eager);

/* The utterance's frame count once finished; -1 before, and for NULL. */
LE_API int le_motion_total(le_motion* m);

/* Template frames (nt) of the motion directory; 0 for NULL. */
LE_API int le_motion_nt(le_motion* m);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_MOTION_H */
