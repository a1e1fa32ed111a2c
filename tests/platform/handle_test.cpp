#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "support/process_stats.h"

namespace {

using platform::Event;
using platform::Handle;
using platform::WaitResult;

TEST(Handle, DefaultHandleIsInvalidAndDuplicatesToInvalid) {
  Handle handle;
  EXPECT_FALSE(handle.Valid());
  EXPECT_FALSE(handle.Duplicate().Valid());
  EXPECT_FALSE(handle.SameObject(Handle()));
}

TEST(Handle, ObjectLivesUntilItsLastReferenceIsDropped) {
  const long before = platform::LiveWaitObjects();
  auto event = std::make_unique<Event>();
  EXPECT_EQ(platform::LiveWaitObjects(), before + 1);
  Handle copy = event->handle().Duplicate();
  Handle second = copy.Duplicate();
  event.reset();
  EXPECT_EQ(platform::LiveWaitObjects(), before + 1);
  copy.Close();
  EXPECT_EQ(platform::LiveWaitObjects(), before + 1);
  second.Close();
  EXPECT_EQ(platform::LiveWaitObjects(), before);
}

TEST(Handle, CloseInvalidatesAndASecondCloseDoesNothing) {
  Event event;
  Handle copy = event.handle().Duplicate();
  Handle other = event.handle().Duplicate();
  copy.Close();
  EXPECT_FALSE(copy.Valid());
  // A second close must not drop a reference that belongs to another handle.
  copy.Close();
  ASSERT_TRUE(other.Valid());
  event.Set();
  EXPECT_EQ(platform::Wait(other, 0), WaitResult::kSignalled);
}

TEST(Handle, MoveAssignmentDropsTheReferenceItReplaces) {
  const long before = platform::LiveWaitObjects();
  Handle target;
  Handle source;
  {
    Event first;
    Event second;
    target = first.handle().Duplicate();
    source = second.handle().Duplicate();
  }
  ASSERT_EQ(platform::LiveWaitObjects(), before + 2);
  Handle kept = source.Duplicate();
  target = std::move(source);
  EXPECT_EQ(platform::LiveWaitObjects(), before + 1);
  EXPECT_TRUE(target.SameObject(kept));
  EXPECT_FALSE(source.Valid());  // NOLINT(bugprone-use-after-move): moved-from state is defined
}

TEST(Handle, DuplicateRefersToTheSameObjectAndOutlivesTheOriginal) {
  auto event = std::make_unique<Event>();
  Handle copy = event->handle().Duplicate();
  ASSERT_TRUE(copy.Valid());
  EXPECT_TRUE(copy.SameObject(event->handle()));
  event->Set();
  event.reset();
  EXPECT_EQ(platform::Wait(copy, 0), WaitResult::kSignalled);
  // Still auto-reset: the signal was consumed through the duplicate.
  EXPECT_EQ(platform::Wait(copy, 0), WaitResult::kTimeout);
}

// Waitable objects live in process memory: a driver with many cameras holds thousands of
// them, which as descriptors would run into the usual limit of 1,024 open files.
TEST(Handle, EventsAndThreadHandlesTakeNoDescriptor) {
  const int before = testutil::OpenDescriptors::Now().count;
  ASSERT_GT(before, 0);
  {
    std::vector<std::unique_ptr<Event>> events;
    for (int i = 0; i < 1000; ++i) events.push_back(std::make_unique<Event>());
    constexpr int kThreads = 100;
    std::vector<std::unique_ptr<Event>> release;
    std::vector<platform::Thread> threads(kThreads);
    std::vector<Handle> handles;
    for (int i = 0; i < kThreads; ++i) {
      release.push_back(std::make_unique<Event>());
      Event& go = *release.back();
      ASSERT_TRUE(threads[i].Start([&go] {
        Handle self = platform::CurrentThreadHandle();
        go.Wait(5000);
      }));
      handles.push_back(threads[i].handle().Duplicate());
      handles.push_back(threads[i].handle().Duplicate());
    }
    EXPECT_EQ(testutil::OpenDescriptors::Now().count, before);
    for (auto& go : release) go->Set();
    for (auto& thread : threads) EXPECT_TRUE(thread.Join(5000));
  }
  EXPECT_EQ(testutil::OpenDescriptors::Now().count, before);
}

}  // namespace
