// The frame assembler on its own: RTP headers, RFC 2190 payload headers and the byte two
// packets share, the intra decision on a frame's first piece, and the frame buffer's growth,
// reuse and release. Packets are inline byte arrays; each is handed over as a heap copy of
// exactly its size, so that a read past it is caught.
#include "session/h263_frame_assembler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "h263_test_pictures.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using corvane::H263FrameAssembler;
using support::Bytes;
using support::Picture;

struct FrameOut {
  Bytes data;
  bool keyFrame = false;
  bool oversized = false;
};

class Assembler : public ::testing::Test {
 protected:
  // One RTP packet as the library hands it over; the frame its marker ends, if any.
  std::optional<FrameOut> Packet(const Bytes& packet) {
    return Copy(assembler_.AddPacket(Exact(packet)));
  }
  // An RFC 2190 payload (payload header included).
  std::optional<FrameOut> Payload(const Bytes& payload, bool marker) {
    return Copy(assembler_.AddPayload(Exact(payload), marker));
  }
  // H.263 bytes in one mode-A packet.
  std::optional<FrameOut> Frame(const Bytes& h263, bool marker = true) {
    return Payload(support::ModeA(h263), marker);
  }
  Bytes Assembled() const { return Bytes(assembler_.pending().begin(), assembler_.pending().end()); }
  // Whether the next data begins a frame of its own, classified afresh.
  bool NextPieceStartsAFrame() {
    const Bytes intra = Picture(support::kQcif, true);
    const auto frame = Frame(intra);
    return frame && frame->keyFrame && frame->data == intra;
  }

  H263FrameAssembler assembler_;

 private:
  std::span<const unsigned char> Exact(const Bytes& bytes) {
    copy_ = std::make_unique<unsigned char[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy_.get());
    return {copy_.get(), bytes.size()};
  }
  static std::optional<FrameOut> Copy(const std::optional<H263FrameAssembler::Frame>& frame) {
    if (!frame) return std::nullopt;
    return FrameOut{Bytes(frame->data.begin(), frame->data.end()), frame->keyFrame,
                    frame->oversized};
  }

  std::unique_ptr<unsigned char[]> copy_;
};

// ---- RTP header (RFC 3550) ----------------------------------------------------------------

using RtpHeader = Assembler;

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
  EXPECT_TRUE(NextPieceStartsAFrame());
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
  EXPECT_TRUE(NextPieceStartsAFrame());
}

TEST_F(RtpHeader, PaddingThatTakesTheWholePayloadStillEndsTheFrame) {
  Frame({0xA1, 0xA2}, false);
  const auto frame = Packet({0xA0,    // V=2, P=1
                             0xA2,    // M=1, PT=34
                             0x00, 0x08,              // sequence number
                             0x00, 0x00, 0x0B, 0xB8,  // timestamp
                             0x11, 0x22, 0x33, 0x44,  // SSRC
                             0x00, 0x00, 0x03});      // padding only, count 3
  ASSERT_TRUE(frame.has_value());
  EXPECT_THAT(frame->data, ElementsAre(0xA1, 0xA2));
  EXPECT_FALSE(frame->keyFrame);
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(NextPieceStartsAFrame());
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
  EXPECT_FALSE(Frame({0xA1, 0xA2}, false).has_value());
  const auto frame = Frame({0xA3}, true);
  ASSERT_TRUE(frame.has_value());
  EXPECT_THAT(frame->data, ElementsAre(0xA1, 0xA2, 0xA3));
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(NextPieceStartsAFrame());
}

// ---- H.263 payload header (RFC 2190) ------------------------------------------------------

using H263Payload = Assembler;

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
  EXPECT_TRUE(NextPieceStartsAFrame());
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
  Payload({0x28,                    // mode A, SBIT=5: the held byte's top five bits are kept
           0x40, 0x00, 0x00,        // SRC ...
           0x05, 0xB1},             // low three bits 101
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xA2, 0xFD, 0xB1));
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
  Payload({0x30,                    // mode A, SBIT=6: the held byte's top six bits are kept
           0x40, 0x00, 0x00,        // SRC ...
           0x3F},                   // low two bits 11
          false);
  EXPECT_THAT(Assembled(), ElementsAre(0xA1, 0xAA, 0xB1, 0xBF));
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

// ---- Frame assembly -----------------------------------------------------------------------

// The intra decision reads the first piece of a frame only; a piece too short for the field
// it would need is not intra.
struct Classification {
  const char* name;
  Bytes piece;
  bool intra;
};

void PrintTo(const Classification& row, std::ostream* out) { *out << row.name; }

class IntraDecision : public Assembler, public ::testing::WithParamInterface<Classification> {};

TEST_P(IntraDecision, ClassifiesTheFirstPiece) {
  const auto frame = Frame(GetParam().piece);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->keyFrame, GetParam().intra);
  EXPECT_EQ(frame->data, GetParam().piece);
}

INSTANTIATE_TEST_SUITE_P(
    FrameAssembly, IntraDecision,
    ::testing::Values(
        Classification{"PlainPictureTypeWithCodingTypeZeroIsIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x08},             // S D F, SRC 010, I=0 (intra), U
                       true},
        Classification{"PlainPictureTypeWithCodingTypeOneIsNotIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x0A},             // S D F, SRC 010, I=1 (inter), U
                       false},
        Classification{"ExtendedPictureTypeWithOptionsAndIntraCodingTypeIsIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x1C,              // S D F, SRC 111 (PLUSPTYPE), UFEP 1-2 = 00
                        0x80,              // UFEP 3 = 1: OPPTYPE follows; OPPTYPE 1-7
                        0x01,              // OPPTYPE 8-15
                        0x01},             // OPPTYPE 16-18, picture coding type 000, RPR RRU
                       true},
        Classification{"ExtendedPictureTypeWithOptionsAndInterCodingTypeIsNotIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x1C,              // SRC 111, UFEP 1-2
                        0x80,              // UFEP 3 = 1, OPPTYPE 1-7
                        0x01,              // OPPTYPE 8-15
                        0x05},             // OPPTYPE 16-18, picture coding type 001 (inter)
                       false},
        Classification{"ExtendedPictureTypeWithoutOptionsAndIntraCodingTypeIsIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x1C,              // SRC 111, UFEP 1-2 = 00
                        0x01},             // UFEP 3 = 0, picture coding type 000, RPR RRU RTYPE, 0
                       true},
        Classification{"ExtendedPictureTypeWithoutOptionsAndInterCodingTypeIsNotIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x1C,              // SRC 111, UFEP 1-2 = 00
                        0x11},             // UFEP 3 = 0, picture coding type 001 (inter)
                       false},
        Classification{"PieceWithoutPictureStartCodeIsNotIntra",
                       {0x00, 0x00, 0x84,  // a group start code (GN 1), not a picture
                        0x02,
                        0x08},
                       false},
        Classification{"FirstPieceEndingBeforeThePictureTypeIsNotIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02},             // TR 5-0, PTYPE 1-2; the rest of PTYPE is missing
                       false},
        Classification{"FirstPieceEndingBeforeTheExtendedCodingTypeIsNotIntra",
                       {0x00, 0x00, 0x80,  // PSC, TR 7-6
                        0x02,              // TR 5-0, PTYPE 1-2
                        0x1C,              // SRC 111
                        0x80,              // UFEP 3 = 1: the coding type would be in byte 7
                        0x01},             // OPPTYPE 8-15, and the piece ends
                       false}),
    [](const ::testing::TestParamInfo<Classification>& info) { return std::string(info.param.name); });

using FrameAssembly = Assembler;

TEST_F(FrameAssembly, OnlyTheFirstPieceOfAFrameIsClassified) {
  Frame({0x11, 0x22, 0x33, 0x44, 0x55}, false);
  const auto frame = Frame(Picture(support::kQcif, true));
  ASSERT_TRUE(frame.has_value());
  EXPECT_FALSE(frame->keyFrame);
}

// A one-byte payload with end bits appends nothing at first: that empty piece still starts the
// frame, as not intra, so a picture header later in the same frame is not looked at.
TEST_F(FrameAssembly, EmptyFirstPieceStartsTheFrameAsNotIntra) {
  const auto before = Frame(Picture(support::kQcif, true, 40));
  ASSERT_TRUE(before && before->keyFrame);
  Payload({0x01, 0x40, 0x00, 0x00,  // mode A, EBIT=1
           0x00},                   // the only data byte, held back whole
          false);
  Payload({0x00, 0x40, 0x00, 0x00}, false);  // header only: the held byte is forgotten
  const Bytes intraHeader{0x00, 0x00, 0x80, 0x02, 0x08};
  const auto frame = Frame(intraHeader);
  ASSERT_TRUE(frame.has_value());
  EXPECT_FALSE(frame->keyFrame);
  EXPECT_EQ(frame->data, intraHeader);
}

TEST_F(FrameAssembly, GrowsByTheLargerOfSizeAndAddition) {
  Frame(Bytes(100, 0x55), false);
  EXPECT_GE(assembler_.capacity(), 100u);
  const std::size_t first = assembler_.capacity();
  Frame(Bytes(first - 100 + 1, 0x55), false);  // one byte past the capacity
  EXPECT_EQ(assembler_.capacity(), first + first);
  Frame(Bytes(5 * first, 0x55), false);  // more than the size (first + 1)
  EXPECT_EQ(assembler_.capacity(), first + 1 + 5 * first);
  EXPECT_EQ(Assembled().size(), first + 1 + 5 * first);
}

TEST_F(FrameAssembly, KeepsItsStorageForTheNextFrame) {
  const auto big = assembler_.AddPayload(support::ModeA(Bytes(5000, 0x55)), true);
  ASSERT_TRUE(big.has_value());
  const std::size_t capacity = assembler_.capacity();
  const unsigned char* storage = big->data.data();
  const auto next = assembler_.AddPayload(support::ModeA(Bytes(3000, 0x66)), true);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(assembler_.capacity(), capacity);
  EXPECT_EQ(next->data.data(), storage);
  EXPECT_EQ(Bytes(next->data.begin(), next->data.end()), Bytes(3000, 0x66));
}

TEST_F(FrameAssembly, KeepsStorageOfExactlyTwoMebibytes) {
  Frame(Bytes(0x200000, 0x55));  // grows from nothing to exactly its size
  ASSERT_EQ(assembler_.capacity(), 0x200000u);
  Frame({0xA1}, false);
  EXPECT_EQ(assembler_.capacity(), 0x200000u);
}

TEST_F(FrameAssembly, ThreeMegabyteFrameReleasesItsStorageWhenTheNextFrameStarts) {
  const Bytes chunk(60000, 0x77);
  for (int i = 0; i < 50; ++i) Frame(chunk, false);  // 3,000,000 bytes
  Frame({}, true);
  ASSERT_GT(assembler_.capacity(), 0x200000u);
  Frame({0xA1, 0xA2, 0xA3}, false);
  EXPECT_LT(assembler_.capacity(), 0x200000u);
  Frame(Bytes(50, 0xA4), false);
  EXPECT_EQ(Assembled().size(), 53u);
  EXPECT_GE(assembler_.capacity(), 53u);
}

TEST_F(FrameAssembly, StartFrameBeginsANewFrameMidway) {
  Frame({0xA1, 0xA2}, false);
  assembler_.StartFrame();
  EXPECT_TRUE(NextPieceStartsAFrame());
}

// A marker on a frame without data (header-only packets, or one byte held for the next
// packet) ends nothing that could be handed over: no empty frame.
struct EmptyEnd {
  const char* name;
  std::vector<Bytes> before;  // payloads without marker
  Bytes last;                 // the payload with the marker
};

void PrintTo(const EmptyEnd& row, std::ostream* out) { *out << row.name; }

class MarkerWithoutData : public Assembler, public ::testing::WithParamInterface<EmptyEnd> {};

TEST_P(MarkerWithoutData, EndsNoFrameAndTheNextDataStartsOne) {
  const EmptyEnd& row = GetParam();
  const auto first = Frame(Picture(support::kQcif, true));  // a frame just returned
  ASSERT_TRUE(first.has_value());
  for (const Bytes& payload : row.before) EXPECT_FALSE(Payload(payload, false).has_value());
  EXPECT_FALSE(Payload(row.last, true).has_value());
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(NextPieceStartsAFrame());
}

INSTANTIATE_TEST_SUITE_P(
    HeaderOnly, MarkerWithoutData,
    ::testing::Values(
        EmptyEnd{"ModeA", {}, {0x00, 0x40, 0x00, 0x00}},
        EmptyEnd{"ModeB", {}, {0x80, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        EmptyEnd{"ModeC", {}, {0xC0, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        EmptyEnd{"EmptyPayload", {}, {}},
        EmptyEnd{"AfterHeaderOnlyPackets", {{0x00, 0x40, 0x00, 0x00}, {0x00, 0x40, 0x00, 0x00}},
                 {0x00, 0x40, 0x00, 0x00}},
        // The only data byte waits for the next packet; the header-only marker packet
        // forgets it.
        EmptyEnd{"AfterAHeldByte", {{0x01, 0x40, 0x00, 0x00, 0x00}}, {0x00, 0x40, 0x00, 0x00}}),
    [](const ::testing::TestParamInfo<EmptyEnd>& info) { return std::string(info.param.name); });

TEST_F(FrameAssembly, ResetForgetsTheFrameAndTheHeldByte) {
  Payload({0x03, 0x40, 0x00, 0x00,  // mode A, EBIT=3
           0xA1, 0xAF},             // 0xAF held back
          false);
  ASSERT_THAT(Assembled(), ElementsAre(0xA1));
  assembler_.Reset();
  EXPECT_THAT(Assembled(), IsEmpty());
  // SBIT=5 would take the held byte's top bits; after the reset nothing is held.
  Payload({0x28, 0x40, 0x00, 0x00, 0x07, 0xB2}, false);
  EXPECT_THAT(Assembled(), ElementsAre(0x07, 0xB2));
}

TEST_F(FrameAssembly, ResetStartsAFrameClassifiedAfresh) {
  Frame(Picture(support::kQcif, false), false);
  assembler_.Reset();
  EXPECT_TRUE(NextPieceStartsAFrame());
}

TEST_F(FrameAssembly, ResetGivesBackStorageAboveTheKeepLimit) {
  const Bytes chunk(60000, 0x77);
  for (int i = 0; i < 50; ++i) Frame(chunk, false);  // 3,000,000 bytes under assembly
  ASSERT_GT(assembler_.capacity(), 0x200000u);
  assembler_.Reset();
  EXPECT_LT(assembler_.capacity(), 0x200000u);
}

// A device that never sets the marker: the frame is dropped as it passes the limit, its
// storage given back, and the data after it assembled as a frame of its own.
TEST_F(FrameAssembly, FrameWithoutEndIsDroppedAtTheLimitAndStorageStaysBounded) {
  constexpr std::size_t kLimit = H263FrameAssembler::kMaxFrameBytes;
  const Bytes chunk(1400, 0x55);
  const std::size_t packets = 3 * kLimit / chunk.size();
  int dropped = 0;
  std::size_t largest = 0;
  for (std::size_t i = 0; i < packets; ++i) {
    const auto frame = assembler_.AddPayload(support::ModeA(chunk), false);
    largest = std::max(largest, assembler_.capacity());
    if (!frame) continue;
    EXPECT_TRUE(frame->oversized) << "packet " << i;
    EXPECT_TRUE(frame->data.empty());
    EXPECT_FALSE(frame->keyFrame);
    ++dropped;
    // Given back at once, not only when a frame ends.
    EXPECT_LT(assembler_.capacity(), 0x200000u) << "packet " << i;
  }
  EXPECT_LE(largest, kLimit);
  // 3 × the limit in chunks that do not divide it: two full frames dropped, the third short.
  EXPECT_EQ(dropped, 2);
  EXPECT_LE(Assembled().size(), kLimit);
  // The device ends its frames again: the tail ends as an ordinary frame, then pictures pass.
  const auto tail = Frame({0xA1}, true);
  ASSERT_TRUE(tail.has_value());
  EXPECT_FALSE(tail->oversized);
  EXPECT_FALSE(tail->keyFrame);
  EXPECT_TRUE(NextPieceStartsAFrame());
}

TEST_F(FrameAssembly, FrameOfExactlyTheLimitIsKept) {
  constexpr std::size_t kLimit = H263FrameAssembler::kMaxFrameBytes;
  EXPECT_FALSE(Frame(Bytes(kLimit - 1, 0x55), false).has_value());
  const auto frame = Frame({0xA1}, true);
  ASSERT_TRUE(frame.has_value());
  EXPECT_FALSE(frame->oversized);
  EXPECT_EQ(frame->data.size(), kLimit);
}

// The packet that passes the limit goes with the dropped frame, its marker too.
TEST_F(FrameAssembly, PacketPastTheLimitIsDroppedWhole) {
  constexpr std::size_t kLimit = H263FrameAssembler::kMaxFrameBytes;
  EXPECT_FALSE(Frame(Bytes(kLimit - 10, 0x55), false).has_value());
  const auto frame = Frame(Bytes(20, 0x66), true);
  ASSERT_TRUE(frame.has_value());
  EXPECT_TRUE(frame->oversized);
  EXPECT_THAT(Assembled(), IsEmpty());
  EXPECT_TRUE(NextPieceStartsAFrame());
}

}  // namespace
