// Frame assembly: the intra decision on a frame's first piece, and the frame buffer's growth,
// reuse and release.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "video_session_fixture.h"

namespace videotest {
namespace {

using FrameAssembly = VideoSession;

// Appends one piece; a heap copy of exactly its size, so that a read past it is caught.
void Append(corvane::CBoschIPCameraInfo& session, const Bytes& piece) {
  auto copy = std::make_unique<unsigned char[]>(piece.size());
  std::copy(piece.begin(), piece.end(), copy.get());
  session.AppendFrameData(copy.get(), static_cast<int>(piece.size()));
}

TEST_F(FrameAssembly, PlainPictureTypeWithCodingTypeZeroIsIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x08});            // S D F, SRC 010, I=0 (intra), U
  EXPECT_TRUE(session_->keyFrame);
}

TEST_F(FrameAssembly, PlainPictureTypeWithCodingTypeOneIsNotIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x0A});            // S D F, SRC 010, I=1 (inter), U
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, ExtendedPictureTypeWithOptionsAndIntraCodingTypeIsIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x1C,              // S D F, SRC 111 (PLUSPTYPE), UFEP 1-2 = 00
                     0x80,              // UFEP 3 = 1: OPPTYPE follows; OPPTYPE 1-7
                     0x01,              // OPPTYPE 8-15
                     0x01});            // OPPTYPE 16-18, picture coding type 000, RPR RRU
  EXPECT_TRUE(session_->keyFrame);
}

TEST_F(FrameAssembly, ExtendedPictureTypeWithOptionsAndInterCodingTypeIsNotIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x1C,              // SRC 111, UFEP 1-2
                     0x80,              // UFEP 3 = 1, OPPTYPE 1-7
                     0x01,              // OPPTYPE 8-15
                     0x05});            // OPPTYPE 16-18, picture coding type 001 (inter)
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, ExtendedPictureTypeWithoutOptionsAndIntraCodingTypeIsIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x1C,              // SRC 111, UFEP 1-2 = 00
                     0x01});            // UFEP 3 = 0, picture coding type 000, RPR RRU RTYPE, 0
  EXPECT_TRUE(session_->keyFrame);
}

TEST_F(FrameAssembly, ExtendedPictureTypeWithoutOptionsAndInterCodingTypeIsNotIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x1C,              // SRC 111, UFEP 1-2 = 00
                     0x11});            // UFEP 3 = 0, picture coding type 001 (inter)
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, PieceWithoutPictureStartCodeIsNotIntra) {
  Append(*session_, {0x00, 0x00, 0x84,  // a group start code (GN 1), not a picture
                     0x02,
                     0x08});
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, FirstPieceEndingBeforeThePictureTypeIsNotIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02});            // TR 5-0, PTYPE 1-2; the rest of PTYPE is missing
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, FirstPieceEndingBeforeTheExtendedCodingTypeIsNotIntra) {
  Append(*session_, {0x00, 0x00, 0x80,  // PSC, TR 7-6
                     0x02,              // TR 5-0, PTYPE 1-2
                     0x1C,              // SRC 111
                     0x80,              // UFEP 3 = 1: the coding type would be in byte 7
                     0x01});            // OPPTYPE 8-15, and the piece ends
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, OnlyTheFirstPieceOfAFrameIsClassified) {
  Append(*session_, {0x11, 0x22, 0x33, 0x44, 0x55});
  Append(*session_, Picture(kQcif, true));
  EXPECT_FALSE(session_->keyFrame);
}

TEST_F(FrameAssembly, EmptyFirstPieceStartsTheFrameAsNotIntra) {
  session_->keyFrame = true;
  session_->frameBuffer = {1, 2, 3};
  session_->AppendFrameData(nullptr, 0);
  EXPECT_FALSE(session_->keyFrame);
  EXPECT_FALSE(session_->frameStart.load());
  EXPECT_TRUE(session_->frameBuffer.empty());
}

TEST_F(FrameAssembly, GrowsByTheLargerOfSizeAndAddition) {
  Append(*session_, Bytes(100, 0x55));
  EXPECT_GE(session_->frameBuffer.capacity(), 100u);
  const std::size_t first = session_->frameBuffer.capacity();
  Append(*session_, Bytes(first - 100 + 1, 0x55));  // one byte past the capacity
  EXPECT_EQ(session_->frameBuffer.capacity(), first + first);
  Append(*session_, Bytes(5 * first, 0x55));  // more than the size (first + 1)
  EXPECT_EQ(session_->frameBuffer.capacity(), first + 1 + 5 * first);
  EXPECT_EQ(session_->frameBuffer.size(), first + 1 + 5 * first);
}

TEST_F(FrameAssembly, KeepsItsStorageForTheNextFrame) {
  Frame(Bytes(5000, 0x55), true);
  const std::size_t capacity = session_->frameBuffer.capacity();
  const unsigned char* storage = session_->frameBuffer.data();
  Frame(Bytes(3000, 0x66), false);
  EXPECT_EQ(session_->frameBuffer.capacity(), capacity);
  EXPECT_EQ(session_->frameBuffer.data(), storage);
  EXPECT_EQ(session_->frameBuffer, Bytes(3000, 0x66));
}

TEST_F(FrameAssembly, KeepsStorageOfExactlyTwoMebibytes) {
  session_->frameBuffer.reserve(0x200000);
  ASSERT_EQ(session_->frameBuffer.capacity(), 0x200000u);
  Frame({0xA1}, false);
  EXPECT_EQ(session_->frameBuffer.capacity(), 0x200000u);
}

TEST_F(FrameAssembly, ThreeMegabyteFrameReleasesItsStorageWhenTheNextFrameStarts) {
  const Bytes chunk(60000, 0x77);
  for (int i = 0; i < 50; ++i) Frame(chunk, false);  // 3,000,000 bytes
  Frame({}, true);
  ASSERT_GT(session_->frameBuffer.capacity(), 0x200000u);
  Frame({0xA1, 0xA2, 0xA3}, false);
  EXPECT_LT(session_->frameBuffer.capacity(), 0x200000u);
  Frame(Bytes(50, 0xA4), false);
  EXPECT_EQ(session_->frameBuffer.size(), 53u);
  EXPECT_GE(session_->frameBuffer.capacity(), 53u);
}

}  // namespace
}  // namespace videotest
