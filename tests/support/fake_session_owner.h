// The driver as a camera session sees it: connection parameters, a device configuration, a
// recorded log and recorded channel events, and the host's capture user and allocator when a
// test gives them. Free of GoogleTest, so that fuzz targets and benchmarks can use it too.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "session/camera_session_owner.h"

namespace fakes {

class FakeSessionOwner : public corvane::ICameraSessionOwner,
                         public corvane::CIPCaptureIOBaseHandlerIf {
 public:
  explicit FakeSessionOwner(std::string address = "127.0.0.1", std::uint16_t port = 1,
                            int networkTimeoutMs = 300)
      : address_(std::move(address)), port_(port), networkTimeoutMs_(networkTimeoutMs) {}

  // Set before the session is created.
  void SetCredentials(std::string user, std::string password) {
    user_ = std::move(user);
    password_ = std::move(password);
  }
  // The host's objects that frames go to; null (the default) means the host has none.
  void SetHost(CCaptureAPIUser* user, CVideoAllocator* allocator) {
    captureUser_ = user;
    allocator_ = allocator;
  }
  corvane::DeviceConfig& config() { return config_; }

  // CIPCaptureIOBaseHandlerIf
  const char* GetModuleName() override { return "Fake"; }
  std::uint16_t GetServerPort() override { return port_; }
  const std::string& GetServerAddress() override { return address_; }
  const std::string& GetServerUserName() override { return user_; }
  const std::string& GetServerPassword() override { return password_; }
  corvane::DeviceConfig* GetDeviceConfig() override { return &config_; }
  void Log(int level, const char* format, ...) override __attribute__((format(printf, 3, 4))) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::lock_guard lock(mutex_);
    lines_.push_back({level, line});
    changed_.notify_all();
  }

  // ICameraSessionOwner
  corvane::CIPCaptureIOBaseHandlerIf& SessionHandler() override { return *this; }
  int GetNetworkTimeout() override { return networkTimeoutMs_; }
  void OnChannelEvent(corvane::CBoschIPCameraInfo*, int event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  CCaptureAPIUser* GetCaptureUser() override { return captureUser_; }
  CVideoAllocator* GetVideoAllocator() override { return allocator_; }

  // Log lines as written.
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& line : lines_) texts.push_back(line.text);
    return texts;
  }
  // Log lines as "<level> <text>".
  std::vector<std::string> LinesWithLevel() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& line : lines_) texts.push_back(std::to_string(line.level) + " " + line.text);
    return texts;
  }
  // Lines that contain text.
  int CountLines(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return CountLinesLocked(text);
  }
  bool WaitForLine(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return CountLinesLocked(text) > 0; }, timeoutMs);
  }
  std::vector<int> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  int CountEvents(int event) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(events_.begin(), events_.end(), event));
  }
  bool WaitForEvents(int event, int count, int timeoutMs) const {
    return WaitUntil(
        [&] { return std::count(events_.begin(), events_.end(), event) >= count; }, timeoutMs);
  }

 private:
  struct LogLine {
    int level;
    std::string text;
  };

  int CountLinesLocked(const std::string& text) const {
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) {
      return l.text.find(text) != std::string::npos;
    }));
  }
  template <typename Predicate>
  bool WaitUntil(Predicate predicate, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), predicate);
  }

  std::string address_;
  std::uint16_t port_;
  std::string user_;
  std::string password_;
  int networkTimeoutMs_;
  corvane::DeviceConfig config_{};
  CCaptureAPIUser* captureUser_ = nullptr;
  CVideoAllocator* allocator_ = nullptr;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogLine> lines_;
  std::vector<int> events_;
};

}  // namespace fakes
