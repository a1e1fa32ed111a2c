// A running channel stopped and started again with other settings, and a video connection
// that breaks in the middle of a picture, through the older interface with the real driver,
// the RCP+ library and the simulated device on loopback. Every delivered frame is checked
// against its own picture header.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_sim.h"
#include "e2e_support.h"
#include "driver/veltrane.h"
#include "h263_clip.h"
#include "platform/eventually.h"
#include "platform/platform.h"
#include "session/stream_settings.h"
#include "support/fake_host.h"
#include "support/h263_picture_size.h"
#include "support/settings_test_files.h"

namespace e2e {
namespace {

using std::chrono::milliseconds;
using testutil::Eventually;
using Frame = fakes::FakeCaptureUser::Frame;

constexpr int kTimeoutMs = 400;
constexpr std::uint32_t kCmdConnectVideo = 0xFF0C0C31;
constexpr milliseconds kStepDeadline{10000};
constexpr std::uint32_t kDivx = 0x58564944;


// What a start asks for and what the device then holds.
struct Request {
  int resolutionCode;
  int frameIntervalMs;
  int width;
  int height;
  std::uint32_t deviceResolution;  // the resolution value written to the device
  std::uint32_t deviceRateA;       // frame-rate value A written to the device
};
constexpr Request kCif40{2, 40, 352, 288, 1, 1};
constexpr Request kCif4At120{4, 120, 704, 576, 3, 3};

// Every frame is labelled with its own picture's size and type. Returns how many were checked.
std::size_t ExpectFramesLabelledByTheirPictures(const std::vector<Frame>& frames) {
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    EXPECT_EQ(support::FrameLabelProblem(f.data, f.width, f.height, f.fourcc, f.sizeClass), "")
        << "frame " << i;
  }
  return frames.size();
}

// One simulated camera and a driver opened on it, with the host's fakes.
class RestartOnDevice : public ::testing::Test {
 protected:
  RestartOnDevice()
      : device_(Options()), file_(UniqueStem("restart"), VideoDeviceTypeXml(kTimeoutMs)) {}

  void SetUp() override {
    ASSERT_TRUE(device_.Start()) << device_.LastError();
    AttachDriver(driver_, user_, allocator_, file_.stem(), device_.port());
    ASSERT_EQ(driver_.Open(nullptr), 1);
  }
  void TearDown() override { driver_.Close(); }

  static devicesim::DeviceSimOptions Options() { return OneCameraOptions(); }

  int Connects() const {
    int count = 0;
    for (const auto& r : device_.Requests()) count += r.commandWord == kCmdConnectVideo ? 1 : 0;
    return count;
  }

  // A new connection since `connectsBefore` carries the request's settings, and a frame of
  // the requested size has arrived after `framesBefore`.
  bool Reached(const Request& request, int connectsBefore, std::size_t framesBefore) const {
    if (Connects() <= connectsBefore) return false;
    if (device_.AppliedSetting(1, corvane::kCmdResolution) != request.deviceResolution ||
        device_.AppliedSetting(1, corvane::kCmdFrameRateA) != request.deviceRateA)
      return false;
    const auto frames = user_.Frames();
    for (std::size_t i = framesBefore; i < frames.size(); ++i)
      if (frames[i].width == request.width && frames[i].height == request.height) return true;
    return false;
  }

  bool Start(const Request& request) {
    return driver_.StartChannel(0, request.frameIntervalMs, request.resolutionCode, 50) == 1;
  }

  fakes::FakeCaptureUser user_;
  fakes::FakeAllocator allocator_;
  devicesim::DeviceSim device_;
  TestSettingsFile file_;
  corvane::CVeltrane driver_;
};

// Stop and start again at once, as a host changing the resolution does: each time the device
// gets the new settings on a new connection, and no frame is labelled with a size that is
// not its picture's. No lost video is reported for the host's own requests.
TEST_F(RestartOnDevice, StopAndStartWithNewSettingsReachesTheDeviceAndLabelsFramesByTheirPictures) {
  ASSERT_TRUE(Start(kCif40));
  ASSERT_TRUE(Eventually([&] { return Reached(kCif40, 0, 0); }, kStepDeadline));
  constexpr int kRestarts = 20;
  for (int i = 0; i < kRestarts; ++i) {
    const Request& next = i % 2 == 0 ? kCif4At120 : kCif40;
    const int connects = Connects();
    const std::size_t frames = user_.Frames().size();
    ASSERT_EQ(driver_.StopChannel(0), 1);
    ASSERT_TRUE(Start(next));
    ASSERT_TRUE(Eventually([&] { return Reached(next, connects, frames); }, kStepDeadline))
        << "restart " << i << ": " << Connects() - connects << " new connections, resolution "
        << device_.AppliedSetting(1, corvane::kCmdResolution);
  }
  EXPECT_GT(ExpectFramesLabelledByTheirPictures(user_.Frames()), std::size_t{kRestarts});
  EXPECT_TRUE(user_.LostChannels().empty());
}

// The video connection breaks in the middle of a picture. After the reconnect the first frame
// is a whole intra picture of the clip, not the cut-off part glued to it.
TEST_F(RestartOnDevice, FirstFrameAfterAReconnectIsAWholeIntraPicture) {
  devicesim::H263Clip clip;
  std::string error;
  ASSERT_TRUE(clip.Load(platform::ExecutableFolder() + "clips/cif.263", error)) << error;
  auto isClipPicture = [&](const std::vector<unsigned char>& data) {
    for (std::size_t i = 0; i < clip.pictureCount(); ++i) {
      const auto picture = clip.Picture(i);
      if (data.size() == picture.size() && std::equal(data.begin(), data.end(), picture.begin()))
        return true;
    }
    return false;
  };

  ASSERT_TRUE(Start(kCif40));
  ASSERT_TRUE(user_.WaitForFrames(10, static_cast<int>(kStepDeadline.count())));
  const int connects = Connects();
  device_.CutPictureAndCloseVideo(1);
  // The watchdog notices the silence and connects anew; by then the old connection is gone
  // and everything it brought has been delivered.
  ASSERT_TRUE(device_.WaitForRequests(kCmdConnectVideo, connects + 1, kTimeoutMs + 3000 + 5000));
  const std::size_t before = user_.Frames().size();
  ASSERT_TRUE(user_.WaitForFrames(before + 1, static_cast<int>(kStepDeadline.count())));
  const Frame first = user_.Frames()[before];
  const auto picture = support::ReadH263PictureInfo(first.data);
  ASSERT_TRUE(picture.has_value()) << first.data.size() << " bytes without a picture start";
  EXPECT_TRUE(picture->intra);
  EXPECT_EQ(first.fourcc, kDivx);
  EXPECT_TRUE(isClipPicture(first.data)) << first.data.size() << " bytes";
  for (const Frame& frame : user_.Frames()) EXPECT_TRUE(isClipPicture(frame.data));
}

}  // namespace
}  // namespace e2e
