/*
 * le: bundle resolution.
 *
 * An avatar bundle is a directory holding manifest.json and its member files,
 * or an IMX container file ("NAME.imx") that the library unpacks once into a
 * directory NAME.lebundle beside it (or under $LE_IMX_UNWRAP_ROOT when that
 * is set). A marker file NAME.lebundle.imx_unwrapped records which container
 * file produced the directory; a later call with the same, unchanged
 * container reuses the directory without reading the container again.
 * Touching or replacing the container unpacks it anew.
 *
 * These functions belong to the render family: le_last_error() (le/le.h)
 * reads their error text. Both are safe to call from any thread; concurrent
 * calls on one container unpack it once.
 */
#ifndef LE_LE_BUNDLE_H
#define LE_LE_BUNDLE_H

#include <stddef.h>

#include "le/le.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Resolves a bundle path to the bundle directory and writes it, NUL
 * terminated, into out (out_size bytes).
 *
 * bundle may name a bundle directory (returned unchanged), a container
 * ("avatar.imx"), a container's path without its ".imx" ("avatar"), or the
 * directory a container was unpacked into (re-checked against the container
 * beside it). Any other path is returned unchanged; whether it holds a bundle
 * is checked when it is opened.
 *
 * Returns 1 on success. Returns -1 when bundle or out is NULL or out_size is
 * 0 (nothing written, error text empty); when the container cannot be
 * unpacked (out becomes "", le_last_error() reads
 * "le_bundle_resolve_handle: " and the reason); or when the directory and
 * its NUL do not fit in out_size bytes (out becomes "", le_last_error()
 * reads "le_bundle_resolve_handle: buffer too small"). Clears the error text
 * on entry.
 */
LE_API int le_bundle_resolve_handle(const char* bundle, char* out, size_t out_size);

/*
 * Resolves the bundle path as le_bundle_resolve_handle does, then the path
 * of the member file named member inside it, and writes that path, NUL
 * terminated, into out (out_size bytes).
 *
 * member may be an older member name or its newer canonical one (for
 * example "mask_512.u8" or "paste_mask.u8"); whichever of the two exists is
 * returned, the name asked for when both or neither exist.
 *
 * Returns 1 when the member file can be opened for reading, 0 when it cannot
 * (the path it was expected at is still written, for the host's message),
 * and -1 when a pointer is NULL, out_size is 0, the container cannot be
 * unpacked or the path and its NUL do not fit (out becomes "" where out is
 * usable). Neither clears nor sets the error text.
 */
LE_API int le_bundle_resolve_member(const char* bundle, const char* member, char* out, size_t out_size);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* LE_LE_BUNDLE_H */
