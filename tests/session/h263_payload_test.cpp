// RFC 2190 payload headers: the three modes, header-only packets and the byte that two
// packets share when a picture is split inside a byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "video_session_fixture.h"

namespace videotest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using H263Payload = VideoSession;

TEST_F(H263Payload, ModeAHeaderIsFourBytes) {
  Payload({0x00,                    // F=0 P=0 SBIT=0 EBIT=0: mode A
           0x40, 0x00, 0x00,        // SRC, I, U, S, A, R, DBQ, TRB, TR
           0xA1, 0xA2},             // H.263 data
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
}

TEST_F(H263Payload, ModeBHeaderIsEightBytes) {
  Payload({0x80,                    // F=1 P=0: mode B
           0x40, 0x00, 0x00,        // SRC, QUANT, GOBN, MBA
           0x00, 0x00, 0x00, 0x00,  // I, U, S, A, HMV1, VMV1, HMV2, VMV2
           0xA1, 0xA2},             // H.263 data
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
}

TEST_F(H263Payload, ModeCHeaderIsTwelveBytes) {
  Payload({0xC0,                    // F=1 P=1: mode C
           0x40, 0x00, 0x00,        // SRC, QUANT, GOBN, MBA
           0x00, 0x00, 0x00, 0x00,  // I, U, S, A, HMV1, VMV1, HMV2, VMV2
           0x00, 0x00, 0x00, 0x00,  // RR, DBQ, TRB, TR
           0xA1, 0xA2},             // H.263 data
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
}

TEST_F(H263Payload, DropsModeAPacketWithoutData) {
  Payload({0x00, 0x40, 0x00, 0x00}, false);  // mode A header, nothing after it
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(session_->frameStart.load());
}

TEST_F(H263Payload, DropsModeBPacketWithoutData) {
  Payload({0x80,                    // mode B
           0x40, 0x00, 0x00,        // SRC, QUANT, GOBN, MBA
           0x00, 0x00, 0x00, 0x00}, // motion vectors, nothing after them
          false);
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(H263Payload, DropsModeCPacketWithoutData) {
  Payload({0xC0,                    // mode C
           0x40, 0x00, 0x00,        // SRC, QUANT, GOBN, MBA
           0x00, 0x00, 0x00, 0x00,  // motion vectors
           0x00, 0x00, 0x00, 0x00}, // RR, DBQ, TRB, TR, nothing after them
          false);
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(H263Payload, DropsModeCPacketCutInsideItsHeader) {
  Payload({0xC0,                    // mode C, announcing 12 header bytes
           0x40, 0x00, 0x00,        // SRC, QUANT, GOBN, MBA
           0x00, 0x00, 0x00, 0x00,  // motion vectors
           0x00, 0x00},             // two of the last four header bytes
          false);
  EXPECT_THAT(Assembled(), IsEmpty());
}

TEST_F(H263Payload, HoldsBackLastByteWithEndBits) {
  Payload({0x03,                    // mode A, EBIT=3
           0x40, 0x00, 0x00,        // SRC ...
           0xA1, 0xA2, 0xF8},       // the last byte's low 3 bits belong to the next packet
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2));
  EXPECT_EQ(session_->carryEbit, 3);
  EXPECT_EQ(session_->carryByte, 0xF8);
}

TEST_F(H263Payload, JoinsByteSharedByEndBitsAndStartBits) {
  Payload({0x03,                    // mode A, SBIT=0, EBIT=3
           0x40, 0x00, 0x00,        // SRC ...
           0xA1, 0xAF},             // 0xAF: top five bits 10101 are this packet's
          false);
  Payload({0x28,                    // mode A, SBIT=5, EBIT=0
           0x40, 0x00, 0x00,        // SRC ...
           0xFA, 0xB1, 0xB2},       // 0xFA: low three bits 010 are this packet's
          false);
  // 10101 from the first packet, 010 from the second, then the rest of the second.
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xAA, 0xB1, 0xB2));
}

TEST_F(H263Payload, JoinedPacketWithEndBitsHoldsBackItsOwnLastByte) {
  Payload({0x03, 0x40, 0x00, 0x00,  // mode A, EBIT=3
           0xA1, 0xAF},             // 0xAF held back
          false);
  Payload({0x2A,                    // mode A, SBIT=5, EBIT=2
           0x40, 0x00, 0x00,        // SRC ...
           0xFA, 0xB1, 0xBC},       // 0xBC held back in turn
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xAA, 0xB1));
  EXPECT_EQ(session_->carryEbit, 2);
  EXPECT_EQ(session_->carryByte, 0xBC);
}

TEST_F(H263Payload, HeaderOnlyPacketForgetsTheHeldByte) {
  Payload({0x03, 0x40, 0x00, 0x00,  // mode A, EBIT=3
           0xA1, 0xAF},             // 0xAF held back
          false);
  Payload({0x00, 0x40, 0x00, 0x00}, false);  // header only
  Payload({0x00, 0x40, 0x00, 0x00,  // mode A, SBIT=0
           0xB1, 0xB2},
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xB1, 0xB2));
}

}  // namespace
}  // namespace videotest
