// A driver opened on a simulated device: the device-type file beside the test program, the
// simulator on loopback, and the host's fake callback object.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_sim.h"
#include "driver/veltrane.h"
#include "support/fake_host.h"
#include "support/settings_test_files.h"

namespace e2e {

constexpr std::uint32_t kCmdCoderList = 0xFF110C30;
constexpr std::uint32_t kCmdConnectVideo = 0xFF0C0C31;
constexpr std::uint32_t kCmdAnnounceSession = 0x06050831;
constexpr std::uint32_t kCmdApplySettings = 0x06000831;

// A device type with CIF only, "quality/medium" 7, a short network time-out and, when inputs
// is above 0, that many alarm inputs.
std::string DeviceTypeXml(int cameraCount, int networkTimeoutMs, int inputs = 0);

// One camera with CIF, 2CIF and 4CIF at their true sizes and a short network time-out.
std::string VideoDeviceTypeXml(int networkTimeoutMs);

// A simulated device with one camera and no alarm inputs or relays.
devicesim::DeviceSimOptions OneCameraOptions();

// Hands driver the host's fakes and points it at a simulated device on loopback, with the
// device-type file named stem.
void AttachDriver(corvane::CVeltrane& driver, fakes::FakeCaptureUser& user,
                  fakes::FakeAllocator& allocator, const std::string& stem, std::uint16_t port);

// Big-endian 32-bit value at the start of bytes; all bits set when too short.
std::uint32_t Be32(const std::vector<std::uint8_t>& bytes);

// One simulated device and one driver opened on it.
class DriverOnDevice {
 public:
  DriverOnDevice(const std::string& name, int cameraCount, int networkTimeoutMs,
                 bool startDevice = true, int inputs = 0);
  // A second driver on the device of another.
  DriverOnDevice(const std::string& name, DriverOnDevice& sameDevice, int networkTimeoutMs);
  ~DriverOnDevice();

  bool Open();
  // Closes and deletes the driver now, as a host does when it is done with a device.
  void DestroyDriver();
  int Poll(int channel, int* event);
  int CountRequests(std::uint32_t commandWord) const;
  bool VideoReported(int channel) const;

  devicesim::DeviceSim& device() { return *device_; }
  corvane::CVeltrane& driver() { return *driver_; }
  fakes::FakeCaptureUser& user() { return user_; }
  fakes::FakeAllocator& allocator() { return allocator_; }

 private:
  fakes::FakeCaptureUser user_;
  fakes::FakeAllocator allocator_;
  void MakeDriver(const std::string& name, int cameraCount, int networkTimeoutMs, int inputs);

  std::shared_ptr<devicesim::DeviceSim> device_;
  std::unique_ptr<TestSettingsFile> file_;
  std::unique_ptr<corvane::CVeltrane> driver_;
};

}  // namespace e2e
