// Close of a driver whose channels all stream from the simulated device: every session is
// told to stop before the first is joined, and Close must still return only when none of
// them can reach the host any more.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "e2e/e2e_support.h"
#include "platform/eventually.h"
#include "support/process_stats.h"

namespace {

using std::chrono::milliseconds;

constexpr int kChannels = 16;
constexpr int kTimeoutMs = 2000;
constexpr const char* kForcedStop = "CVeltrane: Capture thread did not stop, terminating it.";

TEST(DriverClose, NoFrameReachesTheHostAfterCloseOfSixteenStreamingChannels) {
  // Runtimes (sanitizers) start helper threads with the process's first thread.
  std::thread([] {}).join();
  std::atomic<int> frames{0};
  e2e::DriverOnDevice fixture("close16", kChannels, kTimeoutMs);
  const int baseline = testutil::ThreadCount();
  fixture.user().SetVideoFrameHook([&frames] { frames.fetch_add(1); });
  ASSERT_TRUE(fixture.Open());
  for (int channel = 0; channel < kChannels; ++channel)
    ASSERT_EQ(fixture.driver().StartChannel(channel, 200, 2, 50), 1) << channel;
  ASSERT_TRUE(testutil::Eventually(
      [&] {
        for (int channel = 0; channel < kChannels; ++channel) {
          if (!fixture.VideoReported(channel)) return false;
        }
        return true;
      },
      milliseconds(20000)));
  ASSERT_TRUE(testutil::Eventually([&] { return frames.load() >= kChannels; }, milliseconds(10000)));

  EXPECT_EQ(fixture.driver().Close(), 1);
  const int atClose = frames.load();
  EXPECT_TRUE(testutil::HoldsFor([&] { return frames.load() == atClose; }, milliseconds(300)))
      << frames.load() - atClose << " frames after Close";
  EXPECT_FALSE(fixture.user().HasLine(kForcedStop));
  EXPECT_TRUE(testutil::Eventually([&] { return testutil::ThreadCount() <= baseline; },
                                   milliseconds(5000)))
      << testutil::ThreadCount() << " threads, " << baseline << " before";
}

}  // namespace
