// The driver as the recorder drives it: libveltrane.so loaded at run time, and one backend
// per host interface (older CCaptureAPI, newer IIPCaptureDriver) behind one small interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "recording.h"
#include "veltrane/capture_io.h"
#include "veltrane/veltrane.h"

namespace recorder {

// libveltrane.so from the recorder's own folder and its four exports.
class DriverModule {
 public:
  ~DriverModule();
  // False with a reason in *error when the library or an export is missing.
  bool Load(const std::string& folder, std::string* error);

  decltype(&CreateCapture) createCapture = nullptr;
  decltype(&DeleteCapture) deleteCapture = nullptr;
  decltype(&CreateIPCapture) createIPCapture = nullptr;
  decltype(&DeleteIPCapture) deleteIPCapture = nullptr;

 private:
  void* handle_ = nullptr;
};

struct Connection {
  std::string address;
  std::uint16_t port = 0;
  std::string deviceType;
  std::string user;
  std::string password;
};

struct HostObjects {
  Recording* recording;
  RecorderAllocator* allocator;
  DebugLines* debug;
};

class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;
  // Creates and opens the driver; false with a reason in *error.
  virtual bool Open(const Connection& connection, std::string* error) = 0;
  virtual int CameraCount() = 0;
  // Width and height of a resolution code; false when the device type lacks it.
  virtual bool ResolutionSize(int code, int* width, int* height) = 0;
  // width and height are the picture size of code (the newer interface asks by size).
  virtual bool StartChannel(int channel, int frameIntervalMs, int code, int width, int height,
                            int quality) = 0;
  virtual bool StopChannel(int channel) = 0;
  virtual bool Poll(int channel, int* state, int* event) = 0;
  // The device's digital I/O; null when it has none.
  virtual corvane::ICaptureIOApi* IOApi() = 0;
  // Closes and deletes the driver; no host object is called afterwards.
  virtual void Close() = 0;
};

std::unique_ptr<CaptureBackend> MakeOldApiBackend(DriverModule& module, HostObjects host);
std::unique_ptr<CaptureBackend> MakeNewApiBackend(DriverModule& module, HostObjects host);

}  // namespace recorder
