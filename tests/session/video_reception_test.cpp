#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "session_fixture.h"

namespace sessiontest {
namespace {

// RTP version 2, payload type 34, the marker bit as given, then a mode-A RFC 2190 header
// and two payload bytes.
std::vector<unsigned char> Packet(bool marker, unsigned char payloadType = 34,
                                  unsigned char version = 2) {
  std::vector<unsigned char> packet{
      static_cast<unsigned char>(version << 6),                              // V, P, X, CC
      static_cast<unsigned char>((marker ? 0x80 : 0x00) | payloadType),      // M, PT
      0x12, 0x34,                                                            // sequence
      0, 0, 0, 1,                                                            // timestamp
      0xAA, 0xBB, 0xCC, 0xDD,                                                // SSRC
      0x00, 0x40, 0x00, 0x00,                                                // mode A
      0x00, 0x00};
  return packet;
}

class RtpPacket : public IdleSession {
 protected:
  void SetUp() override {
    IdleSession::SetUp();
    ParkWorker();
  }
  void Deliver(const std::vector<unsigned char>& packet,
               rcpplus::RtpPayloadType type = rcpplus::kRtpPayloadRawPacket) {
    Peer::RtpPacket(session_.get(), packet, type);
  }
};

TEST_F(RtpPacket, LastPacketOfAPictureFeedsTheWatchdog) {
  Deliver(Packet(true));
  EXPECT_TRUE(FedTheWatchdog());
}

TEST_F(RtpPacket, PacketInsideAPictureDoesNotFeedTheWatchdog) {
  Deliver(Packet(false));
  EXPECT_FALSE(FedTheWatchdog());
}

TEST_F(RtpPacket, InactiveSessionDoesNotFeedTheWatchdog) {
  Peer::Active(*session_) = false;
  Deliver(Packet(true));
  EXPECT_FALSE(FedTheWatchdog());
}

TEST_F(RtpPacket, IgnoresOtherPayloadTypesAndVersions) {
  Deliver(Packet(true, 26));
  Deliver(Packet(true, 34, 1));
  Deliver(Packet(true), static_cast<rcpplus::RtpPayloadType>(34));
  EXPECT_FALSE(FedTheWatchdog());
}

TEST_F(RtpPacket, IgnoresPacketsNoLongerThanTheRtpHeader) {
  std::vector<unsigned char> packet = Packet(true);
  packet.resize(12);
  Deliver(packet);
  Peer::RtpPacket(session_.get(), nullptr, 100);
  EXPECT_FALSE(FedTheWatchdog());
}

TEST_F(RtpPacket, RecordsTheReceivingThread) {
  std::thread library([&] { Deliver(Packet(false)); });
  library.join();
  std::vector<platform::Handle> handles;
  session_->callbackThreads.CollectHandles(handles);
  EXPECT_EQ(handles.size(), 1u);
}

}  // namespace
}  // namespace sessiontest
