// Frame delivery to the host: message sizes and codes, the order of the host calls, the
// key-frame gate, allocation failures and what feeds the watchdog.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "session_fixture.h"

namespace sessiontest {
namespace {

using ::testing::ElementsAre;
using support::kCif4;
using support::kQcif;
using support::Picture;

constexpr std::uint32_t kDivx = 0x58564944;
constexpr std::uint32_t kDivd = 0x44564944;
constexpr std::uint32_t kDivi = 0x49564944;
constexpr std::uint32_t kDivp = 0x50564944;
constexpr const char* kAllocFailed = "1 CVeltrane->AllocVideoMsg failed.";

using FrameDelivery = VideoSession;

// ---- Message sizes ------------------------------------------------------------------------

// Each step holds up to its own size; a 5000-byte frame gets 16384, a 200000-byte frame its
// own length.
TEST(VideoMessageBufferSize, StepsAndLargerFrames) {
  const struct {
    std::int32_t length;
    std::int32_t size;
  } rows[] = {{0, 4096},       {4096, 4096},     {4097, 16384},  {5000, 16384},
              {16384, 16384},  {16385, 32768},   {32768, 32768}, {32769, 131072},
              {131072, 131072}, {131073, 131073}, {200000, 200000}};
  for (const auto& row : rows)
    EXPECT_EQ(Peer::VideoMessageBufferSize(row.length), row.size) << row.length << " bytes";
}

TEST_F(FrameDelivery, FrameOf5000BytesIsRequestedWith16384ByteBuffer) {
  Frame(Picture(kQcif, true, 5000));
  const auto requests = allocator_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].size, 16384);
  EXPECT_EQ(requests[0].owner, "CVeltrane");
}

// ---- What the host receives ---------------------------------------------------------------

TEST_F(FrameDelivery, IntraFrameArrivesWhole) {
  const Bytes picture = Picture(kQcif, true, 300);
  Frame(Bytes(picture.begin(), picture.begin() + 100), false);
  Frame(Bytes(picture.begin() + 100, picture.end()), true);
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data, picture);
  EXPECT_EQ(frames[0].channel, kChannel);
  EXPECT_TRUE(frames[0].messageWasNull);
}

TEST_F(FrameDelivery, NarrowIntraFrameIsDivxWithParsedSizeAndSizeClass2) {
  Peer::FrameWidth(*session_) = 999;  // from the start request; the picture says otherwise
  Frame(Picture(kQcif, true));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].fourcc, kDivx);
  EXPECT_EQ(frames[0].width, 176);
  EXPECT_EQ(frames[0].height, 144);
  EXPECT_EQ(frames[0].sizeClass, 2);
  EXPECT_EQ(allocator_.Requests()[0].fourcc, kDivx);
}

TEST_F(FrameDelivery, WideIntraFrameIsDivdWithSizeClass4) {
  Frame(Picture(kCif4, true));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].fourcc, kDivd);
  EXPECT_EQ(frames[0].width, 704);
  EXPECT_EQ(frames[0].height, 576);
  EXPECT_EQ(frames[0].sizeClass, 4);
}

TEST_F(FrameDelivery, NarrowNonIntraFrameIsDiviWithTheIntraFramesSize) {
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].fourcc, kDivi);
  EXPECT_EQ(frames[1].width, 176);
  EXPECT_EQ(frames[1].height, 144);
  EXPECT_EQ(frames[1].sizeClass, 2);
}

TEST_F(FrameDelivery, WideNonIntraFrameIsDivp) {
  Frame(Picture(kCif4, true));
  Frame(Picture(kCif4, false));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].fourcc, kDivp);
  EXPECT_EQ(frames[1].sizeClass, 4);
}

TEST_F(FrameDelivery, MessageIsFilledInOrderBeforeTheHostSeesIt) {
  Frame(Picture(kQcif, true, 40));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_THAT(frames[0].callsBefore,
              ElementsAre("SetWidth(176)", "SetHeight(144)", "SetSizeClass(2)",
                          "SetDataLength(40)", "GetBuffer", "SetFourCC", "Finish"));
}

TEST_F(FrameDelivery, MessageIsReleasedAndFrameCounted) {
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  EXPECT_EQ(allocator_.Released(), 2);
  EXPECT_EQ(allocator_.Outstanding(), 0);
  EXPECT_EQ(session_->framesDelivered.load(), 2u);
  EXPECT_TRUE(FedTheWatchdog());
}

TEST_F(FrameDelivery, ReceiveLockIsHeldWhileTheHostHasTheFrame) {
  std::atomic<int> otherThreadGotLock{-1};
  user_.SetVideoFrameHook([&] {
    std::thread other([&] {
      const bool got = Peer::ReceiveLock(*session_).TryLock();
      if (got) Peer::ReceiveLock(*session_).Unlock();
      otherThreadGotLock = got ? 1 : 0;
    });
    other.join();
  });
  Frame(Picture(kQcif, true));
  EXPECT_EQ(otherThreadGotLock.load(), 0);
}

TEST_F(FrameDelivery, ThreeMegabyteFrameGetsExactBufferAndNextFrameFollows) {
  Bytes big = Picture(kQcif, true, 3000000);
  for (std::size_t offset = 0; offset < big.size(); offset += 60000) {
    const std::size_t end = std::min(big.size(), offset + 60000);
    Frame(Bytes(big.begin() + static_cast<long>(offset), big.begin() + static_cast<long>(end)),
          end == big.size());
  }
  const Bytes next = Picture(kQcif, false, 700);
  Frame(next);
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(allocator_.Requests()[0].size, 3000000);
  EXPECT_TRUE(frames[0].data == big);
  EXPECT_EQ(frames[1].data, next);
  EXPECT_LT(Peer::Assembler(*session_).capacity(), 0x200000u);
}

// ---- Key-frame gate -----------------------------------------------------------------------

TEST_F(FrameDelivery, NonIntraFramesBeforeTheFirstIntraFrameAreDroppedButFeedTheWatchdog) {
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(user_.Frames().empty());
  EXPECT_TRUE(allocator_.Requests().empty());
  EXPECT_TRUE(FedTheWatchdog());
  Frame(Picture(kQcif, true));
  EXPECT_EQ(user_.Frames().size(), 1u);
}

TEST_F(FrameDelivery, RefusedFrameDropsNonIntraFramesUntilTheNextIntraFrame) {
  user_.SetFrameResult(0);
  Frame(Picture(kQcif, true));
  user_.SetFrameResult(1);
  ASSERT_TRUE(FedTheWatchdog());
  Frame(Picture(kQcif, false));
  Frame(Picture(kQcif, false));
  EXPECT_EQ(user_.Frames().size(), 1u);
  EXPECT_TRUE(FedTheWatchdog());  // the dropped frames still count as alive
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].fourcc, kDivx);
  EXPECT_EQ(frames[2].fourcc, kDivi);
}

TEST_F(FrameDelivery, IntraFrameWithoutReadableSizeIsDroppedAndDoesNotFeedTheWatchdog) {
  Bytes broken = Picture(kQcif, true);
  broken[3] = 0x01;  // PTYPE bit 1 must be 1
  Frame(broken);
  EXPECT_TRUE(user_.Frames().empty());
  EXPECT_FALSE(FedTheWatchdog());
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(user_.Frames().empty());  // still waiting for an intra frame
}

TEST_F(FrameDelivery, WithoutParserNoFrameReachesTheHost) {
  Peer::ParseMpegHeader(*session_) = nullptr;
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(user_.Frames().empty());
  EXPECT_TRUE(allocator_.Requests().empty());
  EXPECT_TRUE(FedTheWatchdog());  // from the non-intra frame only
}

TEST_F(FrameDelivery, ParserOutputsAreCutToSixteenBits) {
  Peer::ParseMpegHeader(*session_) = [](const unsigned char*, int, int* w, int* h) {
    *w = 0x10000 + 320;
    *h = 0x30000 + 240;
    return 1;
  };
  Frame(Picture(kQcif, true));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].width, 320);
  EXPECT_EQ(frames[0].height, 240);
  EXPECT_EQ(frames[0].fourcc, kDivx);
}

// A header-only packet with the marker ends a frame without data: nothing goes to the host,
// and the gate stays as it was.
class HeaderOnlyEnd : public FrameDelivery, public ::testing::WithParamInterface<bool> {};

TEST_P(HeaderOnlyEnd, DeliversNoEmptyFrame) {
  const bool afterIntra = GetParam();
  Frame(Picture(kQcif, true));
  if (!afterIntra) Frame(Picture(kQcif, false));
  const std::size_t before = user_.Frames().size();
  Packet(support::RtpPacket(support::ModeA({}), true));
  EXPECT_EQ(user_.Frames().size(), before);
  EXPECT_EQ(allocator_.Requests().size(), before);
  const Bytes next = Picture(kQcif, false, 50);
  Frame(next);
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), before + 1);
  EXPECT_EQ(frames.back().data, next);
  for (const auto& frame : frames) EXPECT_FALSE(frame.data.empty());
}

INSTANTIATE_TEST_SUITE_P(AfterAFrame, HeaderOnlyEnd, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Intra" : "NonIntra");
                         });

// A device that never sets the marker bit: the frame is dropped as it passes the limit and
// its storage given back, however long the stream runs; the gate then waits for an intra
// frame, and video resumes with it once the device ends its frames again.
TEST_F(FrameDelivery, FrameWithoutEndStaysBoundedAndVideoResumesAtTheNextIntraFrame) {
  constexpr std::size_t kBound = 8 * 1024 * 1024;
  constexpr std::size_t kStreamed = 20 * 1024 * 1024;  // two and a half times the bound
  Frame(Picture(kQcif, true));
  ASSERT_EQ(user_.Frames().size(), 1u);
  Frame(Picture(kQcif, false, 1400), false);
  const Bytes chunk(1400, 0x55);
  std::size_t largest = 0;
  for (std::size_t sent = 1400; sent < kStreamed; sent += chunk.size()) {
    Frame(chunk, false);
    largest = std::max(largest, Peer::Assembler(*session_).capacity());
  }
  EXPECT_LE(largest, kBound);
  EXPECT_EQ(owner_.CountLinesContaining("without an end"), 2);
  // What is left of the endless frame ends now; it begins mid-picture and is held back.
  Frame({0xA1});
  EXPECT_EQ(user_.Frames().size(), 1u);
  const Bytes intra = Picture(kQcif, true, 900);
  Frame(intra);
  Frame(Picture(kQcif, false, 600));
  const auto frames = user_.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].data, intra);
  EXPECT_EQ(frames[1].fourcc, kDivx);
  EXPECT_EQ(frames[2].fourcc, kDivi);
  EXPECT_LT(Peer::Assembler(*session_).capacity(), 0x200000u);
}

// ---- Host objects missing or failing ------------------------------------------------------

TEST_F(FrameDelivery, AllocationFailureLogsDropsAndWaitsForTheNextIntraFrame) {
  allocator_.FailAllocations(true);
  Frame(Picture(kQcif, true));
  EXPECT_THAT(owner_.TextsWithLevel(), ElementsAre(kAllocFailed));
  EXPECT_EQ(Peer::AllocFailureCount(*session_).load(), 1u);
  EXPECT_TRUE(FedTheWatchdog());
  allocator_.FailAllocations(false);
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(user_.Frames().empty());
  Frame(Picture(kQcif, true));
  EXPECT_EQ(user_.Frames().size(), 1u);
  EXPECT_EQ(session_->framesDelivered.load(), 1u);
}

TEST_F(FrameDelivery, AllocationFailuresAreLoggedThroughTheThrottle) {
  allocator_.FailAllocations(true);
  for (int i = 0; i < 40; ++i) Frame(Picture(kQcif, true));
  // Occurrences 1 to 14, 16 and 32.
  EXPECT_EQ(owner_.Texts().size(), 16u);
  EXPECT_EQ(Peer::AllocFailureCount(*session_).load(), 40u);
}

TEST_F(FrameDelivery, WithoutCaptureUserFramesAreDroppedButFeedTheWatchdog) {
  owner_.SetHost(nullptr, &allocator_);
  Frame(Picture(kQcif, true));
  EXPECT_TRUE(allocator_.Requests().empty());
  EXPECT_TRUE(FedTheWatchdog());
}

TEST_F(FrameDelivery, WithoutAllocatorFramesAreDroppedButFeedTheWatchdog) {
  owner_.SetHost(&user_, nullptr);
  Frame(Picture(kQcif, true));
  EXPECT_TRUE(user_.Frames().empty());
  EXPECT_TRUE(FedTheWatchdog());
}

TEST_F(FrameDelivery, InactiveSessionDeliversNothingAndDoesNotFeedTheWatchdog) {
  Peer::Active(*session_) = false;
  Frame(Picture(kQcif, true));
  EXPECT_TRUE(allocator_.Requests().empty());
  EXPECT_FALSE(FedTheWatchdog());
  EXPECT_TRUE(Peer::Assembler(*session_).pending().empty());  // the frame ended all the same
}

}  // namespace
}  // namespace sessiontest
