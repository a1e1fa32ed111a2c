// What the simulator reports of its own video: the timing figures per camera and the stats
// file that scripts compare with what a host received.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "video_client.h"

namespace devicesim::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Streams camera 2 to a client that reads count pictures, then stops the device so that its
// counters hold still.
std::unique_ptr<DeviceSim> StreamAndStop(int count) {
  auto sim = StartSim();
  VideoClient client(*sim);
  EXPECT_TRUE(client.OpenVideo(2));
  for (int i = 0; i < count; ++i) EXPECT_TRUE(client.NextPicture().has_value()) << i;
  // The sender counts a picture after its last packet has left, so the client may be ahead.
  const auto deadline = Clock::now() + std::chrono::milliseconds(kArrivalMs);
  while (sim->Timing(2).pictures < static_cast<std::uint64_t>(count) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sim->Stop();
  return sim;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(DeviceSimVideoTiming, CountsEveryPictureSentToAReadingClientAndNoneRefused) {
  const auto sim = StreamAndStop(4);
  const VideoTiming camera2 = sim->Timing(2);
  EXPECT_GE(camera2.pictures, 4u);
  EXPECT_EQ(camera2.pictures, sim->PicturesSent(2));
  EXPECT_EQ(camera2.refused, 0u);
  EXPECT_EQ(camera2.skipped, 0u);
  EXPECT_GE(camera2.maxLateUs, 0);
  EXPECT_EQ(sim->Timing(1).pictures, 0u);
  EXPECT_EQ(sim->Timing(0).pictures, sim->PicturesSent(0));
}

TEST(DeviceSimVideoTiming, CameraOutsideTheDeviceHasNoFigures) {
  const auto sim = StreamAndStop(1);
  EXPECT_EQ(sim->Timing(-1).pictures, 0u);
  EXPECT_EQ(sim->Timing(1000).pictures, 0u);
}

TEST(DeviceSimVideoStats, FileHasAHeaderThenOneLinePerCameraWithItsCounts) {
  const auto sim = StreamAndStop(3);
  char pattern[] = "/tmp/devicesim-stats-XXXXXX";
  const int fd = ::mkstemp(pattern);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const std::string path = pattern;
  ASSERT_TRUE(sim->WriteVideoStats(path));
  const std::vector<std::string> lines = Lines(path);
  ::unlink(path.c_str());

  ASSERT_EQ(lines.size(), 3u);  // header, cameras 1 and 2
  EXPECT_EQ(lines[0], "# camera pictures packets refused skipped late max_late_ms");
  for (int camera = 1; camera <= 2; ++camera) {
    std::istringstream line(lines[static_cast<std::size_t>(camera)]);
    int number = 0;
    unsigned long long pictures = 0, packets = 0, refused = 0, skipped = 0, late = 0;
    double maxLateMs = -1;
    line >> number >> pictures >> packets >> refused >> skipped >> late >> maxLateMs;
    ASSERT_FALSE(line.fail()) << lines[static_cast<std::size_t>(camera)];
    EXPECT_EQ(number, camera);
    EXPECT_EQ(pictures, sim->PicturesSent(camera));
    EXPECT_EQ(packets, sim->PacketsSent(camera));
    EXPECT_EQ(refused, sim->Timing(camera).refused);
    EXPECT_GE(maxLateMs, 0);
  }
  EXPECT_GE(sim->PicturesSent(2), 3u);
}

TEST(DeviceSimVideoStats, UnwritablePathFails) {
  const auto sim = StreamAndStop(1);
  EXPECT_FALSE(sim->WriteVideoStats("/nonexistent-folder-of-the-test/stats.txt"));
}

}  // namespace
}  // namespace devicesim::testing
