// A camera session with no device behind it, for programs that drive the session's callbacks
// themselves (benchmarks, fuzz targets): an owner with fixed properties, and the step that
// parks a new session's worker thread so that nothing but the caller touches the session.
#pragma once

#include <cstdint>
#include <string>

#include "session/bosch_ip_camera_info.h"

namespace support {

// Logs nothing and has no host unless a subclass gives one.
class StandaloneSessionOwner : public corvane::ICameraSessionOwner,
                               public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  StandaloneSessionOwner(const char* moduleName, int networkTimeoutMs)
      : moduleName_(moduleName), networkTimeoutMs_(networkTimeoutMs) {}

  const char* GetModuleName() override { return moduleName_; }
  std::uint16_t GetServerPort() override { return 1; }
  const std::string& GetServerAddress() override { return text_; }
  const std::string& GetServerUserName() override { return text_; }
  const std::string& GetServerPassword() override { return text_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int, const char*, ...) override {}
  corvane::CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return networkTimeoutMs_; }
  void OnChannelEvent(corvane::CBoschIPCameraInfo*, int) override {}
  CCaptureAPIUser* GetCaptureUser() override { return nullptr; }
  CVideoAllocator* GetVideoAllocator() override { return nullptr; }

 private:
  const char* moduleName_;
  int networkTimeoutMs_;
  std::string text_ = "127.0.0.1";
  corvane::DeviceConfig config_{};
};

// Ends a new session's worker thread before it connects anywhere and marks the session
// active. False when the thread did not end in time.
inline bool ParkWorker(corvane::CBoschIPCameraInfo& session) {
  session.stopping = true;
  session.frameEvent.Set();
  if (!session.thread.Join(5000)) return false;
  // A worker that saw the stop before its first wait left the wake-up signalled.
  session.frameEvent.Reset();
  session.active = true;
  return true;
}

}  // namespace support
