// Fork-join worker pool. Each calling thread owns its own worker set, so two
// pipeline threads never wait for each other's work; a nested call from inside
// a range runs inline.
#pragma once

#include <cstddef>
#include <functional>

namespace le::pool {

// Threads used by parallel work, the caller included. Fixed on first call
// from LE_CORE_THREADS, else LE_PASTE_THREADS, else 4; capped at the
// hardware thread count.
int threads();

// Number of chunks n items are cut into: 1 unless n holds two grains, never
// more than threads().
int parts(size_t n, size_t grain);

// Always true: the pool exists in every build.
bool available();

// Calls fn(begin, end) over disjoint, contiguous chunks covering [0, n),
// chunk 0 on the calling thread, the rest on its workers; returns when all
// are done. fn must not throw and must write only data owned by its range.
void parallelRange(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn);

}  // namespace le::pool
