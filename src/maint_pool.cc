// The maintenance pool: `size` threads of its own, named
// "nimbrel-maint-{i}", and a task arena that only they enter: it has a slot
// for each of them, all kept for threads that enter it themselves, so no
// TBB worker and no thread of the shared pool ever joins it, and its
// threads take no part in the shared pool's loops.
//
// The threads sleep on a queue of jobs. A thread that takes a job enters
// the arena and runs it there; the others, woken with it, enter the arena
// too and wait there until the job is over, taking part in its loops (and
// in those of any other job running meanwhile). So a job's loops have all
// `size` threads and exactly those, whatever the shared pool's size. The
// caller only queues the job and sleeps until it is over.
#include "maint_pool.h"

#include <tbb/task_arena.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ivf_rabitq/storage.h"
#include "ivf_rabitq/thread_pool.h"
#include "platform/fs.h"

namespace nimbrel::py {

namespace {

constexpr const char* kWorkerNamePrefix = "nimbrel-maint-";

struct Job {
  explicit Job(const std::function<void()>& f) : body(f) {}
  const std::function<void()>& body;
  // The gates of the threads helping with it, opened when it is over.
  std::vector<ArenaGate*> helpers;
  bool done = false;
  std::exception_ptr error;
};

class MaintPool;
thread_local const MaintPool* serving = nullptr;

class MaintPool {
 public:
  // Starts every thread or throws, the started ones stopped again.
  explicit MaintPool(size_t size) : arena_(static_cast<int>(size), static_cast<int>(size)) {
    arena_.initialize();
    threads_.reserve(size);
    try {
      for (size_t i = 0; i < size; ++i) {
        threads_.emplace_back([this, name = kWorkerNamePrefix + std::to_string(i)] { serve(name); });
      }
    } catch (...) {
      stop();
      throw;
    }
  }

  bool serves_current_thread() const { return serving == this; }

  // Queues the job and waits until it is over; rethrows what it threw.
  void run(const std::function<void()>& body) {
    auto job = std::make_shared<Job>(body);
    std::unique_lock<std::mutex> lock(mu_);
    queued_.push_back(job);
    work_.notify_all();
    // A thread helping with a running job comes back to take this one:
    // jobs share the threads rather than wait for each other.
    for (const auto& other : running_) {
      if (!other->helpers.empty()) {
        other->helpers.back()->open();
        other->helpers.pop_back();
        break;
      }
    }
    over_.wait(lock, [&] { return job->done; });
    if (job->error) std::rethrow_exception(job->error);
  }

 private:
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  void serve(const std::string& name) {
    serving = this;
    (void)platform::SetCurrentThreadName(name);
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_.wait(lock, [&] { return stopping_ || !queued_.empty() || !running_.empty(); });
      if (stopping_) return;
      if (!queued_.empty()) {
        std::shared_ptr<Job> job = std::move(queued_.front());
        queued_.pop_front();
        running_.push_back(job);
        lock.unlock();
        work_.notify_all();  // the others come and help
        run_job(*job);
        lock.lock();
        finish(job);
      } else {
        help(running_.front(), lock);
      }
    }
  }

  void run_job(Job& job) noexcept {
    try {
      // Isolated: a thread waiting inside this job's loops takes only this
      // job's tasks, never another job, which would keep this one's caller
      // waiting for that one too (with read locks held, perhaps).
      arena_.execute([&] { tbb::this_task_arena::isolate(job.body); });
    } catch (...) {
      job.error = std::current_exception();
    }
  }

  // Called with the lock held. The job leaves the running list before its
  // helpers are let go, so that none of them takes it up again.
  void finish(const std::shared_ptr<Job>& job) {
    running_.erase(std::find(running_.begin(), running_.end(), job));
    for (ArenaGate* gate : job->helpers) gate->open();
    job->helpers.clear();
    job->done = true;
    over_.notify_all();
  }

  // Waits in the arena, taking part in the loops there, until `job` is
  // over. Called with the lock held; the gate is destroyed under it too,
  // so finish() never opens a gate that is gone.
  void help(std::shared_ptr<Job> job, std::unique_lock<std::mutex>& lock) {
    ArenaGate gate;
    job->helpers.push_back(&gate);
    lock.unlock();
    try {
      arena_.execute([&] { gate.wait(); });
    } catch (...) {
      // Out of memory on the way in: the job goes on without this thread.
    }
    lock.lock();
    // Still in the list only if the wait ended early.
    auto& helpers = job->helpers;
    helpers.erase(std::remove(helpers.begin(), helpers.end(), &gate), helpers.end());
  }

  tbb::task_arena arena_;
  std::mutex mu_;
  std::condition_variable work_;  // to the threads: a job queued or running, or stop
  std::condition_variable over_;  // to the callers: a job is over
  std::deque<std::shared_ptr<Job>> queued_;
  std::vector<std::shared_ptr<Job>> running_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

struct Maintenance {
  std::unique_ptr<MaintPool> pool;
  // A child forked from this process has none of the threads.
  uint64_t process = platform::ProcessId();
};

Maintenance* BuildPool() noexcept {
  try {
    const size_t shared = std::max<size_t>(shared_pool_size(), 1);
    std::string value;
    const bool set = platform::GetEnv("NIMBREL_MAINT_THREADS", &value);
    const uint64_t size = maintenance_pool_size(shared, set ? std::optional<std::string_view>(value) : std::nullopt);
    if (size > static_cast<uint64_t>(INT_MAX)) return nullptr;  // more than TBB counts
    auto maintenance = std::make_unique<Maintenance>();
    maintenance->pool = std::make_unique<MaintPool>(size);
    return maintenance.release();
  } catch (...) {
    // No pool (a thread could not be started, say): jobs run on their
    // callers, their loops on the shared pool.
    return nullptr;
  }
}

// Built by the first caller (the others wait for it), never rebuilt, and
// never torn down: its threads sleep until the process ends.
Maintenance* Pool() {
  static Maintenance* const MAINT_POOL = BuildPool();
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
  Maintenance* maintenance = Pool();
  // A job started from a maintenance job runs where it is: waiting for it
  // would hold a thread that the job may need.
  if (maintenance == nullptr || maintenance->pool->serves_current_thread() ||
      maintenance->process != platform::ProcessId()) {
    job();
    return;
  }
  maintenance->pool->run(job);
}

}  // namespace nimbrel::py
