/*
 * le: the mouth borrow's bundle members.
 *
 * The mouth borrow pastes real mouth pixels from a bank of donor patches
 * into each rendered face crop. It needs four member files of the bundle,
 * one per slot:
 *
 *     bank_track    tessera_bank.v1.mp4   the donor bank's video track
 *     bank_sidecar  tessera_bank.v1.json  the bank's sidecar: donors, geometry
 *     head_weights  tessera_head.v1.pt    the blend head's weights
 *     head_config   tessera_head.v1.json  the blend head's serve config
 *
 * A manifest object "tessera" may rename them ("members": {"bank_track":
 * "other.mp4", ...}). The borrow is a switch: a bundle that carries all four
 * is armed, a bundle that lacks any of them is refused. The carriage tells
 * which members are present without reading them; the members handle reads
 * all four and cross-checks them (the sidecar against the manifest's own
 * geometry, the donor count against its cap of 1024, the donor order as a
 * permutation, a stated pixel format), refusing with one message a bundle
 * whose halves disagree.
 *
 *     le_tessera_carriage* c = le_tessera_carriage_open("avatar");
 *     if (c && !le_tessera_carriage_complete(c))
 *       for (int i = 0; i < le_tessera_carriage_missing_count(c); ++i)
 *         printf("missing %s at %s\n", le_tessera_carriage_missing(c, i),
 *                le_tessera_carriage_path(c, le_tessera_carriage_missing(c, i)));
 *     le_tessera_carriage_close(c);
 *
 *     char err[512];
 *     le_tessera_members* m = le_tessera_members_open("avatar", err, sizeof err);
 *     if (!m) { fprintf(stderr, "%s\n", err); return 1; }
 *     uint8_t* track = decode(le_tessera_members_bank_track_path(m),
 *                             le_tessera_members_bank_pix_fmt(m));  // band_bytes, track order
 *     uint8_t* bank = malloc(le_tessera_members_band_bytes(m));
 *     if (le_tessera_members_reorder(m, track, bank, err, sizeof err)) return 1;
 *     ... hand bank, le_tessera_members_cent(m), ... to the pipeline ...
 *     le_tessera_members_close(m);
 *
 * le_tessera_run and le_tessera_run_shift run the pass itself over a batch
 * of prepared frames (each frame's canvas and delivery mask), for offline
 * rendering and verification, without a pipeline.
 *
 * These functions keep no error text of their own: those that can fail fill
 * the caller's error buffer (at most err_len - 1 bytes and a NUL; nothing
 * when err is NULL or err_len is not positive) and leave it untouched on
 * success. All are thread-safe; a handle may be read from several threads at
 * once.
 */
#ifndef LE_LE_TESSERA_H
#define LE_LE_TESSERA_H

#include <stdint.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where a bundle's four members are, and which are missing. */
typedef struct le_tessera_carriage le_tessera_carriage;

/* The four members read and cross-checked. */
typedef struct le_tessera_members le_tessera_members;

/* Number of member slots: 4. */
LE_API int le_tessera_slot_count(void);

/* Key of slot index (0 "bank_track", 1 "bank_sidecar", 2 "head_weights",
 * 3 "head_config"); NULL outside 0..3. */
LE_API const char* le_tessera_slot_key(int index);

/*
 * The carriage of the bundle at bundle_dir (a directory or an .imx
 * container): each slot's member file name (the default, or as the
 * manifest's "tessera.members" names it), its path in the bundle and
 * whether it can be opened. Reads no member. A manifest that is absent or
 * not JSON leaves the default names; a path that cannot be resolved at all
 * gives a carriage with every slot missing and empty paths.
 * Returns NULL only for a NULL bundle_dir or when out of memory.
 */
LE_API le_tessera_carriage* le_tessera_carriage_open(const char* bundle_dir);

/* Releases the carriage. NULL does nothing. */
LE_API void le_tessera_carriage_close(le_tessera_carriage* c);

/* 1 when all four members can be opened, else 0 (also for NULL). */
LE_API int le_tessera_carriage_complete(const le_tessera_carriage* c);

/* 1 when the manifest carries a "tessera" object, else 0 (also for NULL). */
LE_API int le_tessera_carriage_declared(const le_tessera_carriage* c);

/*
 * Path of the member of slot (a slot key, e.g. "head_config") in the
 * bundle, whether or not the file exists. "" for a NULL argument or an
 * unknown key. Owned by the carriage; valid until the next call of this
 * function on the same carriage.
 */
LE_API const char* le_tessera_carriage_path(const le_tessera_carriage* c, const char* slot);

/* Number of missing slots, 0..4; 0 for NULL. */
LE_API int le_tessera_carriage_missing_count(const le_tessera_carriage* c);

/* Key of the index-th missing slot, in slot order; NULL for a NULL carriage
 * or an index outside 0..missing_count - 1. Owned by the carriage. */
LE_API const char* le_tessera_carriage_missing(const le_tessera_carriage* c, int index);

/*
 * Reads and cross-checks the four members of the bundle at bundle_dir.
 * Returns NULL on failure with the reason in err: a missing member ("missing
 * teeth member(s): " and each missing slot with its file name), a member
 * that cannot be read, a sidecar that is not JSON or not of the known
 * format, a geometry the manifest and sidecar disagree on, a donor count
 * outside 1..1024, a donor order that is not a permutation, no stated pixel
 * format of the bank track; "le_tessera_members_open: null bundle_dir",
 * "le_tessera_members_open: out of memory".
 */
LE_API le_tessera_members* le_tessera_members_open(const char* bundle_dir, char* err, int err_len);

/* Releases the members. NULL does nothing. */
LE_API void le_tessera_members_close(le_tessera_members* m);

/*
 * The members' values, owned by the handle and valid until it is closed.
 * Numbers are 0, pointers NULL and strings "" for a NULL handle.
 */
LE_API int le_tessera_members_n_donors(const le_tessera_members* m); /* N, 1..1024 */
/* Donor centres, x then y per donor: 2N doubles. */
LE_API const double* le_tessera_members_cent(const le_tessera_members* m);
/* The bank's canonical centre, x then y: 2 doubles. */
LE_API const double* le_tessera_members_c_canon(const le_tessera_members* m);
/* One aperture per donor: N doubles. */
LE_API const double* le_tessera_members_aperture(const le_tessera_members* m);
/* The geometry stamp, 12 values: canvas_w, canvas_h, window_x0, window_y0,
 * window_w, window_h, pad, band_r0, band_r1, band_c0, band_c1,
 * shift_margin. */
LE_API const int32_t* le_tessera_members_stamp(const le_tessera_members* m);
/* The weight file's bytes (NULL when it is empty) and their count. */
LE_API const uint8_t* le_tessera_members_head_pt(const le_tessera_members* m);
LE_API uint32_t le_tessera_members_head_pt_len(const le_tessera_members* m);
/* The head config's text. */
LE_API const char* le_tessera_members_head_json(const le_tessera_members* m);
/* The manifest's text. */
LE_API const char* le_tessera_members_manifest_json(const le_tessera_members* m);
/* Path of the bank track (not read by this family). */
LE_API const char* le_tessera_members_bank_track_path(const le_tessera_members* m);
/* The bank track's container ("mp4" unless the manifest says otherwise),
 * codec (may be ""), pixel format (never "") and frame packing
 * ("rgb24_frames" unless the manifest says otherwise). */
LE_API const char* le_tessera_members_bank_container(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_codec(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_pix_fmt(const le_tessera_members* m);
LE_API const char* le_tessera_members_bank_packing(const le_tessera_members* m);
/* Size of one stored donor patch in pixels (3 bytes each). */
LE_API int le_tessera_members_band_w(const le_tessera_members* m);
LE_API int le_tessera_members_band_h(const le_tessera_members* m);
/* Bytes of the whole bank: N x band_h x band_w x 3. */
LE_API uint64_t le_tessera_members_band_bytes(const le_tessera_members* m);

/*
 * Copies the decoded bank track src (N frames of band_h x band_w x 3 bytes,
 * in track order) into dst in donor order; both hold band_bytes bytes and
 * must not overlap. Returns 0 on success, 1 on failure with the reason in
 * err ("le_tessera_members_reorder: null argument" for a NULL handle, src
 * or dst).
 */
LE_API int le_tessera_members_reorder(const le_tessera_members* m, const uint8_t* src, uint8_t* dst, char* err,
                                      int err_len);

/*
 * Runs the teeth pass over n_frames prepared frames in one call and answers
 * each: its composited mouth window, or a pass-through mark.
 *
 *   bank_rgb     the donor-ordered bank (N x band_h x band_w x 3 bytes)
 *   n_donors     N
 *   cent, c_canon, aperture
 *                the sidecar's arrays (2N, 2 and N doubles; see the members)
 *   stamp        the twelve geometry stamp integers
 *   head_pt, head_pt_len, head_json
 *                the blend head's weight file bytes and serve config text
 *   frames       n_frames canvases of canvas_w x canvas_h x 3 bytes, back to back
 *   masks        n_frames delivery masks of canvas_w x canvas_h bytes
 *   shifts       n_frames (dy, dx) pairs of the mouth's shift from the bank's
 *                canonical position; a dy of -10000 lets the pass derive that
 *                frame's shift from its mask
 *   out_windows  n_frames windows of window_w x window_h x 3 bytes; a frame
 *                that passed through keeps what the caller put there
 *   out_passed   n_frames bytes: 1 where the frame passed through (its mouth
 *                could not be located, or moved beyond the stamp's pad), else 0
 *
 * Returns 0 on success, 1 on failure with the reason in err (a refusal of
 * the stamp, the serve config, the weights or the bank); the frames
 * answered before a failure stay written.
 */
LE_API int le_tessera_run_shift(const uint8_t* bank_rgb, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                                uint32_t head_pt_len, const char* head_json, const uint8_t* frames,
                                const uint8_t* masks, const int32_t* shifts, int n_frames, uint8_t* out_windows,
                                uint8_t* out_passed, char* err, int err_len);
/* The same, every frame's shift derived from its mask. */
LE_API int le_tessera_run(const uint8_t* bank_rgb, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, uint32_t head_pt_len,
                          const char* head_json, const uint8_t* frames, const uint8_t* masks, int n_frames,
                          uint8_t* out_windows, uint8_t* out_passed, char* err, int err_len);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_TESSERA_H */
