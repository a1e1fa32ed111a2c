// The session's worker thread against the simulated device on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <chrono>
#include <memory>
#include <vector>

#include "device_sim.h"
#include "platform/eventually.h"
#include "session/bosch_ip_camera_info.h"
#include "session/stream_settings.h"
#include "support/camera_session_test_peer.h"
#include "support/fake_session_owner.h"
#include "support/process_stats.h"

namespace sessiontest {
namespace {

using corvane::CBoschIPCameraInfo;
using fakes::FakeSessionOwner;
using Peer = corvane::CBoschIPCameraInfoTestPeer;

constexpr std::uint32_t kCmdCoderList = 0xFF110C30;
constexpr std::uint32_t kCmdConnectVideo = 0xFF0C0C31;
constexpr std::uint32_t kCmdAnnounceSession = 0x06050831;
constexpr const char* kTerminating = "Capture thread did not stop";
constexpr int kVideo = corvane::kChannelEventVideo;
constexpr int kLost = corvane::kChannelEventLost;

std::uint32_t Be32(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 4) return 0xFFFFFFFF;
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

class SessionWithDevice : public ::testing::Test {
 protected:
  void StartDevice(int networkTimeoutMs, bool unusableCoderFirst = false) {
    devicesim::DeviceSimOptions options;
    options.cameraCount = 2;
    options.inputCount = 0;
    options.outputCount = 0;
    options.unusableCoderFirst = unusableCoderFirst;
    device_ = std::make_unique<devicesim::DeviceSim>(options);
    ASSERT_TRUE(device_->Start()) << device_->LastError();
    owner_ = std::make_unique<FakeSessionOwner>("127.0.0.1", device_->port(), networkTimeoutMs);
    owner_->config().qualityMedium = "7";
    session_ = std::make_unique<CBoschIPCameraInfo>(static_cast<std::uint8_t>(0), owner_.get());
  }

  void TearDown() override {
    session_.reset();
    rcpplus::System::terminate();
    device_.reset();
  }

  bool StartCif(std::uint32_t intervalMs = 1000, std::int32_t resolution = 2) {
    return session_->StartStreaming(50, resolution, intervalMs, 352, 288);
  }

  int CountRequests(std::uint32_t commandWord) const {
    const auto log = device_->Requests();
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const auto& r) {
      return r.commandWord == commandWord;
    }));
  }

  int CountSettings() const {
    int count = 0;
    for (std::uint32_t word : {corvane::kCmdFrameRateA, corvane::kCmdFrameRateB,
                               corvane::kCmdResolution, corvane::kCmdQuality,
                               corvane::kCmdQualityRepeat, corvane::kCmdQualityNumber})
      count += CountRequests(word);
    return count;
  }

  std::string Dump() const {
    std::string text;
    for (int e : owner_->Events()) text += "event " + std::to_string(e) + "\n";
    for (const auto& l : owner_->Texts()) text += l + "\n";
    for (const auto& r : device_->Requests()) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "req %08x line %u\n", r.commandWord, r.line);
      text += buf;
    }
    return text;
  }

  std::unique_ptr<devicesim::DeviceSim> device_;
  std::unique_ptr<FakeSessionOwner> owner_;
  std::unique_ptr<CBoschIPCameraInfo> session_;
};

TEST_F(SessionWithDevice, ConnectsAndReportsVideoOnce) {
  StartDevice(400);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000));
  ASSERT_TRUE(device_->WaitForRequests(kCmdAnnounceSession, 1, 2000));
  EXPECT_EQ(owner_->Events(), std::vector<int>{kVideo});
  EXPECT_EQ(Peer::Line(*session_).load(), 1);
}

TEST_F(SessionWithDevice, AnnouncesTheSessionIdTheDeviceGave) {
  StartDevice(400);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdAnnounceSession, 1, 4000));
  const auto sessions = device_->VideoSessions();
  ASSERT_EQ(sessions.size(), 1u);
  for (const auto& r : device_->Requests()) {
    if (r.commandWord != kCmdAnnounceSession) continue;
    EXPECT_EQ(Be32(r.payload), sessions[0].sessionId);
    EXPECT_EQ(r.line, 1);
  }
}

TEST_F(SessionWithDevice, UnknownResolutionLogsAndSendsNoSetting) {
  StartDevice(300);
  ASSERT_TRUE(StartCif(1000, 5));
  ASSERT_TRUE(owner_->WaitForLineContaining(
      "CBoschIPCameraInfo::SetStreamParameters(), Unknown resolution: 5", 1, 4000));
  ASSERT_TRUE(owner_->WaitForEvents(kLost, 1, 2000));
  EXPECT_EQ(CountSettings(), 0);
  EXPECT_EQ(owner_->CountEvents(kVideo), 0);
}

TEST_F(SessionWithDevice, FrameIntervalBelow40LogsAndSendsNoSetting) {
  StartDevice(300);
  ASSERT_TRUE(StartCif(39));
  ASSERT_TRUE(owner_->WaitForLineContaining(
      "CBoschIPCameraInfo::SetStreamParameters(), framerate 39 not supported!", 1, 4000));
  ASSERT_TRUE(owner_->WaitForEvents(kLost, 1, 2000));
  EXPECT_EQ(CountSettings(), 0);
  EXPECT_EQ(owner_->CountEvents(kVideo), 0);
}

TEST_F(SessionWithDevice, ErrorReplyToASettingSkipsOnlyItsApply) {
  StartDevice(400);
  device_->AnswerWithError(corvane::kCmdResolution, 0x40);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000));
  EXPECT_EQ(CountSettings(), 6);
  EXPECT_TRUE(device_->WaitForRequests(corvane::kCmdApplySettings, 5, 1000));
  EXPECT_TRUE(testutil::HoldsFor([&] { return CountRequests(corvane::kCmdApplySettings) == 5; },
                                 std::chrono::milliseconds(200)));
}

TEST_F(SessionWithDevice, UnansweredSettingTimesOutAndIsSkippedLikeAnErrorReply) {
  StartDevice(300);
  device_->DropReplies(corvane::kCmdFrameRateB, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000)) << Dump();
  EXPECT_EQ(CountSettings(), 6);
  EXPECT_TRUE(device_->WaitForRequests(corvane::kCmdApplySettings, 5, 1000));
  EXPECT_TRUE(testutil::HoldsFor([&] { return CountRequests(corvane::kCmdApplySettings) == 5; },
                                 std::chrono::milliseconds(200)));
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
}

TEST_F(SessionWithDevice, DiscoveryWithoutAnswerTriesFiveTimesThenConnectsWithCoderZero) {
  StartDevice(200);
  device_->DropReplies(kCmdCoderList, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 1, 5000));
  const auto log = device_->Requests();
  int discoveries = 0;
  for (const auto& r : log) {
    if (r.commandWord == kCmdCoderList) ++discoveries;
    if (r.commandWord != kCmdConnectVideo) continue;
    EXPECT_EQ(discoveries, 5);
    ASSERT_GE(r.payload.size(), 3u);
    EXPECT_EQ(r.payload[2], 0);  // coder
    break;
  }
  // The device has no coder 0: the attempt fails at once, without video.
  ASSERT_TRUE(owner_->WaitForEvents(kLost, 1, 2000));
  EXPECT_EQ(owner_->CountEvents(kVideo), 0);
  EXPECT_EQ(CountSettings(), 0);
}

// The pause the device wants after a coder list runs on the session's own worker: the reply,
// made on a library thread that every session of the device shares, returns at once.
TEST_F(SessionWithDevice, PauseAfterTheCoderListHoldsNoLibraryThread) {
  StartDevice(2000);
  device_->DropReplies(kCmdCoderList, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdCoderList, 1, 2000));
  std::vector<unsigned char> list{0x00, 0x01, 0x00, 0x04};
  list.insert(list.end(), 12, 0);
  rcpplus::RcpHeader header{};
  header.commandWord = kCmdCoderList;
  header.action = rcpplus::kActionReply;
  rcpplus::RcpInputStream reply(list.data(), list.size());
  Peer::CoderListReply(session_.get(), header, reply);
  // The worker took the answer and is still in its pause.
  EXPECT_EQ(CountRequests(kCmdConnectVideo), 0);
  ASSERT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 1, 3000)) << Dump();
  for (const auto& r : device_->Requests()) {
    if (r.commandWord != kCmdConnectVideo) continue;
    ASSERT_GE(r.payload.size(), 3u);
    EXPECT_EQ(r.payload[2], 1);
  }
}

TEST_F(SessionWithDevice, SkipsACoderEntryNotMeantForThisClient) {
  StartDevice(400, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 1, 4000));
  for (const auto& r : device_->Requests()) {
    if (r.commandWord != kCmdConnectVideo) continue;
    ASSERT_GE(r.payload.size(), 3u);
    EXPECT_EQ(r.payload[2], 1);
  }
  EXPECT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000));
}

TEST_F(SessionWithDevice, RefusedVideoConnectionFailsWithoutReportingVideo) {
  StartDevice(300);
  device_->AnswerWithError(kCmdConnectVideo, 0xFF);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(owner_->WaitForEvents(kLost, 1, 3000));
  EXPECT_EQ(owner_->CountEvents(kVideo), 0);
  EXPECT_EQ(CountSettings(), 0);
  EXPECT_GE(owner_->CountLinesContaining("Bosch: Error - UnknownError"), 1);
  EXPECT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 2, 3000));
}

TEST_F(SessionWithDevice, StopDuringDiscoveryReportsNothingAndEndsCleanly) {
  StartDevice(1000);
  device_->DropReplies(kCmdCoderList, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdCoderList, 1, 2000));
  session_->StopStreaming();
  EXPECT_TRUE(testutil::HoldsFor([&] { return CountRequests(kCmdConnectVideo) == 0; },
                                 std::chrono::milliseconds(300)));
  session_.reset();
  EXPECT_TRUE(owner_->Events().empty());
  EXPECT_EQ(owner_->CountLinesContaining(kTerminating), 0);
}

TEST_F(SessionWithDevice, RestartDuringDiscoveryStillConnectsTheRightCoder) {
  StartDevice(1000);
  device_->DelayReplies(kCmdCoderList, 200);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdCoderList, 1, 2000));
  session_->StopStreaming();
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000)) << Dump();
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
  for (const auto& r : device_->Requests()) {
    if (r.commandWord != kCmdConnectVideo) continue;
    ASSERT_GE(r.payload.size(), 3u);
    EXPECT_EQ(r.payload[2], 1);
  }
}

TEST_F(SessionWithDevice, StopDuringSettingsSendsNoMoreSettingsAndNoLostEvent) {
  StartDevice(1000);
  device_->DropReplies(corvane::kCmdFrameRateA, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(corvane::kCmdFrameRateA, 1, 4000));
  session_->StopStreaming();
  EXPECT_TRUE(testutil::HoldsFor([&] { return CountRequests(corvane::kCmdFrameRateB) == 0; },
                                 std::chrono::milliseconds(300)));
  session_.reset();
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
  EXPECT_EQ(owner_->CountEvents(kVideo), 0);
  EXPECT_EQ(owner_->CountLinesContaining(kTerminating), 0);
}

TEST_F(SessionWithDevice, DestroyingDuringTheSessionIdWaitNeedsNoForcedTermination) {
  // The id wait may last five network time-outs, the destructor waits two.
  StartDevice(1000);
  device_->DropReplies(kCmdConnectVideo, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 1, 4000));
  session_.reset();
  EXPECT_EQ(owner_->CountLinesContaining(kTerminating), 0);
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
  EXPECT_EQ(CountSettings(), 0);
}

TEST_F(SessionWithDevice, StopDuringTheSessionIdWaitEndsTheAttempt) {
  StartDevice(1000);
  device_->DropReplies(kCmdConnectVideo, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 1, 4000));
  session_->StopStreaming();
  device_->DropReplies(kCmdConnectVideo, false);
  // Back in idle well before the five-second id budget is spent: a new start connects.
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 3000));
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
}

TEST_F(SessionWithDevice, StalledVideoIsReportedLostAndReconnected) {
  StartDevice(300);
  ASSERT_TRUE(StartCif(40));
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000));
  ASSERT_TRUE(device_->WaitForPictures(1, 2, 2000));
  device_->StallVideo(1, true);
  ASSERT_TRUE(owner_->WaitForEvents(kLost, 1, 6000));
  device_->StallVideo(1, false);
  EXPECT_TRUE(owner_->WaitForEvents(kVideo, 2, 4000));
  EXPECT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 2, 1000));
}

// The watchdog sleeps until the deadline the last frame implies: frames do not wake the
// worker, which sleeps through a second of them.
TEST_F(SessionWithDevice, FramesDoNotWakeTheWorker) {
  StartDevice(2000);
  ASSERT_TRUE(StartCif(40));
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 4000));
  const std::uint64_t sent = device_->PicturesSent(1);
  ASSERT_TRUE(device_->WaitForPictures(1, sent + 2, 2000));
  const unsigned worker = Peer::Thread(*session_).id();
  const long before = testutil::ThreadSwitches(worker);
  ASSERT_GE(before, 0);
  ASSERT_TRUE(device_->WaitForPictures(1, sent + 27, 4000));
  const long switches = testutil::ThreadSwitches(worker) - before;
  // 25 pictures; a few switches for whatever else the system does.
  EXPECT_LT(switches, 8) << Dump();
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
}

// A coder reply still on its way when the host stops and starts again must not stand in for
// the answer to a setting: the frame rate, whose reply the device drops, is confirmed only by
// the library's time-out for it, a network time-out after it was sent.
TEST_F(SessionWithDevice, LateCoderReplyAfterARestartConfirmsNoSetting) {
  StartDevice(2000);
  device_->DelayReplies(kCmdCoderList, 300);
  device_->DropReplies(corvane::kCmdFrameRateA, true);
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(kCmdCoderList, 1, 2000));
  session_->StopStreaming();
  ASSERT_TRUE(StartCif());
  ASSERT_TRUE(device_->WaitForRequests(corvane::kCmdFrameRateA, 1, 4000)) << Dump();
  EXPECT_TRUE(testutil::HoldsFor(
      [&] { return CountRequests(corvane::kCmdFrameRateB) == 0; }, std::chrono::milliseconds(1000)))
      << Dump();
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
}

// Waits derived from the network time-out (five of them for the session id, one plus slack
// for a setting's reply and for the watchdog) are computed wide: with the largest time-outs
// a late session id is still awaited, the settings are confirmed and the video flows.
class LongNetworkTimeout : public SessionWithDevice, public ::testing::WithParamInterface<int> {};

TEST_P(LongNetworkTimeout, LateSessionIdIsAwaitedAndVideoFlows) {
  StartDevice(GetParam());
  // The session id follows the connect reply.
  device_->DelayReplies(kCmdConnectVideo, 1500);
  ASSERT_TRUE(StartCif(40));
  ASSERT_TRUE(device_->WaitForRequests(kCmdConnectVideo, 1, 4000));
  EXPECT_TRUE(testutil::HoldsFor([&] { return CountSettings() == 0; },
                                 std::chrono::milliseconds(800)))
      << Dump();
  ASSERT_TRUE(owner_->WaitForEvents(kVideo, 1, 5000)) << Dump();
  EXPECT_EQ(CountSettings(), 6);
  const std::uint64_t pictures = device_->PicturesSent(1);
  EXPECT_TRUE(device_->WaitForPictures(1, pictures + 5, 2000));
  session_->StopStreaming();
  session_.reset();
  EXPECT_EQ(owner_->CountEvents(kLost), 0);
  EXPECT_EQ(owner_->CountLinesContaining(kTerminating), 0);
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, LongNetworkTimeout,
                         ::testing::Values(500000000, INT_MAX - 100, INT_MAX),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param);
                         });

TEST(SessionLifecycle, DeviceAddressCarriesSeparatorsWithEmptyCredentials) {
  FakeSessionOwner owner("10.1.2.3", 8080, 300);
  CBoschIPCameraInfo session(0, &owner);
  EXPECT_EQ(Peer::BuildDeviceAddress(session), "http://:@10.1.2.3:8080");
}

TEST(SessionLifecycle, DeviceAddressCarriesTheCredentials) {
  FakeSessionOwner owner("127.0.0.1", 1756, 300);
  owner.SetCredentials("user", "p@ss");
  CBoschIPCameraInfo session(0, &owner);
  EXPECT_EQ(Peer::BuildDeviceAddress(session), "http://user:p@ss@127.0.0.1:1756");
}

TEST(SessionLifecycle, StartRecordsTheRequestAndItsQualityLevel) {
  FakeSessionOwner owner("127.0.0.1", 1, 300);
  CBoschIPCameraInfo session(3, &owner);
  session.framesDelivered = 7;
  ASSERT_TRUE(session.StartStreaming(65, 4, 250, 704, 576));
  EXPECT_TRUE(Peer::Active(session).load());
  EXPECT_EQ(session.framesDelivered.load(), 0u);
  const Peer::Request request = Peer::LatestRequest(session);
  EXPECT_EQ(request.qualityLevel, 4);
  EXPECT_EQ(request.resolution, 4);
  EXPECT_EQ(request.frameInterval, 250u);
  EXPECT_EQ(request.width, 704);
  EXPECT_EQ(request.height, 576);
  session.StopStreaming();
  EXPECT_FALSE(Peer::Active(session).load());
}

TEST(SessionLifecycle, LoadsThePictureSizeParser) {
  FakeSessionOwner owner("127.0.0.1", 1, 300);
  CBoschIPCameraInfo session(0, &owner);
  EXPECT_NE(Peer::ParseMpegHeader(session), nullptr);
  EXPECT_TRUE(Peer::Thread(session).Valid());
}

TEST(SessionLifecycle, NeverStartedSessionEndsWithoutForcedTermination) {
  FakeSessionOwner owner("127.0.0.1", 1, 300);
  { CBoschIPCameraInfo session(0, &owner); }
  EXPECT_EQ(owner.CountLinesContaining(kTerminating), 0);
  EXPECT_TRUE(owner.Events().empty());
}

}  // namespace
}  // namespace sessiontest
