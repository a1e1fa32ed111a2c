#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform.h"

namespace {

using platform::Handle;
using platform::WaitResult;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int NewEventFd() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void Signal(int fd) {
  const std::uint64_t one = 1;
  ASSERT_EQ(write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
}

TEST(Handle, DefaultHandleIsInvalidAndDuplicatesToInvalid) {
  Handle handle;
  EXPECT_FALSE(handle.Valid());
  EXPECT_LT(handle.fd(), 0);
  EXPECT_FALSE(handle.Duplicate().Valid());
}

TEST(Handle, ClosesItsDescriptorOnDestruction) {
  const int fd = NewEventFd();
  ASSERT_GE(fd, 0);
  { Handle handle(fd); }
  EXPECT_FALSE(IsOpen(fd));
}

TEST(Handle, CloseInvalidatesAndASecondCloseDoesNothing) {
  const int fd = NewEventFd();
  Handle handle(fd);
  handle.Close();
  EXPECT_FALSE(handle.Valid());
  EXPECT_FALSE(IsOpen(fd));
  // A second close must not close a descriptor that now belongs to someone else.
  const int reused = NewEventFd();
  handle.Close();
  EXPECT_TRUE(IsOpen(reused));
  close(reused);
}

TEST(Handle, ReleaseGivesUpOwnership) {
  const int fd = NewEventFd();
  {
    Handle handle(fd);
    EXPECT_EQ(handle.Release(), fd);
    EXPECT_FALSE(handle.Valid());
  }
  EXPECT_TRUE(IsOpen(fd));
  close(fd);
}

TEST(Handle, MoveAssignmentClosesTheDescriptorItReplaces) {
  const int first = NewEventFd();
  const int second = NewEventFd();
  Handle target(first);
  Handle source(second);
  target = std::move(source);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_EQ(target.fd(), second);
  EXPECT_FALSE(source.Valid());  // NOLINT(bugprone-use-after-move): moved-from state is defined
}

TEST(Handle, DuplicateRefersToTheSameObjectAndOutlivesTheOriginal) {
  Handle original(NewEventFd());
  ASSERT_TRUE(original.Valid());
  Handle copy = original.Duplicate();
  ASSERT_TRUE(copy.Valid());
  EXPECT_NE(copy.fd(), original.fd());
  Signal(original.fd());
  original.Close();
  EXPECT_EQ(platform::Wait(copy.fd(), 0), WaitResult::kSignalled);
}

TEST(Handle, DuplicateIsNotInheritedByExecutedPrograms) {
  Handle original(NewEventFd());
  Handle copy = original.Duplicate();
  ASSERT_TRUE(copy.Valid());
  EXPECT_NE(fcntl(copy.fd(), F_GETFD) & FD_CLOEXEC, 0);
}

}  // namespace
