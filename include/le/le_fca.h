/*
 * le: the FCA stream.
 *
 * A recurrent speech-to-keypoint model: from 16 kHz mono speech (float
 * samples, 640 per video frame, 25 frames per second) it predicts one
 * keypoint offset of le_host_kp_rows() x 3 = 63 floats per frame, one whole
 * utterance per call. Speech features come from a long-window speech encoder
 * that the handle opens itself (it does not share the a2x front-end).
 *
 * A handle is used by one thread at a time. Errors are reported through a
 * per-thread text, le_fca_last_error(), cleared by every call of this family.
 */
#ifndef LE_LE_FCA_H
#define LE_LE_FCA_H

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The speech encoder and the FCA model, each with its own session. */
typedef struct le_fca le_fca;

/*
 * Opens speech_model (the speech encoder: "input_values" [1, 128000] to
 * "audio_emb" [12, 200, 768]) and fca_model (the recurrent model: "cond"
 * [1, 5376], "prev" [1, 63] and "h" [1, 1, 384] to "m" [1, 63] and "hn").
 * threads is the intra-op thread count; below 1 the engine's worker count.
 * Returns NULL on failure; le_fca_last_error() then reads "le_fca_create: "
 * and the reason.
 */
LE_API le_fca* le_fca_create(const char* speech_model, const char* fca_model, int threads);

/*
 * Predicts the utterance pcm (n samples): writes ceil(n / 640) rows of 63
 * floats to out and returns their count. Each call starts from the model's
 * zero state. Returns 0 for n < 1; -1 when the frames exceed max_frames
 * (nothing written), for a NULL handle, pcm or out, or on a model error
 * (le_fca_last_error() reads "le_fca_deltas: " and the reason).
 */
LE_API int le_fca_deltas(le_fca* fca, const float* pcm, int n, float* out, int max_frames);

/* Releases the handle. NULL does nothing. */
LE_API void le_fca_destroy(le_fca* fca);

/* The calling thread's fca error text: empty after a call that succeeded,
 * otherwise "function: reason". Owned by the library, valid until the
 * thread's next fca call; never NULL. */
LE_API const char* le_fca_last_error(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_FCA_H */
