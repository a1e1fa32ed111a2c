// A host as it runs for months: several devices in one process, one of them closed and opened
// again while the others stream, and host callbacks that block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "e2e_support.h"
#include "platform/eventually.h"
#include "support/process_stats.h"
#include "veltrane/capture_io.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testutil::Eventually;
using testutil::HoldsFor;
using testutil::MsSince;

constexpr int kTimeoutMs = 400;
constexpr int kIntervalMs = 40;

// When each frame of a driver reached its host.
class FrameClock {
 public:
  explicit FrameClock(fakes::FakeCaptureUser& user) {
    user.SetVideoFrameHook([this] {
      std::lock_guard lock(mutex_);
      arrivals_.push_back(steady_clock::now());
    });
  }
  // Longest time between two frames, or between the last one and now.
  long long LongestGapMs() const {
    std::lock_guard lock(mutex_);
    long long longest = 0;
    for (std::size_t i = 1; i < arrivals_.size(); ++i)
      longest = std::max(longest, Ms(arrivals_[i] - arrivals_[i - 1]));
    if (!arrivals_.empty())
      longest = std::max(longest, Ms(steady_clock::now() - arrivals_.back()));
    return longest;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return arrivals_.size();
  }

 private:
  static long long Ms(steady_clock::duration d) {
    return std::chrono::duration_cast<milliseconds>(d).count();
  }
  mutable std::mutex mutex_;
  std::vector<steady_clock::time_point> arrivals_;
};

TEST(HostLife, ClosingOneDriverNeverInterruptsTheOthers) {
  DriverOnDevice cycled("life_a1", 1, kTimeoutMs);
  DriverOnDevice sameDevice("life_a2", cycled, kTimeoutMs);
  DriverOnDevice otherDevice("life_b", 1, kTimeoutMs);
  for (DriverOnDevice* d : {&cycled, &sameDevice, &otherDevice}) {
    ASSERT_TRUE(d->Open());
    ASSERT_EQ(d->driver().StartChannel(0, kIntervalMs, 2, 50), 1);
    ASSERT_TRUE(d->user().WaitForFrames(3, 10000));
  }
  FrameClock sameDeviceFrames(sameDevice.user());
  FrameClock otherDeviceFrames(otherDevice.user());
  ASSERT_TRUE(Eventually(
      [&] { return sameDeviceFrames.Count() > 0 && otherDeviceFrames.Count() > 0; }));

  for (int round = 0; round < 10; ++round) {
    const auto start = steady_clock::now();
    EXPECT_EQ(cycled.driver().Close(), 1);
    EXPECT_LT(MsSince(start), 2 * kTimeoutMs + 2000) << "round " << round;
    ASSERT_TRUE(cycled.Open()) << round;
    const std::size_t frames = cycled.user().Frames().size();
    ASSERT_EQ(cycled.driver().StartChannel(0, kIntervalMs, 2, 50), 1);
    ASSERT_TRUE(cycled.user().WaitForFrames(frames + 1, 10000)) << "round " << round;
  }

  EXPECT_TRUE(sameDevice.user().LostChannels().empty());
  EXPECT_TRUE(otherDevice.user().LostChannels().empty());
  EXPECT_LT(sameDeviceFrames.LongestGapMs(), 1000);
  EXPECT_LT(otherDeviceFrames.LongestGapMs(), 1000);
  // Their video connections were never rebuilt: one each, plus the cycled driver's eleven.
  EXPECT_EQ(otherDevice.CountRequests(kCmdConnectVideo), 1);
  EXPECT_EQ(sameDevice.CountRequests(kCmdConnectVideo), 2 + 10);

  // The library's threads end with the last open driver, whichever closes last.
  EXPECT_EQ(otherDevice.driver().Close(), 1);
  EXPECT_EQ(cycled.driver().Close(), 1);
  EXPECT_GT(testutil::LibraryThreadCount(), 0);
  EXPECT_EQ(sameDevice.driver().Close(), 1);
  EXPECT_TRUE(Eventually([] { return testutil::LibraryThreadCount() == 0; }))
      << testutil::ThreadNames();
}

TEST(HostLife, AChannelNotStartedAgainAfterReopenPollsAsStopped) {
  DriverOnDevice fixture("life_reopen", 2, kTimeoutMs);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, kIntervalMs, 2, 50), 1);
  ASSERT_TRUE(fixture.user().WaitForFrames(1, 10000));
  EXPECT_EQ(fixture.driver().Close(), 1);

  ASSERT_TRUE(fixture.Open());
  EXPECT_FALSE(fixture.driver().channelStarted(0));
  for (int channel : {0, 1}) {
    int event = -1;
    EXPECT_EQ(fixture.Poll(channel, &event), ChannelStopped) << channel;
    EXPECT_EQ(event, 0) << channel;
  }
}

// Blocks the host's callback once armed, until released (or 30 s at most), as a stalled host
// does.
class Stall {
 public:
  void Arm() { armed_ = true; }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  // In the callback.
  void MaybeBlock() {
    if (!armed_.exchange(false)) return;
    blocked_ = true;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return released_; });
    returned_ = true;
  }
  bool blocked() const { return blocked_; }
  bool returned() const { return returned_; }

 private:
  std::atomic<bool> armed_{false};
  std::atomic<bool> blocked_{false};
  std::atomic<bool> returned_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
};

class StallingSink final : public corvane::ICaptureIOEventSink {
 public:
  void OnInputChanged(int, int) override {
    ++reports;
    stall.MaybeBlock();
  }
  void OnConnectionLost() override {}
  Stall stall;
  std::atomic<int> reports{0};
};

TEST(HostLife, AStalledHostNeitherHoldsCloseNorOutlivesIt) {
  // Another device keeps the library in use, as in a recorder with several devices.
  DriverOnDevice bystander("life_by", 1, kTimeoutMs);
  DriverOnDevice stalled("life_st", 1, kTimeoutMs, true, 2);
  ASSERT_TRUE(bystander.Open());
  ASSERT_TRUE(stalled.Open());
  ASSERT_EQ(bystander.driver().StartChannel(0, kIntervalMs, 2, 50), 1);
  ASSERT_EQ(stalled.driver().StartChannel(0, kIntervalMs, 2, 50), 1);
  corvane::ICaptureIOApi* io = nullptr;
  ASSERT_TRUE(stalled.driver().GetProperty("ICaptureIOApi", &io, sizeof io));
  StallingSink sink;
  ASSERT_TRUE(io->SetEventSink(&sink));
  ASSERT_TRUE(io->Enable());
  ASSERT_TRUE(Eventually([&] { return sink.reports.load() >= 2; }));  // primed
  ASSERT_TRUE(stalled.user().WaitForFrames(3, 10000));
  ASSERT_TRUE(bystander.user().WaitForFrames(3, 10000));

  Stall video;
  stalled.user().SetVideoFrameHook([&] { video.MaybeBlock(); });
  video.Arm();
  sink.stall.Arm();
  // The input subscription follows the priming; toggle until a report gets through.
  bool on = false;
  ASSERT_TRUE(Eventually([&] {
    stalled.device().SetInput(1, on = !on);
    return Eventually([&] { return sink.stall.blocked(); }, milliseconds(50));
  }));
  // Whatever happens below, the host lets go before its objects do.
  struct ReleaseAtEnd {
    Stall& a;
    Stall& b;
    ~ReleaseAtEnd() {
      a.Release();
      b.Release();
      Eventually([&] { return (!a.blocked() || a.returned()) && (!b.blocked() || b.returned()); });
    }
  } releaseAtEnd{video, sink.stall};
  ASSERT_TRUE(Eventually([&] { return video.blocked() && sink.stall.blocked(); }))
      << video.blocked() << sink.stall.blocked();

  // Close waits for its worker threads and the digital I/O object, each within its limit.
  auto start = steady_clock::now();
  EXPECT_EQ(stalled.driver().Close(), 1);
  EXPECT_LT(MsSince(start), 4 * kTimeoutMs + 3000);
  EXPECT_TRUE(stalled.user().HasLine("CVeltrane: Capture thread did not stop, terminating it."));
  const std::size_t framesAtClose = stalled.user().Frames().size();
  const int reportsAtClose = sink.reports.load();
  const int releasedAtClose = stalled.allocator().Released();
  start = steady_clock::now();
  stalled.DestroyDriver();
  EXPECT_LT(MsSince(start), 2 * kTimeoutMs + 3000);
  stalled.device().SetInput(2, true);

  // The host comes back; the driver it comes back to is gone and nothing more reaches it, not
  // even the release of the message it was handed.
  video.Release();
  sink.stall.Release();
  ASSERT_TRUE(Eventually([&] { return video.returned() && sink.stall.returned(); }));
  EXPECT_TRUE(HoldsFor(
      [&] {
        return stalled.user().Frames().size() == framesAtClose &&
               sink.reports.load() == reportsAtClose &&
               stalled.allocator().Released() == releasedAtClose;
      },
      milliseconds(1000)));

  // The other device never noticed.
  EXPECT_TRUE(bystander.user().LostChannels().empty());
  const std::size_t bystanderFrames = bystander.user().Frames().size();
  EXPECT_TRUE(bystander.user().WaitForFrames(bystanderFrames + 5, 5000));
}

// The host's debug callback stalls on a library thread (a coder list error is logged on the
// device's control connection): Close neither waits for it nor leaves it anything to reach.
TEST(HostLife, AStalledDebugCallbackNeitherHoldsCloseNorOutlivesIt) {
  DriverOnDevice bystander("life_dby", 1, kTimeoutMs);
  DriverOnDevice stalled("life_dbg", 1, kTimeoutMs);
  ASSERT_TRUE(bystander.Open());
  ASSERT_TRUE(stalled.Open());
  ASSERT_EQ(bystander.driver().StartChannel(0, kIntervalMs, 2, 50), 1);
  ASSERT_TRUE(bystander.user().WaitForFrames(3, 10000));

  Stall log;
  std::atomic<int> lines{0};
  stalled.user().SetDebugInfoHook([&] {
    ++lines;
    log.MaybeBlock();
  });
  struct ReleaseAtEnd {
    Stall& stall;
    ~ReleaseAtEnd() {
      stall.Release();
      Eventually([&] { return !stall.blocked() || stall.returned(); });
    }
  } releaseAtEnd{log};
  log.Arm();
  stalled.device().AnswerWithError(kCmdCoderList, 0x40);
  ASSERT_EQ(stalled.driver().StartChannel(0, kIntervalMs, 2, 50), 1);
  ASSERT_TRUE(Eventually([&] { return log.blocked(); }));

  const auto start = steady_clock::now();
  EXPECT_EQ(stalled.driver().Close(), 1);
  EXPECT_LT(MsSince(start), 2 * kTimeoutMs + 2000 + 1000 + 2000);
  stalled.DestroyDriver();
  const int linesAtClose = lines.load();

  log.Release();
  ASSERT_TRUE(Eventually([&] { return log.returned(); }));
  EXPECT_TRUE(HoldsFor([&] { return lines.load() == linesAtClose; }, milliseconds(1000)));
  EXPECT_TRUE(bystander.user().LostChannels().empty());
}

}  // namespace
}  // namespace e2e
