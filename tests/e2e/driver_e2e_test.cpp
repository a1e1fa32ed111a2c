// The driver, the RCP+ library and the simulated device together on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "e2e_support.h"
#include "platform/eventually.h"
#include "session/stream_settings.h"
#include "support/process_stats.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using testutil::Eventually;
using testutil::HoldsFor;

constexpr int kTimeoutMs = 400;
// Silence is noticed after the network time-out plus three seconds.
constexpr milliseconds kWatchdogLimit{kTimeoutMs + 3000 + 2000};

bool IsSetting(std::uint32_t word) {
  return word == corvane::kCmdFrameRateA || word == corvane::kCmdFrameRateB ||
         word == corvane::kCmdResolution || word == corvane::kCmdQuality ||
         word == corvane::kCmdQualityRepeat || word == corvane::kCmdQualityNumber;
}

TEST(DriverEndToEnd, StartDiscoversConnectsWritesAppliedSettingsThenAnnounces) {
  DriverOnDevice fixture("e2e_start", 1, kTimeoutMs);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 1000, 2, 50), 1);
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 1, 4000));
  ASSERT_TRUE(Eventually([&] { return fixture.VideoReported(0); }));
  const auto sessions = fixture.device().VideoSessions();
  ASSERT_EQ(sessions.size(), 1u);

  std::vector<devicesim::ReceivedRequest> log;
  for (const auto& r : fixture.device().Requests()) {
    if (r.commandWord == kCmdCoderList || r.commandWord == kCmdConnectVideo ||
        r.commandWord == kCmdAnnounceSession || r.commandWord == kCmdApplySettings ||
        IsSetting(r.commandWord))
      log.push_back(r);
  }
  const std::uint32_t expected[][2] = {
      {corvane::kCmdFrameRateA, 24}, {corvane::kCmdFrameRateB, 1},
      {corvane::kCmdResolution, 1},  {corvane::kCmdQuality, 0},
      {corvane::kCmdQualityRepeat, 0}, {corvane::kCmdQualityNumber, 7}};
  ASSERT_EQ(log.size(), 2u + 2 * std::size(expected) + 1) ;
  EXPECT_EQ(log[0].commandWord, kCmdCoderList);
  EXPECT_EQ(log[0].line, 1);
  EXPECT_EQ(log[1].commandWord, kCmdConnectVideo);
  ASSERT_GE(log[1].payload.size(), 3u);
  EXPECT_EQ(log[1].payload[2], 1);  // camera 1's coder
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const auto& setting = log[2 + 2 * i];
    const auto& apply = log[3 + 2 * i];
    EXPECT_EQ(setting.commandWord, expected[i][0]) << i;
    EXPECT_EQ(Be32(setting.payload), expected[i][1]) << i;
    EXPECT_EQ(setting.sessionId, sessions[0].sessionId) << i;
    EXPECT_EQ(apply.commandWord, kCmdApplySettings) << i;
    EXPECT_EQ(Be32(apply.payload), 1u) << i;
  }
  EXPECT_EQ(log.back().commandWord, kCmdAnnounceSession);
  EXPECT_EQ(Be32(log.back().payload), sessions[0].sessionId);
  EXPECT_EQ(fixture.device().AppliedSetting(1, corvane::kCmdFrameRateA), 24u);
}

TEST(DriverEndToEnd, StatusMovesFromStartedToVideoStatesToStopped) {
  DriverOnDevice fixture("e2e_status", 1, kTimeoutMs);
  fixture.device().DelayReplies(kCmdCoderList, 300);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 1000, 2, 50), 1);
  int event = -1;
  EXPECT_EQ(fixture.Poll(0, &event), ChannelStarted);
  EXPECT_EQ(event, 4);
  ASSERT_TRUE(Eventually([&] { return fixture.VideoReported(0); }));
  // Video was reported: from now on the poll says whether frames came since the last one.
  const int state = fixture.Poll(0, &event);
  EXPECT_TRUE(state == ChannelVideo || state == ChannelNoVideo) << state;
  EXPECT_EQ(event, state == ChannelNoVideo ? 4 : 0);
  ASSERT_EQ(fixture.driver().StopChannel(0), 1);
  EXPECT_EQ(fixture.Poll(0, &event), ChannelStopped);
  EXPECT_EQ(event, 0);
}

TEST(DriverEndToEnd, UnreachableDeviceNeverReportsVideoAndKeepsTrying) {
  DriverOnDevice fixture("e2e_unreachable", 1, 100);
  fixture.device().RefuseConnections(true);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 1000, 2, 50), 1);
  // An attempt ends with the video connect failing, reported either through the streamer's
  // message callback or, when every connection was refused before the request could be
  // queued, as an error thrown at once.
  const auto attemptFailed = [&] {
    for (const auto& line : fixture.user().Lines()) {
      if (line.text == "CBoschIPCameraInfo: Connection failedBosch: ClientError Reason: ConnectionError" ||
          line.text.rfind("CBoschIPCameraInfo::Connect: Error catched", 0) == 0)
        return true;
    }
    return false;
  };
  bool statusHeld = true;
  const bool failed = Eventually(
      [&] {
        int event = -1;
        if (fixture.Poll(0, &event) != ChannelStarted || event != 4) statusHeld = false;
        return attemptFailed();
      },
      milliseconds(20000));
  ASSERT_TRUE(failed);
  EXPECT_TRUE(statusHeld);
  EXPECT_FALSE(fixture.VideoReported(0));
  EXPECT_TRUE(fixture.user().LostChannels().empty());
  // The channel goes on trying: once the device answers, video comes without a new start.
  fixture.device().RefuseConnections(false);
  EXPECT_TRUE(Eventually([&] { return fixture.VideoReported(0); }, milliseconds(20000)));
  EXPECT_TRUE(fixture.user().LostChannels().empty());
}

TEST(DriverEndToEnd, StalledVideoIsLostOnceAndReconnected) {
  DriverOnDevice fixture("e2e_stall", 1, kTimeoutMs);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 40, 2, 50), 1);
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 1, 4000));
  ASSERT_TRUE(fixture.device().WaitForPictures(1, 2, 2000));
  fixture.device().StallVideo(1, true);
  ASSERT_TRUE(fixture.user().WaitForLost(1, static_cast<int>(kWatchdogLimit.count())));
  fixture.device().StallVideo(1, false);
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 2, 4000));
  EXPECT_TRUE(HoldsFor([&] { return fixture.user().LostChannels().size() == 1; }, milliseconds(300)));
  EXPECT_EQ(fixture.user().LostChannels(), std::vector<std::int32_t>{0});
}

TEST(DriverEndToEnd, DroppedDeviceIsLostOnceAndReconnected) {
  DriverOnDevice fixture("e2e_drop", 1, kTimeoutMs);
  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(0, 40, 2, 50), 1);
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 1, 4000));
  ASSERT_TRUE(Eventually([&] { return fixture.VideoReported(0); }));
  fixture.device().DropAllConnections();
  ASSERT_TRUE(fixture.user().WaitForLost(1, static_cast<int>(kWatchdogLimit.count())));
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 2, 4000));
  EXPECT_TRUE(HoldsFor([&] { return fixture.user().LostChannels().size() == 1; }, milliseconds(300)));
}

TEST(DriverEndToEnd, CloseWithFourChannelsEndsEveryThreadAndOpensAgain) {
  DriverOnDevice fixture("e2e_close4", 4, kTimeoutMs);
  const int baseline = testutil::ThreadCount();
  ASSERT_TRUE(fixture.Open());
  for (int channel = 0; channel < 4; ++channel)
    ASSERT_EQ(fixture.driver().StartChannel(channel, 200, 2, 50), 1) << channel;
  ASSERT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 4, 6000));
  EXPECT_GT(testutil::ThreadCount(), baseline);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fixture.driver().Close(), 1);
  EXPECT_LT(testutil::MsSince(start), 5000);
  EXPECT_FALSE(fixture.user().HasLine("CVeltrane: Capture thread did not stop, terminating it."));
  EXPECT_TRUE(Eventually([&] { return testutil::ThreadCount() <= baseline; }, milliseconds(5000)))
      << testutil::ThreadCount() << " threads, " << baseline << " before";

  ASSERT_TRUE(fixture.Open());
  ASSERT_EQ(fixture.driver().StartChannel(2, 200, 2, 50), 1);
  EXPECT_TRUE(fixture.device().WaitForRequests(kCmdAnnounceSession, 5, 4000));
}

}  // namespace
}  // namespace e2e
