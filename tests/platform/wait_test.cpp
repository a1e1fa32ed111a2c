#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "eventually.h"
#include "platform/platform.h"

namespace {

using platform::Event;
using platform::WaitResult;
using testutil::Eventually;
using testutil::HoldsFor;
using testutil::MsSince;

TEST(Event, IsCreatedNotSignalled) {
  Event event;
  ASSERT_TRUE(event.Valid());
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
  EXPECT_EQ(platform::Wait(event.handle(), 0), WaitResult::kTimeout);
}

TEST(Event, ZeroTimeOutReportsAPendingSignal) {
  Event event;
  event.Set();
  EXPECT_EQ(event.Wait(0), WaitResult::kSignalled);
}

TEST(Event, WaitConsumesTheSignal) {
  Event event;
  event.Set();
  ASSERT_EQ(event.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

TEST(Event, SettingTwiceBeforeAWaitGivesOneSignal) {
  Event event;
  event.Set();
  event.Set();
  ASSERT_EQ(event.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

TEST(Event, ResetClearsAPendingSignal) {
  Event event;
  event.Set();
  event.Reset();
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

TEST(Event, ResetOfAnUnsignalledEventDoesNotBlock) {
  Event event;
  event.Reset();
  event.Set();
  EXPECT_EQ(event.Wait(0), WaitResult::kSignalled);
}

TEST(Event, WaitTimesOutWhenNobodySets) {
  Event event;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(event.Wait(40), WaitResult::kTimeout);
  // Only a lower bound: the wait must not give up early.
  EXPECT_GE(MsSince(start), 35);
}

TEST(Event, SetWakesAThreadWaitingWithoutTimeOut) {
  Event event;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = static_cast<int>(event.Wait(platform::kInfinite)); });
  event.Set();
  ASSERT_TRUE(Eventually([&] { return result.load() >= 0; }));
  waiter.join();
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::kSignalled));
}

TEST(Event, OneSetWakesExactlyOneOfTwoWaiters) {
  Event event;
  std::atomic<int> signalled{0};
  std::atomic<int> timedOut{0};
  auto waiter = [&] {
    const WaitResult r = event.Wait(300);
    if (r == WaitResult::kSignalled) ++signalled;
    if (r == WaitResult::kTimeout) ++timedOut;
  };
  std::thread a(waiter);
  std::thread b(waiter);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(signalled.load(), 1);
  EXPECT_EQ(timedOut.load(), 1);
}

TEST(Event, WaiterThatLosesTheSignalWaitsOnForTheNextOne) {
  Event event;
  std::atomic<int> signalled{0};
  std::atomic<int> other{0};
  auto waiter = [&] {
    const WaitResult r = event.Wait(5000);
    (r == WaitResult::kSignalled ? signalled : other)++;
  };
  std::thread a(waiter);
  std::thread b(waiter);
  event.Set();
  ASSERT_TRUE(Eventually([&] { return signalled.load() == 1; }));
  // The loser must neither report the consumed signal nor give up.
  EXPECT_TRUE(HoldsFor([&] { return signalled.load() == 1 && other.load() == 0; },
                       std::chrono::milliseconds(50)));
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(signalled.load(), 2);
  EXPECT_EQ(other.load(), 0);
}

// A handle that referred to an object a moment ago and has been closed since.
platform::Handle ClosedHandle() {
  Event event;
  platform::Handle handle = event.handle().Duplicate();
  handle.Close();
  return handle;
}

platform::Handle MovedFromHandle() {
  Event event;
  platform::Handle handle = event.handle().Duplicate();
  platform::Handle taken = std::move(handle);
  return handle;  // NOLINT(bugprone-use-after-move): the moved-from handle is the point
}

struct InvalidWaitCase {
  const char* name;
  void (*wait)();
  const char* message;  // what the abort says on stderr
};

// A wait on a handle that is not there is a caller's bug, never a time-out to retry on.
const InvalidWaitCase kInvalidWaits[] = {
    {"empty handle, poll only", [] { platform::Wait(platform::Handle(), 0); }, "invalid handle"},
    {"empty handle, with time-out", [] { platform::Wait(platform::Handle(), 10); },
     "invalid handle"},
    {"empty handle, for ever", [] { platform::Wait(platform::Handle(), platform::kInfinite); },
     "invalid handle"},
    {"closed handle, poll only", [] { platform::Wait(ClosedHandle(), 0); }, "invalid handle"},
    {"closed handle, for ever", [] { platform::Wait(ClosedHandle(), platform::kInfinite); },
     "invalid handle"},
    {"moved-from handle, with time-out", [] { platform::Wait(MovedFromHandle(), 1000); },
     "invalid handle"},
    {"empty list", [] { platform::WaitAny({}, 0); }, "empty list"},
    {"empty handle beside a signalled event",
     [] {
       Event event;
       event.Set();
       const platform::Handle empty;
       const std::array<platform::WaitRef, 2> objects{event, empty};
       platform::WaitAny(objects, 0);
     },
     "invalid handle"},
    {"closed handle beside an unsignalled event",
     [] {
       Event event;
       const platform::Handle closed = ClosedHandle();
       const std::array<platform::WaitRef, 2> objects{event, closed};
       platform::WaitAny(objects, 1000);
     },
     "invalid handle"},
};

TEST(WaitDeathTest, InvalidHandleAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const InvalidWaitCase& row : kInvalidWaits) {
    SCOPED_TRACE(row.name);
    EXPECT_DEATH(row.wait(), row.message);
  }
}

// Counts deliveries of SIGUSR1 while installed; the handler does nothing else, so a wait
// that it interrupts sees EINTR.
class InterruptingSignal {
 public:
  InterruptingSignal() {
    struct sigaction action {};
    action.sa_handler = [](int) { delivered.fetch_add(1, std::memory_order_relaxed); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait really is interrupted
    sigaction(SIGUSR1, &action, &previous_);
    delivered.store(0);
  }
  ~InterruptingSignal() { sigaction(SIGUSR1, &previous_, nullptr); }
  InterruptingSignal(const InterruptingSignal&) = delete;
  InterruptingSignal& operator=(const InterruptingSignal&) = delete;

  static inline std::atomic<int> delivered{0};

 private:
  struct sigaction previous_ {};
};

TEST(Wait, SignalDuringAnEndlessWaitDoesNotEndIt) {
  InterruptingSignal signal;
  Event event;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = static_cast<int>(event.Wait(platform::kInfinite)); });
  constexpr int kSignals = 5;
  EXPECT_TRUE(Eventually([&] {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    return InterruptingSignal::delivered.load() >= kSignals;
  }));
  EXPECT_TRUE(HoldsFor([&] { return result.load() == -1; }, std::chrono::milliseconds(20)));
  event.Set();
  waiter.join();
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::kSignalled));
}

TEST(WaitAny, SignalDuringATimedWaitStillEndsInATimeOut) {
  InterruptingSignal signal;
  Event a;
  Event b;
  const std::array<platform::WaitRef, 2> objects{a, b};
  std::atomic<bool> done{false};
  std::atomic<int> result{-2};
  std::atomic<int> deliveredDuringWait{0};
  std::thread waiter([&] {
    result = platform::WaitAny(objects, 300);
    deliveredDuringWait = InterruptingSignal::delivered.load();
    done = true;
  });
  while (!done.load()) {
    pthread_kill(waiter.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  waiter.join();
  EXPECT_GT(deliveredDuringWait.load(), 0);
  EXPECT_EQ(result.load(), -1);
}

TEST(WaitAny, ReturnsTheIndexOfTheSignalledObject) {
  Event first, second, third;
  second.Set();
  const std::array<platform::WaitRef, 3> objects{first, second, third};
  EXPECT_EQ(platform::WaitAny(objects, 1000), 1);
}

TEST(WaitAny, ReportsTheLowestIndexAndConsumesOnlyThatObject) {
  Event first, second, third;
  third.Set();
  second.Set();
  const std::array<platform::WaitRef, 3> objects{first, second, third};
  EXPECT_EQ(platform::WaitAny(objects, 0), 1);
  EXPECT_EQ(platform::WaitAny(objects, 0), 2);
  EXPECT_EQ(platform::WaitAny(objects, 0), -1);
}

TEST(WaitAny, TimesOutWhenNothingIsSignalled) {
  Event first, second;
  const std::array<platform::WaitRef, 2> objects{first, second};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::WaitAny(objects, 40), -1);
  EXPECT_GE(MsSince(start), 35);
}

TEST(WaitAny, WakesWhenAnotherThreadSetsOneObject) {
  Event first, second;
  const std::array<platform::WaitRef, 2> objects{first, second};
  std::atomic<int> result{-3};
  std::thread waiter([&] { result = platform::WaitAny(objects, platform::kInfinite); });
  second.Set();
  ASSERT_TRUE(Eventually([&] { return result.load() != -3; }));
  waiter.join();
  EXPECT_EQ(result.load(), 1);
}

TEST(WaitAny, WaitsOnManyObjects) {
  std::vector<Event> events(40);
  std::vector<platform::WaitRef> objects(events.begin(), events.end());
  events[33].Set();
  EXPECT_EQ(platform::WaitAny(objects, 1000), 33);
  EXPECT_EQ(platform::WaitAny(objects, 0), -1);
}

TEST(WaitAny, ThreadHandleIsNotConsumedByAWait) {
  platform::Thread thread;
  ASSERT_TRUE(thread.Start([] {}));
  Event unrelated;
  const std::array<platform::WaitRef, 2> objects{unrelated, thread.handle()};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(platform::WaitAny(objects, 5000), 1);
}

TEST(WaitAny, TwoSignalsDuringOneWaitConsumeOnlyOne) {
  Event first, second;
  const std::array<platform::WaitRef, 2> objects{first, second};
  std::atomic<int> result{-3};
  std::thread waiter([&] { result = platform::WaitAny(objects, platform::kInfinite); });
  second.Set();
  first.Set();
  ASSERT_TRUE(Eventually([&] { return result.load() != -3; }));
  waiter.join();
  ASSERT_TRUE(result.load() == 0 || result.load() == 1) << result.load();
  // The object the wait did not report keeps its signal.
  Event& other = result.load() == 0 ? second : first;
  EXPECT_EQ(other.Wait(0), WaitResult::kSignalled);
  EXPECT_EQ(platform::WaitAny(objects, 0), -1);
}

// Waits that give up all the time (1 ms) while signals keep coming: each signal is reported
// by exactly one wait, whether it meets a sleeping wait, one that is timing out, or none.
TEST(Event, NoSignalIsLostOrTakenTwiceWhileWaitsTimeOut) {
  Event event;
  std::atomic<bool> stopping{false};
  std::atomic<int> taken{0};
  auto waiter = [&] {
    while (!stopping.load()) {
      if (event.Wait(1) == WaitResult::kSignalled) ++taken;
    }
  };
  std::thread a(waiter);
  std::thread b(waiter);
  constexpr int kSignals = 300;
  bool allReported = true;
  for (int i = 1; i <= kSignals && allReported; ++i) {
    event.Set();
    allReported = Eventually([&] { return taken.load() >= i; });
    EXPECT_EQ(taken.load(), i);
  }
  stopping = true;
  a.join();
  b.join();
  EXPECT_TRUE(allReported);
  EXPECT_EQ(taken.load(), kSignals);
  EXPECT_EQ(event.Wait(0), WaitResult::kTimeout);
}

}  // namespace
