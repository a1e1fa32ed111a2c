#include "foundation/recursive_lock.h"

#include <atomic>

namespace corvane {

namespace {

constexpr std::uint32_t kMultiProcessorSpinCount = 4000;

// -1 until the first lock is created, then 1 on a single-processor machine, else 0.
std::atomic<std::int32_t> singleProcessor{-1};
// How often the processor count was asked for; read by tests.
std::atomic<std::int32_t> processorQueries{0};

bool IsSingleProcessor() {
  std::int32_t known = singleProcessor.load(std::memory_order_acquire);
  if (known < 0) {
    // A function-local static is initialised once even when the first locks are created
    // on several threads at the same time.
    static const bool asked = [] {
      processorQueries.fetch_add(1, std::memory_order_relaxed);
      singleProcessor.store(platform::ProcessorCount() == 1 ? 1 : 0, std::memory_order_release);
      return true;
    }();
    (void)asked;
    known = singleProcessor.load(std::memory_order_acquire);
  }
  return known == 1;
}

}  // namespace

thread_local std::uint32_t CRecursiveLock::lastFailedTryLockAttempts_ = 0;
std::atomic<void (*)()> CRecursiveLock::beforeHandOffWait_{nullptr};

std::int32_t CRecursiveLock::ProcessorQueries() {
  return processorQueries.load(std::memory_order_relaxed);
}

CRecursiveLock::CRecursiveLock() {
  const bool single = IsSingleProcessor();
  state_ = std::make_unique<State>();
  if (!single) {
    std::atomic_ref<std::uint32_t>(state_->spinCount)
        .exchange(kMultiProcessorSpinCount, std::memory_order_relaxed);
  }
}

CRecursiveLock::~CRecursiveLock() = default;

bool CRecursiveLock::TryLock() {
  State& s = *state_;
  const std::uint32_t self = platform::CurrentThreadId();
  std::uint32_t spins = s.spinCount;
  std::uint32_t attempts = 0;
  for (;;) {
    ++attempts;
    std::int32_t expected = 0;
    if (s.lockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
      s.ownerThreadId.store(self, std::memory_order_relaxed);
      s.recursionCount = 1;
      return true;
    }
    // Only this thread can have written its own id here, so the unlocked read is enough.
    if (s.ownerThreadId.load(std::memory_order_relaxed) == self) {
      s.lockCount.fetch_add(1, std::memory_order_relaxed);
      ++s.recursionCount;
      return true;
    }
    if (spins == 0) {
      lastFailedTryLockAttempts_ = attempts;
      return false;
    }
    --spins;
  }
}

void CRecursiveLock::Lock() {
  if (TryLock()) return;
  State& s = *state_;
  const std::uint32_t self = platform::CurrentThreadId();
  // Announce ourselves; from here on a release hands the lock to one announced waiter.
  const std::int32_t count = s.lockCount.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (count == 1) {
    s.ownerThreadId.store(self, std::memory_order_relaxed);
    s.recursionCount = 1;
    return;
  }
  if (s.ownerThreadId.load(std::memory_order_relaxed) == self) {
    ++s.recursionCount;
    return;
  }
  if (auto hook = beforeHandOffWait_.load(std::memory_order_relaxed)) hook();
  WaitForHandOff();
  s.ownerThreadId.store(self, std::memory_order_relaxed);
  s.recursionCount = 1;
}

void CRecursiveLock::Unlock() {
  State& s = *state_;
  if (--s.recursionCount > 0) {
    s.lockCount.fetch_sub(1, std::memory_order_release);
    return;
  }
  s.ownerThreadId.store(0, std::memory_order_relaxed);
  if (s.lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) SignalHandOff();
}

// The hand-off event lives in process memory: a contended lock costs a futex wait and wake,
// an uncontended one never touches it.
void CRecursiveLock::WaitForHandOff() {
  handOff_.Wait(platform::kInfinite);  // returns only once it has taken the signal
}

void CRecursiveLock::SignalHandOff() { handOff_.Set(); }

}  // namespace corvane
