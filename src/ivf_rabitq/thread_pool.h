// The shared data-parallel pool: TBB's process-wide worker pool, sized once.
#pragma once

#include <cstddef>

namespace nimbrel {

// Sizes the shared pool on the first call and returns its size; later calls
// return the same value without looking at the environment again.
// RAYON_NUM_THREADS gives the size (surrounding white space and a leading
// "+" allowed); unset, invalid or 0 gives the processor count (as this
// process's CPU affinity allows). The size caps every data-parallel loop of
// the process, the calling thread included. TBB's default arena never uses
// more threads than the processor count, so a larger value leaves those
// loops at the processor count.
size_t shared_pool_size() noexcept;

}  // namespace nimbrel
