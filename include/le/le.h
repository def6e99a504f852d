/*
 * le: real-time talking-avatar rendering on the CPU.
 *
 * Render family: the render context and its accessors. Every function of the
 * library is thread-safe to call from any thread unless a handle says
 * otherwise; errors are reported through a per-thread, per-family text.
 */
#ifndef LE_LE_H
#define LE_LE_H

#include <stddef.h>

#if defined(LE_BUILDING_LIBRARY)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
} /* extern "C" */

namespace le {
/* Keypoint rows per frame, as le_host_kp_rows(). */
inline constexpr int kHostKpRows = 21;
}  // namespace le
#endif

#endif /* LE_LE_H */
