// A host that uses only the newer interface, from CreateIPCapture to DeleteIPCapture, with
// the real driver and RCP+ library against the simulated device on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "device_sim.h"
#include "driver/veltrane.h"
#include "ipcapture_test_files.h"
#include "platform/eventually.h"
#include "support/fake_host.h"
#include "support/fake_ipcapture_host.h"
#include "support/settings_test_files.h"
#include "veltrane/ipcapture.h"
#include "veltrane/veltrane.h"

namespace {

using corvane::ipcapture::IIPCaptureDriver;
using corvane::ipcapture::IIPVideoCapture;
using namespace std::chrono_literals;

constexpr auto kFrameWait = 15s;

// One simulated device and the host's objects for one newer-interface driver.
class NewerHost {
 public:
  NewerHost(int cameras, int inputs = 0, int outputs = 0) {
    devicesim::DeviceSimOptions options;
    options.cameraCount = cameras;
    options.inputCount = inputs;
    options.outputCount = outputs;
    device_ = std::make_unique<devicesim::DeviceSim>(options);
    EXPECT_TRUE(device_->Start()) << device_->LastError();
    file_ = std::make_unique<TestSettingsFile>(
        UniqueStem("ipcap_e2e_" + std::to_string(reinterpret_cast<std::uintptr_t>(this))),
        ipcapturetest::DeviceTypeXml({.root = "bosch",
                                      .cameraCount = cameras,
                                      .cif4 = false,
                                      .inputs = inputs,
                                      .outputs = outputs,
                                      .networkTimeoutMs = 2000}));
    config_.deviceType.type = file_->stem();
    config_.connection.address = "127.0.0.1";
    config_.connection.port = device_->port();
    driver_ = CreateIPCapture();
  }
  ~NewerHost() {
    Delete();
    device_.reset();
  }

  bool Initialize() { return driver_ && driver_->Initialize(&callback_, &allocator_, &config_); }
  bool Start(std::uint32_t channel) {
    return driver_->GetVideoCapture()->StartVideo(channel, &channels_[channel], &settings_);
  }
  void Delete() {
    if (driver_) DeleteIPCapture(driver_);
    driver_ = nullptr;
  }

  IIPCaptureDriver* driver() { return driver_; }
  IIPVideoCapture* video() { return driver_->GetVideoCapture(); }
  fakes::FakeChannelCallback& channel(std::uint32_t n) { return channels_[n]; }
  fakes::FakeAllocator& allocator() { return allocator_; }
  fakes::FakeDriverCallback& callback() { return callback_; }

 private:
  std::unique_ptr<devicesim::DeviceSim> device_;
  std::unique_ptr<TestSettingsFile> file_;
  fakes::FakeDriverCallback callback_;
  fakes::FakeAllocator allocator_;
  fakes::FakeDeviceConfig config_;
  fakes::FakeStreamSettings settings_{352, 288, 40, 50};
  fakes::FakeChannelCallback channels_[4];
  IIPCaptureDriver* driver_ = nullptr;
};

TEST(NewerHostEndToEnd, RecordsTwoChannelsThroughTheirCallbacks) {
  ASSERT_EQ(corvane::liveIPCaptureInstances.load(), 0);
  NewerHost host(2);
  ASSERT_NE(host.driver(), nullptr);
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 1);
  ASSERT_TRUE(host.Initialize());
  EXPECT_EQ(host.video()->GetCameraCount(), 2);
  ASSERT_TRUE(host.Start(0));
  ASSERT_TRUE(host.Start(1));

  ASSERT_TRUE(host.channel(0).WaitForFrames(3, kFrameWait));
  ASSERT_TRUE(host.channel(1).WaitForFrames(3, kFrameWait));
  for (int n : {0, 1}) {
    const auto frames = host.channel(n).Frames();
    EXPECT_GT(frames.front().length, 0u) << n;
    EXPECT_NE(frames.front().message, nullptr) << n;
  }
  int state = -1;
  int event = -1;
  EXPECT_TRUE(host.video()->GetChannelStatus(0, &state, &event, nullptr, 0));
  EXPECT_EQ(state, ChannelVideo);

  EXPECT_TRUE(host.video()->StopVideo(0));
  EXPECT_TRUE(host.video()->StopVideo(1));
  EXPECT_TRUE(host.video()->GetChannelStatus(1, &state, &event, nullptr, 0));
  EXPECT_EQ(state, ChannelStopped);
  host.driver()->Uninitialize();
  EXPECT_EQ(host.allocator().Outstanding(), 0);
  host.Delete();
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 0);
}

TEST(NewerHostEndToEnd, LogLinesReachTheHostsDriverCallback) {
  // The digital I/O object reports the device's input count as a log line. It connects only
  // with a sink, which outlives the host's objects.
  struct : corvane::ICaptureIOEventSink {
    void OnInputChanged(int, int) override {}
    void OnConnectionLost() override {}
  } sink;
  NewerHost host(1, 2, 1);
  ASSERT_TRUE(host.Initialize());
  ASSERT_NE(host.video(), nullptr);  // from now on the driver reports through the bridge
  corvane::ICaptureIOApi* io = host.driver()->GetIOApi();
  ASSERT_NE(io, nullptr);
  ASSERT_TRUE(io->SetEventSink(&sink));
  ASSERT_TRUE(io->Enable());
  EXPECT_TRUE(testutil::Eventually(
      [&] { return host.callback().HasLine("CBoschDigitalIO: Total number of supported inputs is: 2"); },
      kFrameWait));
}

TEST(NewerHostEndToEnd, ClosingOneAdapterKeepsTheOthersVideoFlowing) {
  NewerHost first(1);
  NewerHost second(1);
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 2);
  ASSERT_TRUE(first.Initialize());
  ASSERT_TRUE(second.Initialize());
  ASSERT_TRUE(first.Start(0));
  ASSERT_TRUE(second.Start(0));
  ASSERT_TRUE(first.channel(0).WaitForFrames(2, kFrameWait));
  ASSERT_TRUE(second.channel(0).WaitForFrames(2, kFrameWait));

  first.Delete();
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 1);
  const std::size_t seen = second.channel(0).FrameCount();
  EXPECT_TRUE(second.channel(0).WaitForFrames(seen + 5, kFrameWait));

  second.Delete();
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 0);
}

TEST(NewerHostEndToEnd, DigitalIOComesThroughTheNewerInterface) {
  NewerHost host(1, 2, 1);
  EXPECT_EQ(host.driver()->GetIOApi(), nullptr);  // not open yet
  ASSERT_TRUE(host.Initialize());
  corvane::ICaptureIOApi* io = host.driver()->GetIOApi();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->GetInputCount(), 2);
  EXPECT_EQ(io->GetOutputCount(), 1);
}

class ForeignDriver final : public IIPCaptureDriver {
 public:
  explicit ForeignDriver(bool* destroyed) : destroyed_(destroyed) {}
  ~ForeignDriver() override { *destroyed_ = true; }
  bool Initialize(corvane::ipcapture::IHostDriverCallback*, CVideoAllocator*,
                  corvane::ipcapture::IHostDeviceConfig*) override {
    return false;
  }
  void Uninitialize() override {}
  IIPVideoCapture* GetVideoCapture() override { return nullptr; }
  corvane::ICaptureIOApi* GetIOApi() override { return nullptr; }

 private:
  bool* destroyed_;
};

TEST(NewerHostExports, DeleteLeavesForeignObjectsAlone) {
  bool destroyed = false;
  {
    ForeignDriver foreign(&destroyed);
    const int before = corvane::liveIPCaptureInstances.load();
    DeleteIPCapture(&foreign);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(corvane::liveIPCaptureInstances.load(), before);
  }
  EXPECT_TRUE(destroyed);
}

TEST(NewerHostExports, DeleteIgnoresNull) {
  IIPCaptureDriver* driver = CreateIPCapture();
  ASSERT_NE(driver, nullptr);
  DeleteIPCapture(nullptr);
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 1);
  DeleteIPCapture(driver);
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 0);
}

TEST(NewerHostExports, DeletingAnUninitialisedAdapterCountsItDown) {
  IIPCaptureDriver* a = CreateIPCapture();
  IIPCaptureDriver* b = CreateIPCapture();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 2);
  ASSERT_NE(a->GetVideoCapture(), nullptr);
  DeleteIPCapture(a);
  DeleteIPCapture(b);
  EXPECT_EQ(corvane::liveIPCaptureInstances.load(), 0);
}

}  // namespace
