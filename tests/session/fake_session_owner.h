// A stand-in for the driver as a camera session sees it: connection parameters, a device
// configuration, a recorded log and recorded channel events.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "session/camera_session_owner.h"

namespace sessiontest {

class FakeSessionOwner final : public corvane::ICameraSessionOwner,
                               public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  FakeSessionOwner(std::string address, std::uint16_t port, int networkTimeoutMs);

  // CIPCaptureIOBaseHandlerIf
  const char* GetModuleName() override { return "Fake"; }
  std::uint16_t GetServerPort() override { return port_; }
  const std::string& GetServerAddress() override { return address_; }
  const std::string& GetServerUserName() override { return user_; }
  const std::string& GetServerPassword() override { return password_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4)));

  // ICameraSessionOwner
  corvane::CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return networkTimeoutMs_; }
  void OnChannelEvent(corvane::CBoschIPCameraInfo* session, int event) override;
  CCaptureAPIUser* GetCaptureUser() override { return nullptr; }
  CVideoAllocator* GetVideoAllocator() override { return nullptr; }

  // Set before the session is created.
  void SetCredentials(std::string user, std::string password);
  corvane::DeviceConfig& config() { return config_; }

  std::vector<std::string> Lines() const;
  // Lines that contain text.
  int CountLines(const std::string& text) const;
  bool WaitForLine(const std::string& text, int timeoutMs) const;
  std::vector<int> Events() const;
  int CountEvents(int event) const;
  bool WaitForEvents(int event, int count, int timeoutMs) const;

 private:
  template <typename Predicate>
  bool WaitUntil(Predicate predicate, int timeoutMs) const;

  std::string address_;
  std::uint16_t port_;
  std::string user_;
  std::string password_;
  int networkTimeoutMs_;
  corvane::DeviceConfig config_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<int> events_;
};

}  // namespace sessiontest
