#include <gtest/gtest.h>

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

TEST(Wait, InvalidDescriptorFails) {
  EXPECT_EQ(platform::Wait(-1, 0), WaitResult::kFailed);
  EXPECT_EQ(platform::Wait(-1, 10), WaitResult::kFailed);
}

TEST(Wait, ClosedDescriptorFails) {
  int fd;
  {
    Event event;
    fd = event.fd();
  }
  EXPECT_EQ(platform::Wait(fd, 0), WaitResult::kFailed);
}

TEST(WaitAny, EmptyListFails) { EXPECT_EQ(platform::WaitAny({}, 0), -2); }

TEST(WaitAny, InvalidDescriptorInTheListFails) {
  Event event;
  event.Set();
  const std::array<int, 2> fds{event.fd(), -1};
  EXPECT_EQ(platform::WaitAny(fds, 0), -2);
}

TEST(WaitAny, ReturnsTheIndexOfTheSignalledObject) {
  Event first, second, third;
  second.Set();
  const std::array<int, 3> fds{first.fd(), second.fd(), third.fd()};
  EXPECT_EQ(platform::WaitAny(fds, 1000), 1);
}

TEST(WaitAny, ReportsTheLowestIndexAndConsumesOnlyThatObject) {
  Event first, second, third;
  third.Set();
  second.Set();
  const std::array<int, 3> fds{first.fd(), second.fd(), third.fd()};
  EXPECT_EQ(platform::WaitAny(fds, 0), 1);
  EXPECT_EQ(platform::WaitAny(fds, 0), 2);
  EXPECT_EQ(platform::WaitAny(fds, 0), -1);
}

TEST(WaitAny, TimesOutWhenNothingIsSignalled) {
  Event first, second;
  const std::array<int, 2> fds{first.fd(), second.fd()};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::WaitAny(fds, 40), -1);
  EXPECT_GE(MsSince(start), 35);
}

TEST(WaitAny, WakesWhenAnotherThreadSetsOneObject) {
  Event first, second;
  const std::array<int, 2> fds{first.fd(), second.fd()};
  std::atomic<int> result{-3};
  std::thread waiter([&] { result = platform::WaitAny(fds, platform::kInfinite); });
  second.Set();
  ASSERT_TRUE(Eventually([&] { return result.load() != -3; }));
  waiter.join();
  EXPECT_EQ(result.load(), 1);
}

TEST(WaitAny, WaitsOnManyObjects) {
  std::vector<Event> events(40);
  std::vector<int> fds;
  for (const Event& e : events) fds.push_back(e.fd());
  events[33].Set();
  EXPECT_EQ(platform::WaitAny(fds, 1000), 33);
  EXPECT_EQ(platform::WaitAny(fds, 0), -1);
}

TEST(WaitAny, ThreadHandleIsNotConsumedByAWait) {
  platform::Thread thread;
  ASSERT_TRUE(thread.Start([] {}));
  Event unrelated;
  const std::array<int, 2> fds{unrelated.fd(), thread.handle().fd()};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(platform::WaitAny(fds, 5000), 1);
}

}  // namespace
