#include "foundation/recursive_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../platform/eventually.h"
#include "platform/platform.h"

namespace corvane {

// Reaches the lock's test counters and hooks.
struct CRecursiveLockTestPeer {
  static std::uint32_t LastFailedTryLockAttempts() {
    return CRecursiveLock::lastFailedTryLockAttempts_;
  }
  static std::int32_t ProcessorQueries() { return CRecursiveLock::ProcessorQueries(); }
  static void SetBeforeHandOffWait(void (*hook)()) { CRecursiveLock::beforeHandOffWait_ = hook; }
  static void SetSpinCount(CRecursiveLock& lock, std::uint32_t n) { lock.state_->spinCount = n; }
  // Frees a waiter that a faulty release left blocked, so a failing test still ends.
  static void ForceHandOff(CRecursiveLock& lock) { lock.SignalHandOff(); }
};

namespace {

using Peer = CRecursiveLockTestPeer;
using testutil::Eventually;
using testutil::HoldsFor;
using namespace std::chrono_literals;

std::int32_t LockCount(const CRecursiveLock& lock) { return lock.state().lockCount.load(); }
std::uint32_t Owner(const CRecursiveLock& lock) { return lock.state().ownerThreadId.load(); }

// Asks from another thread, so that the owner's recursion does not answer for it.
bool TryLockElsewhere(CRecursiveLock& lock) {
  bool got = false;
  std::thread other([&] {
    got = lock.TryLock();
    if (got) lock.Unlock();
  });
  other.join();
  return got;
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

TEST(RecursiveLock, NewLockIsFree) {
  CRecursiveLock lock;
  EXPECT_EQ(LockCount(lock), 0);
  EXPECT_EQ(Owner(lock), 0u);
  EXPECT_EQ(lock.state().recursionCount, 0);
}

TEST(RecursiveLock, SpinsOnlyOnMultiProcessorMachines) {
  CRecursiveLock lock;
  EXPECT_EQ(lock.state().spinCount, platform::ProcessorCount() == 1 ? 0u : 4000u);
}

// Runs the test above in a fresh process that may use one processor only, so that the
// process-wide flag is determined there for a single-processor machine.
TEST(RecursiveLock, DoesNotSpinWhenTheProcessMayUseOneProcessor) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
  char exe[] = "/proc/self/exe";
  char filter[] = "--gtest_filter=RecursiveLock.SpinsOnlyOnMultiProcessorMachines";
  char* argv[] = {exe, filter, nullptr};
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(3);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
    execv(exe, argv);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(RecursiveLock, ThreeLocksAndThreeUnlocksLeaveTheLockFree) {
  CRecursiveLock lock;
  lock.Lock();
  lock.Lock();
  lock.Lock();
  EXPECT_EQ(LockCount(lock), 3);
  EXPECT_EQ(lock.state().recursionCount, 3);
  EXPECT_EQ(Owner(lock), platform::CurrentThreadId());
  lock.Unlock();
  lock.Unlock();
  EXPECT_FALSE(TryLockElsewhere(lock));
  lock.Unlock();
  EXPECT_EQ(LockCount(lock), 0);
  EXPECT_EQ(Owner(lock), 0u);
  EXPECT_EQ(lock.state().recursionCount, 0);
  EXPECT_TRUE(TryLockElsewhere(lock));
}

TEST(RecursiveLock, TryLockByTheOwnerSucceedsAndNeedsItsOwnUnlock) {
  CRecursiveLock lock;
  lock.Lock();
  ASSERT_TRUE(lock.TryLock());
  EXPECT_EQ(LockCount(lock), 2);
  lock.Unlock();
  EXPECT_EQ(LockCount(lock), 1);
  EXPECT_FALSE(TryLockElsewhere(lock));
  lock.Unlock();
  EXPECT_EQ(LockCount(lock), 0);
}

TEST(RecursiveLock, TryLockOnAFreeLockTakesIt) {
  CRecursiveLock lock;
  ASSERT_TRUE(lock.TryLock());
  EXPECT_EQ(Owner(lock), platform::CurrentThreadId());
  EXPECT_EQ(LockCount(lock), 1);
  EXPECT_FALSE(TryLockElsewhere(lock));
  lock.Unlock();
  EXPECT_TRUE(TryLockElsewhere(lock));
}

struct ContendedTryLockRow {
  const char* name;
  std::optional<std::uint32_t> spinCount;  // empty: the lock's own
};

void PrintTo(const ContendedTryLockRow& row, std::ostream* out) { *out << row.name; }

class ContendedTryLock : public testing::TestWithParam<ContendedTryLockRow> {};

TEST_P(ContendedTryLock, GivesUpAfterSpinCountPlusOneAttempts) {
  CRecursiveLock lock;
  const std::optional<std::uint32_t> spinCount = GetParam().spinCount;
  if (spinCount) Peer::SetSpinCount(lock, *spinCount);
  const std::uint32_t expectedAttempts = spinCount ? *spinCount + 1 : lock.state().spinCount + 1;
  lock.Lock();
  bool got = true;
  std::uint32_t attempts = 0;
  std::thread other([&] {
    got = lock.TryLock();
    attempts = Peer::LastFailedTryLockAttempts();
  });
  other.join();
  EXPECT_FALSE(got);
  EXPECT_EQ(attempts, expectedAttempts);
  // A failed attempt leaves no trace in the count.
  EXPECT_EQ(LockCount(lock), 1);
  lock.Unlock();
}

INSTANTIATE_TEST_SUITE_P(RecursiveLock, ContendedTryLock,
                         testing::Values(ContendedTryLockRow{"SpinsForTheLocksSpinCount", std::nullopt},
                                         ContendedTryLockRow{"WithoutSpinningMakesOneAttempt", 0u}),
                         [](const testing::TestParamInfo<ContendedTryLockRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(RecursiveLock, ProcessorCountIsAskedOncePerProcess) {
  std::vector<std::thread> makers;
  for (int t = 0; t < 4; ++t) {
    makers.emplace_back([] {
      for (int i = 0; i < 25; ++i) CRecursiveLock lock;
    });
  }
  for (auto& m : makers) m.join();
  CRecursiveLock more;
  EXPECT_EQ(Peer::ProcessorQueries(), 1);
}

TEST(RecursiveLock, DestroyedLocksLeaveNoDescriptorBehind) {
  const int before = OpenDescriptorCount();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 100; ++i) {
    CRecursiveLock lock;
    lock.Lock();
    lock.Unlock();
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(RecursiveLock, WaiterBlocksUntilTheOwnerReleases) {
  CRecursiveLock lock;
  lock.Lock();
  lock.Lock();
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.Lock();
    acquired = true;
    lock.Unlock();
  });
  // Two holds plus one announced waiter.
  ASSERT_TRUE(Eventually([&] { return LockCount(lock) == 3; }));
  lock.Unlock();
  EXPECT_TRUE(HoldsFor([&] { return !acquired.load(); }, 30ms));
  lock.Unlock();
  EXPECT_TRUE(Eventually([&] { return acquired.load(); }));
  waiter.join();
  EXPECT_EQ(LockCount(lock), 0);
}

TEST(RecursiveLock, ReleaseHandsTheLockToExactlyOneOfTwoWaiters) {
  CRecursiveLock lock;
  lock.Lock();
  std::atomic<int> acquired{0};
  std::array<std::atomic<std::uint32_t>, 2> owners{};
  std::array<platform::Event, 2> firstRelease;
  std::array<platform::Event, 2> finalRelease;
  auto waiter = [&] {
    lock.Lock();
    const int order = acquired.fetch_add(1);
    owners[order] = platform::CurrentThreadId();
    lock.Lock();
    firstRelease[order].Wait(5000);
    lock.Unlock();
    finalRelease[order].Wait(5000);
    lock.Unlock();
  };
  std::thread a(waiter);
  std::thread b(waiter);
  ASSERT_TRUE(Eventually([&] { return LockCount(lock) == 3; }));  // our hold + two waiters

  lock.Unlock();
  ASSERT_TRUE(Eventually([&] { return acquired.load() == 1; }));
  // The new owner's two holds plus the waiter still announced.
  ASSERT_TRUE(Eventually([&] { return LockCount(lock) == 3; }));
  EXPECT_EQ(Owner(lock), owners[0].load());
  EXPECT_TRUE(HoldsFor([&] { return acquired.load() == 1; }, 30ms));

  firstRelease[0].Set();
  ASSERT_TRUE(Eventually([&] { return LockCount(lock) == 2; }));
  EXPECT_TRUE(HoldsFor([&] { return acquired.load() == 1; }, 30ms));

  finalRelease[0].Set();
  ASSERT_TRUE(Eventually([&] { return acquired.load() == 2; }));
  EXPECT_NE(owners[1].load(), owners[0].load());
  EXPECT_TRUE(Eventually([&] { return Owner(lock) == owners[1].load(); }));
  firstRelease[1].Set();
  finalRelease[1].Set();
  a.join();
  b.join();
  EXPECT_EQ(LockCount(lock), 0);
  EXPECT_EQ(Owner(lock), 0u);
}

std::atomic<bool> announced{false};
platform::Event* proceed = nullptr;

void PauseBeforeHandOffWait() {
  announced = true;
  proceed->Wait(5000);
}

// Removes the hook however the test ends.
struct HookScope {
  explicit HookScope(void (*hook)()) { Peer::SetBeforeHandOffWait(hook); }
  ~HookScope() { Peer::SetBeforeHandOffWait(nullptr); }
};

TEST(RecursiveLock, ReleaseBeforeTheAnnouncedWaiterWaitsLetsItPass) {
  CRecursiveLock lock;
  platform::Event go;
  proceed = &go;
  announced = false;
  lock.Lock();
  std::atomic<bool> acquired{false};
  std::thread waiter;
  {
    HookScope hook(&PauseBeforeHandOffWait);
    waiter = std::thread([&] {
      lock.Lock();
      acquired = true;
      lock.Unlock();
    });
    ASSERT_TRUE(Eventually([&] { return announced.load(); }));
  }
  EXPECT_EQ(LockCount(lock), 2);
  lock.Unlock();  // the waiter has announced itself but does not wait yet
  EXPECT_EQ(LockCount(lock), 1);
  EXPECT_EQ(Owner(lock), 0u);
  go.Set();
  const bool passed = Eventually([&] { return acquired.load(); }, 2000ms);
  if (!passed) Peer::ForceHandOff(lock);
  waiter.join();
  EXPECT_TRUE(passed);
  EXPECT_EQ(LockCount(lock), 0);
}

TEST(RecursiveLock, ManyThreadsLoseNoUpdate) {
  CRecursiveLock lock;
  long counter = 0;  // deliberately plain: only the lock protects it
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 3 == 0) {
          CAutoLock outer(lock);
          CAutoLock inner(lock);
          ++counter;
        } else if (lock.TryLock()) {
          ++counter;
          lock.Unlock();
        } else {
          CAutoLock guard(lock);
          ++counter;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  EXPECT_EQ(LockCount(lock), 0);
}

TEST(AutoLock, HoldsTheLockForItsScope) {
  CRecursiveLock lock;
  {
    CAutoLock guard(lock);
    EXPECT_EQ(Owner(lock), platform::CurrentThreadId());
    EXPECT_FALSE(TryLockElsewhere(lock));
  }
  EXPECT_EQ(LockCount(lock), 0);
  EXPECT_TRUE(TryLockElsewhere(lock));
}

TEST(AutoLock, ReleasesWhenAnExceptionLeavesTheScope) {
  CRecursiveLock lock;
  try {
    CAutoLock guard(lock);
    throw std::runtime_error("leave");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(LockCount(lock), 0);
  EXPECT_TRUE(TryLockElsewhere(lock));
}

// Makes the next descriptor the process opens fail, for as long as it lives.
class DescriptorLimit {
 public:
  DescriptorLimit() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (lowestFree < 0) return;
    close(lowestFree);
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(lowestFree);
    active_ = setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  ~DescriptorLimit() {
    if (active_) setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool active() const { return active_; }

 private:
  rlimit saved_{};
  bool active_ = false;
};

// The hand-off event takes no descriptor: a lock made when none is free excludes and hands
// off like any other.
TEST(RecursiveLock, MadeWithNoDescriptorFreeStillExcludesAndHandsOff) {
  std::unique_ptr<CRecursiveLock> made;
  {
    DescriptorLimit limit;
    ASSERT_TRUE(limit.active());
    made = std::make_unique<CRecursiveLock>();
  }
  CRecursiveLock& lock = *made;
  lock.Lock();
  std::atomic<int> acquired{0};
  auto waiter = [&] {
    lock.Lock();
    ++acquired;
    lock.Unlock();
  };
  std::thread a(waiter);
  std::thread b(waiter);
  ASSERT_TRUE(Eventually([&] { return LockCount(lock) == 3; }));
  EXPECT_TRUE(HoldsFor([&] { return acquired.load() == 0; }, 30ms));
  lock.Unlock();
  EXPECT_TRUE(Eventually([&] { return acquired.load() == 2; }));
  a.join();
  b.join();
  EXPECT_EQ(LockCount(lock), 0);
}

}  // namespace
}  // namespace corvane
