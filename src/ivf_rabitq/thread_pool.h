// The module's thread pools: threads of its own that live in a TBB task
// arena, and the shared data-parallel pool built from them.
#pragma once

#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace nimbrel {

// A wait inside a task arena that lasts until open() is called. A thread
// waiting in it takes part in the arena's loops meanwhile, and sleeps while
// the arena has no work. open() may be called from any thread, inside the
// arena or not; the gate must outlive the wait.
class ArenaGate {
 public:
  ArenaGate();
  ArenaGate(const ArenaGate&) = delete;
  ArenaGate& operator=(const ArenaGate&) = delete;
  // Call inside the arena (in task_arena::execute).
  void wait();
  void open();

 private:
  // The group's one task is never run: destroying it ends the wait.
  tbb::task_group_context context_{tbb::task_group_context::isolated};
  tbb::task_group group_{context_};
  tbb::task_handle closed_;
};

// Threads started by the module that enter one task arena and stay there
// for as long as the object lives, sleeping while the arena has no work and
// taking part in every loop started in it. Every slot of the arena is kept
// for threads that enter it themselves, so TBB never adds a worker of its
// own: all the threads a loop in the arena can run on are these and the
// callers that enter it with execute().
//
// TBB starts its workers lazily, from inside the loops, and throws from
// there when a thread cannot be started, ending the process when that
// happens on a worker. Threads started here fail (if at all) in the
// constructor, in the order they are started, on the thread building the
// pool.
class ParkedThreads {
 public:
  // An arena of `threads` + `caller_slots` slots, and up to `threads`
  // threads parked in it. Starting stops at the first thread that cannot be
  // started; the pool keeps those that were. Returns once every started
  // thread is in the arena, so that callers never take their slots. May
  // throw (out of memory, an arena larger than TBB counts).
  ParkedThreads(size_t threads, size_t caller_slots);
  // Lets the threads leave the arena and joins them.
  ~ParkedThreads();
  ParkedThreads(const ParkedThreads&) = delete;
  ParkedThreads& operator=(const ParkedThreads&) = delete;

  tbb::task_arena& arena() { return arena_; }

 private:
  tbb::task_arena arena_;
  std::vector<std::unique_ptr<ArenaGate>> gates_;
  std::vector<std::thread> threads_;
};

// Sizes the shared pool on the first call and returns its size; later calls
// return the same value without looking at the environment again.
// RAYON_NUM_THREADS gives the size (surrounding white space and a leading
// "+" allowed); unset, invalid or 0 gives the processor count (as this
// process's CPU affinity allows). The size caps every data-parallel loop of
// the module, the calling thread included. Beyond the processor count no
// thread is added, so a larger value leaves those loops at the processor
// count.
size_t shared_pool_size() noexcept;

// Runs `f` on the shared pool: the calling thread enters the pool's arena
// and runs `f` there, and the loops it starts run on the caller and the
// pool's threads. The pool is built on the first call. Each call is
// isolated: a caller waiting in its own loops takes no task of another
// caller's. Exceptions thrown by `f` or its loops reach the caller. When
// every caller slot of the arena is taken (the callers in it may be
// waiting for locks), when the pool could not be built at all, or in a
// child forked from the process that built it, `f` runs on the calling
// thread alone, its loops serial. A call made inside `f` runs in place.
void run_on_shared_pool(const std::function<void()>& f);

}  // namespace nimbrel
