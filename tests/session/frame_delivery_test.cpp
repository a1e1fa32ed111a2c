// Frame delivery to the host: message sizes and codes, the order of the host calls, the
// key-frame gate, allocation failures and what feeds the watchdog.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "video_session_fixture.h"

namespace videotest {
namespace {

using ::testing::ElementsAre;
using Session = corvane::CBoschIPCameraInfo;

constexpr std::uint32_t kDivx = 0x58564944;
constexpr std::uint32_t kDivd = 0x44564944;
constexpr std::uint32_t kDivi = 0x49564944;
constexpr std::uint32_t kDivp = 0x50564944;
constexpr const char* kAllocFailed = "1 CVeltrane->AllocVideoMsg failed.";

using FrameDelivery = VideoSession;

// ---- Message sizes ------------------------------------------------------------------------

TEST(VideoMessageBufferSize, FrameOf5000BytesGets16384) {
  EXPECT_EQ(Session::VideoMessageBufferSize(5000), 16384);
}

TEST(VideoMessageBufferSize, FrameOf200000BytesGetsItsOwnLength) {
  EXPECT_EQ(Session::VideoMessageBufferSize(200000), 200000);
}

TEST(VideoMessageBufferSize, EachStepHoldsUpToItsOwnSize) {
  EXPECT_EQ(Session::VideoMessageBufferSize(0), 4096);
  EXPECT_EQ(Session::VideoMessageBufferSize(4096), 4096);
  EXPECT_EQ(Session::VideoMessageBufferSize(4097), 16384);
  EXPECT_EQ(Session::VideoMessageBufferSize(16384), 16384);
  EXPECT_EQ(Session::VideoMessageBufferSize(16385), 32768);
  EXPECT_EQ(Session::VideoMessageBufferSize(32768), 32768);
  EXPECT_EQ(Session::VideoMessageBufferSize(32769), 131072);
  EXPECT_EQ(Session::VideoMessageBufferSize(131072), 131072);
  EXPECT_EQ(Session::VideoMessageBufferSize(131073), 131073);
}

TEST_F(FrameDelivery, FrameOf5000BytesIsRequestedWith16384ByteBuffer) {
  Frame(Picture(kQcif, true, 5000));
  const auto requests = owner_.allocator.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].size, 16384);
  EXPECT_EQ(requests[0].owner, "CVeltrane");
}

// ---- What the host receives ---------------------------------------------------------------

TEST_F(FrameDelivery, IntraFrameArrivesWhole) {
  const Bytes picture = Picture(kQcif, true, 300);
  Frame(Bytes(picture.begin(), picture.begin() + 100), false);
  Frame(Bytes(picture.begin() + 100, picture.end()), true);
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data, picture);
  EXPECT_EQ(frames[0].channel, kChannel);
  EXPECT_TRUE(frames[0].messageWasNull);
}

TEST_F(FrameDelivery, NarrowIntraFrameIsDivxWithParsedSizeAndSizeClass2) {
  session_->width = 999;  // from the start request; the picture says otherwise
  Frame(Picture(kQcif, true));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].fourcc, kDivx);
  EXPECT_EQ(frames[0].width, 176);
  EXPECT_EQ(frames[0].height, 144);
  EXPECT_EQ(frames[0].sizeClass, 2);
  EXPECT_EQ(owner_.allocator.Requests()[0].fourcc, kDivx);
}

TEST_F(FrameDelivery, WideIntraFrameIsDivdWithSizeClass4) {
  Frame(Picture(kCif4, true));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].fourcc, kDivd);
  EXPECT_EQ(frames[0].width, 704);
  EXPECT_EQ(frames[0].height, 576);
  EXPECT_EQ(frames[0].sizeClass, 4);
}

TEST_F(FrameDelivery, NarrowNonIntraFrameIsDiviWithTheIntraFramesSize) {
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].fourcc, kDivi);
  EXPECT_EQ(frames[1].width, 176);
  EXPECT_EQ(frames[1].height, 144);
  EXPECT_EQ(frames[1].sizeClass, 2);
}

TEST_F(FrameDelivery, WideNonIntraFrameIsDivp) {
  Frame(Picture(kCif4, true));
  Frame(Picture(kCif4, false));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].fourcc, kDivp);
  EXPECT_EQ(frames[1].sizeClass, 4);
}

TEST_F(FrameDelivery, MessageIsFilledInOrderBeforeTheHostSeesIt) {
  Frame(Picture(kQcif, true, 40));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_THAT(frames[0].callsBefore,
              ElementsAre("SetWidth(176)", "SetHeight(144)", "SetSizeClass(2)",
                          "SetDataLength(40)", "GetBuffer", "SetFourCC", "Finish"));
}

TEST_F(FrameDelivery, MessageIsReleasedAndFrameCounted) {
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  EXPECT_EQ(owner_.allocator.Released(), 2);
  EXPECT_EQ(owner_.allocator.Outstanding(), 0);
  EXPECT_EQ(session_->framesDelivered.load(), 2u);
  EXPECT_TRUE(FrameEventSet());
}

TEST_F(FrameDelivery, ReceiveLockIsHeldWhileTheHostHasTheFrame) {
  std::atomic<int> otherThreadGotLock{-1};
  owner_.user.SetVideoFrameHook([&] {
    std::thread other([&] {
      const bool got = session_->receiveLock.TryLock();
      if (got) session_->receiveLock.Unlock();
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
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(owner_.allocator.Requests()[0].size, 3000000);
  EXPECT_TRUE(frames[0].data == big);
  EXPECT_EQ(frames[1].data, next);
  EXPECT_LT(session_->frameBuffer.capacity(), 0x200000u);
}

// ---- Key-frame gate -----------------------------------------------------------------------

TEST_F(FrameDelivery, NonIntraFramesBeforeTheFirstIntraFrameAreDroppedButFeedTheWatchdog) {
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(owner_.user.Frames().empty());
  EXPECT_TRUE(owner_.allocator.Requests().empty());
  EXPECT_TRUE(FrameEventSet());
  Frame(Picture(kQcif, true));
  EXPECT_EQ(owner_.user.Frames().size(), 1u);
}

TEST_F(FrameDelivery, RefusedFrameDropsNonIntraFramesUntilTheNextIntraFrame) {
  owner_.user.SetFrameResult(0);
  Frame(Picture(kQcif, true));
  owner_.user.SetFrameResult(1);
  ASSERT_TRUE(FrameEventSet());
  Frame(Picture(kQcif, false));
  Frame(Picture(kQcif, false));
  EXPECT_EQ(owner_.user.Frames().size(), 1u);
  EXPECT_TRUE(FrameEventSet());  // the dropped frames still count as alive
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].fourcc, kDivx);
  EXPECT_EQ(frames[2].fourcc, kDivi);
}

TEST_F(FrameDelivery, IntraFrameWithoutReadableSizeIsDroppedAndDoesNotFeedTheWatchdog) {
  Bytes broken = Picture(kQcif, true);
  broken[3] = 0x01;  // PTYPE bit 1 must be 1
  Frame(broken);
  EXPECT_TRUE(owner_.user.Frames().empty());
  EXPECT_FALSE(FrameEventSet());
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(owner_.user.Frames().empty());  // still waiting for an intra frame
}

TEST_F(FrameDelivery, WithoutParserNoFrameReachesTheHost) {
  session_->parseMpegHeader = nullptr;
  Frame(Picture(kQcif, true));
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(owner_.user.Frames().empty());
  EXPECT_TRUE(owner_.allocator.Requests().empty());
  EXPECT_TRUE(FrameEventSet());  // from the non-intra frame only
}

TEST_F(FrameDelivery, ParserOutputsAreCutToSixteenBits) {
  session_->parseMpegHeader = [](const unsigned char*, int, int* w, int* h) {
    *w = 0x10000 + 320;
    *h = 0x30000 + 240;
    return 1;
  };
  Frame(Picture(kQcif, true));
  const auto frames = owner_.user.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].width, 320);
  EXPECT_EQ(frames[0].height, 240);
  EXPECT_EQ(frames[0].fourcc, kDivx);
}

// ---- Host objects missing or failing ------------------------------------------------------

TEST_F(FrameDelivery, AllocationFailureLogsDropsAndWaitsForTheNextIntraFrame) {
  owner_.allocator.FailAllocations(true);
  Frame(Picture(kQcif, true));
  EXPECT_THAT(owner_.Lines(), ElementsAre(kAllocFailed));
  EXPECT_EQ(session_->allocFailureCount.load(), 1u);
  EXPECT_TRUE(FrameEventSet());
  owner_.allocator.FailAllocations(false);
  Frame(Picture(kQcif, false));
  EXPECT_TRUE(owner_.user.Frames().empty());
  Frame(Picture(kQcif, true));
  EXPECT_EQ(owner_.user.Frames().size(), 1u);
  EXPECT_EQ(session_->framesDelivered.load(), 1u);
}

TEST_F(FrameDelivery, AllocationFailuresAreLoggedThroughTheThrottle) {
  owner_.allocator.FailAllocations(true);
  for (int i = 0; i < 40; ++i) Frame(Picture(kQcif, true));
  // Occurrences 1 to 14, 16 and 32.
  EXPECT_EQ(owner_.Lines().size(), 16u);
  EXPECT_EQ(session_->allocFailureCount.load(), 40u);
}

TEST_F(FrameDelivery, WithoutCaptureUserFramesAreDroppedButFeedTheWatchdog) {
  owner_.withUser = false;
  Frame(Picture(kQcif, true));
  EXPECT_TRUE(owner_.allocator.Requests().empty());
  EXPECT_TRUE(FrameEventSet());
}

TEST_F(FrameDelivery, WithoutAllocatorFramesAreDroppedButFeedTheWatchdog) {
  owner_.withAllocator = false;
  Frame(Picture(kQcif, true));
  EXPECT_TRUE(owner_.user.Frames().empty());
  EXPECT_TRUE(FrameEventSet());
}

TEST_F(FrameDelivery, InactiveSessionDeliversNothingAndDoesNotFeedTheWatchdog) {
  session_->active = false;
  Frame(Picture(kQcif, true));
  EXPECT_TRUE(owner_.allocator.Requests().empty());
  EXPECT_FALSE(FrameEventSet());
  EXPECT_TRUE(session_->frameStart.load());
}

}  // namespace
}  // namespace videotest
