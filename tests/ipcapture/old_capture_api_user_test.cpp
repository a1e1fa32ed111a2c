// The callback bridge: reports from the driver reach the host's objects, and none reaches
// a bridge that is gone.
#include "ipcapture/old_capture_api_user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "driver/veltrane.h"
#include "ipcapture/new_capture_api.h"
#include "platform/eventually.h"
#include "support/fake_host.h"
#include "support/fake_ipcapture_host.h"
#include "support/settings_test_files.h"

namespace {

using corvane::COldCaptureApiUser;
using fakes::FakeChannelCallback;
using fakes::FakeDriverCallback;
using fakes::FakeVideoMessage;

class Bridge : public ::testing::Test {
 protected:
  FakeDriverCallback host_;
  COldCaptureApiUser bridge_{&host_};
  FakeChannelCallback channel_;
  FakeVideoMessage plain_{0, 16};
  FakeVideoMessage extended_{0, 16};
};

struct FrameRow {
  const char* name;
  bool withExtendedMessage;
};

void PrintTo(const FrameRow& row, std::ostream* out) { *out << row.name; }

class BridgeFrame : public Bridge, public ::testing::WithParamInterface<FrameRow> {};

// The extended message when the driver has one, else the plain one.
TEST_P(BridgeFrame, GoesToTheChannelsCallback) {
  bridge_.SetChannelCallback(4, &channel_);
  FakeVideoMessage* extended = GetParam().withExtendedMessage ? &extended_ : nullptr;
  EXPECT_EQ(bridge_.OnVideoFrame(4, &plain_, extended), 1);
  ASSERT_EQ(channel_.FrameCount(), 1u);
  EXPECT_EQ(channel_.Frames()[0].message, GetParam().withExtendedMessage ? &extended_ : &plain_);
}

INSTANTIATE_TEST_SUITE_P(Bridge, BridgeFrame,
                         ::testing::Values(FrameRow{"AsTheExtendedMessage", true},
                                           FrameRow{"AsThePlainOneWhenExtendedIsNull", false}),
                         [](const ::testing::TestParamInfo<FrameRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Bridge, RefusedFrameAnswersZero) {
  bridge_.SetChannelCallback(0, &channel_);
  channel_.SetFrameResult(false);
  EXPECT_EQ(bridge_.OnVideoFrame(0, nullptr, &extended_), 0);
  EXPECT_EQ(channel_.FrameCount(), 1u);
}

TEST_F(Bridge, FrameForChannel70AnswersZeroAndCallsNothing) {
  for (std::uint32_t channel = 0; channel < 64; ++channel) bridge_.SetChannelCallback(channel, &channel_);
  bridge_.SetChannelCallback(70, &channel_);  // out of the table: ignored
  EXPECT_EQ(bridge_.OnVideoFrame(70, nullptr, &extended_), 0);
  EXPECT_EQ(bridge_.ChannelCallback(70), nullptr);
  EXPECT_EQ(channel_.FrameCount(), 0u);
}

TEST_F(Bridge, FrameForChannelWithoutCallbackIsDropped) {
  bridge_.SetChannelCallback(1, &channel_);
  EXPECT_EQ(bridge_.OnVideoFrame(2, nullptr, &extended_), 0);
  EXPECT_EQ(channel_.FrameCount(), 0u);
}

TEST_F(Bridge, HostExceptionFromAFrameIsRefusalNotEscape) {
  bridge_.SetChannelCallback(0, &channel_);
  channel_.ThrowOnFrame(true);
  EXPECT_EQ(bridge_.OnVideoFrame(0, nullptr, &extended_), 0);
}

TEST_F(Bridge, LostVideoGoesToTheChannelsCallbackWithItsResult) {
  bridge_.SetChannelCallback(9, &channel_);
  channel_.SetLostResult(42);
  EXPECT_EQ(bridge_.OnChannelLost(9), 42);
  EXPECT_EQ(channel_.LostCount(), 1);
}

TEST_F(Bridge, LostVideoOutsideTheTableOrWithoutCallbackAnswersZero) {
  for (std::uint32_t channel = 0; channel < 64; ++channel) bridge_.SetChannelCallback(channel, &channel_);
  bridge_.SetChannelCallback(10, nullptr);
  EXPECT_EQ(bridge_.OnChannelLost(64), 0);
  EXPECT_EQ(bridge_.OnChannelLost(-1), 0);
  EXPECT_EQ(bridge_.OnChannelLost(10), 0);
  EXPECT_EQ(channel_.LostCount(), 0);
}

TEST_F(Bridge, DebugRecordGoesToTheHostCallbackWithItsResult) {
  corvane::CVeltrane::CIPCaptureDebugInfo record(2, "CVeltrane: line");
  host_.SetResult(17);
  EXPECT_EQ(bridge_.OnDebugInfo(&record), 17);
  EXPECT_EQ(host_.LastRecord(), &record);
  EXPECT_TRUE(host_.HasLine("CVeltrane: line"));
}

TEST(BridgeWithoutHost, DebugRecordIsDropped) {
  COldCaptureApiUser bridge(nullptr);
  corvane::CVeltrane::CIPCaptureDebugInfo record(1, "x");
  EXPECT_EQ(bridge.OnDebugInfo(&record), 0);
}

// A log line already inside the host when the video capture goes away must finish before
// Uninitialize returns: the bridge it runs through is deleted right after.
TEST(BridgeLifetime, UninitializeWaitsForALogLineInFlight) {
  corvane::CVeltrane driver;
  corvane::CNewCaptureApi api(&driver);
  FakeDriverCallback host;
  fakes::FakeAllocator allocator;
  fakes::FakeDeviceConfig config;
  config.deviceType.type = UniqueStem("absent");
  ASSERT_FALSE(api.Initialize(&host, &allocator, &config));  // stores the host callback
  ASSERT_NE(api.GetVideoCapture(), nullptr);
  host.SetDelay(std::chrono::milliseconds(50));

  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop) driver.Log(2, "CVeltrane: tick");
  });
  ASSERT_TRUE(testutil::Eventually([&] { return host.InFlight() > 0; }));
  api.Uninitialize();
  EXPECT_EQ(host.InFlight(), 0);
  const int calls = host.Calls();
  // Later lines find no capture user.
  EXPECT_TRUE(testutil::HoldsFor([&] { return host.Calls() == calls; },
                                 std::chrono::milliseconds(20)));
  stop = true;
  logger.join();
}

}  // namespace
