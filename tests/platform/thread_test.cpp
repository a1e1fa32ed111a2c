#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "eventually.h"
#include "platform/platform.h"

namespace {

using platform::Event;
using platform::Handle;
using platform::Thread;
using platform::WaitResult;
using testutil::Eventually;
using testutil::MsSince;

TEST(ThreadId, MatchesTheKernelIdOfTheCallingThread) {
  EXPECT_EQ(platform::CurrentThreadId(), static_cast<std::uint32_t>(syscall(SYS_gettid)));
  std::uint32_t inside = 0, kernel = 0;
  std::thread other([&] {
    inside = platform::CurrentThreadId();
    kernel = static_cast<std::uint32_t>(syscall(SYS_gettid));
  });
  other.join();
  EXPECT_EQ(inside, kernel);
  EXPECT_NE(inside, platform::CurrentThreadId());
  EXPECT_NE(inside, 0u);
}

TEST(Thread, EmptyThreadCountsAsEnded) {
  Thread thread;
  EXPECT_FALSE(thread.Valid());
  EXPECT_TRUE(thread.Join(0));
  thread.Abandon();
  EXPECT_FALSE(thread.Valid());
}

TEST(Thread, RefusesAnEmptyFunction) {
  Thread thread;
  EXPECT_FALSE(thread.Start(std::function<void()>()));
  EXPECT_FALSE(thread.Valid());
}

TEST(Thread, RefusesASecondStartWhileHoldingAThread) {
  Event go;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] { go.Wait(5000); }));
  std::atomic<bool> secondRan{false};
  EXPECT_FALSE(thread.Start([&] { secondRan = true; }));
  go.Set();
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_FALSE(secondRan.load());
}

TEST(Thread, RunsTheFunctionOnAThreadWithTheReportedId) {
  std::atomic<std::uint32_t> seen{0};
  Thread thread;
  ASSERT_TRUE(thread.Start([&] { seen = platform::CurrentThreadId(); }));
  ASSERT_TRUE(thread.Join(5000));
  EXPECT_EQ(seen.load(), thread.id());
  EXPECT_NE(thread.id(), platform::CurrentThreadId());
}

TEST(Thread, HandleIsSignalledOnlyOnceTheFunctionHasReturned) {
  Event go;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] { go.Wait(5000); }));
  EXPECT_EQ(platform::Wait(thread.handle(), 0), WaitResult::kTimeout);
  go.Set();
  EXPECT_EQ(platform::Wait(thread.handle(), 5000), WaitResult::kSignalled);
}

TEST(Thread, HandleOfAnEndedThreadStaysSignalledForEveryWait) {
  Thread thread;
  ASSERT_TRUE(thread.Start([] {}));
  ASSERT_TRUE(thread.Join(5000));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(platform::Wait(thread.handle(), 0), WaitResult::kSignalled) << "wait " << i;
  }
}

TEST(Thread, EndWakesEveryWaiterOnItsHandle) {
  Event go;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] { go.Wait(5000); }));
  std::atomic<int> woken{0};
  std::atomic<int> waiting{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      const Handle mine = thread.handle().Duplicate();
      ++waiting;
      if (platform::Wait(mine, platform::kInfinite) == WaitResult::kSignalled) ++woken;
    });
  }
  ASSERT_TRUE(Eventually([&] { return waiting.load() == 3; }));
  EXPECT_EQ(woken.load(), 0);
  go.Set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(thread.Join(0));
}

TEST(Thread, JoinTimesOutWhileTheThreadRuns) {
  Event go;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] { go.Wait(5000); }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(thread.Join(30));
  EXPECT_GE(MsSince(start), 25);
  go.Set();
  EXPECT_TRUE(thread.Join(5000));
}

TEST(Thread, DuplicateHandleOutlivesTheThreadObject) {
  Event go;
  Handle copy;
  {
    Thread thread;
    ASSERT_TRUE(thread.Start([&] { go.Wait(5000); }));
    copy = thread.handle().Duplicate();
    ASSERT_TRUE(copy.Valid());
    go.Set();
    ASSERT_TRUE(thread.Join(5000));
  }
  EXPECT_EQ(platform::Wait(copy, 0), WaitResult::kSignalled);
  EXPECT_EQ(platform::Wait(copy, 0), WaitResult::kSignalled);
}

TEST(Thread, DestroyingARunningThreadLetsItFinish) {
  Event go;
  std::atomic<bool> finished{false};
  Handle copy;
  {
    Thread thread;
    ASSERT_TRUE(thread.Start([&] {
      go.Wait(5000);
      finished = true;
    }));
    copy = thread.handle().Duplicate();
  }
  EXPECT_FALSE(finished.load());
  go.Set();
  EXPECT_EQ(platform::Wait(copy, 5000), WaitResult::kSignalled);
  EXPECT_TRUE(finished.load());
}

TEST(Thread, MoveKeepsTheThreadAndEmptiesTheSource) {
  Event go;
  Thread source;
  ASSERT_TRUE(source.Start([&] { go.Wait(5000); }));
  const std::uint32_t id = source.id();
  Thread target(std::move(source));
  EXPECT_FALSE(source.Valid());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(target.id(), id);
  go.Set();
  EXPECT_TRUE(target.Join(5000));
}

// A thread stuck where it cannot be interrupted safely (here: waiting for a mutex, as a
// worker behind a stalled host callback would) is given up on, not cancelled: Abandon returns
// at once, the thread runs on untouched, and it ends normally once it gets the mutex.
TEST(Thread, AbandonedThreadRunsOnAndEndsWhenReleased) {
  std::mutex held;
  std::unique_lock<std::mutex> holding(held);
  std::atomic<bool> waiting{false};
  std::atomic<bool> unwound{false};
  struct Guard {
    std::atomic<bool>& flag;
    ~Guard() { flag = true; }
  };
  Thread thread;
  ASSERT_TRUE(thread.Start([&] {
    Guard guard{unwound};
    waiting = true;
    std::lock_guard<std::mutex> got(held);
  }));
  ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
  Handle ended = thread.handle().Duplicate();
  ASSERT_TRUE(ended.Valid());
  EXPECT_FALSE(thread.Join(50));

  const auto start = std::chrono::steady_clock::now();
  thread.Abandon();
  EXPECT_LT(testutil::MsSince(start), 1000);
  EXPECT_FALSE(thread.Valid());
  EXPECT_EQ(platform::Wait(ended, 0), WaitResult::kTimeout);
  EXPECT_FALSE(unwound.load());

  holding.unlock();
  EXPECT_EQ(platform::Wait(ended, 5000), WaitResult::kSignalled);
  EXPECT_TRUE(unwound.load());
}

TEST(Thread, CurrentThreadHandleInsideOurThreadIsSignalledWhenItEnds) {
  std::promise<Handle> inside;
  auto insideHandle = inside.get_future();
  Event go;
  Thread thread;
  ASSERT_TRUE(thread.Start([&] {
    inside.set_value(platform::CurrentThreadHandle());
    go.Wait(5000);
  }));
  Handle handle = insideHandle.get();
  ASSERT_TRUE(handle.Valid());
  EXPECT_EQ(platform::Wait(handle, 0), WaitResult::kTimeout);
  go.Set();
  EXPECT_EQ(platform::Wait(handle, 5000), WaitResult::kSignalled);
  EXPECT_TRUE(thread.Join(5000));
}

TEST(CurrentThreadHandle, OfAThreadWeDidNotCreateIsSignalledWhenItEnds) {
  std::promise<Handle> first;
  std::promise<Handle> second;
  auto firstHandle = first.get_future();
  auto secondHandle = second.get_future();
  Event go;
  std::thread foreign([&] {
    first.set_value(platform::CurrentThreadHandle());
    second.set_value(platform::CurrentThreadHandle());
    go.Wait(5000);
  });
  Handle a = firstHandle.get();
  Handle b = secondHandle.get();
  ASSERT_TRUE(a.Valid());
  ASSERT_TRUE(b.Valid());
  EXPECT_TRUE(a.SameObject(b));  // one exit object per thread, two references
  EXPECT_EQ(platform::Wait(a, 0), WaitResult::kTimeout);
  EXPECT_EQ(platform::Wait(b, 0), WaitResult::kTimeout);
  go.Set();
  EXPECT_EQ(platform::Wait(a, 5000), WaitResult::kSignalled);
  EXPECT_EQ(platform::Wait(b, 5000), WaitResult::kSignalled);
  foreign.join();
  EXPECT_EQ(platform::Wait(a, 0), WaitResult::kSignalled);
}

TEST(CurrentThreadHandle, OfTheRunningThreadIsNotSignalled) {
  Handle self = platform::CurrentThreadHandle();
  ASSERT_TRUE(self.Valid());
  EXPECT_EQ(platform::Wait(self, 0), WaitResult::kTimeout);
}

TEST(SleepMs, SleepsAtLeastTheGivenTime) {
  const auto start = std::chrono::steady_clock::now();
  platform::SleepMs(30);
  EXPECT_GE(MsSince(start), 29);
}

TEST(ProcessorCount, IsAtLeastOneAndNoMoreThanConfigured) {
  const unsigned count = platform::ProcessorCount();
  EXPECT_GE(count, 1u);
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  if (configured > 0) {
    EXPECT_LE(count, static_cast<unsigned>(configured));
  }
}

}  // namespace
