// An Open that fails after it has made the camera sessions leaves none of them, and none of
// their threads, behind.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "allocation_failure.h"
#include "digitalio/bosch_digital_io.h"
#include "driver/veltrane.h"
#include "platform/eventually.h"
#include "session/bosch_ip_camera_info.h"
#include "support/fake_host.h"
#include "support/process_stats.h"
#include "support/settings_test_files.h"

namespace corvane {
namespace {

// The failure is aimed at the digital I/O object by its size, the sessions are counted by
// theirs: the two must differ.
static_assert(sizeof(CBoschDigitalIO) != sizeof(CBoschIPCameraInfo));

TEST(FailedOpen, LeavesNoSessionOrThreadBehindAndTheNextOpenWorks) {
  // Runtimes (sanitizers) start helper threads with the process's first thread.
  std::thread([] {}).join();
  const int baseline = testutil::ThreadCount();
  fakes::FakeCaptureUser user;
  TestSettingsFile file(UniqueStem("openfail"),
                        "<?xml version=\"1.0\"?>\n<bosch><cameraCount value=\"3\"/>"
                        "<framerate><max value=\"25\"/></framerate>"
                        "<io><input value=\"2\"/></io></bosch>\n");
  CVeltrane driver;
  driver.SetCaptureUser(&user);
  driver.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
  driver.SetProperty("IPSERVERTYPE", file.stem().c_str(), 0);

  // The digital I/O object comes after the sessions.
  testalloc::FailFirstAllocationOfSize(sizeof(CBoschDigitalIO), sizeof(CBoschIPCameraInfo));
  const int opened = driver.Open(nullptr);
  testalloc::Disarm();
  ASSERT_TRUE(testalloc::FailureStruck());
  EXPECT_EQ(testalloc::CountedAllocations(), 3);
  EXPECT_EQ(opened, 0);
  EXPECT_FALSE(driver.opened());
  EXPECT_TRUE(user.HasLine("CVeltrane::Open() -> std::bad_alloc"));
  for (int channel = 0; channel < 3; ++channel)
    EXPECT_EQ(driver.cameraSession(channel), nullptr) << channel;
  EXPECT_TRUE(testutil::Eventually([&] { return testutil::ThreadCount() <= baseline; },
                                   std::chrono::milliseconds(3000)))
      << testutil::ThreadCount() << " threads, " << baseline << " before";

  ASSERT_EQ(driver.Open(nullptr), 1);
  EXPECT_NE(driver.cameraSession(2), nullptr);
  void* io = nullptr;
  EXPECT_EQ(driver.GetProperty("ICaptureIOApi", &io, sizeof io), 1);
  EXPECT_NE(io, nullptr);
  EXPECT_EQ(driver.Close(), 1);
}

}  // namespace
}  // namespace corvane
