/*
 * le: the utterance pipeline, the real-time front of the engine.
 *
 * The host pushes 16 kHz speech as it arrives and pulls finished frames at
 * its own pace. While no speech plays, the frames are the bundle's driver
 * video (the idle loop); speech is turned into keypoints by the audio model,
 * rendered, pasted and queued; when an utterance ends the face ramps back to
 * the idle loop. Four threads owned by the handle do the work.
 *
 *     le_ctx* ctx = le_create("avatar", "render", 0, NULL);
 *     le_utt* u = le_utt_open(ctx, "avatar");  // the bundle's own audio model
 *     while (le_utt_ready(u) == 0) sleep_ms(10);
 *     size_t size = (size_t)le_width(ctx) * le_height(ctx) * 3;
 *     uint8_t* rgb = malloc(size);
 *     le_utt_push_audio(u, pcm, n);             // 16-bit mono, any piece size
 *     le_utt_end_utterance(u);
 *     for (;;) {                                // every 40 ms, from any thread
 *       le_utt_frame_info info;
 *       if (le_utt_pull_frame(u, rgb, size, &info)) show(rgb, info.kind);
 *     }
 *     le_utt_destroy(u);
 *     le_destroy(ctx);
 *
 * Every function is thread-safe. The context must outlive the handle, and no
 * render call of le.h may run on the same context while the handle is alive.
 * Errors are reported through a per-thread text, le_utt_last_error().
 */
#ifndef LE_LE_UTT_H
#define LE_LE_UTT_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One running pipeline over a render context. */
typedef struct le_utt le_utt;

/* Creation options; zero fields take the defaults given. */
typedef struct le_utt_opts {
  /* Directory of the audio model (required): the streaming a2x model when
   * "a2x_enc_stream.onnx" is in it, otherwise the motion generator. Its
   * "xs_target.bin" holds the template keypoints the ramps ease back to. */
  const char* motion_dir;
  /* Threads of the audio model; < 1 uses the context's thread count. */
  int threads;
  /* Execution provider of the motion generator; NULL is "". */
  const char* motion_ep;
  /* Model key of the chunk renderer used during steady speech; NULL or ""
   * gives "b24_fp32", "-" renders one frame at a time. The environment
   * variable LE_STEADY_MODEL overrides it. */
  const char* steady_model;
  /* Eager setting of the audio model; -2 switches between 3 and 24 by how
   * many frames are buffered ahead (hybrid mode); < 1 is unset, and hybrid
   * mode then follows the environment variable LE_UTT_HYBRID. */
  int eager;
  /* Seconds of silence after the last push that end an utterance; 0 gives
   * 0.6, negative waits for le_utt_end_utterance(). */
  double gap;
  /* Frames of the ramp back to the idle loop after an utterance (< 1: 6). */
  int ramp_frames;
  /* Frames of the ramp after an interrupt (< 1: 4). */
  int interrupt_ramp_frames;
} le_utt_opts;

/* What a pulled frame is. */
typedef struct le_utt_frame_info {
  uint64_t serial;  /* frames written into the output ring before it */
  int32_t kind;     /* 0 idle, 1 speech, 2 ramp */
  int32_t target;   /* the driver frame it was pasted into */
  int32_t frame_no; /* speech frame index within its utterance, -1 otherwise */
} le_utt_frame_info;

typedef struct le_utt_stats {
  uint64_t frames_delivered;
  uint64_t speech_frames_delivered;
  uint64_t utterances;       /* utterances whose first speech frame was produced */
  double first_frame_ms;     /* latest utterance: first push to first speech frame */
  double render_ms;          /* moving average of the per-frame render time */
  uint64_t frames_dropped;   /* produced frames an interrupt dropped undelivered */
  int32_t state;             /* 0 idle, 1 speech start, 2 speech, 3 ramp */
} le_utt_stats;

/*
 * Starts a pipeline over ctx (building its renderer if no render ran yet).
 * The audio model loads on a warm-up thread: see le_utt_ready(). Returns NULL
 * with le_utt_last_error() set: "le_utt_create: NULL ctx/opts",
 * "le_utt_create: opts.motion_dir required" or "le_utt_create: " + reason.
 * The environment variable LE_UTT_PIPELINE_PASTE (0 or 1) forces the
 * compositing off or onto its own thread.
 */
LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts);

/* le_utt_create() with only motion_dir set. */
LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir);

/*
 * Stops and joins every thread, wherever they are, and frees the handle.
 * With LE_UTT_STAGE_REPORT set, writes one "[le_utt-stage]" line to standard
 * error. NULL does nothing.
 */
LE_API void le_utt_destroy(le_utt* u);

/*
 * 1 once the audio model is loaded (speech is played from then on), 0 while
 * it loads, -1 when it failed (the model family's error text becomes
 * le_utt_last_error()) or for NULL.
 */
LE_API int le_utt_ready(le_utt* u);

/*
 * Appends count samples (16-bit mono at 16 kHz) to the current utterance, or
 * starts one. Audio pushed before le_utt_ready() returns 1 is discarded.
 * count 0 only marks the time of a push (the silence gap restarts). Returns
 * 1, or 0 with "le_utt_push_audio: bad args".
 */
LE_API int le_utt_push_audio(le_utt* u, const int16_t* samples, int count);

/* Marks the end of the current utterance's audio. NULL does nothing. */
LE_API void le_utt_end_utterance(le_utt* u);

/*
 * Abandons the current utterance: its pushed audio and every frame not yet
 * pulled are dropped, and the face ramps back to the idle loop from the last
 * frame the host pulled. NULL does nothing.
 */
LE_API void le_utt_interrupt(le_utt* u);

/* Finished frames waiting to be pulled (0 for NULL). */
LE_API int le_utt_frames_available(le_utt* u);

/*
 * Copies the next finished frame (width x height x 3 RGB bytes) into out and
 * describes it in info (may be NULL). Returns 1, or 0 when no frame waits (no
 * error text), with "le_utt_pull_frame: bad args", or with
 * "le_utt_pull_frame: buffer too small" (the frame stays queued).
 */
LE_API int le_utt_pull_frame(le_utt* u, uint8_t* out, size_t out_size, le_utt_frame_info* info);

/* Copies the statistics. NULL u or stats does nothing. */
LE_API void le_utt_get_stats(le_utt* u, le_utt_stats* stats);

/*
 * Render failures so far: writes their count to failures (may be NULL) and
 * the latest failure, "ep=<provider> <stage>: <message>", into buf (at most
 * cap - 1 bytes, terminated). Returns -1 once a failure that stops speech
 * (stage "render" or "ramp") was recorded, else 0; 0 for NULL.
 */
LE_API int le_utt_render_status(le_utt* u, char* buf, int cap, int64_t* failures);

/* This thread's last utterance-family error text; never NULL. */
LE_API const char* le_utt_last_error(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_UTT_H */
