// The maintenance pool is a TBB task arena. Its workers are not threads of
// their own: they come from TBB's one global worker pool, the same one the
// shared pool's loops use, and count against the RAYON_NUM_THREADS cap.
// What makes it a pool of its own is the arena: a loop started inside it
// is run by the threads that are in that arena, never by the default
// arena's, so a maintenance job's loops stay among the maintenance workers
// and the queries' loops stay out of it.
//
// How a job runs: the caller enters the arena with execute(), runs the job
// there and takes part in its loops until it is done; the arena's workers
// join the loops. The arena keeps one slot for the caller and has room for
// `size` workers beside it. Letting the caller take part instead of only
// waiting is what keeps a job from stalling: the workers are borrowed from
// the global pool, and with RAYON_NUM_THREADS=1 there are none at all, or
// they may all be busy in the default arena; the caller (a Python thread
// that has released the interpreter lock and would otherwise just sleep)
// always makes progress, and workers add to it as they come.
//
// The arena has low priority: while the default arena's queries want
// workers they get them first, and maintenance makes do with the caller
// and whatever workers are left, which is what keeps heavy maintenance from
// slowing live queries down.
//
// Sizing: the global pool has (shared pool size - 1) workers, the caller
// being the remaining thread. The arena never asks for more workers than
// that: a request above the global limit makes TBB print a warning, and the
// extra workers could never come anyway. So the pool has
// min(size, shared - 1) workers; with a shared pool of 1, none, and the
// caller runs the whole job.
#include "maint_pool.h"

#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/thread_pool.h"
#include "platform/fs.h"

namespace nimbrel::py {

namespace {

// The arena's slot for the thread that calls execute(); workers take the
// slots after it, so a worker's slot index minus this is its 0-based index.
constexpr int kCallerSlots = 1;
constexpr const char* kWorkerNamePrefix = "nimbrel-maint-";

// A worker's own name while it serves the arena, put back when it leaves
// (the same thread may serve the default arena next).
struct SavedName {
  std::string name;
  bool held = false;
};
thread_local SavedName saved_name;

// Names the workers "nimbrel-maint-{i}" while they are in the arena.
class WorkerNames final : public tbb::task_scheduler_observer {
 public:
  explicit WorkerNames(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }

  // Naming is best effort: nothing may be thrown out of TBB's callbacks.
  void on_scheduler_entry(bool is_worker) noexcept override {
    // The thread that called execute() enters too: it is the Python
    // caller, whose name is not ours to change.
    if (!is_worker || saved_name.held) return;
    try {
      if (!platform::CurrentThreadName(&saved_name.name)) return;
      saved_name.held = platform::SetCurrentThreadName(
          kWorkerNamePrefix + std::to_string(tbb::this_task_arena::current_thread_index() - kCallerSlots));
    } catch (...) {
    }
  }

  void on_scheduler_exit(bool is_worker) noexcept override {
    if (!is_worker || !saved_name.held) return;
    saved_name.held = false;
    try {
      (void)platform::SetCurrentThreadName(saved_name.name);
    } catch (...) {
    }
  }
};

struct MaintPool {
  explicit MaintPool(int workers)
      : arena(workers + kCallerSlots, kCallerSlots, tbb::task_arena::priority::low) {
    arena.initialize();
    names = std::make_unique<WorkerNames>(arena);
  }
  tbb::task_arena arena;
  std::unique_ptr<WorkerNames> names;
};

MaintPool* BuildPool() noexcept {
  try {
    const size_t shared = std::max<size_t>(shared_pool_size(), 1);
    std::string value;
    const bool set = platform::GetEnv("NIMBREL_MAINT_THREADS", &value);
    const uint64_t size = maintenance_pool_size(shared, set ? std::optional<std::string_view>(value) : std::nullopt);
    const uint64_t workers = std::min<uint64_t>(size, shared - 1);
    return new MaintPool(static_cast<int>(workers));
  } catch (...) {
    // No pool: jobs run on their callers, their loops on the shared pool.
    return nullptr;
  }
}

// Built by the first caller (the others wait for it), never rebuilt, and
// never torn down: workers may still be in it when the process exits.
MaintPool* Pool() {
  static MaintPool* const MAINT_POOL = BuildPool();
  return MAINT_POOL;
}

}  // namespace

uint64_t maintenance_pool_size(size_t shared, std::optional<std::string_view> setting) {
  uint64_t v = 0;
  if (setting && parse_u64_setting(*setting, &v) && v > 0) return v;
  const uint64_t n = std::max<size_t>(shared, 1);
  return std::max<uint64_t>(n / 4, std::min<uint64_t>(n, 4));
}

void run_on_maintenance_pool(const std::function<void()>& job) {
  MaintPool* pool = Pool();
  if (pool == nullptr) {
    job();
    return;
  }
  // Inside the arena already (a job started from a maintenance job), TBB
  // runs the job directly; an exception thrown in the arena is rethrown
  // here. Isolated: a thread waiting inside this job's loops takes only
  // this job's tasks, never another caller's whole job, which would make
  // this call wait for that one too (with read locks held, perhaps).
  pool->arena.execute([&] { tbb::this_task_arena::isolate(job); });
}

}  // namespace nimbrel::py
