// The maintenance pool that background calibration and merges run on:
// its sizing rule, and what a job handed to it gets back (its result and
// its exceptions on the caller, nested and concurrent jobs) and which
// threads run its loops. The pool
// lives with the Python interface, outside the core library, so its source
// is compiled into this test.
#include <gtest/gtest.h>
#include <pthread.h>
#include <tbb/parallel_for.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "maint_pool.h"

namespace nimbrel::py {
namespace {

TEST(MaintenancePool, SizeFromTheSettingElseAQuarterOfTheSharedPoolButUpToFour) {
  const std::vector<std::pair<size_t, uint64_t>> defaults = {{0, 1}, {1, 1},  {2, 2},  {3, 3},  {4, 4},
                                                             {8, 4}, {16, 4}, {20, 5}, {32, 8}, {64, 16}};
  for (const auto& [shared, size] : defaults) {
    EXPECT_EQ(maintenance_pool_size(shared, std::nullopt), size) << shared;
    for (const char* bad : {"0", "-2", "six", "6x", "", " ", "+", "++6", "- 6", "18446744073709551616"}) {
      EXPECT_EQ(maintenance_pool_size(shared, bad), size) << shared << " '" << bad << "'";
    }
  }
  for (const char* six : {"6", " 6 ", "+6", "\t+6\n", "006"}) EXPECT_EQ(maintenance_pool_size(8, six), 6u) << six;
  EXPECT_EQ(maintenance_pool_size(8, "18446744073709551615"), UINT64_MAX);
}

TEST(MaintenancePool, JobsHandBackResultsAndExceptionsNestedAndConcurrently) {
  // Read on first use, which is below. (Which threads run a job's loops:
  // the next test.)
  setenv("NIMBREL_MAINT_THREADS", "3", 1);
  long sum = 0;
  run_on_maintenance_pool([&] {
    std::atomic<long> acc{0};
    tbb::parallel_for(0, 400, [&](int i) { acc += i; });
    sum = acc;
  });
  EXPECT_EQ(sum, 399 * 400 / 2);

  // An exception thrown on a worker inside a loop reaches the caller.
  try {
    run_on_maintenance_pool([] {
      tbb::parallel_for(0, 1000, [](int i) {
        if (i == 777) throw std::runtime_error("lost worker");
      });
    });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "lost worker");
  }

  // A job started from a job runs in place; jobs from several threads at
  // once share the workers and each gets its own answer. A thread waiting
  // inside one job's loop never runs another caller's job meanwhile (that
  // caller would wait for both).
  int inner = 0;
  run_on_maintenance_pool([&] { run_on_maintenance_pool([&] { inner = 7; }); });
  EXPECT_EQ(inner, 7);
  std::vector<long> sums(6, -1);
  std::vector<std::thread> callers;
  static thread_local int running_job = -1;
  std::atomic<int> nested{0};
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&, t] {
      try {
        run_on_maintenance_pool([&] {
          if (running_job != -1) ++nested;
          running_job = t;
          struct Unmark {
            ~Unmark() { running_job = -1; }
          } unmark;
          std::atomic<long> acc{0};
          tbb::parallel_for(0, 2000 * (t + 1), [&](int i) {
            if (t == 3 && i == 100) throw std::logic_error("job 3");
            if (i % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            acc += 1;
          });
          sums[t] = acc;
        });
      } catch (const std::logic_error&) {
        sums[t] = -3;
      }
    });
  }
  for (std::thread& c : callers) c.join();
  for (int t = 0; t < 6; ++t) EXPECT_EQ(sums[t], t == 3 ? -3 : 2000 * (t + 1)) << t;
  EXPECT_EQ(nested, 0);
}

TEST(MaintenancePool, AJobsLoopsRunOnAllOfItsThreadsAndOnNoOther) {
  setenv("NIMBREL_MAINT_THREADS", "3", 1);  // as above, should this run alone
  std::mutex mu;
  std::set<std::string> ran;
  run_on_maintenance_pool([&] {
    tbb::parallel_for(
        tbb::blocked_range<int>(0, 64, 1),
        [&](const tbb::blocked_range<int>&) {
          char name[16] = {};
          pthread_getname_np(pthread_self(), name, sizeof name);
          std::unique_lock<std::mutex> lock(mu);
          ran.insert(name);
          // Each body holds its thread until three have come (or long
          // enough that a missing one shows in the names).
          const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (ran.size() < 3 && std::chrono::steady_clock::now() < give_up) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
          }
        },
        tbb::simple_partitioner());
  });
  EXPECT_EQ(ran, (std::set<std::string>{"nimbrel-maint-0", "nimbrel-maint-1", "nimbrel-maint-2"}));
}

}  // namespace
}  // namespace nimbrel::py
