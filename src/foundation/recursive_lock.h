// The one mutual-exclusion primitive of the driver: a recursive lock that spins briefly
// on multi-processor machines before it blocks, and hands ownership on release directly
// to one waiting thread through an auto-reset event.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace corvane {

class CRecursiveLock {
 public:
  // The lock's state block. Invariant while the lock is held:
  //   lockCount == recursionCount + threads that announced themselves in Lock and are not
  //   yet owner.
  struct State {
    // Extra acquisition attempts TryLock makes after a failed first one: 0 on a machine
    // with one processor, 4000 otherwise.
    std::uint32_t spinCount = 0;
    // 0 when free; otherwise the owner's holds plus the announced waiters.
    std::atomic<std::int32_t> lockCount{0};
    // Owner's thread id, 0 when there is none. Other threads read it only to learn that
    // they are not the owner.
    std::atomic<std::uint32_t> ownerThreadId{0};
    // Holds of the owner; touched only by the owner.
    std::int32_t recursionCount = 0;
  };

  CRecursiveLock();
  // Does not check whether the lock is held.
  ~CRecursiveLock();
  CRecursiveLock(const CRecursiveLock&) = delete;
  CRecursiveLock& operator=(const CRecursiveLock&) = delete;

  // Acquires without blocking, making up to spinCount extra attempts with no pause between
  // them. True when the calling thread now holds the lock (newly or once more).
  bool TryLock();
  // Acquires, blocking without time-out.
  void Lock();
  // Gives up one hold. Only the owner may call it, once per successful TryLock or Lock.
  void Unlock();

  const State& state() const { return *state_; }

 private:
  // Test access to the counters and hooks below.
  friend struct CRecursiveLockTestPeer;

  void WaitForHandOff();
  void SignalHandOff();

  // How often the process asked for its processor count (once, whatever the lock count).
  static std::int32_t ProcessorQueries();
  // Compare-exchange attempts of the calling thread's last failed TryLock; written only on
  // that path, so acquisition pays nothing for it.
  static thread_local std::uint32_t lastFailedTryLockAttempts_;
  // Called by Lock after a waiter has announced itself and before it waits; null except in
  // tests that place a release exactly there.
  static std::atomic<void (*)()> beforeHandOffWait_;

  platform::Event handOff_;
  std::unique_ptr<State> state_;
};

// Scoped guard: Lock in the constructor, Unlock in the destructor (also when an exception
// or a forced thread termination unwinds the scope).
class CAutoLock {
 public:
  explicit CAutoLock(CRecursiveLock& lock) : lock_(&lock) { lock_->Lock(); }
  ~CAutoLock() { lock_->Unlock(); }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CRecursiveLock* lock_;
};

}  // namespace corvane
