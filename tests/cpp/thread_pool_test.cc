// The shared pool: a call's loops run on the caller and the pool's own
// threads, and on no thread that TBB would have started.
#include <gtest/gtest.h>
#include <tbb/info.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "ivf_rabitq/thread_pool.h"

namespace nimbrel {
namespace {

TEST(SharedPool, LoopsRunOnTheCallerAndThePoolsThreadsAndExceptionsComeBack) {
  // Read on first use, which is below unless another test of this process
  // came first: the count is taken from what was read.
  setenv("RAYON_NUM_THREADS", "3", 1);
  const size_t threads = std::min<size_t>(shared_pool_size(), tbb::info::default_concurrency());
  std::mutex mu;
  std::set<std::thread::id> ran;
  run_on_shared_pool([&] {
    tbb::parallel_for(
        tbb::blocked_range<int>(0, 64, 1),
        [&](const tbb::blocked_range<int>&) {
          std::unique_lock<std::mutex> lock(mu);
          ran.insert(std::this_thread::get_id());
          // Each body holds its thread until all have come (or long enough
          // that a missing one shows in the count).
          const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (ran.size() < threads && std::chrono::steady_clock::now() < give_up) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
          }
        },
        tbb::simple_partitioner());
  });
  EXPECT_EQ(ran.size(), threads);
  EXPECT_EQ(ran.count(std::this_thread::get_id()), 1u);

  EXPECT_THROW(run_on_shared_pool([] {
                 tbb::parallel_for(0, 1000, [](int i) {
                   if (i == 777) throw std::runtime_error("lost");
                 });
               }),
               std::runtime_error);
}

}  // namespace
}  // namespace nimbrel
