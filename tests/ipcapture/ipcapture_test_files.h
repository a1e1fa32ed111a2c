// Device-type files for the newer interface's tests.
#pragma once

#include <string>

namespace ipcapturetest {

struct DeviceTypeOptions {
  std::string root = "unit";
  // Empty = no "mode" key.
  std::string mode = "mpeg4";
  // Negative = no camera count key.
  int cameraCount = 2;
  bool cif = true;
  bool cif4 = true;
  int inputs = 0;
  int outputs = 0;
  // 0 = no "networktimeout" key.
  int networkTimeoutMs = 0;
};

// A device-type file that both the capability reader and the driver's Open accept.
std::string DeviceTypeXml(const DeviceTypeOptions& options);

}  // namespace ipcapturetest
