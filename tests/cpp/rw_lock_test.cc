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

// A thread taking `lock` exclusively, waiting for it once constructed (the
// caller makes sure someone holds it). Joined on destruction, so declare it
// before the locks it waits for.
class WaitingWriter {
 public:
  explicit WaitingWriter(RwLock& lock, std::atomic<int>* seq = nullptr)
      : thread_([&lock, seq] {
          std::unique_lock<RwLock> w(lock);
          if (seq != nullptr) ++*seq;
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
  explicit OtherReader(RwLock& lock) : thread_([this, &lock] {
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

// Whether a reader on this thread gets in now (let go at once).
bool ReaderGetsIn(RwLock& lock) {
  if (!lock.try_lock_shared()) return false;
  lock.unlock_shared();
  return true;
}

TEST(RwLock, AWaitingWriterGoesBeforeReadersThatCameAfterIt) {
  int group;
  RwLock lock(&group, 0);
  std::atomic<int> seq{0};
  int reader_at = 0;
  std::optional<WaitingWriter> writer;
  std::thread late_reader;
  {
    OtherReader inside(lock);
    writer.emplace(lock, &seq);
    std::thread([&] { EXPECT_FALSE(ReaderGetsIn(lock)); }).join();
    late_reader = std::thread([&] {
      std::shared_lock<RwLock> r(lock);
      reader_at = ++seq;
    });
  }
  late_reader.join();
  writer.reset();
  EXPECT_EQ(reader_at, 2);
}

TEST(RwLock, ReadersThatWouldDeadlockPassAWaitingWriterInOrderOnesWait) {
  int group, other_group;
  RwLock first(&group, 0), second(&group, 1), foreign(&other_group, 0);
  {
    std::optional<WaitingWriter> writer;
    std::shared_lock<RwLock> held(first);
    writer.emplace(first);
    std::shared_lock<RwLock> again(first);  // would wait on itself
  }
  {
    std::optional<WaitingWriter> writer;
    OtherReader inside(first);
    std::shared_lock<RwLock> later(second), elsewhere(foreign);
    writer.emplace(first);
    EXPECT_TRUE(ReaderGetsIn(first));  // a later lock of the group held
    later.unlock();
    EXPECT_TRUE(ReaderGetsIn(first));  // another group's lock held
    elsewhere.unlock();
    EXPECT_FALSE(ReaderGetsIn(first));
  }
  {
    std::optional<WaitingWriter> writer;
    OtherReader inside(second);
    std::shared_lock<RwLock> earlier(first);
    writer.emplace(second);
    EXPECT_FALSE(ReaderGetsIn(second));  // in order: it waits its turn
  }
}

TEST(RwLock, NestedReadersAndOrderedWritersNeitherDeadlockNorSeeHalfAWrite) {
  int group;
  RwLock a(&group, 0), b(&group, 1);
  long in_a = 0, in_b = 0;  // written together by each writer
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (t < 2) {
          std::unique_lock<RwLock> wa(a), wb(b);
          ++in_a;
          ++in_b;
        } else {
          std::shared_lock<RwLock> ra(a), rb(b), ra_again(a);  // as a stolen task would
          if (in_a != in_b) torn = true;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(in_a, 4000);
}

}  // namespace
}  // namespace nimbrel
