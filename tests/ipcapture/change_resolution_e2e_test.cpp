// ChangeResolution of the newer interface while video flows, with the real driver, the RCP+
// library and the simulated device on loopback: each change reaches the device on a new
// connection, and every frame the host gets is labelled with its own picture's size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_sim.h"
#include "ipcapture_test_files.h"
#include "platform/eventually.h"
#include "session/stream_settings.h"
#include "support/fake_host.h"
#include "support/fake_ipcapture_host.h"
#include "support/h263_picture_size.h"
#include "support/settings_test_files.h"
#include "veltrane/ipcapture.h"
#include "veltrane/veltrane.h"

namespace {

using corvane::ipcapture::IIPCaptureDriver;
using namespace std::chrono_literals;

constexpr std::uint32_t kCmdConnectVideo = 0xFF0C0C31;
constexpr auto kStepDeadline = 10s;

// Keeps a copy of every frame: the message is the host's only during the call.
class RecordingChannel final : public corvane::ipcapture::IHostChannelCallback {
 public:
  struct Frame {
    std::vector<std::uint8_t> data;
    std::int32_t width;
    std::int32_t height;
    std::uint32_t fourcc;
    std::int32_t sizeClass;
  };

  bool OnVideoFrame(CVideoMessage* message) override {
    auto* fake = dynamic_cast<fakes::FakeVideoMessage*>(message);
    if (!fake) return true;
    const std::size_t length = std::min<std::size_t>(fake->dataLength, fake->buffer.size());
    std::lock_guard lock(mutex_);
    frames_.push_back({std::vector<std::uint8_t>(fake->buffer.begin(),
                                                 fake->buffer.begin() + static_cast<long>(length)),
                       fake->width, fake->height, fake->fourcc, fake->sizeClass});
    return true;
  }
  int ChannelCallbackOperation02() override { return 0; }
  std::int32_t OnVideoLost() override {
    ++lost_;
    return 1;
  }

  std::vector<Frame> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  int LostCount() const { return lost_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
  std::atomic<int> lost_{0};
};

struct Size {
  std::uint16_t width;
  std::uint16_t height;
  std::int32_t frameIntervalMs;
  std::uint32_t deviceResolution;  // the resolution value written to the device
  std::uint32_t deviceRateA;       // frame-rate value A written to the device
};
constexpr Size kCif{352, 288, 40, 1, 1};
constexpr Size kCif4{704, 576, 120, 3, 3};

class ChangeResolutionOnDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    devicesim::DeviceSimOptions options;
    options.cameraCount = 1;
    options.inputCount = 0;
    options.outputCount = 0;
    device_ = std::make_unique<devicesim::DeviceSim>(options);
    ASSERT_TRUE(device_->Start()) << device_->LastError();
    file_ = std::make_unique<TestSettingsFile>(
        UniqueStem("change_resolution"),
        ipcapturetest::DeviceTypeXml({.root = "bosch",
                                      .cameraCount = 1,
                                      .cif = true,
                                      .cif4 = true,
                                      .networkTimeoutMs = 400}));
    config_.deviceType.type = file_->stem();
    config_.connection.address = "127.0.0.1";
    config_.connection.port = device_->port();
    driver_ = CreateIPCapture();
    ASSERT_NE(driver_, nullptr);
    ASSERT_TRUE(driver_->Initialize(&callback_, &allocator_, &config_));
  }
  void TearDown() override {
    if (driver_) DeleteIPCapture(driver_);
    device_.reset();
  }

  int Connects() const {
    int count = 0;
    for (const auto& r : device_->Requests()) count += r.commandWord == kCmdConnectVideo ? 1 : 0;
    return count;
  }
  bool Reached(const Size& size, int connectsBefore, std::size_t framesBefore) const {
    if (Connects() <= connectsBefore) return false;
    if (device_->AppliedSetting(1, corvane::kCmdResolution) != size.deviceResolution ||
        device_->AppliedSetting(1, corvane::kCmdFrameRateA) != size.deviceRateA)
      return false;
    const auto frames = channel_.Frames();
    for (std::size_t i = framesBefore; i < frames.size(); ++i)
      if (frames[i].width == size.width && frames[i].height == size.height) return true;
    return false;
  }

  std::unique_ptr<devicesim::DeviceSim> device_;
  std::unique_ptr<TestSettingsFile> file_;
  fakes::FakeDriverCallback callback_;
  fakes::FakeAllocator allocator_;
  fakes::FakeDeviceConfig config_;
  fakes::FakeStreamSettings settings_{kCif.width, kCif.height, kCif.frameIntervalMs, 50};
  RecordingChannel channel_;
  IIPCaptureDriver* driver_ = nullptr;
};

TEST_F(ChangeResolutionOnDevice, EachChangeReachesTheDeviceAndFramesCarryTheirPicturesSize) {
  ASSERT_TRUE(driver_->GetVideoCapture()->StartVideo(0, &channel_, &settings_));
  ASSERT_TRUE(testutil::Eventually([&] { return Reached(kCif, 0, 0); }, kStepDeadline));
  constexpr int kChanges = 20;
  for (int i = 0; i < kChanges; ++i) {
    const Size& next = i % 2 == 0 ? kCif4 : kCif;
    const int connects = Connects();
    const std::size_t frames = channel_.Frames().size();
    fakes::FakeResolution resolution(next.width, next.height);
    ASSERT_TRUE(driver_->GetVideoCapture()->ChangeResolution(0, &resolution, next.frameIntervalMs));
    ASSERT_TRUE(testutil::Eventually([&] { return Reached(next, connects, frames); }, kStepDeadline))
        << "change " << i << ": " << Connects() - connects << " new connections, resolution "
        << device_->AppliedSetting(1, corvane::kCmdResolution);
  }
  const auto frames = channel_.Frames();
  EXPECT_GT(frames.size(), std::size_t{kChanges});
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto& f = frames[i];
    EXPECT_EQ(support::FrameLabelProblem(f.data, f.width, f.height, f.fourcc, f.sizeClass), "")
        << "frame " << i;
  }
  EXPECT_EQ(channel_.LostCount(), 0);
}

}  // namespace
