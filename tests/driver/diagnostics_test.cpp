#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "driver/veltrane.h"
#include "support/fake_host.h"

namespace corvane {
namespace {

class DriverLog : public ::testing::Test {
 protected:
  void SetUp() override { driver_.SetCaptureUser(&user_); }
  CIPCaptureIOBaseHandlerIf& handler() { return driver_; }

  CVeltrane driver_;
  fakes::FakeCaptureUser user_;
};

TEST_F(DriverLog, FormatsTheLineWithItsLevel) {
  handler().Log(kLogError, "CVeltrane::Open() -> Cannot read configuration from file %s",
                "x.xml");
  ASSERT_EQ(user_.Lines().size(), 1u);
  EXPECT_EQ(user_.Lines()[0].level, 1);
  EXPECT_EQ(user_.Lines()[0].text, "CVeltrane::Open() -> Cannot read configuration from file x.xml");
}

TEST_F(DriverLog, LineOf511CharactersArrivesWhole) {
  const std::string line(511, 'a');
  handler().Log(kLogInfo, "%s", line.c_str());
  ASSERT_EQ(user_.Lines().size(), 1u);
  EXPECT_EQ(user_.Lines()[0].text, line);
}

TEST_F(DriverLog, LongerLineIsCutAt511Characters) {
  const std::string line = std::string(511, 'b') + std::string(89, 'c');
  handler().Log(kLogInfo, "%s", line.c_str());
  ASSERT_EQ(user_.Lines().size(), 1u);
  EXPECT_EQ(user_.Lines()[0].text, std::string(511, 'b'));
}

TEST_F(DriverLog, LevelKeepsOnlyItsLow8Bits) {
  handler().Log(258, "x");
  ASSERT_EQ(user_.Lines().size(), 1u);
  EXPECT_EQ(user_.Lines()[0].level, 2);
}

TEST_F(DriverLog, LineIsDroppedWhileAnotherThreadHoldsTheDriverLock) {
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    driver_.driverLock().Lock();
    held = true;
    while (!release) std::this_thread::yield();
    driver_.driverLock().Unlock();
  });
  while (!held) std::this_thread::yield();
  handler().Log(kLogError, "dropped");
  release = true;
  holder.join();
  handler().Log(kLogError, "delivered");
  ASSERT_EQ(user_.Lines().size(), 1u);
  EXPECT_EQ(user_.Lines()[0].text, "delivered");
}

// A host that is slow to take a line (or never returns) must not hold Close, which takes the
// driver lock: the line is handed over without it, and counted while it is under way.
TEST_F(DriverLog, HostCallRunsWithoutTheDriverLockAndIsWaitedFor) {
  std::atomic<bool> otherThreadGotLock{false};
  std::atomic<bool> waitedOut{true};
  user_.SetDebugInfoHook([&] {
    std::thread probe([&] {
      otherThreadGotLock = driver_.driverLock().TryLock();
      if (otherThreadGotLock) driver_.driverLock().Unlock();
      waitedOut = driver_.WaitForLogLines(0);
    });
    probe.join();
  });
  handler().Log(kLogError, "first");
  EXPECT_TRUE(otherThreadGotLock);
  EXPECT_FALSE(waitedOut);  // the line was still under way
  EXPECT_TRUE(driver_.WaitForLogLines(0));
  EXPECT_EQ(driver_.driverLock().state().lockCount.load(), 0);
}

TEST(DriverLogWithoutHost, DoesNothingBeforeSetCaptureUser) {
  CVeltrane driver;
  driver.Log(kLogError, "nobody listens %d", 1);
  EXPECT_EQ(driver.driverLock().state().lockCount.load(), 0);
  fakes::FakeCaptureUser user;
  driver.SetCaptureUser(&user);
  driver.Log(kLogError, "now");
  EXPECT_EQ(user.Lines().size(), 1u);
}

TEST(DebugInfo, NullTextReadsAsEmpty) {
  CVeltrane::CIPCaptureDebugInfo info(1, nullptr);
  EXPECT_STREQ(info.GetText(), "");
  EXPECT_EQ(info.GetLevel(), 1);
}

TEST(ShouldLogError, LogsTheFirst14ThenSparser) {
  std::atomic<std::uint32_t> counter{0};
  std::vector<std::uint32_t> logged;
  for (std::uint32_t n = 1; n <= 200000; ++n)
    if (ShouldLogError(counter)) logged.push_back(n);
  EXPECT_EQ(counter.load(), 200000u);

  auto wasLogged = [&](std::uint32_t n) {
    return std::find(logged.begin(), logged.end(), n) != logged.end();
  };
  for (std::uint32_t n : {1u, 2u, 14u, 16u, 32u, 240u, 256u, 512u, 3840u, 4096u, 61440u, 65536u,
                          131072u})
    EXPECT_TRUE(wasLogged(n)) << n;
  for (std::uint32_t n : {15u, 17u, 255u, 257u, 4095u, 4097u, 65535u, 65537u, 196608u + 1})
    EXPECT_FALSE(wasLogged(n)) << n;
  // 14 + 15 (16..240) + 15 (256..3840) + 15 (4096..61440) + 3 (65536, 131072, 196608)
  EXPECT_EQ(logged.size(), 62u);
}

TEST(ShouldLogError, CounterWrapsAround) {
  std::atomic<std::uint32_t> counter{0xFFFFFFFFu};
  EXPECT_TRUE(ShouldLogError(counter));  // wraps to 0, below 15
  EXPECT_EQ(counter.load(), 0u);
}

}  // namespace
}  // namespace corvane
