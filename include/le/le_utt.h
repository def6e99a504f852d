/*
 * le: the utterance pipeline, the real-time front of the engine.
 *
 * The host pushes 16 kHz speech as it arrives and pulls finished frames at
 * its own pace. While no speech plays, the frames are the bundle's driver
 * video (the idle loop); speech is turned into keypoints by the audio model,
 * rendered, pasted and queued; when an utterance ends the face ramps back to
 * the idle loop. Four threads owned by the handle do the work, a fifth once
 * a mouth borrow is attached (le_utt_tessera_attach, below).
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

/*
 * The mouth borrow: real mouth pixels from a bank of donor patches pasted
 * into every rendered crop, one frame later, before the crop is pasted into
 * its driver frame. The host reads the bundle's four borrow members
 * (le_tessera_members_open, le/le_tessera.h), decodes the bank track into
 * donor order and hands both in:
 *
 *     le_tessera_members* m = le_tessera_members_open("avatar", err, sizeof err);
 *     uint8_t* bank = ...;  // the decoded track, le_tessera_members_reorder()ed
 *     if (le_utt_tessera_attach(u, bank, le_tessera_members_n_donors(m),
 *                               le_tessera_members_cent(m), le_tessera_members_c_canon(m),
 *                               le_tessera_members_aperture(m), le_tessera_members_stamp(m),
 *                               le_tessera_members_head_pt(m), le_tessera_members_head_pt_len(m),
 *                               le_tessera_members_head_json(m),
 *                               le_tessera_members_manifest_json(m), err, sizeof err))
 *       fprintf(stderr, "%s\n", err);
 *
 * The pipeline copies what it needs; the arguments may be freed afterwards.
 * From then on every frame with a rendered crop (speech and ramp) passes
 * through the borrow on a thread of its own. The borrow is a switch: the
 * first frame whose mouth it cannot composite (not found: "empty-pi", or
 * moved too far: "shift-out-of-range") is delivered as rendered and turns
 * it off until the next attach; the frames go on either way.
 */

/*
 * Arms the borrow on u, replacing any borrow attached before (its counters
 * restart). The arguments: the donor-ordered bank (N x band_h x band_w x 3
 * bytes), N, the donor centres (2N), the bank's canonical centre (2), the
 * apertures (N), the twelve geometry stamp integers, the blend head's
 * weight file bytes and their count, its serve config text and the
 * manifest's text. Returns 0, or 1 with the reason in err (at most
 * err_len - 1 bytes and a NUL; nothing for a NULL err or err_len < 1), u
 * then keeping what it had: "le_utt_tessera_attach: null session",
 * "le_utt_tessera_attach: a required member is null ...",
 * "le_utt_tessera_attach: n_donors <= 0", a stamp that is incoherent,
 * "le_utt_tessera_attach: bank canvas WxH != this bundle's render crop C",
 * a serve config or weight file that cannot be read,
 * "le_utt_tessera_attach: xs_target.bin is absent or the wrong length ...",
 * a bank whose canonical centre matches none of the known compose
 * geometries (or two of them), a lip template that cannot be read.
 */
LE_API int le_utt_tessera_attach(le_utt* u, const uint8_t* bank_rgb, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int32_t* stamp,
                                 const uint8_t* head_pt, uint32_t head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len);

/*
 * The attached borrow's frames so far: composited (crops whose mouth was
 * replaced) and passed (delivered as rendered, which turned the borrow off),
 * each written when not NULL, and the reason of the last pass-through into
 * reason (at most reason_len - 1 bytes and a NUL; "" when there is none).
 * Returns 1 while the borrow is on, -1 once it went off, 0 when none is
 * attached or u is NULL (then only reason is written, "").
 */
LE_API int le_utt_tessera_stats(le_utt* u, int64_t* composited, int64_t* passed, char* reason, int reason_len);

/*
 * The synthesis weight of the frames the attached borrow composed: its mean
 * per frame, its largest value and the number of frames, each written when
 * not NULL. Returns 1, or 0 (nothing written) when no borrow is attached or
 * it has composed no frame yet.
 */
LE_API int le_utt_tessera_synth_w(le_utt* u, double* mean, double* max, int64_t* frames);

/*
 * The compose geometry the attached borrow identified for its bank (which
 * known geometry, and how near), into buf (at most len - 1 bytes and a
 * NUL). Returns 1 when a borrow is attached; 0 with "" when none is; 0
 * without writing for a NULL u or buf or a len below 1.
 */
LE_API int le_utt_tessera_geometry(le_utt* u, char* buf, int len);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_UTT_H */
