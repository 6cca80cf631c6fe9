// The maintenance pool: a second, dedicated pool of workers for heavy
// maintenance (merge_segments, background calibration), so that it does
// not queue ahead of live queries on the shared pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace nimbrel::py {

// Runs `job` on the maintenance pool, its data-parallel loops on that
// pool's workers, and returns once it has finished; on the calling thread,
// with its loops on the shared pool, when the pool could not be built. The
// pool is built on first use. The caller has released the interpreter lock.
// An exception thrown by the job (or by a loop inside it) is rethrown here,
// in the caller's thread.
void run_on_maintenance_pool(const std::function<void()>& job);

// The pool's size for a shared pool of `shared` threads and the value of
// NIMBREL_MAINT_THREADS (nullopt: unset): the value when it is a positive
// decimal count (white space around it and a leading "+" allowed), else
// max(shared / 4, min(shared, 4)).
uint64_t maintenance_pool_size(size_t shared, std::optional<std::string_view> setting);

}  // namespace nimbrel::py
