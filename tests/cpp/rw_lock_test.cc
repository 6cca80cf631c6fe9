// The segment's readers-writer lock: a waiting writer goes before readers
// that arrive after it, except readers that would deadlock by waiting
// (a lock taken again, out of order, or with another group's held).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "ivf_rabitq/rw_lock.h"

namespace nimbrel {
namespace {

// A thread that takes `lock` exclusively, and is waiting for it once the
// constructor returns (the caller holds it shared).
class WaitingWriter {
 public:
  WaitingWriter(RwLock& lock, std::atomic<int>* order = nullptr, std::atomic<int>* seq = nullptr)
      : thread_([&lock, order, seq] {
          std::unique_lock<RwLock> w(lock);
          if (order != nullptr) *order = ++*seq;
        }) {
    while (lock.waiting_writers() == 0) std::this_thread::yield();
  }
  ~WaitingWriter() { thread_.join(); }

 private:
  std::thread thread_;
};

// Another thread holding `lock` shared for the object's lifetime.
class OtherReader {
 public:
  explicit OtherReader(RwLock& lock)
      : thread_([this, &lock] {
          std::shared_lock<RwLock> r(lock);
          held_ = true;
          while (!done_) std::this_thread::yield();
        }) {
    while (!held_) std::this_thread::yield();
  }
  ~OtherReader() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> held_{false}, done_{false};
  std::thread thread_;
};

bool TryReadOnOtherThread(RwLock& lock) {
  bool got = false;
  std::thread([&] {
    got = lock.try_lock_shared();
    if (got) lock.unlock_shared();
  }).join();
  return got;
}

TEST(RwLock, AWaitingWriterGoesBeforeReadersThatCameAfterIt) {
  int group;
  RwLock lock(&group, 0);
  std::atomic<int> seq{0}, writer_at{0}, reader_at{0};
  lock.lock_shared();
  std::thread late_reader;
  {
    WaitingWriter writer(lock, &writer_at, &seq);
    EXPECT_FALSE(TryReadOnOtherThread(lock));
    late_reader = std::thread([&] {
      std::shared_lock<RwLock> r(lock);
      reader_at = ++seq;
    });
    lock.unlock_shared();
  }
  late_reader.join();
  EXPECT_EQ(writer_at, 1);
  EXPECT_EQ(reader_at, 2);
  EXPECT_TRUE(TryReadOnOtherThread(lock));
}

TEST(RwLock, ReadersThatWouldDeadlockPassAWaitingWriterInOrderOnesWait) {
  int group, other_group;
  RwLock first(&group, 0), second(&group, 1), foreign(&other_group, 0);
  // Each writer is declared first, so that it is joined after the locks
  // it waits for are released.
  {
    // The same lock again: waiting would wait on ourselves.
    std::optional<WaitingWriter> writer;
    std::shared_lock<RwLock> held(first);
    writer.emplace(first);
    ASSERT_TRUE(first.try_lock_shared());
    first.unlock_shared();
    std::shared_lock<RwLock> again(first);
  }
  {
    // Out of order (a later lock held), or another group's lock held.
    std::optional<WaitingWriter> writer;
    OtherReader inside(first);
    std::shared_lock<RwLock> later(second), elsewhere(foreign);
    writer.emplace(first);
    ASSERT_TRUE(first.try_lock_shared());
    first.unlock_shared();
    later.unlock();
    ASSERT_TRUE(first.try_lock_shared());
    first.unlock_shared();
    elsewhere.unlock();
    EXPECT_FALSE(first.try_lock_shared());
  }
  {
    // In order, an earlier lock of the group held: it waits its turn.
    std::optional<WaitingWriter> writer;
    OtherReader inside(second);
    std::shared_lock<RwLock> earlier(first);
    writer.emplace(second);
    EXPECT_FALSE(second.try_lock_shared());
  }
}

TEST(RwLock, NestedReadersAndOrderedWritersNeitherDeadlockNorSeeHalfAWrite) {
  int group;
  RwLock a(&group, 0), b(&group, 1);
  long in_a = 0, in_b = 0;  // written together by each writer
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        std::shared_lock<RwLock> ra(a);
        std::shared_lock<RwLock> rb(b);
        std::shared_lock<RwLock> ra_again(a);  // as a stolen task would
        if (in_a != in_b) torn = true;
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        std::unique_lock<RwLock> wa(a);
        std::unique_lock<RwLock> wb(b);
        ++in_a;
        ++in_b;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(in_a, 2000);
}

}  // namespace
}  // namespace nimbrel
