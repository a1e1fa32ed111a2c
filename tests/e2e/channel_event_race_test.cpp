// A session's video event and the host's StopChannel on two threads: the event either comes
// before the stop or finds the channel stopped, never half of each. The device never answers
// coder discovery, so the sessions themselves report nothing; the test plays the events.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "e2e_support.h"
#include "session/bosch_ip_camera_info.h"

namespace e2e {
namespace {

// Pins the calling thread to one processor; false where that is not allowed.
bool PinTo(int cpu, cpu_set_t* previous) {
  if (previous && pthread_getaffinity_np(pthread_self(), sizeof *previous, previous) != 0)
    return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}

TEST(ChannelEventRace, StoppedChannelStaysStoppedWhileVideoEventsArrive) {
  DriverOnDevice fixture("event_race", 1, 2000);
  fixture.device().DropReplies(kCmdCoderList, true);
  ASSERT_TRUE(fixture.Open());
  corvane::CVeltrane& driver = fixture.driver();
  corvane::CBoschIPCameraInfo* session = driver.cameraSession(0);
  ASSERT_NE(session, nullptr);

  // On one processor the reporting thread is preempted at arbitrary points of its event,
  // and the stop runs in such a gap.
  const int cpu = sched_getcpu();
  cpu_set_t previous;
  const bool pinned = cpu >= 0 && PinTo(cpu, &previous);
  std::atomic<bool> done{false};
  std::atomic<long> events{0};
  std::thread reporter([&] {
    if (pinned) PinTo(cpu, nullptr);
    while (!done) {
      driver.OnChannelEvent(session, corvane::kChannelEventVideo);
      ++events;
    }
  });

  int stoppedButNotStopped = 0;
  for (int round = 0; round < 300 && stoppedButNotStopped == 0; ++round) {
    ASSERT_EQ(driver.StartChannel(0, 1000, 2, 50), 1);
    const long before = events.load();
    while (events.load() < before + 50) std::this_thread::yield();
    ASSERT_EQ(driver.StopChannel(0), 1);
    // Let the reporter finish whatever event it was in.
    const long after = events.load();
    while (events.load() < after + 50) std::this_thread::yield();
    int event = -1;
    if (fixture.Poll(0, &event) != ChannelStopped) ++stoppedButNotStopped;
  }
  done = true;
  reporter.join();
  if (pinned) pthread_setaffinity_np(pthread_self(), sizeof previous, &previous);
  EXPECT_EQ(stoppedButNotStopped, 0);
}

}  // namespace
}  // namespace e2e
