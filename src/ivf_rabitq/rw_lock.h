// A readers-writer lock that lets a waiting writer in before new readers.
//
// std::shared_mutex on glibc prefers readers: under a steady stream of
// searches a writer could wait for seconds. Here a writer that waits
// stops new readers at the door; it gets in as soon as the readers already
// inside are done.
//
// Plain writer preference deadlocks a thread that takes a read lock it
// already holds (or one earlier in the lock order) while a writer waits
// for that lock: the reader waits for the writer, the writer for the
// reader. A thread holding a segment lock can meet that without meaning
// to, e.g. when a data-parallel wait runs another query's task. So a
// tracked lock (one given a group and a rank) remembers, per thread, the
// tracked locks held, and a reader yields to waiting writers only when
// everything it holds is of the same group and of a lower rank, i.e. when
// it takes its locks in order. Any other reader gets in past waiting
// writers, as with the old lock. docs/write-path.md gives the argument
// why this cannot deadlock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace nimbrel {

class RwLock {
 public:
  // Untracked: every reader yields to waiting writers, so a thread must
  // never take it twice.
  RwLock() = default;
  // Tracked: `group` is the object whose locks are ordered by `rank`.
  RwLock(const void* group, int rank) : group_(group), rank_(rank) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();
  bool try_lock_shared();

  // Writers waiting to get in (for tests).
  uint32_t waiting_writers() const { return static_cast<uint32_t>((state_.load() & kWaiters) / kWaiter); }

 private:
  // state_: readers inside (low 32 bits), waiting writers (bits 32-62),
  // a writer inside (bit 63). Changes that can free a sleeper are followed
  // by a notification under mu_.
  static constexpr uint64_t kWriter = uint64_t{1} << 63;
  static constexpr uint64_t kWaiter = uint64_t{1} << 32;
  static constexpr uint64_t kWaiters = kWriter - kWaiter;
  static constexpr uint64_t kReaders = kWaiter - 1;

  // Whether a reader on this thread may pass waiting writers.
  bool may_overtake() const;
  bool try_enter_shared(bool overtake);
  void note_held();
  void note_released();

  std::atomic<uint64_t> state_{0};
  std::mutex mu_;
  std::condition_variable readers_cv_, writers_cv_;
  const void* const group_ = nullptr;
  const int rank_ = 0;
};

}  // namespace nimbrel
