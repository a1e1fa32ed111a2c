// RTP header handling of the receive path: what reaches the frame and what is dropped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "video_session_fixture.h"

namespace videotest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using RtpHeader = VideoSession;

TEST_F(RtpHeader, StripsFixedHeaderAndModeAPayloadHeader) {
  Packet({0x80,                    // V=2, P=0, X=0, CC=0
          0x22,                    // M=0, PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x40, 0x00, 0x00,  // mode A: F=0 P=0 SBIT=0 EBIT=0, SRC=2
          0xA1, 0xA2, 0xA3});      // H.263 data
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2, 0xA3));
}

TEST_F(RtpHeader, SkipsCsrcList) {
  Packet({0x82,                    // V=2, CC=2
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0xC1, 0xC1, 0xC1, 0xC1,  // CSRC 1
          0xC2, 0xC2, 0xC2, 0xC2,  // CSRC 2
          0x00, 0x40, 0x00, 0x00,  // mode A
          0xA1, 0xA2});            // H.263 data
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
}

TEST_F(RtpHeader, PayloadFollowsCsrcListAndOneWordExtensionAtOffset28) {
  Packet({0x92,                    // V=2, X=1, CC=2
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0xC1, 0xC1, 0xC1, 0xC1,  // CSRC 1
          0xC2, 0xC2, 0xC2, 0xC2,  // CSRC 2
          0xBE, 0xDE,              // extension profile
          0x00, 0x01,              // extension length: one word
          0xE1, 0xE2, 0xE3, 0xE4,  // extension word
          0x00, 0x40, 0x00, 0x00,  // mode A, at offset 28
          0xA1, 0xA2});            // H.263 data
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
}

TEST_F(RtpHeader, DropsPacketTooShortForItsCsrcList) {
  Packet({0x8F,                    // V=2, CC=15: 60 bytes of CSRCs announced
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x40, 0x00, 0x00,  // what would be a mode A header
          0xA1, 0xA2});            // and data
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(RtpHeader, DropsPacketTooShortForItsExtensionHeader) {
  Packet({0x90,                    // V=2, X=1
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0xBE, 0xDE,              // extension profile, then the packet ends
          0x00});                  // half a length field
  EXPECT_THAT(Assembled(), IsEmpty());
}

// A 16-bit header length wraps round for this length and would take the extension for
// payload.
TEST_F(RtpHeader, DropsPacketTooShortForItsExtensionLength) {
  Packet({0x90,                    // V=2, X=1
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0xBE, 0xDE,              // extension profile
          0xFF, 0xFF,              // extension length: 65535 words
          0x00, 0x40, 0x00, 0x00,  // what would be a mode A header
          0xA1, 0xA2});            // and data
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(RtpHeader, DropsPacketThatEndsWithItsHeaders) {
  Packet({0x81,                    // V=2, CC=1
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0xC1, 0xC1, 0xC1, 0xC1});  // CSRC 1, nothing after it
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(session_->frameStart.load());
}

TEST_F(RtpHeader, PaddingCountFourRemovesLastFourBytes) {
  Packet({0xA0,                    // V=2, P=1
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x40, 0x00, 0x00,  // mode A
          0xA1, 0xA2,              // H.263 data
          0x00, 0x00, 0x00, 0x04});  // padding, its count last
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
}

TEST_F(RtpHeader, DropsPacketWhosePaddingCountExceedsItsPayload) {
  Packet({0xA0,                    // V=2, P=1
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x40, 0x00, 0x00,  // mode A
          0xA1, 0xA2,              // H.263 data
          0xFF});                  // padding count 255: more than the packet
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(session_->frameStart.load());
}

TEST_F(RtpHeader, PaddingThatTakesTheWholePayloadStillEndsTheFrame) {
  Frame({0xA1, 0xA2}, false);
  Packet({0xA0,                    // V=2, P=1
          0xA2,                    // M=1, PT=34
          0x00, 0x08,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x00, 0x03});      // padding only, count 3
  EXPECT_TRUE(session_->frameStart.load());
  EXPECT_THAT(Assembled(), IsEmpty());
  // Not intra while waiting for a key frame: dropped, yet a sign of life.
  EXPECT_TRUE(FrameEventSet());
}

TEST_F(RtpHeader, IgnoresVersionOtherThanTwo) {
  Packet({0x40,                    // V=1
          0x22,                    // PT=34
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x40, 0x00, 0x00,  // mode A
          0xA1, 0xA2});            // H.263 data
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(RtpHeader, IgnoresPayloadTypeOtherThan34) {
  Packet({0x80,                    // V=2
          0x1A,                    // PT=26 (JPEG)
          0x00, 0x07,              // sequence number
          0x00, 0x00, 0x0B, 0xB8,  // timestamp
          0x11, 0x22, 0x33, 0x44,  // SSRC
          0x00, 0x40, 0x00, 0x00,  // mode A
          0xA1, 0xA2});            // H.263 data
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(RtpHeader, MarkerEndsTheFrame) {
  Frame({0xA1, 0xA2}, false);
  EXPECT_FALSE(session_->frameStart.load());
  Frame({0xA3}, true);
  EXPECT_TRUE(session_->frameStart.load());
  EXPECT_THAT(Assembled(), IsEmpty());
}

}  // namespace
}  // namespace videotest
