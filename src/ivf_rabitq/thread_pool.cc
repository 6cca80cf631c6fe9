#include "ivf_rabitq/thread_pool.h"

#include <tbb/global_control.h>
#include <tbb/info.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "ivf_rabitq/storage.h"
#include "platform/fs.h"

namespace nimbrel {

namespace {

// Python threads that may be in the shared pool's arena at once, running
// their own calls, beside the pool's threads; a caller that finds every
// slot taken runs its call alone (run_on_shared_pool). The slots also
// count as threads when TBB splits a loop, so there are not many more of
// them than the pool has threads.
constexpr size_t kMinCallerSlots = 8;

}  // namespace

ArenaGate::ArenaGate() : closed_(group_.defer([] {})) {}

void ArenaGate::wait() { group_.wait(); }

void ArenaGate::open() { closed_ = tbb::task_handle(); }

ParkedThreads::ParkedThreads(size_t threads, size_t caller_slots)
    : arena_(static_cast<int>(std::min<size_t>(threads + caller_slots, INT_MAX)),
             static_cast<int>(std::min<size_t>(threads + caller_slots, INT_MAX))) {
  if (threads + caller_slots > INT_MAX || threads + caller_slots == 0) throw std::length_error("arena size");
  arena_.initialize();
  gates_.reserve(threads);
  threads_.reserve(threads);
  std::mutex mu;
  std::condition_variable cv;
  size_t parked = 0;
  for (size_t i = 0; i < threads; ++i) {
    gates_.push_back(std::make_unique<ArenaGate>());
    ArenaGate* gate = gates_.back().get();
    // Notified under the lock: the constructor may return (and `cv` go)
    // the moment it sees the count complete.
    auto arrived = [&] {
      std::lock_guard<std::mutex> lock(mu);
      ++parked;
      cv.notify_one();
    };
    try {
      threads_.emplace_back([this, gate, arrived] {
        bool in = false;
        try {
          // Entering cannot fail for want of a slot: each thread has one,
          // and no caller is let in before all of them are in.
          arena_.execute([&] {
            in = true;
            arrived();
            gate->wait();
          });
        } catch (...) {
          // Out of memory on the way in: the thread is lost to the pool.
        }
        if (!in) arrived();
      });
    } catch (...) {
      // No thread for this gate: the pool keeps those started before it.
      gates_.pop_back();
      break;
    }
  }
  std::unique_lock<std::mutex> lock(mu);
  cv.wait(lock, [&] { return parked == threads_.size(); });
}

ParkedThreads::~ParkedThreads() {
  for (auto& gate : gates_) gate->open();
  for (std::thread& t : threads_) t.join();
}

size_t shared_pool_size() noexcept {
  // Decided on first use, never at load time. With a usable setting, TBB's
  // own workers (which the module's loops no longer use, but other users
  // of TBB in the process may) are capped by it too; the control object
  // lives for the rest of the process, since destroying it would lift the
  // cap. Should creating it fail (out of memory), nothing is capped.
  static std::once_flag once;
  static size_t size = 0;
  try {
    std::call_once(once, [] {
      const size_t processors = static_cast<size_t>(std::max(1, tbb::info::default_concurrency()));
      std::string value;
      uint64_t want = 0;
      size_t chosen = processors;
      if (platform::GetEnv("RAYON_NUM_THREADS", &value) && parse_u64_setting(value, &want) && want != 0) {
        // TBB counts threads in an int; no machine comes near this cap.
        chosen = static_cast<size_t>(std::min<uint64_t>(want, 1u << 20));
        try {
          new tbb::global_control(tbb::global_control::max_allowed_parallelism, chosen);
        } catch (...) {
        }
      }
      size = chosen;
    });
  } catch (...) {
  }
  return size;
}

namespace {

// The pool's threads and the caller slots its arena keeps beside them.
struct SharedPoolState {
  std::unique_ptr<ParkedThreads> threads;
  size_t caller_slots = 0;
  std::atomic<size_t> callers{0};  // callers in the arena now
  // A child forked from this process has none of the threads.
  uint64_t process = platform::ProcessId();
};

// Built by the first caller, never torn down (its threads sleep in the
// arena until the process ends). The caller is one of the loops' threads,
// so the pool has one thread fewer than its size. Holds nothing only when
// not even the arena could be made; a thread that cannot be started leaves
// the pool with those that could.
SharedPoolState* SharedPool() noexcept {
  static SharedPoolState* const pool = []() noexcept -> SharedPoolState* {
    try {
      const size_t processors = static_cast<size_t>(std::max(1, tbb::info::default_concurrency()));
      const size_t threads = std::max<size_t>(std::min(shared_pool_size(), processors), 1);
      auto state = std::make_unique<SharedPoolState>();
      state->caller_slots = std::max(threads, kMinCallerSlots);
      state->threads = std::make_unique<ParkedThreads>(threads - 1, state->caller_slots);
      return state.release();
    } catch (...) {
      return nullptr;
    }
  }();
  return pool;
}

// Whether this thread is inside run_on_shared_pool already.
thread_local bool t_in_shared_pool = false;

// Runs `f` on the calling thread alone, in an arena with its one slot kept
// for that thread, so that no loop of `f` asks TBB for a worker (which it
// might fail to start, ending the process).
void RunAlone(const std::function<void()>& f) {
  thread_local tbb::task_arena alone(1, 1);
  alone.execute([&] { tbb::this_task_arena::isolate(f); });
}

}  // namespace

void run_on_shared_pool(const std::function<void()>& f) {
  if (t_in_shared_pool) {
    f();  // a call made inside another: it is in the arena already
    return;
  }
  SharedPoolState* pool = SharedPool();
  if (pool == nullptr || pool->process != platform::ProcessId()) {
    RunAlone(f);
    return;
  }
  // Never more callers than the arena has slots for: a caller without a
  // slot would hand `f` to the arena and wait for a slot holder to run
  // it, and slot holders may themselves be waiting (for a directory lock,
  // say) on a thread that waits for a slot. Past the slots, `f` runs alone.
  if (pool->callers.fetch_add(1) >= pool->caller_slots) {
    pool->callers.fetch_sub(1);
    RunAlone(f);
    return;
  }
  struct Leave {
    SharedPoolState* pool;
    ~Leave() {
      t_in_shared_pool = false;
      pool->callers.fetch_sub(1);
    }
  } leave{pool};
  t_in_shared_pool = true;
  pool->threads->arena().execute([&] { tbb::this_task_arena::isolate(f); });
}

}  // namespace nimbrel
