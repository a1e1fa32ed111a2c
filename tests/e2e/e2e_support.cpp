#include "e2e_support.h"

#include <algorithm>

#include "session/bosch_ip_camera_info.h"

namespace e2e {

std::string DeviceTypeXml(int cameraCount, int networkTimeoutMs, int inputs) {
  const std::string io = inputs > 0 ? "  <io><input value=\"" + std::to_string(inputs) +
                                          "\"/><path value=\"/io\"/></io>\n"
                                    : "";
  return "<?xml version=\"1.0\"?>\n<bosch>\n" + io +
         "  <cameraCount value=\"" + std::to_string(cameraCount) + "\"/>\n"
         "  <framerate><max value=\"25\"/></framerate>\n"
         "  <quality><min value=\"1\"/><low value=\"2\"/><medium value=\"7\"/>"
         "<high value=\"4\"/><max value=\"5\"/></quality>\n"
         "  <resolutions><cif value=\"true\"/><cifx value=\"352\"/><cify value=\"288\"/>"
         "</resolutions>\n"
         "  <networktimeout value=\"" + std::to_string(networkTimeoutMs) + "\"/>\n"
         "</bosch>\n";
}

std::string VideoDeviceTypeXml(int networkTimeoutMs) {
  return "<?xml version=\"1.0\"?>\n<bosch>\n"
         "  <cameraCount value=\"1\"/>\n"
         "  <framerate><max value=\"25\"/></framerate>\n"
         "  <quality><min value=\"1\"/><low value=\"2\"/><medium value=\"3\"/>"
         "<high value=\"4\"/><max value=\"5\"/></quality>\n"
         "  <resolutions>"
         "<cif value=\"true\"/><cifx value=\"352\"/><cify value=\"288\"/>"
         "<cif2 value=\"true\"/><cif2x value=\"704\"/><cif2y value=\"288\"/>"
         "<cif4 value=\"true\"/><cif4x value=\"704\"/><cif4y value=\"576\"/>"
         "</resolutions>\n"
         "  <networktimeout value=\"" + std::to_string(networkTimeoutMs) + "\"/>\n"
         "</bosch>\n";
}

devicesim::DeviceSimOptions OneCameraOptions() {
  devicesim::DeviceSimOptions options;
  options.cameraCount = 1;
  options.inputCount = 0;
  options.outputCount = 0;
  return options;
}

void AttachDriver(corvane::CVeltrane& driver, fakes::FakeCaptureUser& user,
                  fakes::FakeAllocator& allocator, const std::string& stem, std::uint16_t port) {
  driver.SetCaptureUser(&user);
  driver.SetVideoAllocator(&allocator);
  driver.SetProperty("IPSERVERADDRESS", "127.0.0.1", 0);
  driver.SetProperty("IPSERVERTYPE", stem.c_str(), 0);
  // The port travels in the value argument itself.
  driver.SetProperty("IPSERVERPORT", reinterpret_cast<const void*>(std::uintptr_t{port}), 0);
}

std::uint32_t Be32(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 4) return 0xFFFFFFFF;
  return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
         static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

DriverOnDevice::DriverOnDevice(const std::string& name, int cameraCount, int networkTimeoutMs,
                               bool startDevice, int inputs) {
  devicesim::DeviceSimOptions options;
  options.cameraCount = cameraCount;
  options.inputCount = inputs;
  options.outputCount = 0;
  device_ = std::make_shared<devicesim::DeviceSim>(options);
  if (startDevice) {
    EXPECT_TRUE(device_->Start()) << device_->LastError();
  }
  MakeDriver(name, cameraCount, networkTimeoutMs, inputs);
}

DriverOnDevice::DriverOnDevice(const std::string& name, DriverOnDevice& sameDevice,
                               int networkTimeoutMs)
    : device_(sameDevice.device_) {
  MakeDriver(name, device_->cameraCount(), networkTimeoutMs, device_->inputCount());
}

void DriverOnDevice::MakeDriver(const std::string& name, int cameraCount, int networkTimeoutMs,
                                int inputs) {
  file_ = std::make_unique<TestSettingsFile>(UniqueStem(name),
                                             DeviceTypeXml(cameraCount, networkTimeoutMs, inputs));
  driver_ = std::make_unique<corvane::CVeltrane>();
  AttachDriver(*driver_, user_, allocator_, file_->stem(), device_->port());
}

DriverOnDevice::~DriverOnDevice() {
  DestroyDriver();
  device_.reset();
}

void DriverOnDevice::DestroyDriver() {
  if (!driver_) return;
  driver_->Close();
  driver_.reset();
}

bool DriverOnDevice::Open() { return driver_->Open(nullptr) == 1; }

int DriverOnDevice::Poll(int channel, int* event) {
  int state = -1;
  *event = -1;
  EXPECT_EQ(driver_->GetChannelStatus(channel, &state, event, nullptr, 0), 1);
  return state;
}

int DriverOnDevice::CountRequests(std::uint32_t commandWord) const {
  const auto log = device_->Requests();
  return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const auto& r) {
    return r.commandWord == commandWord;
  }));
}

bool DriverOnDevice::VideoReported(int channel) const {
  const corvane::CBoschIPCameraInfo* session = driver_->cameraSession(channel);
  return session && session->videoReported.load();
}

}  // namespace e2e
