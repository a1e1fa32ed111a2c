// Channel control of the driver. The device never answers coder discovery here, so every
// started session waits in its first connection attempt and reports nothing by itself; the
// tests play the sessions' channel events.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "e2e_support.h"
#include "platform/eventually.h"
#include "session/bosch_ip_camera_info.h"
#include "support/camera_session_test_peer.h"
#include "support/process_stats.h"

namespace e2e {
namespace {

using corvane::CBoschIPCameraInfo;
using Peer = corvane::CBoschIPCameraInfoTestPeer;

class ChannelControl : public ::testing::Test {
 protected:
  ChannelControl() : fixture_("channels", 2, 2000) {}
  void SetUp() override {
    fixture_.device().DropReplies(kCmdCoderList, true);
    ASSERT_TRUE(fixture_.Open());
  }

  corvane::CVeltrane& driver() { return fixture_.driver(); }
  CBoschIPCameraInfo* session(int channel) { return driver().cameraSession(channel); }
  int Poll(int channel, int* event) { return fixture_.Poll(channel, event); }

  DriverOnDevice fixture_;
};

TEST_F(ChannelControl, StartedChannelPollsAsStartedWithoutVideo) {
  ASSERT_EQ(driver().StartChannel(0, 1000, 2, 50), 1);
  EXPECT_TRUE(driver().channelStarted(0));
  int event = -1;
  EXPECT_EQ(Poll(0, &event), ChannelStarted);
  EXPECT_EQ(event, 4);
}

TEST_F(ChannelControl, PollWritesAnEmptyStatusText) {
  char text[8] = "xyz";
  int state = -1;
  int event = -1;
  ASSERT_EQ(driver().GetChannelStatus(1, &state, &event, text, sizeof text), 1);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(state, ChannelStopped);
  EXPECT_EQ(event, 0);
}

TEST_F(ChannelControl, VideoEventAndFramesMoveThroughTheStates) {
  ASSERT_EQ(driver().StartChannel(0, 1000, 2, 50), 1);
  driver().OnChannelEvent(session(0), corvane::kChannelEventVideo);
  int event = -1;
  session(0)->framesDelivered = 2;
  EXPECT_EQ(Poll(0, &event), ChannelVideo);
  EXPECT_EQ(event, 0);
  EXPECT_EQ(session(0)->framesDelivered.load(), 0u);
  EXPECT_EQ(Poll(0, &event), ChannelNoVideo);
  EXPECT_EQ(event, 4);
  EXPECT_EQ(Poll(0, &event), ChannelNoVideo);
  EXPECT_EQ(event, 4);
  session(0)->framesDelivered = 1;
  EXPECT_EQ(Poll(0, &event), ChannelVideo);
  EXPECT_EQ(event, 0);
}

TEST_F(ChannelControl, FramesWhileStartedMeanVideo) {
  ASSERT_EQ(driver().StartChannel(0, 1000, 2, 50), 1);
  session(0)->framesDelivered = 3;
  int event = -1;
  EXPECT_EQ(Poll(0, &event), ChannelVideo);
  EXPECT_EQ(event, 0);
}

TEST_F(ChannelControl, StoppedChannelPollsAsStopped) {
  ASSERT_EQ(driver().StartChannel(0, 1000, 2, 50), 1);
  EXPECT_EQ(driver().StopChannel(0), 1);
  EXPECT_FALSE(driver().channelStarted(0));
  EXPECT_FALSE(Peer::Active(*session(0)).load());
  session(0)->framesDelivered = 5;
  int event = -1;
  EXPECT_EQ(Poll(0, &event), ChannelStopped);
  EXPECT_EQ(event, 0);
}

TEST_F(ChannelControl, VideoEventForAChannelNotStartedChangesNothing) {
  driver().OnChannelEvent(session(1), corvane::kChannelEventVideo);
  EXPECT_FALSE(session(1)->videoReported.load());
  int event = -1;
  EXPECT_EQ(Poll(1, &event), ChannelStopped);
}

TEST_F(ChannelControl, LostVideoIsReportedOncePerConnectionThatHadVideo) {
  ASSERT_EQ(driver().StartChannel(1, 1000, 2, 50), 1);
  driver().OnChannelEvent(session(1), corvane::kChannelEventLost);  // no video yet
  EXPECT_TRUE(fixture_.user().LostChannels().empty());
  driver().OnChannelEvent(session(1), corvane::kChannelEventVideo);
  driver().OnChannelEvent(session(1), corvane::kChannelEventLost);
  driver().OnChannelEvent(session(1), corvane::kChannelEventLost);
  EXPECT_EQ(fixture_.user().LostChannels(), std::vector<std::int32_t>{1});
  driver().OnChannelEvent(session(1), corvane::kChannelEventVideo);
  driver().OnChannelEvent(session(1), corvane::kChannelEventLostToo);
  EXPECT_EQ(fixture_.user().LostChannels(), (std::vector<std::int32_t>{1, 1}));
}

TEST_F(ChannelControl, OtherEventsAndNullSessionsAreIgnored) {
  ASSERT_EQ(driver().StartChannel(0, 1000, 2, 50), 1);
  driver().OnChannelEvent(nullptr, corvane::kChannelEventVideo);
  driver().OnChannelEvent(session(0), 5);
  EXPECT_FALSE(session(0)->videoReported.load());
  int event = -1;
  EXPECT_EQ(Poll(0, &event), ChannelStarted);
}

TEST_F(ChannelControl, QcifCodeIsRefusedWithoutALogLine) {
  const auto before = fixture_.user().Lines().size();
  EXPECT_EQ(driver().StartChannel(0, 1000, 1, 50), 0);
  EXPECT_EQ(driver().StartChannel(0, 1000, 7, 50), 0);
  EXPECT_FALSE(driver().channelStarted(0));
  EXPECT_EQ(fixture_.user().Lines().size(), before);
}

TEST_F(ChannelControl, ResolutionTheDeviceLacksIsLoggedAndRefused) {
  EXPECT_EQ(driver().StartChannel(0, 1000, 3, 50), 0);
  EXPECT_TRUE(fixture_.user().HasLine(
      "Veltrane::StartChannel 2CIF resolution not supported, channel not started."));
  EXPECT_EQ(driver().StartChannel(0, 1000, 4, 50), 0);
  EXPECT_TRUE(fixture_.user().HasLine(
      "Veltrane::StartChannel 4CIF resolution not supported, channel not started."));
  EXPECT_FALSE(driver().channelStarted(0));
  int event = -1;
  EXPECT_EQ(Poll(0, &event), ChannelStopped);
}

TEST_F(ChannelControl, EmptyAddressRefusesTheStart) {
  driver().SetProperty("IPSERVERADDRESS", "", 0);
  EXPECT_EQ(driver().StartChannel(0, 1000, 2, 50), 0);
  EXPECT_FALSE(driver().channelStarted(0));
}

TEST_F(ChannelControl, ChannelsOutsideTheTableOrWithoutSessionAreRefused) {
  int state = -1;
  int event = -1;
  for (int channel : {-1, 2, 63, 64}) {
    EXPECT_EQ(driver().StartChannel(channel, 1000, 2, 50), 0) << channel;
    EXPECT_EQ(driver().GetChannelStatus(channel, &state, &event, nullptr, 0), 0) << channel;
    EXPECT_EQ(driver().StopChannel(channel), 0) << channel;
  }
}

TEST_F(ChannelControl, StartPassesTheRequestToTheSession) {
  ASSERT_EQ(driver().StartChannel(1, 250, 2, 85), 1);
  EXPECT_TRUE(Peer::Active(*session(1)).load());
  const Peer::Request request = Peer::LatestRequest(*session(1));
  EXPECT_EQ(request.frameInterval, 250u);
  EXPECT_EQ(request.qualityLevel, 5);
  EXPECT_EQ(request.width, 352);
  EXPECT_EQ(request.height, 288);
}

TEST_F(ChannelControl, CloseRemovesEverySession) {
  ASSERT_EQ(driver().StartChannel(0, 1000, 2, 50), 1);
  EXPECT_EQ(driver().Close(), 1);
  EXPECT_FALSE(driver().opened());
  int state = -1;
  int event = -1;
  for (int channel = 0; channel < 2; ++channel)
    EXPECT_EQ(driver().GetChannelStatus(channel, &state, &event, nullptr, 0), 0);
  EXPECT_EQ(driver().StartChannel(0, 1000, 2, 50), 0);
  EXPECT_FALSE(fixture_.user().HasLine("CVeltrane: Capture thread did not stop, terminating it."));
}

TEST_F(ChannelControl, HostSeesSlots38To40InPlace) {
  // Slot 0 (the destructor) takes two table entries, so slot n sits at entry n + 1.
  CCaptureAPI* api = &driver();
  void** table = *reinterpret_cast<void***>(api);
  using GetUser = CCaptureAPIUser* (*)(CCaptureAPI*);
  using GetAllocator = CVideoAllocator* (*)(CCaptureAPI*);
  EXPECT_EQ(reinterpret_cast<GetUser>(table[40])(api), &fixture_.user());
  EXPECT_EQ(reinterpret_cast<GetAllocator>(table[41])(api), &fixture_.allocator());
}

TEST(ChannelSessions, OpenCreatesOneSessionPerCameraUpTo64) {
  DriverOnDevice fixture("sessions", 100, 2000, false);
  ASSERT_TRUE(fixture.Open());
  EXPECT_EQ(fixture.driver().GetChannelCount(), 100);
  for (int channel = 0; channel < 64; ++channel) {
    ASSERT_NE(fixture.driver().cameraSession(channel), nullptr) << channel;
    EXPECT_EQ(fixture.driver().cameraSession(channel)->channelIndex, channel);
  }
  EXPECT_EQ(fixture.driver().cameraSession(64), nullptr);
}

TEST(ChannelSessions, DeletingAnOpenDriverClosesIt) {
  // Runtimes (sanitizers) start helper threads with the process's first thread.
  std::thread([] {}).join();
  const int baseline = testutil::ThreadCount();
  {
    fakes::FakeCaptureUser user;
    TestSettingsFile file(UniqueStem("deleted"), DeviceTypeXml(3, 2000));
    auto driver = std::make_unique<corvane::CVeltrane>();
    driver->SetCaptureUser(&user);
    driver->SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
    driver->SetProperty("IPSERVERTYPE", file.stem().c_str(), 0);
    ASSERT_TRUE(driver->Open(nullptr));
    EXPECT_GT(testutil::ThreadCount(), baseline);
    driver.reset();
    EXPECT_FALSE(user.HasLine("CVeltrane: Capture thread did not stop, terminating it."));
  }
  EXPECT_TRUE(testutil::Eventually([&] { return testutil::ThreadCount() <= baseline; },
                                   std::chrono::milliseconds(3000)));
}

}  // namespace
}  // namespace e2e
