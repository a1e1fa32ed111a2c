// The digital I/O object as the host reaches it through the driver: the "ICaptureIOApi"
// property, and Close taking it offline.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device_sim.h"
#include "digital_io_fakes.h"
#include "driver/veltrane.h"
#include "support/fake_host.h"
#include "support/process_stats.h"
#include "support/settings_test_files.h"

namespace {

using digitalio_testing::Eventually;
using digitalio_testing::FakeSink;

constexpr int kTimeoutMs = 400;

std::string DeviceType(int inputs, int outputs) {
  return "<bosch><cameraCount value=\"0\"/><framerate><max value=\"25\"/></framerate>"
         "<io><input value=\"" + std::to_string(inputs) + "\"/><output value=\"" +
         std::to_string(outputs) + "\"/><path value=\"/io\"/></io>"
         "<networktimeout value=\"" + std::to_string(kTimeoutMs) + "\"/></bosch>";
}

corvane::ICaptureIOApi* DigitalIO(corvane::CVeltrane& driver) {
  corvane::ICaptureIOApi* api = nullptr;
  if (!driver.GetProperty("ICaptureIOApi", &api, sizeof api)) return nullptr;
  return api;
}

class DriverDigitalIO : public ::testing::Test {
 protected:
  void SetUp() override {
    devicesim::DeviceSimOptions options;
    options.cameraCount = 0;
    options.inputCount = 4;
    options.outputCount = 2;
    device_ = std::make_unique<devicesim::DeviceSim>(options);
    ASSERT_TRUE(device_->Start()) << device_->LastError();
    driver_.SetCaptureUser(&user_);
    driver_.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
    driver_.SetProperty("IPSERVERPORT", reinterpret_cast<const void*>(std::uintptr_t{device_->port()}), 0);
  }
  void TearDown() override {
    driver_.Close();
    device_->Stop();
  }

  void UseDeviceType(int inputs, int outputs) {
    file_ = std::make_unique<TestSettingsFile>(UniqueStem("dio" + std::to_string(++files_)),
                                               DeviceType(inputs, outputs));
    driver_.SetProperty("IPSERVERTYPE", file_->stem().c_str(), 0);
  }

  fakes::FakeCaptureUser user_;
  std::unique_ptr<devicesim::DeviceSim> device_;
  std::unique_ptr<TestSettingsFile> file_;
  int files_ = 0;
  // The host's sinks outlive the driver's use of them (the driver closes in TearDown).
  FakeSink sink;
  FakeSink sinkAfterOpen;
  corvane::CVeltrane driver_;
};

TEST_F(DriverDigitalIO, PropertyHandsOutTheObjectOnlyAfterOpenOnADeviceWithIO) {
  UseDeviceType(4, 2);
  EXPECT_EQ(DigitalIO(driver_), nullptr);
  ASSERT_EQ(driver_.Open(nullptr), 1);
  corvane::ICaptureIOApi* api = DigitalIO(driver_);
  ASSERT_NE(api, nullptr);
  EXPECT_EQ(api->GetInputCount(), 4);
  EXPECT_EQ(api->GetOutputCount(), 2);
  // A four-byte buffer cannot hold the pointer.
  std::uint32_t small = 0;
  EXPECT_EQ(driver_.GetProperty("ICaptureIOApi", &small, sizeof small), 0);
}

TEST_F(DriverDigitalIO, PropertyIsRefusedOnADeviceWithoutIO) {
  UseDeviceType(0, 0);
  ASSERT_EQ(driver_.Open(nullptr), 1);
  EXPECT_EQ(DigitalIO(driver_), nullptr);
}

TEST_F(DriverDigitalIO, CloseTakesTheObjectOfflineUntilEnabledAfterANewOpen) {
  UseDeviceType(4, 2);
  ASSERT_EQ(driver_.Open(nullptr), 1);
  corvane::ICaptureIOApi* api = DigitalIO(driver_);
  ASSERT_NE(api, nullptr);
  api->SetEventSink(&sink);
  ASSERT_TRUE(api->Enable());
  // Primed: one report per input.
  ASSERT_TRUE(Eventually([&] { return sink.Events().size() >= 4; }, 10 * kTimeoutMs));

  ASSERT_EQ(driver_.Close(), 1);
  // A joined thread may linger in /proc for a moment while the kernel reaps it.
  EXPECT_TRUE(Eventually([] { return testutil::LibraryThreadCount() == 0; }, kTimeoutMs))
      << testutil::ThreadNames();
  const std::size_t eventsAtClose = sink.Events().size();
  device_->SetInput(1, true);
  device_->SetInput(2, true);
  // Nothing may reach the sink, and the library must not start again by itself.
  EXPECT_FALSE(Eventually([&] { return sink.Events().size() > eventsAtClose; }, 3 * kTimeoutMs));
  EXPECT_EQ(testutil::LibraryThreadCount(), 0);

  ASSERT_EQ(driver_.Open(nullptr), 1);
  api = DigitalIO(driver_);
  ASSERT_NE(api, nullptr);
  api->SetEventSink(&sinkAfterOpen);
  ASSERT_TRUE(api->Enable());
  EXPECT_TRUE(Eventually([&] { return sinkAfterOpen.CountReports(0, 2) == 1; }, 10 * kTimeoutMs));
}

}  // namespace
