#include "ivf_rabitq/rw_lock.h"

#include <array>
#include <cstddef>

namespace nimbrel {
namespace {

// The tracked locks this thread holds, in either mode. A thread rarely
// holds more than four; past the array's room the extra ones are only
// counted, and a thread with uncounted locks never yields (the old
// behaviour, always safe).
struct HeldLocks {
  std::array<const void*, 32> locks{};
  size_t size = 0;
  size_t overflow = 0;
};
thread_local HeldLocks t_held;


}  // namespace

bool RwLock::may_overtake() const {
  if (group_ == nullptr) return false;
  const HeldLocks& held = t_held;
  if (held.overflow != 0) return true;
  for (size_t i = 0; i < held.size; ++i) {
    const RwLock* other = static_cast<const RwLock*>(held.locks[i]);
    // The same lock again, a later one of the group, or another group's:
    // yielding here could wait on a writer that waits on this thread.
    if (other->group_ != group_ || other->rank_ >= rank_) return true;
  }
  return false;
}

void RwLock::note_held() {
  if (group_ == nullptr) return;
  HeldLocks& held = t_held;
  if (held.size < held.locks.size()) {
    held.locks[held.size++] = this;
  } else {
    ++held.overflow;
  }
}

void RwLock::note_released() {
  if (group_ == nullptr) return;
  HeldLocks& held = t_held;
  for (size_t i = held.size; i-- > 0;) {
    if (held.locks[i] == this) {
      held.locks[i] = held.locks[--held.size];
      return;
    }
  }
  if (held.overflow != 0) --held.overflow;
}

bool RwLock::try_enter_shared(bool overtake) {
  uint64_t s = state_.load();
  const uint64_t blockers = overtake ? kWriter : (kWriter | kWaiters);
  while ((s & blockers) == 0) {
    if (state_.compare_exchange_weak(s, s + 1)) return true;
  }
  return false;
}

void RwLock::lock_shared() {
  if (!try_enter_shared(false)) {
    const bool overtake = may_overtake();
    std::unique_lock<std::mutex> l(mu_);
    while (!try_enter_shared(overtake)) readers_cv_.wait(l);
  }
  note_held();
}

bool RwLock::try_lock_shared() {
  if (!try_enter_shared(may_overtake())) return false;
  note_held();
  return true;
}

void RwLock::unlock_shared() {
  note_released();
  const uint64_t s = state_.fetch_sub(1) - 1;
  if ((s & kReaders) == 0 && (s & kWaiters) != 0) {
    std::lock_guard<std::mutex> l(mu_);
    writers_cv_.notify_all();
  }
}

void RwLock::lock() {
  uint64_t s = 0;
  if (!state_.compare_exchange_strong(s, kWriter)) {
    std::unique_lock<std::mutex> l(mu_);
    // From here new readers wait (except those that must not).
    s = state_.fetch_add(kWaiter) + kWaiter;
    for (;;) {
      if ((s & (kWriter | kReaders)) == 0) {
        if (state_.compare_exchange_weak(s, s - kWaiter + kWriter)) break;
        continue;
      }
      writers_cv_.wait(l);
      s = state_.load();
    }
  }
  note_held();
}

void RwLock::unlock() {
  note_released();
  state_.fetch_and(~kWriter);
  std::lock_guard<std::mutex> l(mu_);
  writers_cv_.notify_all();
  readers_cv_.notify_all();
}

}  // namespace nimbrel
