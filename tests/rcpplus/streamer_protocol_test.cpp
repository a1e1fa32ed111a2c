// RtpStreamer against a device whose media bytes the test writes itself: the requests it
// sends, packet hand-over, holding, broken framing, error forwarding and callback stops.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "scripted_device.h"
#include "video_fixture.h"

namespace rcpplus::testing {
namespace {

// A packet whose first two bytes carry its number.
std::vector<std::uint8_t> Numbered(int number, std::size_t size = 20) {
  std::vector<std::uint8_t> packet(size, 0xAB);
  packet[0] = static_cast<std::uint8_t>(number >> 8);
  packet[1] = static_cast<std::uint8_t>(number);
  return packet;
}

int NumberOf(const std::vector<std::uint8_t>& packet) { return packet[0] << 8 | packet[1]; }

// This process's ends of its TCP connections to port, by local port. Client and device share
// the process, so the client's sockets can be asked for their own options.
std::map<std::uint16_t, int> ClientSocketsTo(std::uint16_t port) {
  std::map<std::uint16_t, int> sockets;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return sockets;
  while (const dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    sockaddr_in peer{};
    sockaddr_in local{};
    socklen_t peerLength = sizeof peer;
    socklen_t localLength = sizeof local;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        peer.sin_family != AF_INET || ntohs(peer.sin_port) != port ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
      continue;
    }
    sockets.emplace(ntohs(local.sin_port), fd);
  }
  ::closedir(dir);
  return sockets;
}

bool NoDelaySet(int fd) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length) == 0 && value != 0;
}

class StreamerProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.Start());
    address_ = device_.Address();
  }

  void TearDown() override { System::terminate(); }

  // Connects and waits until the device has opened the media connection.
  void StartVideo(RtpStreamer& streamer, Recorder& messages) {
    streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &messages);
    ASSERT_TRUE(device_.WaitForMediaOpen());
  }

  ScriptedDevice device_;
  std::string address_;
  Recorder messages_;
  PacketRecorder packets_;
};

TEST_F(StreamerProtocolTest, SendsConnectWithTypeCoderAndBothValues) {
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.line = 3;
  streamer.connectVideo(5000, 0x0A0B, 7, 0x01020304, 0xA1B2C3D4, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kSessionIdMessage));
  const auto requests = device_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].commandWord, kConnectVideo);
  EXPECT_EQ(requests[0].line, 3);
  EXPECT_EQ(requests[0].payload, (std::vector<std::uint8_t>{0x0A, 0x0B,               // type
                                                            0x07,                     // coder
                                                            0x01, 0x02, 0x03, 0x04,   // a
                                                            0xA1, 0xB2, 0xC3, 0xD4})); // b
}

TEST_F(StreamerProtocolTest, OpensMediaWithTheSessionIdOfTheReply) {
  const std::uint32_t session = device_.NextSessionId();
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  const auto requests = device_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].commandWord, kMediaOpen);
  EXPECT_EQ(requests[1].payload, (std::vector<std::uint8_t>{
                                     static_cast<std::uint8_t>(session >> 24),
                                     static_cast<std::uint8_t>(session >> 16),
                                     static_cast<std::uint8_t>(session >> 8),
                                     static_cast<std::uint8_t>(session)}));
  EXPECT_EQ(device_.MediaConnections(), 1);
}

TEST_F(StreamerProtocolTest, SetsNoDelayOnControlAndMediaConnections) {
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  const std::uint16_t mediaPort = device_.MediaClientPort();
  ASSERT_NE(mediaPort, 0);
  const auto sockets = ClientSocketsTo(device_.port());
  // The streamer's own control connection and its media connection.
  ASSERT_EQ(sockets.size(), 2u);
  ASSERT_EQ(sockets.count(mediaPort), 1u);
  for (const auto& [port, fd] : sockets) {
    EXPECT_TRUE(NoDelaySet(fd)) << (port == mediaPort ? "media" : "control") << " connection";
  }
}

TEST_F(StreamerProtocolTest, HandsSessionIdMessageToMessageCallback) {
  const std::uint32_t session = device_.NextSessionId();
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.line = 2;
  streamer.connectVideo(5000, 10, 2, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kSessionIdMessage));
  const Call call = CallsWith(messages_, kSessionIdMessage).front();
  EXPECT_EQ(call.header.action, kActionMessage);
  EXPECT_EQ(call.header.sessionId, session);
  EXPECT_EQ(call.header.line, 2);
  EXPECT_NE(call.thread, std::this_thread::get_id());
}

TEST_F(StreamerProtocolTest, DeliversPacketsOfAnyLengthUnchanged) {
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  StartVideo(streamer, messages_);
  const std::vector<std::size_t> sizes = {2, 3, 11, 1500, 0xFFFF};
  for (int i = 0; i < static_cast<int>(sizes.size()); ++i) {
    ASSERT_TRUE(device_.SendPacket(Numbered(i, sizes[i])));
  }
  const std::vector<std::uint8_t> empty;
  ASSERT_TRUE(device_.SendPacket(empty));
  ASSERT_TRUE(packets_.WaitForCount(sizes.size() + 1));
  const auto got = packets_.Packets();
  for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(got[i], Numbered(static_cast<int>(i), sizes[i]));
  EXPECT_TRUE(got.back().empty());
  EXPECT_FALSE(packets_.WrongType());
}

TEST_F(StreamerProtocolTest, DeliversEveryPacketInOrderOnOneThreadWithoutOverlap) {
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  StartVideo(streamer, messages_);
  constexpr int kCount = 2000;
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < kCount; ++i) rcpwire::EncodeInterleaved(Numbered(i, 100 + i % 900), burst);
  ASSERT_TRUE(device_.SendMedia(burst));
  ASSERT_TRUE(packets_.WaitForCount(kCount));
  const auto got = packets_.Packets();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(NumberOf(got[i]), i);
  EXPECT_FALSE(packets_.Overlapped());
  EXPECT_EQ(packets_.Threads().size(), 1u);
  EXPECT_EQ(packets_.Threads().count(std::this_thread::get_id()), 0u);
}

TEST_F(StreamerProtocolTest, HoldsAtMost512PacketsBeforeFirstReceiverDroppingOldest) {
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  for (int i = 0; i < 600; ++i) ASSERT_TRUE(device_.SendPacket(Numbered(i)));
  device_.CloseMedia();
  // The loss is reported after the last byte was read, so every packet is held by now.
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  ASSERT_TRUE(packets_.WaitForCount(512));
  const auto got = packets_.Packets();
  ASSERT_EQ(got.size(), 512u);
  for (int i = 0; i < 512; ++i) EXPECT_EQ(NumberOf(got[i]), 88 + i);
}

TEST_F(StreamerProtocolTest, RemovingReceiverEndsWaitForFirstOne) {
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  ASSERT_TRUE(device_.SendPacket(Numbered(1)));
  device_.CloseMedia();
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  // The media thread keeps the held packet for a receiver; none is coming any more.
  EXPECT_EQ(CountMediaThreads(), 1);
  streamer.registerReceiverCallback(true, nullptr, nullptr);
  EXPECT_TRUE(WaitUntil([] { return CountMediaThreads() == 0; }));
}

TEST_F(StreamerProtocolTest, HandsHeldPacketsOverBeforeLaterOnes) {
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(device_.SendPacket(Numbered(i)));
  ASSERT_TRUE(device_.WaitForMediaRead());  // held now: there is no receiver yet
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  for (int i = 5; i < 10; ++i) ASSERT_TRUE(device_.SendPacket(Numbered(i)));
  ASSERT_TRUE(packets_.WaitForCount(10));
  const auto got = packets_.Packets();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(NumberOf(got[i]), i);
}

TEST_F(StreamerProtocolTest, HandsHeldPacketsOverWhenStreamIsIdle) {
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(device_.SendPacket(Numbered(i)));
  ASSERT_TRUE(device_.WaitForMediaRead());
  // Nothing more arrives: registering alone must bring the held packets out.
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  ASSERT_TRUE(packets_.WaitForCount(3));
  EXPECT_EQ(NumberOf(packets_.Packets()[2]), 2);
}

TEST_F(StreamerProtocolTest, DropsPacketsAfterReceiverIsRemoved) {
  PacketRecorder later;  // outlives the streamer that calls it
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  StartVideo(streamer, messages_);
  ASSERT_TRUE(device_.SendPacket(Numbered(1)));
  ASSERT_TRUE(packets_.WaitForCount(1));
  streamer.registerReceiverCallback(true, nullptr, nullptr);
  for (int i = 2; i < 6; ++i) ASSERT_TRUE(device_.SendPacket(Numbered(i)));
  ASSERT_TRUE(device_.WaitForMediaRead());
  // A new receiver sees only what comes after it: nothing was held meanwhile.
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &later);
  ASSERT_TRUE(device_.SendPacket(Numbered(7)));
  ASSERT_TRUE(later.WaitForCount(1));
  const auto got = later.Packets();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(NumberOf(got.front()), 7);
  EXPECT_EQ(packets_.Count(), 1u);
}

TEST_F(StreamerProtocolTest, ReportsBrokenFramingAsConnectionReset) {
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  StartVideo(streamer, messages_);
  ASSERT_TRUE(device_.SendPacket(Numbered(1)));
  const std::uint8_t wrongChannel[] = {0x24, 0x01, 0x00, 0x01, 0x00};
  ASSERT_TRUE(device_.SendMedia(wrongChannel));
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  const Call lost = CallsWith(messages_, kConnectionLost).front();
  EXPECT_EQ(lost.header.action, kActionClientError);
  EXPECT_EQ(lost.header.errorCode, 0x107u);
  // The receiver closes the connection.
  EXPECT_TRUE(device_.WaitForMediaClosed());
  EXPECT_EQ(packets_.Count(), 1u);
}

TEST_F(StreamerProtocolTest, ReportsLossOnceWhenBothConnectionsBreak) {
  auto device = std::make_unique<ScriptedDevice>();
  ASSERT_TRUE(device->Start());
  RtpStreamer streamer(device->Address().c_str(), 0);
  streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(device->WaitForMediaOpen());
  device.reset();  // closes the control and the media connection
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  // Both connections' threads end only after their breaks were handled.
  ASSERT_TRUE(WaitUntil([] { return CountMediaThreads() == 0 && CountControlThreads() == 0; }));
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).size(), 1u);
}

TEST_F(StreamerProtocolTest, ForwardsConnectErrorAndOpensNoMedia) {
  device_.AnswerConnectWith(0xFF);
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.connectVideo(5000, 10, 0, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectVideo));
  const Call call = CallsWith(messages_, kConnectVideo).front();
  EXPECT_EQ(call.header.action, kActionError);
  EXPECT_EQ(call.header.errorCode, 0xFFu);
  EXPECT_EQ(device_.MediaConnections(), 0);
  EXPECT_TRUE(CallsWith(messages_, kSessionIdMessage).empty());
}

TEST_F(StreamerProtocolTest, MediaOpenErrorIsForwardedAndReportedAsConnectionError) {
  device_.AnswerMediaOpenWith(0xB0);
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  ASSERT_TRUE(WaitForCall(messages_, kMediaOpen));
  EXPECT_EQ(CallsWith(messages_, kMediaOpen).front().header.errorCode, 0xB0u);
  EXPECT_EQ(CallsWith(messages_, kConnectionLost).front().header.errorCode, 0x101u);
}

TEST_F(StreamerProtocolTest, UnansweredMediaOpenTimesOutAsConnectionError) {
  device_.IgnoreMediaOpen(true);
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.setVideoTimeout(100);
  streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  const Call lost = CallsWith(messages_, kConnectionLost).front();
  EXPECT_EQ(lost.header.action, kActionClientError);
  EXPECT_EQ(lost.header.errorCode, 0x101u);
}

TEST_F(StreamerProtocolTest, ForwardsOtherControlMessagesToMessageCallback) {
  RtpStreamer streamer(address_.c_str(), 0);
  StartVideo(streamer, messages_);
  device_.SendControlMessage(0x01C00030, 3, {0x01});
  ASSERT_TRUE(WaitForCall(messages_, 0x01C00030));
  const Call call = CallsWith(messages_, 0x01C00030).front();
  EXPECT_EQ(call.header.action, kActionMessage);
  EXPECT_EQ(call.header.line, 3);
  EXPECT_EQ(call.payload, std::vector<unsigned char>{0x01});
}

TEST_F(StreamerProtocolTest, PortArgumentReplacesPortOfAddress) {
  // Nothing listens on port 1; the streamer must use the port it was given.
  RtpStreamer streamer("http://:@127.0.0.1:1", device_.port());
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  StartVideo(streamer, messages_);
  ASSERT_TRUE(device_.SendPacket(Numbered(1)));
  EXPECT_TRUE(packets_.WaitForCount(1));
  EXPECT_TRUE(CallsWith(messages_, kConnectionLost).empty());
}

TEST_F(StreamerProtocolTest, UnparsableAddressIsReportedAsConnectionError) {
  RtpStreamer streamer("no address at all", 0);
  streamer.connectVideo(5000, 10, 1, 0, 1, Recorder::Callback, &messages_);
  ASSERT_TRUE(WaitForCall(messages_, kConnectionLost));
  const Call lost = CallsWith(messages_, kConnectionLost).front();
  EXPECT_EQ(lost.header.action, kActionClientError);
  EXPECT_EQ(lost.header.errorCode, 0x101u);
}

TEST_F(StreamerProtocolTest, DisconnectVideoClosesMediaWithoutReport) {
  RtpStreamer streamer(address_.c_str(), 0);
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  StartVideo(streamer, messages_);
  streamer.disconnectVideo();
  EXPECT_TRUE(device_.WaitForMediaClosed());
  // A message sent afterwards on the control connection marks that all before it was seen.
  device_.SendControlMessage(0x01C00030, 1, {0x00});
  ASSERT_TRUE(WaitForCall(messages_, 0x01C00030));
  EXPECT_TRUE(CallsWith(messages_, kConnectionLost).empty());
  EXPECT_EQ(CountMediaThreads(), 0);
}

TEST_F(StreamerProtocolTest, ReceiverMayRemoveItselfFromItsCallback) {
  struct Self {
    RtpStreamer* streamer;
    std::atomic<int> calls{0};
  };
  Self self{nullptr};
  RtpStreamer streamer(address_.c_str(), 0);
  self.streamer = &streamer;
  auto callback = +[](void* context, RtpPayloadType, const unsigned char*, int) {
    auto* s = static_cast<Self*>(context);
    s->calls.fetch_add(1);
    s->streamer->registerReceiverCallback(true, nullptr, nullptr);
  };
  streamer.registerReceiverCallback(true, callback, &self);
  StartVideo(streamer, messages_);
  std::vector<std::uint8_t> burst;
  for (int i = 0; i < 5; ++i) rcpwire::EncodeInterleaved(Numbered(i), burst);
  ASSERT_TRUE(device_.SendMedia(burst));
  ASSERT_TRUE(WaitUntil([&] { return self.calls.load() == 1; }));
  ASSERT_TRUE(device_.WaitForMediaRead());
  streamer.registerReceiverCallback(true, PacketRecorder::Callback, &packets_);
  ASSERT_TRUE(device_.SendPacket(Numbered(9)));
  ASSERT_TRUE(packets_.WaitForCount(1));
  EXPECT_EQ(self.calls.load(), 1);
}

// The caller frees its context right after these calls return, so a call under way must
// have finished by then. Each test blocks a callback, makes the call from another thread,
// and checks the order in which the two finished.
struct Blocker {
  std::atomic<bool> inside{false};
  std::atomic<bool> stopStarted{false};
  std::atomic<int> sequence{0};
  std::atomic<int> callbackDone{0};
  std::atomic<int> stopReturned{0};

  void BlockUntilStopStarted() {
    if (inside.exchange(true)) return;  // only the first call blocks
    WaitUntil([&] { return stopStarted.load(); });
    // Time for a wrong implementation to return early.
    std::this_thread::sleep_for(50ms);
    callbackDone = ++sequence;
  }
  template <typename F>
  void Stop(F&& stop) {
    std::thread stopper([&] {
      stopStarted = true;
      stop();
      stopReturned = ++sequence;
    });
    stopper.join();
  }
};

TEST_F(StreamerProtocolTest, RemovingReceiverWaitsForCallUnderWay) {
  Blocker blocker;
  RtpStreamer streamer(address_.c_str(), 0);
  auto callback = +[](void* context, RtpPayloadType, const unsigned char*, int) {
    static_cast<Blocker*>(context)->BlockUntilStopStarted();
  };
  streamer.registerReceiverCallback(true, callback, &blocker);
  StartVideo(streamer, messages_);
  ASSERT_TRUE(device_.SendPacket(Numbered(1)));
  ASSERT_TRUE(WaitUntil([&] { return blocker.inside.load(); }));
  blocker.Stop([&] { streamer.registerReceiverCallback(true, nullptr, nullptr); });
  EXPECT_GT(blocker.callbackDone.load(), 0);
  EXPECT_LT(blocker.callbackDone.load(), blocker.stopReturned.load());
}

TEST_F(StreamerProtocolTest, UnsubscribeWaitsForMessageCallUnderWay) {
  Blocker blocker;
  RtpStreamer streamer(address_.c_str(), 0);
  auto callback = +[](void* context, RcpHeader&, RcpInputStream&) {
    static_cast<Blocker*>(context)->BlockUntilStopStarted();
  };
  streamer.connectVideo(5000, 10, 1, 0, 1, callback, &blocker);
  ASSERT_TRUE(WaitUntil([&] { return blocker.inside.load(); }));
  blocker.Stop([&] { streamer.unsubscribeMessageCallback(&blocker); });
  EXPECT_GT(blocker.callbackDone.load(), 0);
  EXPECT_LT(blocker.callbackDone.load(), blocker.stopReturned.load());
}

TEST_F(StreamerProtocolTest, UnregisterCallbackWaitsForMessageCallUnderWay) {
  Blocker blocker;
  RtpStreamer streamer(address_.c_str(), 0);
  static constexpr RcpCallback callback = +[](void* context, RcpHeader&, RcpInputStream&) {
    static_cast<Blocker*>(context)->BlockUntilStopStarted();
  };
  streamer.connectVideo(5000, 10, 1, 0, 1, callback, &blocker);
  ASSERT_TRUE(WaitUntil([&] { return blocker.inside.load(); }));
  blocker.Stop([&] { streamer.unregisterCallback(callback, &blocker); });
  EXPECT_GT(blocker.callbackDone.load(), 0);
  EXPECT_LT(blocker.callbackDone.load(), blocker.stopReturned.load());
}

TEST_F(StreamerProtocolTest, DestroyingStreamerWithoutDisconnectStopsEverything) {
  Blocker blocker;
  auto streamer = std::make_unique<RtpStreamer>(address_.c_str(), 0);
  auto callback = +[](void* context, RtpPayloadType, const unsigned char*, int) {
    static_cast<Blocker*>(context)->BlockUntilStopStarted();
  };
  streamer->registerReceiverCallback(true, callback, &blocker);
  StartVideo(*streamer, messages_);
  ASSERT_TRUE(device_.SendPacket(Numbered(1)));
  ASSERT_TRUE(WaitUntil([&] { return blocker.inside.load(); }));
  blocker.Stop([&] { streamer.reset(); });
  EXPECT_LT(blocker.callbackDone.load(), blocker.stopReturned.load());
  EXPECT_EQ(CountMediaThreads(), 0);
  EXPECT_TRUE(device_.WaitForMediaClosed());
  EXPECT_TRUE(WaitUntil([] { return CountControlThreads() == 0; }));
  // The device's closing of the control connection is not reported to anyone.
  EXPECT_TRUE(CallsWith(messages_, kConnectionLost).empty());
}

}  // namespace
}  // namespace rcpplus::testing
